// A simulated sound card with a radio attached, behind the same service as a real card: for
// tests, demos and offline use. Its input runs on with its clock whether or not anything
// captures it; what it plays is laid on the same timeline.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QMetaObject>

#include "platform/SimWav.h"
#include "platform/WaveCore.h"
#include "platform/Windows.h"

namespace SimCard {

using MMSystem::DWORD;
using MMSystem::MMRESULT;
using MMSystem::UINT;
using MMSystem::WAVEFORMATEX;
using TTimeNs = std::int64_t;

inline constexpr TTimeNs Milliseconds = 1'000'000;
inline constexpr TTimeNs Seconds = 1'000'000'000;

// Manual: a test moves time. Fast: whenever the program would wait, time jumps to the next
// completion, so an hour of input runs in seconds, identically run after run. RealTime: paced by
// the wall clock on a thread of the card.
enum class TClockMode : std::uint8_t { Manual, Fast, RealTime };

// Fills Frames frames in Format, starting at frame FirstFrame of the input timeline (frames at
// Format's rate since the card was made).
using TCaptureSource = std::function<void(const WAVEFORMATEX& Format, std::uint64_t FirstFrame,
                                          std::uint32_t Frames, std::uint8_t* Dest)>;

struct TCaptureDeviceConfig {
    std::string Name = "Simulated receiver";
    std::uint16_t Channels = 2;
    DWORD Formats = MMSystem::WAVE_FORMAT_ALL_STANDARD;
    // The input: a WAV file when InputFile is set, else Source, else the zero level.
    std::string InputFile;
    TCaptureSource Source;
};

struct TPlaybackDeviceConfig {
    std::string Name = "Simulated transmitter";
    std::uint16_t Channels = 2;
    DWORD Formats = MMSystem::WAVE_FORMAT_ALL_STANDARD;
    DWORD Support = MMSystem::WAVECAPS_VOLUME | MMSystem::WAVECAPS_LRVOLUME;
    bool KeepLog = true;
    // When set, everything played goes to this WAV file on the run's timeline.
    std::string OutputFile;
};

struct TConfig {
    std::vector<TCaptureDeviceConfig> Capture{1};
    std::vector<TPlaybackDeviceConfig> Playback{1};
    TClockMode Clock = TClockMode::Manual;
};

// One stretch of played audio: the bytes as they reached the card (volume applied), starting at
// timeline frame Frame (at the format's rate), that is at Time.
struct TPlayedBlock {
    TTimeNs Time;
    std::uint64_t Frame;
    WAVEFORMATEX Format;
    std::vector<std::uint8_t> Bytes;
};

class TSimCard final : public WaveCore::IWaveBackend, public Windows::TClock {
public:
    // Throws std::runtime_error when an input file cannot be read.
    explicit TSimCard(TConfig Config);
    ~TSimCard() override;

    TClockMode Clock() const { return FConfig.Clock; }

    // The card's time since it was made.
    TTimeNs Now();
    // Manual and fast clocks: moves time on, delivering what falls due in time order.
    void Advance(TTimeNs Duration);
    void AdvanceTo(TTimeNs Time);
    // Moves time to the next completion; false when nothing is due.
    bool AdvanceToNextEvent();
    // Time of the next completion, or -1 when nothing is due.
    TTimeNs NextEventTime();
    // Runs the program for Duration of card time: time moves from completion to completion and
    // the posted notifications are handled in between, as on a real card.
    void RunFor(TTimeNs Duration);
    // The same until Done() holds or Limit of card time has passed; returns Done().
    bool RunUntil(const std::function<bool()>& Done, TTimeNs Limit);

    // The input file has been heard to its end.
    bool InputExhausted(UINT Device = 0);
    std::vector<TPlayedBlock> PlayLog(UINT Device = 0);
    void ClearPlayLog(UINT Device = 0);
    // Finishes the output files: pads them to the current time and closes them.
    void FinishOutput();
    // The first write to an output file that failed, naming the file; empty when none did.
    std::string OutputProblem();

    // The K-th use of Call from now on (K = 1: the next one) fails with Code and does nothing.
    void FailCall(WaveCore::TCall Call, unsigned K, MMRESULT Code);
    // Every use of Call fails with Code until cleared.
    void FailAlways(WaveCore::TCall Call, MMRESULT Code);
    void ClearFaults();
    unsigned Uses(WaveCore::TCall Call);
    // The sound system gives up on every open stream of Direction, as when a server dies.
    void LoseStreams(WaveCore::TDirection Direction, const std::string& Words);

    // IWaveBackend
    UINT DeviceCount(WaveCore::TDirection Direction) override;
    MMRESULT DeviceCaps(WaveCore::TDirection Direction, UINT DeviceID,
                        WaveCore::TDeviceCaps& Caps) override;
    MMRESULT OpenStream(WaveCore::TStream& Stream) override;
    void CloseStream(WaveCore::TStream& Stream) override;
    void StreamChanged(WaveCore::TStream& Stream, WaveCore::TStreamEvent Event) override;
    MMRESULT Fault(WaveCore::TCall Call) override;

    // Windows::TClock, installed for the manual and fast clocks.
    void Sleep(DWORD Milliseconds) override;
    std::int64_t NowNs() override { return Now(); }

private:
    struct TStreamState;
    struct TSink {
        std::vector<TPlayedBlock> Log;
        std::unique_ptr<SimWav::TWavOutput> Output;
    };
    struct TFault {
        unsigned Countdown = 0;
        bool Always = false;
        MMRESULT Code = 0;
    };

    // All of these run with the core's lock held.
    TTimeNs CurrentTime() const;
    void AdvanceLocked(TTimeNs Time);
    TTimeNs NextDueLocked() const;
    TTimeNs DueTime(const TStreamState& State) const;
    void Sync(TStreamState& State, TTimeNs Time);
    void SyncCapture(TStreamState& State, TTimeNs Time);
    void SyncPlayback(TStreamState& State, TTimeNs Time);
    void Generate(TStreamState& State, std::uint64_t FirstFrame, std::uint32_t Frames);
    void RealTimeLoop();
    void PumpMessages();

    TConfig FConfig;
    std::vector<std::unique_ptr<SimWav::TWavInput>> FInputs;
    std::vector<TSink> FSinks;
    std::vector<TStreamState*> FStreams;
    std::array<TFault, WaveCore::CallCount> FFaults{};
    std::array<unsigned, WaveCore::CallCount> FUses{};
    TTimeNs FNow = 0;
    // The real-time clock's origin and thread.
    std::int64_t FOrigin = 0;
    bool FQuit = false;
    std::condition_variable FWake;
    std::thread FThread;
};

// Makes a card, installs it as the service's backend and, for the manual and fast clocks, as
// the clock Sleep runs on (the fast clock also moves on whenever the main loop would block);
// puts the previous ones back when it goes.
class TInstalledCard {
public:
    explicit TInstalledCard(TConfig Config = {});
    ~TInstalledCard();
    TInstalledCard(const TInstalledCard&) = delete;
    TInstalledCard& operator=(const TInstalledCard&) = delete;

    TSimCard& Card() { return *FCard; }
    TSimCard* operator->() { return FCard; }

private:
    explicit TInstalledCard(std::unique_ptr<TSimCard> Card);

    TSimCard* FCard;
    WaveCore::TInstalledBackend FInstalled;
    Windows::TClock* FPreviousClock = nullptr;
    QMetaObject::Connection FIdle;
};

} // namespace SimCard
