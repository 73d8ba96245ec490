// The capture and playback devices on the PortAudio backend, looped through the sound server: a
// player feeds tx while a recorder hears tx.monitor. The recording must hold the played signal
// whole, on its channel, up to its last sample; the run prints the round-trip latency, what
// was lost, and the backend's CPU time per second of audio.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/PaBackend.h"
#include "tests/rig/RigSupport.h"
#include "wave/WaveDefs.h"
#include "wave/WavePlay.h"
#include "wave/WaveRec.h"

using namespace RigSupport;
using WaveDefs::TWaveDevice;
using WaveDefs::TWaveFormat;
using WaveDefs::UINT;

namespace {

using TClock = std::chrono::steady_clock;

constexpr double Amplitude = 0.5;
constexpr double SignalSeconds = 1.0;

double Seconds(TClock::duration D) {
    return std::chrono::duration<double>(D).count();
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Channel c of interleaved stereo frames [First, First + Count).
std::vector<double> Channel(const std::vector<std::int16_t>& Stereo, unsigned C, long First,
                            std::size_t Count) {
    std::vector<double> out(Count, 0.0);
    for (std::size_t i = 0; i < Count; ++i) {
        const long f = First + static_cast<long>(i);
        if (f >= 0 && 2 * static_cast<std::size_t>(f) + C < Stereo.size())
            out[i] = Stereo[2 * static_cast<std::size_t>(f) + C];
    }
    return out;
}

double Dot(const std::vector<double>& A, const std::vector<double>& B, std::size_t From,
           std::size_t Count) {
    double sum = 0;
    for (std::size_t i = From; i < From + Count; ++i)
        sum += A[i] * B[i];
    return sum;
}

long FirstAbove(const std::vector<std::int16_t>& Stereo, unsigned C, double Level) {
    for (std::size_t f = 0; 2 * f + C < Stereo.size(); ++f)
        if (std::abs(Stereo[2 * f + C]) > Level)
            return static_cast<long>(f);
    return -1;
}

// The frame of Recorded where Reference begins: the onset, refined by correlation.
long Align(const std::vector<std::int16_t>& Recorded, const std::vector<std::int16_t>& Reference) {
    const double level = Amplitude * 32767 / 2;
    const long onset = FirstAbove(Recorded, 0, level);
    const long refOnset = FirstAbove(Reference, 0, level);
    if (onset < 0 || refOnset < 0)
        return -1;
    // The whole chirp, up to its highest frequency, gives the sharpest peak.
    const std::size_t window = Reference.size() / 2;
    const std::vector<double> ref = Channel(Reference, 0, 0, window);
    long best = -1;
    double bestScore = -1e300;
    for (long lag = onset - refOnset - 64; lag <= onset - refOnset + 64; ++lag) {
        const double score = Dot(ref, Channel(Recorded, 0, lag, window), 0, window);
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

using TParam = std::tuple<std::uint32_t, unsigned>; // rate, bits

TWaveFormat StereoFormat(std::uint32_t Rate, unsigned Bits) {
    const bool b16 = Bits == 16;
    switch (Rate) {
    case 44100:
        return b16 ? TWaveFormat::wf44100stereo16 : TWaveFormat::wf44100stereo8;
    default:
        return b16 ? TWaveFormat::wf48000stereo16 : TWaveFormat::wf48000stereo8;
    }
}

class Loopback : public ::testing::TestWithParam<TParam> {
protected:
    void SetUp() override {
        if (const std::string reason = SkipReason(); !reason.empty())
            GTEST_SKIP() << reason;
        FPortAudio = std::make_unique<PaBackend::TInstalledPortAudio>();
    }
    std::unique_ptr<PaBackend::TInstalledPortAudio> FPortAudio;
};

TEST_P(Loopback, RecordsThePlayedChirpWholeOnItsChannelToItsLastSample) {
    const auto [rate, bits] = GetParam();
    const int txMonitor = CaptureDevice(u"tx_mon");
    const int tx = PlaybackDevice(u"tx_play");
    ASSERT_GE(txMonitor, 0);
    ASSERT_GE(tx, 0);

    // The chirp on the left, silence on the right, at the width it travels in.
    const auto frames = static_cast<std::size_t>(SignalSeconds * rate);
    std::vector<std::int16_t> reference = Chirp(frames, rate, 300, 3000, Amplitude, 0);
    std::vector<std::uint8_t> played(2 * reference.size());
    if (bits == 8) {
        played = To8Bit(reference);
        reference = From8Bit(played.data(), played.size());
    } else {
        std::memcpy(played.data(), reference.data(), played.size());
    }

    // The program's own defaults: four buffers of 8192 bytes on each side.
    WaveRec::TWaveRecorder recorder;
    WavePlay::TWavePlayer player;
    recorder.SetDeviceID(static_cast<UINT>(txMonitor));
    player.SetDeviceID(static_cast<UINT>(tx));
    for (TWaveDevice* device :
         {static_cast<TWaveDevice*>(&recorder), static_cast<TWaveDevice*>(&player)}) {
        device->SetFormat(StereoFormat(rate, bits));
        device->SetBuffers(4);
        device->SetBufferSize(8192);
    }

    std::vector<std::uint8_t> captured;
    // When each buffer came back, and the frames captured up to its end.
    std::vector<std::pair<TClock::time_point, std::size_t>> deliveries;
    const std::size_t frameBytes = bits / 8 * 2;
    recorder.OnBufferDone = [&](TWaveDevice*, const void* Buffer, std::uint32_t Size) {
        const auto* p = static_cast<const std::uint8_t*>(Buffer);
        captured.insert(captured.end(), p, p + Size);
        deliveries.emplace_back(TClock::now(), captured.size() / frameBytes);
    };
    std::size_t offset = 0;
    player.OnBufferDone = [&](TWaveDevice*, void* Buffer, std::uint32_t& Size) {
        const std::size_t n = std::min<std::size_t>(Size, played.size() - offset);
        std::memcpy(Buffer, played.data() + offset, n);
        offset += n;
        Size = static_cast<std::uint32_t>(n);
    };
    bool stopped = false;
    player.OnStop = [&](TWaveDevice*) { stopped = true; };

    const double cpuBefore = ProcessCpuSeconds();
    const auto wallBefore = TClock::now();
    recorder.Start();
    PumpFor(300);
    const auto playStart = TClock::now();
    const std::size_t framesBefore = captured.size() / frameBytes;
    player.Start();
    ASSERT_TRUE(PumpUntil([&] { return stopped; }, 10000));
    const auto playEnd = TClock::now();
    // The chirp and 400 ms after it, counted in captured audio rather than in wall time.
    ASSERT_TRUE(PumpUntil(
        [&] { return captured.size() / frameBytes >= framesBefore + frames + 4 * rate / 10; },
        5000));
    recorder.Stop();
    const double wall = Seconds(TClock::now() - wallBefore);
    const double cpu = ProcessCpuSeconds() - cpuBefore;

    const std::vector<std::int16_t> recorded = bits == 16
                                                   ? From16Bit(captured.data(), captured.size() / 2)
                                                   : From8Bit(captured.data(), captured.size());
    const long at = Align(recorded, reference);
    ASSERT_GE(at, 0) << "the chirp is not in the recording";
    ASSERT_GE(recorded.size() / 2, static_cast<std::size_t>(at) + frames + rate / 10)
        << "the recording ends before the chirp does";

    if (rate == 48000) {
        // The server's own rate: nothing resamples, so every sample arrives as it was sent.
        EXPECT_TRUE(std::equal(reference.begin(), reference.end(), recorded.begin() + 2 * at));
    }
    // Window by window, and the last 100 ms above all: the chirp is there, in shape and level.
    // Resampled twice, the chirp comes back shifted by a fraction of a sample that differs from
    // run to run, so each window may lie up to one frame either side of the whole's alignment.
    const std::vector<double> want = Channel(reference, 0, 0, frames);
    const long slack = rate == 48000 ? 0 : 1;
    std::vector<std::vector<double>> shifted;
    for (long d = -slack; d <= slack; ++d)
        shifted.push_back(Channel(recorded, 0, at + d, frames));
    const std::size_t window = rate / 10;
    for (std::size_t from = 0; from + window <= frames; from += window) {
        const double ww = Dot(want, want, from, window);
        double best = -1;
        double level = 0;
        for (const std::vector<double>& got : shifted) {
            const double gg = Dot(got, got, from, window);
            const double similarity = Dot(want, got, from, window) / std::sqrt(ww * gg + 1e-9);
            if (similarity > best) {
                best = similarity;
                level = gg / ww;
            }
        }
        EXPECT_GT(best, 0.95) << "window at " << from << " frames";
        EXPECT_NEAR(level, 1.0, 0.3) << "window at " << from << " frames";
    }
    // The right channel stays silent, and so does the left once the chirp is over.
    const std::vector<double> right = Channel(recorded, 1, 0, recorded.size() / 2);
    const double lsb = bits == 8 ? 256 : 1;
    for (double s : right)
        ASSERT_LE(std::abs(s), 2 * lsb);
    const std::vector<double> after = Channel(recorded, 0, at + static_cast<long>(frames) + 64,
                                              recorded.size() / 2 - at - frames - 64);
    for (double s : after)
        ASSERT_LE(std::abs(s), 0.02 * 32767);

    // Round trip: from the start of the playback to the moment the chirp's first frame came
    // back to the program, and how much audio its buffer still took after that frame. A null
    // sink renders ahead of the clock, so the first can come out shorter than the second.
    double backMs = -1;
    double fillMs = 0;
    for (const auto& [time, end] : deliveries)
        if (end > static_cast<std::size_t>(at)) {
            backMs = 1000 * Seconds(time - playStart);
            fillMs = 1000 * static_cast<double>(end - static_cast<std::size_t>(at)) / rate;
            break;
        }
    const PaBackend::TStatistics s = FPortAudio->Backend().Statistics();
    const double audioSeconds = static_cast<double>(s.CaptureFrames + s.PlaybackFrames) / rate;
    std::printf("loopback %u Hz %u-bit: first frame back %.1f ms after the play began, its "
                "buffer still %.1f ms from full; play %.3f s for %.3f s of audio; "
                "lost %llu bytes, %llu overflows, %llu underflows; backend threads %.3f ms CPU "
                "per second of audio, process %.1f ms CPU per second\n",
                rate, bits, backMs, fillMs, Seconds(playEnd - playStart), SignalSeconds,
                static_cast<unsigned long long>(s.LostCaptureBytes),
                static_cast<unsigned long long>(s.Overflows),
                static_cast<unsigned long long>(s.Underflows),
                1e-6 * static_cast<double>(s.CpuNs) / audioSeconds, 1000 * cpu / wall);
    RecordProperty("FirstFrameBackMs", std::to_string(backMs));
    RecordProperty("BufferFillMs", std::to_string(fillMs));
    EXPECT_EQ(s.LostCaptureBytes, 0u);
    EXPECT_EQ(s.Underflows, 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, Loopback,
                         ::testing::Combine(::testing::Values(44100u, 48000u),
                                            ::testing::Values(8u, 16u)),
                         [](const auto& Info) {
                             return std::to_string(std::get<0>(Info.param)) + "Hz" +
                                    std::to_string(std::get<1>(Info.param)) + "bit";
                         });

} // namespace
