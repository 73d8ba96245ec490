// The test-mode spectrum window: the magnitude of every FFT bin of the control channel against
// its frequency, with the average and the maximum of the bins in view, a choice of 1000 Hz bands
// and a vertical scale.
//
// At most one window exists, reached through fSpectForm. It is freed when it closes, and
// fSpectForm is emptied at that moment, so a hand-over that arrives after the close finds no
// window and does nothing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <QList>
#include <QPointF>
#include <QWidget>

#include "wave/WaveDefs.h"

class QChart;
class QChartView;
class QCheckBox;
class QCloseEvent;
class QComboBox;
class QFrame;
class QLabel;
class QLineSeries;
class QValueAxis;

namespace Spin {
class TSpinEdit;
}

namespace uSpectrum {

class TfSpectForm : public QWidget {
public:
    explicit TfSpectForm(QWidget* Owner = nullptr);
    ~TfSpectForm() override;
    TfSpectForm(const TfSpectForm&) = delete;
    TfSpectForm& operator=(const TfSpectForm&) = delete;

    // Controls, owned by the window through Qt's parent ownership.
    QChartView* cMain = nullptr;
    QLineSeries* Series1 = nullptr;
    QFrame* Panel1 = nullptr;
    QLabel* Label1 = nullptr;
    Spin::TSpinEdit* seScale = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* cbRange = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* lblMedium = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* lblMaximum = nullptr;

    // The chart's axes: frequency at the bottom, magnitude on the left.
    QValueAxis* BottomAxis() const noexcept { return FBottomAxis; }
    QValueAxis* LeftAxis() const noexcept { return FLeftAxis; }

    // The bottom axis is automatic (spanning the points' smallest to largest X) or fixed.
    bool BottomAxisAutomatic() const noexcept { return FBottomAutomatic; }
    void SetBottomAxisAutomatic();
    void SetBottomAxisRange(double Min, double Max);
    // The left axis always starts at 0.
    void SetLeftAxisMax(double Max);

    double Average() const noexcept { return FAverage; }
    double Maximum() const noexcept { return FMaximum; }
    const std::vector<double>& RangeValues() const noexcept { return FRangeValues; }

    // Puts bins 1 .. N div 2 - 1 of the packed spectrum in Samples on the chart, one point per
    // bin. The first call (or one with more bins than there are points) creates the points and
    // rebuilds the range list; later calls replace the Y values of the first N div 2 - 1 points
    // in place, with one repaint.
    void PlotSpectrum(std::span<const double> Samples, std::uint32_t N, std::uint32_t SampleRate);

    // Recomputes FAverage (trimmed by Fraction from each end) and FMaximum over the points inside
    // the bottom axis's range, and shows them.
    void UpdateStatistics(double Fraction);
    // Refills cbRange with one 1000 Hz band per point reaching it, and selects "All".
    void BuildRangeList();

    void FormCreate();
    void FormClose();
    void seScaleChange();
    void cbRangeChange();
    void CheckBox1Click();

protected:
    void closeEvent(QCloseEvent* Event) override;

private:
    void ApplyBottomAxisRange(double Min, double Max);

    QChart* FChart = nullptr;
    QValueAxis* FBottomAxis = nullptr;
    QValueAxis* FLeftAxis = nullptr;
    bool FBottomAutomatic = true;
    // The series' points as last handed to it; kept so that a hand-over replaces them all at once.
    QList<QPointF> FPoints;

    double FAverage = 0.0;
    double FMaximum = 0.0;
    std::vector<double> FRangeValues;
};

// The open spectrum window, or nullptr.
extern TfSpectForm* fSpectForm;

// Creates and shows the spectrum window (modeless) unless one is open; returns the open one.
TfSpectForm* CreateSpectForm(QWidget* Owner);

// The hand-over after each forward transform: plots the packed spectrum of N samples in Samples
// and updates the statistics, trimmed by SquelchTrim under scheme A (Method 0), untrimmed under
// scheme B (Method 1), left as they are for any other Method. Does nothing without a window, or
// when Samples cannot hold a transform of N samples.
void ShowSpectrum(std::span<const double> Samples, std::uint32_t N, WaveDefs::TWaveFormat Format,
                  std::int32_t Method, double SquelchTrim);

} // namespace uSpectrum
