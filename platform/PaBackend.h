// The real sound card: a backend of the waveform-audio service on PortAudio. Capture devices are
// PortAudio's devices with an input, playback devices those with an output, in PortAudio's
// order; the mapper is PortAudio's default device of that direction. Every open stream runs
// PortAudio's callback, which only moves frames through a lock-free ring, and a service thread
// of its own between that ring and the core; it keeps running from open to close (silence
// while nothing is queued), so that no played sample is cut off by a stop. A stream the sound
// system gives up on is reported to the core as lost, and no close waits on a stalled server
// for more than a second.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/WaveCore.h"

namespace PaBackend {

using MMSystem::DWORD;
using MMSystem::MMRESULT;
using MMSystem::UINT;

// Counted over the streams closed so far.
struct TStatistics {
    std::uint64_t Streams = 0;
    // Frames read from or written to PortAudio, silence included.
    std::uint64_t CaptureFrames = 0;
    std::uint64_t PlaybackFrames = 0;
    // Captured while running with no buffer queued: lost, as on any card.
    std::uint64_t LostCaptureBytes = 0;
    // PortAudio's reports of input lost for want of reading and of output that ran dry.
    std::uint64_t Overflows = 0;
    std::uint64_t Underflows = 0;
    // Streams the sound system gave up on (a server gone, a card unplugged).
    std::uint64_t LostStreams = 0;
    // CPU time of the streams' callback and service threads, PortAudio's and the host API's
    // work on them included.
    std::int64_t CpuNs = 0;
};

class TPortAudioBackend final : public WaveCore::IWaveBackend {
public:
    // Never fails: without PortAudio or without devices it serves zero devices, and an open
    // reports what PortAudio said.
    TPortAudioBackend();
    ~TPortAudioBackend() override;
    TPortAudioBackend(const TPortAudioBackend&) = delete;
    TPortAudioBackend& operator=(const TPortAudioBackend&) = delete;

    // PortAudio's words when it could not start, else empty.
    const std::string& InitError() const { return FInitError; }
    // PortAudio's index of a device number (the mapper included), or -1.
    int PortAudioDevice(WaveCore::TDirection Direction, UINT DeviceID) const;
    TStatistics Statistics();
    // The same with the streams still open counted so far, for a running program's figures.
    TStatistics LiveStatistics();
    // Finds every device's formats now, several at a time, rather than as each is asked for.
    // Only while no stream is open.
    void ProbeAll();

    // IWaveBackend
    UINT DeviceCount(WaveCore::TDirection Direction) override;
    MMRESULT DeviceCaps(WaveCore::TDirection Direction, UINT DeviceID,
                        WaveCore::TDeviceCaps& Caps) override;
    MMRESULT OpenStream(WaveCore::TStream& Stream) override;
    void CloseStream(WaveCore::TStream& Stream) override;
    void StreamChanged(WaveCore::TStream& Stream, WaveCore::TStreamEvent Event) override;
    // "ALSA: rx_cap": the host API before PortAudio's name, whole.
    std::string ListedName(WaveCore::TDirection Direction, UINT DeviceID) override;

    class TStreamState;

private:
    class TSession;
    struct TDevice {
        int Index;
        WaveCore::TDeviceCaps Caps;
        std::string Listed;
        bool Probed = false; // Caps.Formats known
    };

    const std::vector<TDevice>& Devices(WaveCore::TDirection Direction) const;
    const TDevice* Find(WaveCore::TDirection Direction, UINT DeviceID) const;
    void Enumerate();
    static void Probe(TDevice& Device, WaveCore::TDirection Direction);
    void AddStatistics(const TStatistics& Stream);

    std::unique_ptr<TSession> FSession;
    std::string FInitError;
    std::vector<TDevice> FCapture;
    std::vector<TDevice> FPlayback;
    // Positions in the lists above of PortAudio's default devices.
    std::size_t FDefaultCapture = 0;
    std::size_t FDefaultPlayback = 0;
    std::mutex FStatisticsLock;
    TStatistics FStatistics;
    std::vector<std::weak_ptr<TStreamState>> FOpenStreams; // under FStatisticsLock
};

// Makes a PortAudio backend and installs it as the service's backend; puts the previous one
// back when it goes.
class TInstalledPortAudio {
public:
    TInstalledPortAudio();
    TInstalledPortAudio(const TInstalledPortAudio&) = delete;
    TInstalledPortAudio& operator=(const TInstalledPortAudio&) = delete;

    TPortAudioBackend& Backend() { return *FBackend; }
    TPortAudioBackend* operator->() { return FBackend; }

private:
    explicit TInstalledPortAudio(std::unique_ptr<TPortAudioBackend> Backend);

    TPortAudioBackend* FBackend;
    WaveCore::TInstalledBackend FInstalled;
};

} // namespace PaBackend
