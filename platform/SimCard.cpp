#include "platform/SimCard.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QString>

namespace SimCard {
namespace {

using WaveCore::TDirection;
using WaveCore::TStreamEvent;
using WaveCore::TWaveCore;

// Frame f of a timeline at Rate begins at TimeOfFrame(f); FrameAt(t) frames have ended by t.
std::uint64_t FrameAt(TTimeNs Time, std::uint32_t Rate) {
    if (Time <= 0)
        return 0;
    const auto t = static_cast<std::uint64_t>(Time);
    return t / Seconds * Rate + t % Seconds * Rate / Seconds;
}

TTimeNs TimeOfFrame(std::uint64_t Frame, std::uint32_t Rate) {
    return static_cast<TTimeNs>(Frame / Rate * Seconds +
                                (Frame % Rate * Seconds + Rate - 1) / Rate);
}

std::uint64_t FirstFrameFrom(TTimeNs Time, std::uint32_t Rate) {
    const std::uint64_t f = FrameAt(Time, Rate);
    return TimeOfFrame(f, Rate) >= Time ? f : f + 1;
}

std::uint32_t CeilDiv(std::uint32_t A, std::uint32_t B) {
    return (A + B - 1) / B;
}

// The standard-format flag of a PCM format, or 0 for a format outside the standard ones.
DWORD StandardFlag(const WAVEFORMATEX& Format) {
    static constexpr std::uint32_t Rates[] = {11025, 22050, 44100, 48000, 96000};
    const auto* rate = std::find(std::begin(Rates), std::end(Rates), Format.nSamplesPerSec);
    if (rate == std::end(Rates))
        return 0;
    const auto group = static_cast<unsigned>(rate - std::begin(Rates));
    const unsigned bit =
        (Format.nChannels == 2 ? 1u : 0u) + (Format.wBitsPerSample == 16 ? 2u : 0u);
    return DWORD{1} << (4 * group + bit);
}

std::u16string Wide(const std::string& Text) {
    return QString::fromStdString(Text).toStdU16String();
}

} // namespace

struct TSimCard::TStreamState final : WaveCore::TBackendStream {
    WaveCore::TStream* Stream = nullptr;
    UINT Device = 0;
    std::uint32_t Rate = 0;
    std::uint32_t BlockAlign = 0;
    std::vector<std::uint8_t> Scratch;
    // Capture: the next input frame a queued buffer receives.
    std::uint64_t NextFrame = 0;
    // Playback: whether written audio is waiting, and the frame the next byte plays at.
    bool Playing = false;
    std::uint64_t RunFrame = 0;
};

TSimCard::TSimCard(TConfig Config) : FConfig(std::move(Config)) {
    for (const auto& device : FConfig.Capture)
        FInputs.push_back(device.InputFile.empty()
                              ? nullptr
                              : std::make_unique<SimWav::TWavInput>(device.InputFile));
    FSinks.resize(FConfig.Playback.size());
    for (std::size_t i = 0; i < FSinks.size(); ++i)
        if (!FConfig.Playback[i].OutputFile.empty())
            FSinks[i].Output = std::make_unique<SimWav::TWavOutput>(FConfig.Playback[i].OutputFile);
    FOrigin = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    if (FConfig.Clock == TClockMode::RealTime)
        FThread = std::thread([this] { RealTimeLoop(); });
}

TSimCard::~TSimCard() {
    if (FThread.joinable()) {
        {
            auto lock = TWaveCore::Instance().Lock();
            FQuit = true;
            FWake.notify_all();
        }
        FThread.join();
    }
    try {
        FinishOutput();
    } catch (...) {
        // A file that cannot be finished is not worth failing a shutdown for.
    }
}

TTimeNs TSimCard::CurrentTime() const {
    if (FConfig.Clock != TClockMode::RealTime)
        return FNow;
    const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
    return wall - FOrigin;
}

TTimeNs TSimCard::Now() {
    auto lock = TWaveCore::Instance().Lock();
    return CurrentTime();
}

void TSimCard::Advance(TTimeNs Duration) {
    auto lock = TWaveCore::Instance().Lock();
    AdvanceLocked(FNow + Duration);
}

void TSimCard::AdvanceTo(TTimeNs Time) {
    auto lock = TWaveCore::Instance().Lock();
    AdvanceLocked(Time);
}

bool TSimCard::AdvanceToNextEvent() {
    auto lock = TWaveCore::Instance().Lock();
    const TTimeNs due = NextDueLocked();
    if (due < 0)
        return false;
    AdvanceLocked(std::max(due, FNow));
    return true;
}

TTimeNs TSimCard::NextEventTime() {
    auto lock = TWaveCore::Instance().Lock();
    return NextDueLocked();
}

void TSimCard::AdvanceLocked(TTimeNs Time) {
    for (;;) {
        const TTimeNs due = NextDueLocked();
        if (due < 0 || due > Time)
            break;
        FNow = std::max(FNow, due);
        for (TStreamState* state : FStreams)
            Sync(*state, CurrentTime());
    }
    FNow = std::max(FNow, Time);
}

TTimeNs TSimCard::NextDueLocked() const {
    TTimeNs next = -1;
    for (const TStreamState* state : FStreams) {
        const TTimeNs due = DueTime(*state);
        if (due >= 0 && (next < 0 || due < next))
            next = due;
    }
    return next;
}

TTimeNs TSimCard::DueTime(const TStreamState& State) const {
    const WaveCore::TStream& stream = *State.Stream;
    if (!stream.Running())
        return -1;
    if (stream.Direction() == TDirection::Capture) {
        if (!stream.HasQueued())
            return -1;
        return TimeOfFrame(State.NextFrame + CeilDiv(stream.CaptureSpace(), State.BlockAlign),
                           State.Rate);
    }
    if (!State.Playing || stream.PendingBytes() == 0)
        return -1;
    return TimeOfFrame(State.RunFrame + CeilDiv(stream.BytesToBufferEnd(), State.BlockAlign),
                       State.Rate);
}

void TSimCard::Sync(TStreamState& State, TTimeNs Time) {
    if (State.Stream->Direction() == TDirection::Capture)
        SyncCapture(State, Time);
    else
        SyncPlayback(State, Time);
}

void TSimCard::Generate(TStreamState& State, std::uint64_t FirstFrame, std::uint32_t Frames) {
    const WAVEFORMATEX& format = State.Stream->Format();
    const std::size_t bytes = std::size_t{Frames} * State.BlockAlign;
    if (State.Scratch.size() < bytes)
        State.Scratch.resize(bytes);
    std::uint8_t* dest = State.Scratch.data();
    if (const auto& input = FInputs[State.Device])
        input->Read(format, FirstFrame, Frames, dest);
    else if (const auto& source = FConfig.Capture[State.Device].Source)
        source(format, FirstFrame, Frames, dest);
    else
        std::memset(dest, format.wBitsPerSample == 8 ? 128 : 0, bytes);
}

void TSimCard::SyncCapture(TStreamState& State, TTimeNs Time) {
    WaveCore::TStream& stream = *State.Stream;
    if (!stream.Running())
        return;
    const std::uint64_t arrived = FrameAt(Time, State.Rate);
    for (;;) {
        if (!stream.HasQueued()) {
            // Nothing to capture into: the input runs on and this audio is lost.
            State.NextFrame = std::max(State.NextFrame, arrived);
            return;
        }
        const std::uint32_t space = stream.CaptureSpace();
        const std::uint32_t need = CeilDiv(space, State.BlockAlign);
        const std::uint64_t ready = arrived > State.NextFrame ? arrived - State.NextFrame : 0;
        if (ready == 0 && need > 0)
            return;
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(need, ready));
        Generate(State, State.NextFrame, n);
        TWaveCore::Instance().Captured(stream, State.Scratch.data(),
                                       std::min(n * State.BlockAlign, space));
        State.NextFrame += n;
        if (n < need)
            return;
    }
}

