// Forward real transform against FFTW's real-to-complex transform of the same size, with the
// ratio of the two printed at the end.
//
// Both transforms work in place, so every iteration first copies the same input into the work
// array; the copy is part of both timings.
#include <algorithm>
#include <cstdio>
#include <fftw3.h>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "analysis/RealFFT.h"

namespace {

constexpr int MinN = 256, MaxN = 8192;

std::vector<double> Input(int n) {
    std::mt19937 gen(static_cast<unsigned>(n));
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v)
        x = dist(gen);
    return v;
}

void BM_RealTransform(benchmark::State& state) {
    const auto n = static_cast<int>(state.range(0));
    const std::vector<double> input = Input(n);
    std::vector<double> work(n);
    for (auto _ : state) {
        std::copy(input.begin(), input.end(), work.begin());
        RealFFT::RealTransform(work, n, false);
        benchmark::DoNotOptimize(work.data());
        benchmark::ClobberMemory();
    }
}

struct FftwFree {
    void operator()(double* p) const { fftw_free(p); }
};
struct FftwPlanDestroy {
    void operator()(fftw_plan p) const { fftw_destroy_plan(p); }
};
struct FftwCase {
    std::unique_ptr<double, FftwFree> Buffer;
    std::unique_ptr<std::remove_pointer_t<fftw_plan>, FftwPlanDestroy> Plan;
};

// Planned once per size, before any timing: the benchmark function itself runs several times.
std::map<int, FftwCase>& FftwCases() {
    static std::map<int, FftwCase> cases;
    return cases;
}

FftwCase& FftwFor(int n) {
    auto& cases = FftwCases();
    auto it = cases.find(n);
    if (it == cases.end()) {
        FftwCase c;
        // In place: n / 2 + 1 complex outputs need two doubles of padding.
        c.Buffer.reset(fftw_alloc_real(2 * (n / 2 + 1)));
        c.Plan.reset(fftw_plan_dft_r2c_1d(
            n, c.Buffer.get(), reinterpret_cast<fftw_complex*>(c.Buffer.get()), FFTW_MEASURE));
        it = cases.emplace(n, std::move(c)).first;
    }
    return it->second;
}

void BM_FFTW(benchmark::State& state) {
    const auto n = static_cast<int>(state.range(0));
    const std::vector<double> input = Input(n);
    FftwCase& c = FftwFor(n);
    for (auto _ : state) {
        std::copy(input.begin(), input.end(), c.Buffer.get());
        fftw_execute(c.Plan.get());
        benchmark::DoNotOptimize(c.Buffer.get());
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_RealTransform)->RangeMultiplier(2)->Range(MinN, MaxN)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FFTW)->RangeMultiplier(2)->Range(MinN, MaxN)->Unit(benchmark::kMicrosecond);

// Prints as usual and keeps the CPU time per iteration of every run for the closing table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::pair<std::string, std::string>, double> Times;

    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const Run& r : reports) {
            if (r.run_type == Run::RT_Iteration && !r.error_occurred)
                Times[{r.run_name.function_name, r.run_name.args}] = r.GetAdjustedCPUTime();
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n%8s %14s %14s %10s\n", "N", "ours (us)", "FFTW (us)", "ours/FFTW");
    for (int n = MinN; n <= MaxN; n *= 2) {
        const std::string arg = std::to_string(n);
        const auto ours = reporter.Times.find({"BM_RealTransform", arg});
        const auto fftw = reporter.Times.find({"BM_FFTW", arg});
        if (ours == reporter.Times.end() || fftw == reporter.Times.end())
            continue;
        std::printf("%8d %14.3f %14.3f %10.2f\n", n, ours->second, fftw->second,
                    ours->second / fftw->second);
    }
    FftwCases().clear();
    fftw_cleanup();
    benchmark::Shutdown();
    return 0;
}
