// The repeater's per-buffer work: the capture path (split, meters, detection) and the playback
// fill (block, tone, meters, merge), each also reported as a share of the buffer's duration.
#include <chrono>
#include <cstdlib>
#include <random>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include "app/uMain.h"
#include "platform/SimCard.h"
#include "wave/WaveDefs.h"

namespace {

using WaveDefs::TWaveFormat;

struct TBench {
    QTemporaryDir Dir;
    SimCard::TInstalledCard Card;
    std::unique_ptr<uMain::TfMainForm> Form;
    std::vector<std::uint8_t> Buffer;
    double BufferSeconds;

    TBench(int SoundMode, TWaveFormat Format) {
        QFile ini(Dir.filePath("quorim.ini"));
        ini.open(QIODevice::WriteOnly);
        ini.write(("[Main]\nSoundMode=" + std::to_string(SoundMode) + "\n").c_str());
        ini.close();
        Form = std::make_unique<uMain::TfMainForm>(ini.fileName().toStdString());
        // A full capture buffer of receiver hiss: the common case, a waiting repeater.
        Buffer.resize(Form->BufferSize);
        std::mt19937 random(7);
        for (auto& b : Buffer)
            b = static_cast<std::uint8_t>(random());
        const auto& info = WaveDefs::Info(Format);
        BufferSeconds = static_cast<double>(Form->BufferSize) / info.BytesPerSecond();
    }
};

// The wall time of the timed loop as a share of the audio it handled, in percent.
struct TShare {
    benchmark::State& State;
    double BufferSeconds;
    std::chrono::steady_clock::time_point Begin = std::chrono::steady_clock::now();
    ~TShare() {
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - Begin;
        State.counters["percent_of_buffer"] =
            100.0 * spent.count() / (static_cast<double>(State.iterations()) * BufferSeconds);
    }
};

void CapturePath(benchmark::State& State, int SoundMode, TWaveFormat Format, int Method) {
    TBench bench(SoundMode, Format);
    bench.Form->Method = Method;
    TShare share{State, bench.BufferSeconds};
    for (auto _ : State)
        bench.Form->RecorderBufferDone(nullptr, bench.Buffer.data(),
                                       static_cast<std::uint32_t>(bench.Buffer.size()));
}

void PlaybackFill(benchmark::State& State, int SoundMode, TWaveFormat Format) {
    TBench bench(SoundMode, Format);
    auto& form = *bench.Form;
    std::vector<std::uint8_t> out(form.BufferSize);
    const std::uint32_t block = form.BufferSize / 2;
    TShare share{State, bench.BufferSeconds};
    for (auto _ : State) {
        State.PauseTiming();
        if (form.Blocks->Empty())
            for (int i = 0; i < 256; ++i)
                form.AddBlock(bench.Buffer.data(), block);
        State.ResumeTiming();
        std::uint32_t size = 0;
        form.PlayerBufferDone(nullptr, out.data(), size);
        benchmark::DoNotOptimize(size);
    }
}

// Mode list positions when every standard format is supported.
constexpr int Mode44100x16 = 3;
constexpr int Mode96000x16 = 7;

BENCHMARK_CAPTURE(CapturePath, defaults_schemeA, Mode44100x16, TWaveFormat::wf44100stereo16, 0)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(CapturePath, defaults_schemeB, Mode44100x16, TWaveFormat::wf44100stereo16, 1)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(CapturePath, 96000x16_schemeA, Mode96000x16, TWaveFormat::wf96000stereo16, 0)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PlaybackFill, defaults, Mode44100x16, TWaveFormat::wf44100stereo16)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(PlaybackFill, 96000x16, Mode96000x16, TWaveFormat::wf96000stereo16)
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
