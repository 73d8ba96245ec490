// A horizontal bar gauge: single border, white background, a bar in ForeColor(), no text.
#pragma once

#include <QColor>
#include <QWidget>

namespace Gauges {

class TGauge : public QWidget {
public:
    explicit TGauge(QWidget* Parent = nullptr);

    int MinValue() const noexcept { return 0; }
    int MaxValue() const noexcept { return FMaxValue; }
    // Below MinValue() counts as MinValue(); a Progress above the new maximum is lowered to it.
    void SetMaxValue(int Value);

    int Progress() const noexcept { return FProgress; }
    // Clamped to [MinValue, MaxValue].
    void SetProgress(int Value);

    QColor ForeColor() const { return FForeColor; }
    void SetForeColor(const QColor& Value);

    // trunc(100 * (Progress - Min) / (Max - Min)); 0 for an empty range.
    int PercentDone() const noexcept;

    // How many repaints the gauge has asked for. The bar is drawn by whole percent, so it asks
    // only when that changes (or the colour does): meters updated many times a second stay
    // cheap.
    int RepaintRequests() const noexcept { return FRepaintRequests; }

protected:
    void paintEvent(QPaintEvent* Event) override;

private:
    void Changed(int OldPercent);
    void RequestRepaint();

    int FMaxValue = 100;
    int FProgress = 0;
    QColor FForeColor = Qt::black;
    int FRepaintRequests = 0;
};

} // namespace Gauges
