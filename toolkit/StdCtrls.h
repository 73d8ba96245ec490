// A single-line edit with the two hooks the classic toolkit gives a form: a key-press hook that
// sees each typed character and may discard it, and an exit hook for when the focus moves on.
#pragma once

#include <functional>

#include <QLineEdit>

namespace StdCtrls {

class TEdit : public QLineEdit {
public:
    // Dropped text would bypass the key-press hook, so the edit takes no drops.
    explicit TEdit(QWidget* Parent = nullptr) : QLineEdit(Parent) { setAcceptDrops(false); }

    // Key is the typed character; setting it to 0 discards it. Keys that type nothing (arrows,
    // Delete, Home, ...) and focus navigation (Tab) never reach it. A text of several
    // characters (a surrogate pair, an input method's composition) comes one character at a
    // time.
    std::function<void(QWidget* Sender, char16_t& Key)> OnKeyPress;
    // The focus moved to another control of the window (not a switch to another window).
    std::function<void(QWidget* Sender)> OnExit;

protected:
    void keyPressEvent(QKeyEvent* Event) override;
    void inputMethodEvent(QInputMethodEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;

private:
    QString FilterTyped(const QString& Text);
};

} // namespace StdCtrls
