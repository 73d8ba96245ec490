#include "toolkit/StdCtrls.h"

#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>

#include "toolkit/Forms.h"

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

// Each character of a typed text passes the hook on its own, as if typed one by one; what the
// hook keeps (or puts in their place) is what gets typed.
QString TEdit::FilterTyped(const QString& Text) {
    QString kept;
    for (const QChar c : Text) {
        char16_t key = c.unicode();
        Forms::Guarded([&] { OnKeyPress(this, key); });
        if (key != 0)
            kept.append(QChar(key));
    }
    return kept;
}

void TEdit::keyPressEvent(QKeyEvent* Event) {
    const QString text = Event->text();
    if (!OnKeyPress || text.isEmpty() || TypesNothing(Event->key())) {
        QLineEdit::keyPressEvent(Event);
        return;
    }
    const QString kept = FilterTyped(text);
    if (kept == text) {
        QLineEdit::keyPressEvent(Event);
        return;
    }
    if (kept.isEmpty()) {
        Event->accept();
        return;
    }
    QKeyEvent replaced(Event->type(), Event->key(), Event->modifiers(), kept);
    QLineEdit::keyPressEvent(&replaced);
}

// Text composed through an input method is typed text too.
void TEdit::inputMethodEvent(QInputMethodEvent* Event) {
    if (!OnKeyPress || Event->commitString().isEmpty()) {
        QLineEdit::inputMethodEvent(Event);
        return;
    }
    QInputMethodEvent filtered(Event->preeditString(), Event->attributes());
    filtered.setCommitString(FilterTyped(Event->commitString()), Event->replacementStart(),
                             Event->replacementLength());
    QLineEdit::inputMethodEvent(&filtered);
}

void TEdit::focusOutEvent(QFocusEvent* Event) {
    QLineEdit::focusOutEvent(Event);
    const Qt::FocusReason reason = Event->reason();
    if (OnExit && reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
        Forms::Guarded([&] { OnExit(this); });
}

} // namespace StdCtrls