void TSimCard::SyncPlayback(TStreamState& State, TTimeNs Time) {
    WaveCore::TStream& stream = *State.Stream;
    if (!stream.Running() || !State.Playing)
        return;
    const std::uint64_t played = FrameAt(Time, State.Rate);
    TSink& sink = FSinks[State.Device];
    const bool keepLog = FConfig.Playback[State.Device].KeepLog;
    for (;;) {
        if (stream.PendingBytes() == 0) {
            State.Playing = false;
            return;
        }
        if (played <= State.RunFrame)
            return;
        const std::uint32_t toEnd = stream.BytesToBufferEnd();
        const std::uint32_t need = CeilDiv(toEnd, State.BlockAlign);
        const auto n =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(need, played - State.RunFrame));
        const std::uint32_t bytes = std::min(n * State.BlockAlign, toEnd);
        if (State.Scratch.size() < bytes)
            State.Scratch.resize(bytes);
        const std::uint32_t taken =
            TWaveCore::Instance().TakePlayback(stream, State.Scratch.data(), bytes);
        if (keepLog)
            sink.Log.push_back(
                TPlayedBlock{TimeOfFrame(State.RunFrame, State.Rate),
                             State.RunFrame,
                             stream.Format(),
                             {State.Scratch.begin(), State.Scratch.begin() + taken}});
        if (sink.Output)
            sink.Output->Write(stream.Format(), State.RunFrame, State.Scratch.data(), taken);
        TWaveCore::Instance().Played(stream, taken);
        State.RunFrame += n;
        if (n < need)
            return;
    }
}

