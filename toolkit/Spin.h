// An integer field with an up/down control.
//
// The field takes any text within its length, as a plain edit does; the number is what the text
// says. Reading Value() does not clamp: a typed 999 reads as 999 until the user leaves the field,
// and text that is not an integer reads as MinValue(). Leaving the field (focus moving to another
// control) clamps the value to the range and rewrites the text; stepping and SetValue clamp at
// once.
#pragma once

#include <functional>

#include <QAbstractSpinBox>
#include <QString>

namespace Spin {

class TSpinEdit : public QAbstractSpinBox {
public:
    explicit TSpinEdit(QWidget* Parent = nullptr);

    // The integer in the text (decimal, or hexadecimal with 0x or $), MinValue() otherwise.
    int Value() const;
    // Clamps to [MinValue, MaxValue]; rewrites the text only when it changes.
    void SetValue(int Value);

    // Changing the range keeps MinValue <= MaxValue (moving the other bound) but leaves the text
    // alone; the next step, SetValue or exit brings the value inside.
    int MinValue() const noexcept { return FMinValue; }
    void SetMinValue(int Value);
    int MaxValue() const noexcept { return FMaxValue; }
    void SetMaxValue(int Value);

    // The step of the up/down control and the arrow keys.
    int Increment() const noexcept { return FIncrement; }
    void SetIncrement(int Value) { FIncrement = Value; }

    // The most characters the user can type; 0 means no limit. Text set by the program may be
    // longer, and can then still be shortened.
    int MaxLength() const noexcept { return FMaxLength; }
    void SetMaxLength(int Value);

    QString Text() const;

    // Fires whenever the text changes: typing, stepping, or SetValue that changes the text.
    std::function<void()> OnChange;

    void stepBy(int Steps) override;
    QValidator::State validate(QString& Input, int& Pos) const override;

protected:
    StepEnabled stepEnabled() const override;
    void focusOutEvent(QFocusEvent* Event) override;

private:
    void TextChanged(const QString& Text);

    int FMinValue = 0;
    int FMaxValue = 100;
    int FIncrement = 1;
    int FMaxLength = 0;
    qsizetype FTextLength = 0; // of the text before the edit that validate() is asked about
};

} // namespace Spin
