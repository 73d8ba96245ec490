#include "toolkit/Spin.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include <QFocusEvent>
#include <QLineEdit>

#include "toolkit/Forms.h"
#include "toolkit/SysUtils.h"

namespace Spin {

TSpinEdit::TSpinEdit(QWidget* Parent) : QAbstractSpinBox(Parent) {
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    connect(lineEdit(), &QLineEdit::textChanged, this,
            [this](const QString& text) { TextChanged(text); });
    lineEdit()->setText(QStringLiteral("0"));
}

int TSpinEdit::Value() const {
    std::optional<std::int64_t> value = SysUtils::ParseInteger(Text().toStdString());
    if (!value || *value < std::numeric_limits<int>::min() ||
        *value > std::numeric_limits<int>::max())
        return FMinValue;
    return static_cast<int>(*value);
}

void TSpinEdit::SetValue(int Value) {
    QString text = QString::number(std::clamp(Value, FMinValue, FMaxValue));
    if (lineEdit()->text() != text)
        lineEdit()->setText(text);
    update(); // the up/down control may change its enabled look
}

void TSpinEdit::SetMinValue(int Value) {
    FMinValue = Value;
    FMaxValue = std::max(FMaxValue, Value);
    update();
}

void TSpinEdit::SetMaxValue(int Value) {
    FMaxValue = Value;
    FMinValue = std::min(FMinValue, Value);
    update();
}

void TSpinEdit::SetMaxLength(int Value) {
    FMaxLength = std::max(Value, 0);
}

QString TSpinEdit::Text() const {
    return lineEdit()->text();
}

void TSpinEdit::stepBy(int Steps) {
    std::int64_t value =
        static_cast<std::int64_t>(Value()) + static_cast<std::int64_t>(Steps) * FIncrement;
    SetValue(static_cast<int>(std::clamp<std::int64_t>(value, FMinValue, FMaxValue)));
}

QValidator::State TSpinEdit::validate(QString& Input, int& /*Pos*/) const {
    // Only growing past the limit is refused, so a longer text set by the program can still be
    // edited down.
    if (FMaxLength > 0 && Input.size() > FMaxLength && Input.size() > FTextLength)
        return QValidator::Invalid;
    return QValidator::Acceptable;
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
    if (isReadOnly())
        return StepNone;
    int value = Value();
    StepEnabled enabled = StepNone;
    if (value < FMaxValue)
        enabled |= StepUpEnabled;
    if (value > FMinValue)
        enabled |= StepDownEnabled;
    return enabled;
}

void TSpinEdit::focusOutEvent(QFocusEvent* Event) {
    // A context menu or another application's window taking the focus does not leave the field.
    if (Event->reason() != Qt::PopupFocusReason && Event->reason() != Qt::ActiveWindowFocusReason)
        SetValue(Value());
    QAbstractSpinBox::focusOutEvent(Event);
}

void TSpinEdit::TextChanged(const QString& Text) {
    FTextLength = Text.size();
    if (auto handler = OnChange) // a copy: the handler may replace itself
        Forms::Guarded(handler);
}

} // namespace Spin
