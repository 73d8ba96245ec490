// What the suites that run against the real sound server share: the check that they run inside
// tools/sound-rig, the devices of the rig by name, deterministic test signals, helpers to run the
// message loop and the PulseAudio command-line tools, and sample comparisons.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/MMSystem.h"

class QProcess;

namespace RigSupport {

// Why the rig cannot run here, or empty inside a working rig.
std::string SkipReason();
// A file path inside the rig's temporary folder.
std::string RigPath(const std::string& Name);

// The capture or playback device number with this name, or -1.
int CaptureDevice(const std::u16string& Name);
int PlaybackDevice(const std::u16string& Name);

// Runs the message loop until Done() holds or TimeoutMs passes; returns Done().
bool PumpUntil(const std::function<bool()>& Done, int TimeoutMs);
void PumpFor(int Milliseconds);

// Interleaved 16-bit stereo: pseudo-random noise on Channel, exact zero on the other.
std::vector<std::int16_t> Noise(std::size_t Frames, unsigned Channel, std::uint32_t Seed);
// Interleaved 16-bit stereo: a linear chirp from F0 to F1 Hz at Amplitude (of full scale) on
// Channel, zero on the other.
std::vector<std::int16_t> Chirp(std::size_t Frames, std::uint32_t Rate, double F0, double F1,
                                double Amplitude, unsigned Channel);
// The same samples as the sound server turns 16-bit into 8-bit: (s >> 8) + 128.
std::vector<std::uint8_t> To8Bit(const std::vector<std::int16_t>& Samples);
// 8-bit samples widened as the sound server does: (u - 128) << 8.
std::vector<std::int16_t> From8Bit(const std::uint8_t* Samples, std::size_t Count);
std::vector<std::int16_t> From16Bit(const std::uint8_t* Bytes, std::size_t Count);

void WriteWav(const std::string& Path, const std::vector<std::int16_t>& Stereo, std::uint32_t Rate);
std::vector<std::uint8_t> ReadFile(const std::string& Path);

// The first frame of Recorded (interleaved stereo) from which Reference's first Match frames
// follow exactly, or -1.
long FindExact(const std::vector<std::int16_t>& Recorded,
               const std::vector<std::int16_t>& Reference, std::size_t Match = 32);

// parecord of a source into a raw 16-bit stereo file at 48000 Hz, with the short latency that
// keeps it from losing its buffer, stopped with SIGINT so that it writes what it holds.
class TRecording {
public:
    TRecording(const std::string& Source, const std::string& Path);
    ~TRecording();
    TRecording(const TRecording&) = delete;
    TRecording& operator=(const TRecording&) = delete;
    // Waits until the recording has begun writing; false when it did not within TimeoutMs.
    bool WaitRunning(int TimeoutMs);
    // Waits until it has recorded Seconds more of audio; false when that took over TimeoutMs.
    bool RecordMore(double Seconds, int TimeoutMs);
    // Stops it and returns the samples it recorded.
    std::vector<std::int16_t> Finish();

private:
    std::int64_t FileSize() const;

    std::string FPath;
    std::unique_ptr<QProcess> FProcess;
};

// Runs a program with arguments while the message loop runs; returns its exit status (-1 when
// it could not run or did not end within TimeoutMs).
int Run(const std::string& Program, const std::vector<std::string>& Arguments, int TimeoutMs);

} // namespace RigSupport
