#include "StdCtrls.h"

#include <QFocusEvent>
#include <QKeyEvent>

#include "Forms.h"

namespace StdCtrls {
namespace {

// Keys whose events carry text on some platforms but type nothing into an edit.
bool TypesNothing(int Key) {
    switch (Key) {
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return true;
    default:
        return false;
    }
}

} // namespace

void TEdit::keyPressEvent(QKeyEvent* Event) {
    const QString text = Event->text();
    if (!OnKeyPress || text.size() != 1 || TypesNothing(Event->key())) {
        QLineEdit::keyPressEvent(Event);
        return;
    }
    char16_t key = text.at(0).unicode();
    Forms::Guarded([&] { OnKeyPress(this, key); });
    if (key == 0) {
        Event->accept();
        return;
    }
    if (key == text.at(0).unicode()) {
        QLineEdit::keyPressEvent(Event);
        return;
    }
    // The hook replaced the character: type the replacement instead.
    QKeyEvent replaced(Event->type(), Event->key(), Event->modifiers(), QString(QChar(key)));
    QLineEdit::keyPressEvent(&replaced);
}

void TEdit::focusOutEvent(QFocusEvent* Event) {
    QLineEdit::focusOutEvent(Event);
    const Qt::FocusReason reason = Event->reason();
    if (OnExit && reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
        Forms::Guarded([&] { OnExit(this); });
}

} // namespace StdCtrls