void TSimCard::Sleep(DWORD Milliseconds) {
    auto lock = TWaveCore::Instance().Lock();
    AdvanceLocked(FNow + TTimeNs{Milliseconds} * SimCard::Milliseconds);
}

void TSimCard::PumpMessages() {
    // Every posted message has its own wake-up event, so this ends once all are handled; what
    // the program queued for itself is handled at least once, as the event loop would.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    for (int pass = 0; pass < 10000 && Windows::PendingMessages() > 0; ++pass)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TSimCard::RunFor(TTimeNs Duration) {
    RunUntil([] { return false; }, Duration);
}

bool TSimCard::RunUntil(const std::function<bool()>& Done, TTimeNs Limit) {
    const TTimeNs target = Now() + Limit;
    PumpMessages();
    while (!Done()) {
        if (FConfig.Clock == TClockMode::RealTime) {
            if (Now() >= target)
                return Done();
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
            continue;
        }
        const TTimeNs next = NextEventTime();
        if (next < 0 || next > target) {
            AdvanceTo(target);
            PumpMessages();
            return Done();
        }
        AdvanceTo(next);
        PumpMessages();
    }
    return true;
}

bool TSimCard::InputExhausted(UINT Device) {
    auto lock = TWaveCore::Instance().Lock();
    if (Device >= FInputs.size() || !FInputs[Device])
        return false;
    return FrameAt(CurrentTime(), FInputs[Device]->Rate()) >= FInputs[Device]->Frames();
}

std::vector<TPlayedBlock> TSimCard::PlayLog(UINT Device) {
    auto lock = TWaveCore::Instance().Lock();
    return Device < FSinks.size() ? FSinks[Device].Log : std::vector<TPlayedBlock>{};
}

void TSimCard::ClearPlayLog(UINT Device) {
    auto lock = TWaveCore::Instance().Lock();
    if (Device < FSinks.size())
        FSinks[Device].Log.clear();
}

void TSimCard::FinishOutput() {
    auto lock = TWaveCore::Instance().Lock();
    for (TSink& sink : FSinks)
        if (sink.Output)
            sink.Output->Finish(CurrentTime());
}

