// One hand-over to the spectrum window: the points update (with the chart's own geometry update),
// the statistics over all points and, in the painting variant, the repaint that the hand-over asks
// for. Scheme A trims 0.1 from each end, whose passes grow with the square of the point count;
// scheme B shows the cost without them. Each result carries
// "of_buffer", the time as a fraction of the buffer's duration (N samples at 44100 Hz), which is
// the time the hand-over has before the next buffer arrives.
//
// The spectra are transformed beforehand; two of them alternate so every hand-over changes the
// values.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <random>
#include <vector>

#include <QApplication>
#include <QChartView>
#include <QCoreApplication>
#include <QEvent>
#include <QLineSeries>

#include <benchmark/benchmark.h>

#include "analysis/RealFFT.h"
#include "spectrum/uSpectrum.h"

namespace {

constexpr std::uint32_t SampleRate = 44100;

std::vector<double> Spectrum(std::uint32_t N, unsigned Seed) {
    std::mt19937 gen(Seed);
    std::uniform_real_distribution<double> noise(-0.3, 0.3);
    std::vector<double> samples(N);
    for (std::uint32_t j = 0; j < N; ++j)
        samples[j] = 0.5 * std::cos(2.0 * std::numbers::pi * (N / 20) * j / N) + noise(gen);
    RealFFT::RealTransform(samples, static_cast<std::int32_t>(N), false);
    return samples;
}

// Counts the paint events of the chart's drawing surface, to show that every hand-over painted.
class PaintCounter : public QObject {
public:
    long Count = 0;

protected:
    bool eventFilter(QObject*, QEvent* Event) override {
        if (Event->type() == QEvent::Paint)
            ++Count;
        return false;
    }
};

void HandOver(benchmark::State& state, std::int32_t Method, bool Paint) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    const std::vector<double> spectra[2] = {Spectrum(n, 1), Spectrum(n, 2)};

    uSpectrum::TfSpectForm* form = uSpectrum::CreateSpectForm(nullptr);
    PaintCounter paints;
    form->cMain->viewport()->installEventFilter(&paints);
    uSpectrum::ShowSpectrum(spectra[0], n, WaveDefs::TWaveFormat::wf44100mono16, Method, 0.1);
    QCoreApplication::processEvents();
    paints.Count = 0;

    std::size_t i = 0;
    for (auto _ : state) {
        uSpectrum::ShowSpectrum(spectra[++i % 2], n, WaveDefs::TWaveFormat::wf44100mono16, Method,
                                0.1);
        if (Paint)
            form->cMain->viewport()->repaint();
    }

    const double bufferSeconds = static_cast<double>(n) / SampleRate;
    state.counters["of_buffer"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * bufferSeconds,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["paints"] =
        benchmark::Counter(static_cast<double>(paints.Count), benchmark::Counter::kAvgIterations);
    form->cMain->viewport()->removeEventFilter(&paints);
    form->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void BM_HandOverSchemeA(benchmark::State& state) {
    HandOver(state, 0, false);
}
void BM_HandOverSchemeAAndPaint(benchmark::State& state) {
    HandOver(state, 0, true);
}
void BM_HandOverSchemeB(benchmark::State& state) {
    HandOver(state, 1, false);
}
void BM_HandOverSchemeBAndPaint(benchmark::State& state) {
    HandOver(state, 1, true);
}

// N = 4096 and 16384: 2047 and 8191 points.
// For comparison: the same Y values written point by point, each replacement signalling the chart
// on its own. No statistics, no painting.
void BM_PointByPoint(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    const std::vector<double> spectra[2] = {Spectrum(n, 1), Spectrum(n, 2)};
    uSpectrum::TfSpectForm* form = uSpectrum::CreateSpectForm(nullptr);
    uSpectrum::ShowSpectrum(spectra[0], n, WaveDefs::TWaveFormat::wf44100mono16, 1, 0.1);
    QCoreApplication::processEvents();
    std::size_t i = 0;
    for (auto _ : state) {
        const std::vector<double>& spectrum = spectra[++i % 2];
        for (std::uint32_t k = 1; k < n / 2; ++k)
            form->Series1->replace(static_cast<int>(k - 1), form->Series1->at(k - 1).x(),
                                   RealFFT::BinMagnitude(spectrum, static_cast<int>(n), k));
    }
    state.counters["of_buffer"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * n / SampleRate,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    form->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
BENCHMARK(BM_PointByPoint)->Arg(4096)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

#define SPECTRUM_BENCHMARK(name)                                                                   \
    BENCHMARK(name)->Arg(4096)->Arg(16384)->Unit(benchmark::kMicrosecond)->UseRealTime()
SPECTRUM_BENCHMARK(BM_HandOverSchemeA);
SPECTRUM_BENCHMARK(BM_HandOverSchemeAAndPaint);
SPECTRUM_BENCHMARK(BM_HandOverSchemeB);
SPECTRUM_BENCHMARK(BM_HandOverSchemeBAndPaint);

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
