// Making the report after an over: the reference is what the station does before every replay
// anyway with an archive (copying and measuring the over). Morse is made before the replay
// starts, within the 50 ms a replay may wait; speech while the over plays.
#include <chrono>
#include <cstdint>

#include <benchmark/benchmark.h>

#include "station/Audio.h"
#include "station/Report.h"
#include "station/Speech.h"

namespace {

using WaveDefs::TWaveFormat;
constexpr TWaveFormat Mono = TWaveFormat::wf48000mono16;
double ReferenceSeconds = 0;

station::OverFigures Figures() {
    station::OverFigures f;
    f.quietingDb = 24;
    return f;
}

void Counters(benchmark::State& State, double Seconds) {
    State.counters["ms"] = Seconds * 1000;
    State.counters["of_50ms"] = Seconds / 0.05;
    if (ReferenceSeconds > 0)
        State.counters["x_reference"] = Seconds / ReferenceSeconds;
}

template <typename Work>
void Timed(benchmark::State& State, Work&& W, bool Reference = false) {
    double spent = 0;
    for (auto _ : State) {
        const auto begin = std::chrono::steady_clock::now();
        W();
        spent += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    }
    spent /= static_cast<double>(State.iterations());
    if (Reference)
        ReferenceSeconds = spent;
    Counters(State, spent);
}

void OverFigures30s(benchmark::State& State) {
    station::Pcm over;
    station::appendTone(over, Mono, 440, 0.3, 30 * 48000);
    Timed(
        State,
        [&] {
            station::Pcm copy(over);
            benchmark::DoNotOptimize(station::measureAudio(copy, Mono));
        },
        true);
}

void SpokenReport(benchmark::State& State) {
    station::Speech speech(State.range(0) ? "en" : "ru");
    const std::string words =
        station::reportWords(Figures(), station::Level::Good, State.range(0) ? "en" : "ru");
    Timed(State, [&] { benchmark::DoNotOptimize(speech.say(words, Mono, 0.3)); });
}

void MorseReport(benchmark::State& State) {
    const std::string code = station::reportCode(Figures(), station::Level::Good);
    Timed(State, [&] { benchmark::DoNotOptimize(station::morse(code, 20, 800, 19661, Mono)); });
}

BENCHMARK(OverFigures30s)->Unit(benchmark::kMillisecond);
BENCHMARK(SpokenReport)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(MorseReport)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