std::string TSimCard::OutputProblem() {
    auto lock = TWaveCore::Instance().Lock();
    for (const TSink& sink : FSinks)
        if (sink.Output && !sink.Output->Problem().empty())
            return sink.Output->Problem();
    return {};
}

void TSimCard::FailCall(WaveCore::TCall Call, unsigned K, MMRESULT Code) {
    auto lock = TWaveCore::Instance().Lock();
    FFaults[static_cast<std::size_t>(Call)] = TFault{K, false, Code};
}

void TSimCard::FailAlways(WaveCore::TCall Call, MMRESULT Code) {
    auto lock = TWaveCore::Instance().Lock();
    FFaults[static_cast<std::size_t>(Call)] = TFault{0, true, Code};
}

void TSimCard::ClearFaults() {
    auto lock = TWaveCore::Instance().Lock();
    FFaults.fill(TFault{});
}

void TSimCard::LoseStreams(WaveCore::TDirection Direction, const std::string& Words) {
    auto lock = TWaveCore::Instance().Lock();
    for (TStreamState* state : FStreams)
        if (state->Stream->Direction() == Direction) {
            Sync(*state, CurrentTime()); // what was heard up to now is in the buffers
            TWaveCore::Instance().Lost(*state->Stream, Words);
        }
}

unsigned TSimCard::Uses(WaveCore::TCall Call) {
    auto lock = TWaveCore::Instance().Lock();
    return FUses[static_cast<std::size_t>(Call)];
}

MMRESULT TSimCard::Fault(WaveCore::TCall Call) {
    const auto i = static_cast<std::size_t>(Call);
    ++FUses[i];
    TFault& fault = FFaults[i];
    if (fault.Always)
        return fault.Code;
    if (fault.Countdown > 0 && --fault.Countdown == 0)
        return fault.Code;
    return MMSystem::MMSYSERR_NOERROR;
}

UINT TSimCard::DeviceCount(TDirection Direction) {
    return static_cast<UINT>(Direction == TDirection::Capture ? FConfig.Capture.size()
                                                              : FConfig.Playback.size());
}

MMRESULT TSimCard::DeviceCaps(TDirection Direction, UINT DeviceID, WaveCore::TDeviceCaps& Caps) {
    const UINT index = DeviceID == MMSystem::WAVE_MAPPER ? 0 : DeviceID;
    Caps = WaveCore::TDeviceCaps{};
    Caps.Mid = 0x7151;
    Caps.DriverVersion = 0x0100;
    if (Direction == TDirection::Capture) {
        const auto& device = FConfig.Capture.at(index);
        Caps.Pid = static_cast<MMSystem::WORD>(1 + index);
        Caps.Name = Wide(device.Name);
        Caps.Formats = device.Formats;
        Caps.Channels = device.Channels;
    } else {
        const auto& device = FConfig.Playback.at(index);
        Caps.Pid = static_cast<MMSystem::WORD>(0x101 + index);
        Caps.Name = Wide(device.Name);
        Caps.Formats = device.Formats;
        Caps.Channels = device.Channels;
        Caps.Support = device.Support;
    }
    return MMSystem::MMSYSERR_NOERROR;
}

