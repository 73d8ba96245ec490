#include "toolkit/Gauges.h"

#include <algorithm>
#include <cstdint>

#include <QPainter>

namespace Gauges {

TGauge::TGauge(QWidget* Parent) : QWidget(Parent) {}

void TGauge::SetMaxValue(int Value) {
    int oldPercent = PercentDone();
    FMaxValue = std::max(Value, MinValue());
    FProgress = std::min(FProgress, FMaxValue);
    Changed(oldPercent);
}

void TGauge::SetProgress(int Value) {
    int oldPercent = PercentDone();
    FProgress = std::clamp(Value, MinValue(), FMaxValue);
    Changed(oldPercent);
}

void TGauge::SetForeColor(const QColor& Value) {
    if (Value == FForeColor)
        return;
    FForeColor = Value;
    RequestRepaint();
}

int TGauge::PercentDone() const noexcept {
    std::int64_t range = static_cast<std::int64_t>(FMaxValue) - MinValue();
    if (range <= 0)
        return 0;
    return static_cast<int>((static_cast<std::int64_t>(FProgress) - MinValue()) * 100 / range);
}

void TGauge::Changed(int OldPercent) {
    if (PercentDone() != OldPercent)
        RequestRepaint();
}

void TGauge::RequestRepaint() {
    ++FRepaintRequests;
    update();
}

void TGauge::paintEvent(QPaintEvent* /*Event*/) {
    QPainter painter(this);
    QRect frame = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(rect(), Qt::white);
    QRect inner = rect().adjusted(1, 1, -1, -1);
    int barWidth = inner.width() * PercentDone() / 100;
    if (barWidth > 0)
        painter.fillRect(QRect(inner.left(), inner.top(), barWidth, inner.height()), FForeColor);
    painter.setPen(Qt::black);
    painter.drawRect(frame);
}

} // namespace Gauges
