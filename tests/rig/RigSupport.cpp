#include "tests/rig/RigSupport.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <signal.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include "platform/PinnedLibraries.h"

namespace RigSupport {

using namespace MMSystem;

namespace {
[[maybe_unused]] const bool Pinned = Platform::PinSoundLibraries();
} // namespace

std::string SkipReason() {
    if (const char* skip = std::getenv("QUORIM_SOUND_RIG_SKIP"))
        return std::string("the sound server could not start: ") + skip;
    if (std::getenv("QUORIM_SOUND_RIG") == nullptr)
        return "runs only inside tools/sound-rig, which starts the sound server it needs";
    return {};
}

std::string RigPath(const std::string& Name) {
    const char* rig = std::getenv("QUORIM_SOUND_RIG");
    return std::string(rig != nullptr ? rig : "/tmp") + "/" + Name;
}

int CaptureDevice(const std::u16string& Name) {
    const UINT count = waveInGetNumDevs();
    for (UINT i = 0; i < count; ++i) {
        WAVEINCAPSW caps{};
        if (waveInGetDevCapsW(i, &caps, sizeof caps) == MMSYSERR_NOERROR && caps.szPname == Name)
            return static_cast<int>(i);
    }
    return -1;
}

int PlaybackDevice(const std::u16string& Name) {
    const UINT count = waveOutGetNumDevs();
    for (UINT i = 0; i < count; ++i) {
        WAVEOUTCAPSW caps{};
        if (waveOutGetDevCapsW(i, &caps, sizeof caps) == MMSYSERR_NOERROR && caps.szPname == Name)
            return static_cast<int>(i);
    }
    return -1;
}

bool PumpUntil(const std::function<bool()>& Done, int TimeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    // Sleeps between events instead of spinning, which would starve the sound server; the
    // timer bounds each sleep.
    QTimer tick;
    tick.start(5);
    while (!Done()) {
        if (std::chrono::steady_clock::now() >= end)
            return Done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void PumpFor(int Milliseconds) {
    PumpUntil([] { return false; }, Milliseconds);
}

std::vector<std::int16_t> Noise(std::size_t Frames, unsigned Channel, std::uint32_t Seed) {
    std::vector<std::int16_t> samples(2 * Frames, 0);
    std::uint32_t x = Seed;
    for (std::size_t i = 0; i < Frames; ++i) {
        x = x * 1664525u + 1013904223u;
        // Never zero, so that the signal's start is unmistakable.
        auto v = static_cast<std::int16_t>(static_cast<std::int32_t>(x >> 16) % 24000 - 12000);
        samples[2 * i + Channel] = v == 0 ? std::int16_t{1} : v;
    }
    return samples;
}

std::vector<std::int16_t> Chirp(std::size_t Frames, std::uint32_t Rate, double F0, double F1,
                                double Amplitude, unsigned Channel) {
    std::vector<std::int16_t> samples(2 * Frames, 0);
    const double duration = static_cast<double>(Frames) / Rate;
    for (std::size_t i = 0; i < Frames; ++i) {
        const double t = static_cast<double>(i) / Rate;
        const double phase = 2 * std::numbers::pi * (F0 * t + (F1 - F0) * t * t / (2 * duration));
        samples[2 * i + Channel] =
            static_cast<std::int16_t>(std::lround(Amplitude * 32767 * std::sin(phase)));
    }
    return samples;
}

std::vector<std::uint8_t> To8Bit(const std::vector<std::int16_t>& Samples) {
    std::vector<std::uint8_t> bytes(Samples.size());
    for (std::size_t i = 0; i < Samples.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>((Samples[i] >> 8) + 128);
    return bytes;
}

std::vector<std::int16_t> From8Bit(const std::uint8_t* Samples, std::size_t Count) {
    std::vector<std::int16_t> wide(Count);
    for (std::size_t i = 0; i < Count; ++i)
        wide[i] = static_cast<std::int16_t>((Samples[i] - 128) * 256);
    return wide;
}

std::vector<std::int16_t> From16Bit(const std::uint8_t* Bytes, std::size_t Count) {
    std::vector<std::int16_t> samples(Count);
    std::memcpy(samples.data(), Bytes, 2 * Count);
    return samples;
}

void WriteWav(const std::string& Path, const std::vector<std::int16_t>& Stereo,
              std::uint32_t Rate) {
    std::ofstream out(Path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const auto data = static_cast<std::uint32_t>(2 * Stereo.size());
    out.write("RIFF", 4);
    u32(36 + data);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(2);
    u32(Rate);
    u32(Rate * 4);
    u16(4);
    u16(16);
    out.write("data", 4);
    u32(data);
    out.write(reinterpret_cast<const char*>(Stereo.data()), data);
}

std::vector<std::uint8_t> ReadFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

long FindExact(const std::vector<std::int16_t>& Recorded,
               const std::vector<std::int16_t>& Reference, std::size_t Match) {
    const std::size_t n = 2 * Match;
    if (Reference.size() < n)
        return -1;
    for (std::size_t f = 0; 2 * f + n <= Recorded.size(); ++f)
        if (std::equal(Reference.begin(), Reference.begin() + static_cast<long>(n),
                       Recorded.begin() + static_cast<long>(2 * f)))
            return static_cast<long>(f);
    return -1;
}

TRecording::TRecording(const std::string& Source, const std::string& Path)
    : FPath(Path), FProcess(std::make_unique<QProcess>()) {
    FProcess->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess->start("parecord",
                    {"--latency-msec=20", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
                     "-d", QString::fromStdString(Source), QString::fromStdString(Path)});
}

TRecording::~TRecording() {
    if (FProcess->state() != QProcess::NotRunning) {
        FProcess->kill();
        FProcess->waitForFinished(2000);
    }
}

bool TRecording::WaitRunning(int TimeoutMs) {
    if (!FProcess->waitForStarted(TimeoutMs))
        return false;
    // A monitor delivers silence even while nothing plays, so the file grows once it records.
    return PumpUntil([&] { return FileSize() > 4096; }, TimeoutMs);
}

std::int64_t TRecording::FileSize() const {
    return QFileInfo(QString::fromStdString(FPath)).size();
}

bool TRecording::RecordMore(double Seconds, int TimeoutMs) {
    const std::int64_t until = FileSize() + static_cast<std::int64_t>(Seconds * 48000) * 4;
    return PumpUntil([&] { return FileSize() >= until; }, TimeoutMs);
}

std::vector<std::int16_t> TRecording::Finish() {
    if (FProcess->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(FProcess->processId()), SIGINT);
        FProcess->waitForFinished(5000);
    }
    const std::vector<std::uint8_t> bytes = ReadFile(FPath);
    return From16Bit(bytes.data(), bytes.size() / 2);
}

int Run(const std::string& Program, const std::vector<std::string>& Arguments, int TimeoutMs) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    QStringList arguments;
    for (const auto& a : Arguments)
        arguments << QString::fromStdString(a);
    process.start(QString::fromStdString(Program), arguments);
    if (!process.waitForStarted(5000))
        return -1;
    PumpUntil([&] { return process.state() == QProcess::NotRunning; }, TimeoutMs);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(2000);
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace RigSupport