MMRESULT TSimCard::OpenStream(WaveCore::TStream& Stream) {
    const UINT index = Stream.DeviceID() == MMSystem::WAVE_MAPPER ? 0 : Stream.DeviceID();
    const bool capture = Stream.Direction() == TDirection::Capture;
    const DWORD formats =
        capture ? FConfig.Capture[index].Formats : FConfig.Playback[index].Formats;
    const std::uint16_t channels =
        capture ? FConfig.Capture[index].Channels : FConfig.Playback[index].Channels;
    const WAVEFORMATEX& format = Stream.Format();
    // Like a real card it plays rates outside the standard set too, but not a standard format
    // whose flag it does not claim.
    const DWORD flag = StandardFlag(format);
    if ((flag != 0 && (flag & formats) == 0) || format.nChannels > channels)
        return MMSystem::WAVERR_BADFORMAT;

    auto state = std::make_unique<TStreamState>();
    state->Stream = &Stream;
    state->Device = index;
    state->Rate = format.nSamplesPerSec;
    state->BlockAlign = format.nBlockAlign;
    auto lock = TWaveCore::Instance().Lock();
    // Should nothing play in this run, the output files still cover it in the run's format.
    for (TSink& sink : FSinks)
        if (sink.Output)
            sink.Output->SetFallbackFormat(format);
    FStreams.push_back(state.get());
    Stream.Backend = std::move(state);
    FWake.notify_all();
    return MMSystem::MMSYSERR_NOERROR;
}

void TSimCard::CloseStream(WaveCore::TStream& Stream) {
    auto lock = TWaveCore::Instance().Lock();
    auto* state = static_cast<TStreamState*>(Stream.Backend.get());
    std::erase(FStreams, state);
    Stream.Backend.reset();
}

void TSimCard::StreamChanged(WaveCore::TStream& Stream, TStreamEvent Event) {
    auto& state = *static_cast<TStreamState*>(Stream.Backend.get());
    const TTimeNs now = CurrentTime();
    switch (Event) {
    case TStreamEvent::Queued:
        if (Stream.Direction() == TDirection::Capture) {
            // The first buffer after an empty queue fills from now on.
            if (Stream.QueuedCount() == 1)
                state.NextFrame = std::max(state.NextFrame, FrameAt(now, state.Rate));
        } else if (!state.Playing) {
            state.Playing = true;
            if (Stream.Running())
                state.RunFrame = std::max(state.RunFrame, FirstFrameFrom(now, state.Rate));
        }
        break;
    case TStreamEvent::Started:
        state.NextFrame = std::max(state.NextFrame, FirstFrameFrom(now, state.Rate));
        break;
    case TStreamEvent::Restarted:
        state.RunFrame = std::max(state.RunFrame, FirstFrameFrom(now, state.Rate));
        state.Playing = Stream.PendingBytes() > 0;
        break;
    case TStreamEvent::Stopped:
    case TStreamEvent::Paused:
        Sync(state, now);
        break;
    case TStreamEvent::Reset:
        Sync(state, now);
        state.Playing = false;
        break;
    }
    FWake.notify_all();
}

void TSimCard::RealTimeLoop() {
    auto lock = TWaveCore::Instance().Lock();
    constexpr TTimeNs longestWait = 20 * Milliseconds;
    while (!FQuit) {
        AdvanceLocked(CurrentTime());
        const TTimeNs next = NextDueLocked();
        const TTimeNs wait =
            next < 0 ? longestWait : std::clamp(next - CurrentTime(), TTimeNs{0}, longestWait);
        if (wait > 0)
            FWake.wait_for(lock, std::chrono::nanoseconds(wait));
    }
}

TInstalledCard::TInstalledCard(TConfig Config)
    : TInstalledCard(std::make_unique<TSimCard>(std::move(Config))) {}

TInstalledCard::TInstalledCard(std::unique_ptr<TSimCard> Card)
    : FCard(Card.get()), FInstalled(std::move(Card)) {
    if (FCard->Clock() != TClockMode::RealTime)
        FPreviousClock = Windows::SetClock(FCard);
    if (FCard->Clock() == TClockMode::Fast) {
        if (auto* dispatcher = QAbstractEventDispatcher::instance())
            FIdle = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock,
                                     [card = FCard] { card->AdvanceToNextEvent(); });
    }
}

TInstalledCard::~TInstalledCard() {
    QObject::disconnect(FIdle);
    if (FCard->Clock() != TClockMode::RealTime)
        Windows::SetClock(FPreviousClock);
}

} // namespace SimCard
