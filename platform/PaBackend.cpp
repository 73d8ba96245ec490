#include "platform/PaBackend.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <iterator>
#include <new>
#include <portaudio.h>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include <QString>
#include <QtGlobal>

#include "platform/ByteRing.h"

namespace PaBackend {
namespace {

using namespace MMSystem;
using WaveCore::TDirection;
using WaveCore::TStreamEvent;
using WaveCore::TWaveCore;

constexpr WORD ManufacturerID = 0x5041;
// Asked of PortAudio for every playback stream: low enough for a repeater, high enough that a
// busy machine does not run the output dry.
constexpr double SuggestedLatency = 0.040;
// Capture only has to keep up: longer periods wake the machine less while a station listens
// for hours, and a parrot replays what it heard whenever it arrived.
constexpr double CaptureLatency = 0.200;
// How far a sample still has to go once PortAudio has taken it: through PortAudio's buffer
// and on into the card (or the sound server's sink). A closing stream first plays the
// stream's latency, this margin and one callback in silence, so that the last sample has been
// heard when the close is reported; on the test rig a sample is lost below about 55 ms of
// this, and about 80 ms are played.
constexpr double ReachMargin = 0.030;
// However the sound system behaves, a close returns within this: a stalled server is left
// behind with the stream's thread.
constexpr auto CloseBound = std::chrono::milliseconds(1000);
// The longest a playback close lets the way to the card play out, well inside that bound.
constexpr double MaxDrainSeconds = 0.25;
// Service threads of streams, counted out only once their stream is closed.
std::atomic<int> LiveThreads{0};

constexpr std::uint32_t StandardRates[] = {11025, 22050, 44100, 48000, 96000};
constexpr std::uint32_t UnusualRate = 12345;

// PortAudio's host APIs print hundreds of lines of harmless probing noise on stderr while they
// look for devices. Hides stderr for a scope on the calling thread's behalf; QUORIM_PA_VERBOSE
// keeps it. The descriptor is always put back, and stdio is flushed on both sides.
class TQuietStderr {
public:
    TQuietStderr() {
        if (std::getenv("QUORIM_PA_VERBOSE") != nullptr)
            return;
        std::fflush(stderr);
        FSaved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        if (FSaved < 0)
            return;
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null < 0 || ::dup2(null, STDERR_FILENO) < 0) {
            if (null >= 0)
                ::close(null);
            ::close(FSaved);
            FSaved = -1;
            return;
        }
        ::close(null);
    }
    ~TQuietStderr() {
        if (FSaved < 0)
            return;
        std::fflush(stderr);
        ::dup2(FSaved, STDERR_FILENO);
        ::close(FSaved);
    }
    TQuietStderr(const TQuietStderr&) = delete;
    TQuietStderr& operator=(const TQuietStderr&) = delete;

private:
    int FSaved = -1;
};

struct TStreamCloser {
    void operator()(PaStream* Stream) const { Pa_CloseStream(Stream); }
};
using TPaStreamPtr = std::unique_ptr<PaStream, TStreamCloser>;

MMRESULT BaseCode(PaError Error) {
    switch (Error) {
    case paInvalidChannelCount:
    case paInvalidSampleRate:
    case paSampleFormatNotSupported:
        return WAVERR_BADFORMAT;
    case paInsufficientMemory:
        return MMSYSERR_NOMEM;
    case paDeviceUnavailable:
        return MMSYSERR_ALLOCATED;
    case paInvalidDevice:
        return MMSYSERR_BADDEVICEID;
    case paNotInitialized:
    case paHostApiNotFound:
    case paInvalidHostApi:
        return MMSYSERR_NODRIVER;
    case paInvalidFlag:
        return MMSYSERR_INVALFLAG;
    default:
        return MMSYSERR_ERROR;
    }
}

std::string Words(PaError Error) {
    std::string text = std::string("PortAudio: ") + Pa_GetErrorText(Error);
    if (Error == paUnanticipatedHostError) {
        const PaHostErrorInfo* info = Pa_GetLastHostErrorInfo();
        if (info != nullptr && info->errorText != nullptr && info->errorText[0] != '\0')
            text += std::string(" (") + info->errorText + ")";
    }
    return text + ".";
}

MMRESULT Failure(PaError Error) {
    return TWaveCore::Instance().ErrorWithDetail(BaseCode(Error), Words(Error));
}

// The name as a capability record holds it: at most 31 UTF-16 units, never half a pair.
std::u16string RecordName(const char* Name) {
    std::u16string name = QString::fromUtf8(Name != nullptr ? Name : "").toStdU16String();
    std::size_t n = std::min<std::size_t>(name.size(), MAXPNAMELEN - 1);
    if (n > 0 && n < name.size() && QChar::isHighSurrogate(name[n - 1]))
        --n;
    name.resize(n);
    return name;
}

PaStreamParameters Parameters(int Device, TDirection Direction, unsigned Channels) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(Device);
    const double low = Direction == TDirection::Capture ? info->defaultLowInputLatency
                                                        : info->defaultLowOutputLatency;
    const double wanted = Direction == TDirection::Capture ? CaptureLatency : SuggestedLatency;
    return PaStreamParameters{Device, static_cast<int>(Channels), paInt16, std::max(low, wanted),
                              nullptr};
}

// Probed in 16 bits only: streams always reach PortAudio in 16 bits (8-bit frames are widened
// by the backend), and a probe of an unsigned 8-bit stream can be heard on some servers. Each
// probe opens the device (on a sound server, a connection of its own), so few are made: a
// device that takes a rate no card has converts rates (a server's or ALSA's plug device) and
// takes every standard one; mono is probed at one rate that stereo supports and taken to go
// wherever stereo does.
DWORD StandardFormats(int Device, TDirection Direction, unsigned Channels) {
    const bool capture = Direction == TDirection::Capture;
    auto supported = [&](unsigned Count, std::uint32_t Rate) {
        const PaStreamParameters p = Parameters(Device, Direction, Count);
        return Pa_IsFormatSupported(capture ? &p : nullptr, capture ? nullptr : &p, Rate) ==
               paFormatIsSupported;
    };
    // Bits of one rate's group: mono 8, stereo 8, mono 16, stereo 16.
    const DWORD flags = Channels == 1 ? 0b0101 : 0b1010;
    DWORD formats = 0;
    int probeRate = -1;
    const bool converts = supported(Channels, UnusualRate);
    for (unsigned group = 0; group < std::size(StandardRates); ++group)
        if (converts || supported(Channels, StandardRates[group])) {
            formats |= flags << (4 * group);
            if (probeRate < 0 || StandardRates[group] == 48000)
                probeRate = static_cast<int>(group);
        }
    if (Channels == 2 && probeRate >= 0 && supported(1, StandardRates[probeRate]))
        formats |= formats >> 1; // each stereo flag's mono neighbour
    return formats;
}

// The name a user reads in the device list: the host API, then PortAudio's device name.
std::string HostListedName(const PaDeviceInfo& Info) {
    const PaHostApiInfo* api = Pa_GetHostApiInfo(Info.hostApi);
    std::string host = api != nullptr && api->name != nullptr ? api->name : "";
    if (api != nullptr && api->type == paJACK)
        host = "JACK";
    return (host.empty() ? "" : host + ": ") + (Info.name != nullptr ? Info.name : "");
}

// CPU time on a thread's clock, or 0 when it cannot be read.
std::int64_t CpuNs(clockid_t Clock) {
    timespec t{};
    if (clock_gettime(Clock, &t) != 0)
        return 0;
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

} // namespace

class TPortAudioBackend::TSession {
public:
    TSession() : FError(Pa_Initialize()) {}
    ~TSession() {
        // A stream left behind by a stalled sound server would make the end wait for it too.
        if (FError == paNoError && LiveThreads == 0) {
            TQuietStderr quiet;
            Pa_Terminate();
        }
    }
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;
    PaError Error() const { return FError; }

private:
    PaError FError;
};

// One open stream: PortAudio's callback on its real-time thread moves frames between the card
// and a lock-free ring, and a service thread of the stream's own moves them between the ring
// and the core under the core's lock, reports played buffers and watches for a lost stream.
// The state is shared by the backend and the service thread, so that a thread kept waiting by
// a stalled sound server can be left behind and still find its memory.
class TPortAudioBackend::TStreamState final {
public:
    TStreamState(WaveCore::TStream& Stream, std::uint32_t CallbackFrames)
        : FStream(Stream), FCapture(Stream.Direction() == TDirection::Capture),
          FEightBit(Stream.Format().wBitsPerSample == 8), FRate(Stream.Format().nSamplesPerSec),
          FAlign(Stream.Format().nBlockAlign), FCallbackFrames(CallbackFrames),
          FPoll(500'000ull * CallbackFrames / FRate),
          FRing(std::size_t{FRate} * FAlign * RingMilliseconds / 1000),
          FChunk(std::size_t{CallbackFrames} * FAlign),
          FTargetFill(std::max<std::size_t>(std::size_t{FRate} * FAlign * FillMilliseconds / 1000,
                                            2 * FChunk.size())),
          FPending(FTargetFill / FAlign / 32 + 8) {}
    ~TStreamState() {
        if (FThread.joinable())
            FThread.detach(); // only reached by the thread's own last reference
    }
    TStreamState(const TStreamState&) = delete;
    TStreamState& operator=(const TStreamState&) = delete;

    PaError Open(const PaStreamParameters& Parameters) {
        PaStream* opened = nullptr;
        // No dither and no clipping: the samples reach the card exactly as the program made
        // them. PortAudio always sees 16 bits; 8-bit frames are widened here, so that no host
        // API is ever handed an unsigned stream whose unwritten buffer it may play as 0x00.
        PaError e = Pa_OpenStream(&opened, FCapture ? &Parameters : nullptr,
                                  FCapture ? nullptr : &Parameters, FRate, FCallbackFrames,
                                  paClipOff | paDitherOff, &TStreamState::Callback, this);
        if (e != paNoError)
            return e;
        FPa.reset(opened);
        Pa_SetStreamFinishedCallback(opened, &TStreamState::Finished);
        if (!FCapture) {
            // PortAudio's JACK host can report a latency of seconds, or below zero: none is
            // taken below zero, and at most what a close should wait.
            const PaStreamInfo* info = Pa_GetStreamInfo(opened);
            double latency = info != nullptr ? info->outputLatency : SuggestedLatency;
            if (!(latency >= 0.0))
                latency = 0.0;
            latency = std::min(latency, MaxDrainSeconds);
            FDrainFrames =
                static_cast<std::uint64_t>((latency + ReachMargin) * FRate) + FCallbackFrames;
        }
        return Pa_StartStream(opened);
    }

    void Start(std::shared_ptr<TStreamState> Self) {
        ++LiveThreads;
        FThread = std::thread([self = std::move(Self)]() mutable {
            self->Run();
            // Counted out only once the stream is closed, so that PortAudio is never ended
            // under a stream still in use.
            self.reset();
            --LiveThreads;
        });
    }

    // Asks the service thread to end and waits for it at most Bound. True when it ended: its
    // figures are final and it is joined. Otherwise it is told, under the core's lock, never
    // to touch the stream again, and left to end on its own.
    bool Finish(std::chrono::milliseconds Bound) {
        std::unique_lock lock(FWakeLock);
        FQuit = true;
        FWake.notify_all();
        const bool ended = FWake.wait_for(lock, Bound, [this] { return FEnded; });
        lock.unlock();
        if (ended) {
            FThread.join();
            return true;
        }
        auto coreLock = TWaveCore::Instance().Lock();
        FGone = true;
        return false;
    }

    TStatistics Statistics() const {
        TStatistics s;
        s.Streams = 1;
        (FCapture ? s.CaptureFrames : s.PlaybackFrames) = FFramesMoved.load();
        s.LostCaptureBytes = FLostBytes.load();
        s.Overflows = FOverflows.load();
        s.Underflows = FUnderflows.load();
        s.LostStreams = FLost.load() ? 1 : 0;
        s.CpuNs = FCpuNs.load();
        return s;
    }

    // Lock held. A started capture fills its buffers from now on: what the ring holds from
    // before is dropped (the ring's reading side is whoever holds the lock).
    void Started() {
        if (FCapture)
            FRing.skipTo(FRing.written());
    }

    // Lock held.
    void Reset() {
        if (FCapture)
            return;
        // The core forgets what was handed out: the callback drops what the ring still holds,
        // and what is pending is no longer reported.
        FSkipTo.store(FRing.written(), std::memory_order_release);
        FPendingHead = FPendingCount = 0;
        FHanded = FReported = 0;
    }

    // Frames moved per callback: 10 ms for playback, whose close waits for them; 100 ms for
    // capture, which only has to keep up.
    static std::uint32_t CallbackFramesFor(TDirection Direction, std::uint32_t Rate) {
        return std::max<std::uint32_t>(64,
                                       Direction == TDirection::Capture ? Rate / 10 : Rate / 100);
    }

private:
    struct TPending {
        std::uint64_t RingEnd;   // ring bytes written once this piece is
        std::uint64_t HandedEnd; // bytes handed out once this piece is
    };
    // The capture ring holds a second: the service thread may be that late without a loss.
    static constexpr std::size_t RingMilliseconds = 1000;
    // Playback keeps this much queued ahead of the callback, to ride out a late service thread.
    static constexpr std::size_t FillMilliseconds = 80;

    static int Callback(const void* Input, void* Output, unsigned long Frames,
                        const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags Flags, void* User) {
        auto& self = *static_cast<TStreamState*>(User);
        if (self.FCallbackClock.load(std::memory_order_relaxed) == NoClock) {
            clockid_t clock{};
            if (pthread_getcpuclockid(pthread_self(), &clock) == 0)
                self.FCallbackClock.store(clock, std::memory_order_relaxed);
        }
        if ((Flags & paInputOverflow) != 0)
            self.FOverflows.fetch_add(1, std::memory_order_relaxed);
        if ((Flags & paOutputUnderflow) != 0)
            self.FUnderflows.fetch_add(1, std::memory_order_relaxed);
        const std::size_t samples = Frames * self.FAlign / (self.FEightBit ? 1 : 2);
        if (self.FCapture)
            self.FromCard(static_cast<const std::int16_t*>(Input), samples);
        else
            self.ToCard(static_cast<std::int16_t*>(Output), samples);
        self.FFramesMoved.fetch_add(Frames, std::memory_order_relaxed);
        return paContinue;
    }

    static void Finished(void* User) {
        static_cast<TStreamState*>(User)->FStreamEnded.store(true, std::memory_order_release);
    }

    void FromCard(const std::int16_t* In, std::size_t Samples) {
        if (FLeadIn) {
            // A sound server links a new capture stream with a period of zeros (PipeWire's
            // pulse layer does), which a squelch listening for a quiet noise band would take
            // for a carrier. Leading digital silence in a stream's first quarter second is
            // not the card's: it is dropped.
            const std::size_t channels = FAlign / (FEightBit ? 1 : 2);
            const std::uint64_t done = FFramesMoved.load(std::memory_order_relaxed);
            const std::size_t window =
                done < FRate / 4 ? static_cast<std::size_t>(FRate / 4 - done) * channels : 0;
            const std::int16_t* end = In + std::min(Samples, window);
            const std::int16_t* heard =
                std::find_if(In, end, [](std::int16_t V) { return V != 0; });
            const auto skip = static_cast<std::size_t>(heard - In) / channels * channels;
            FLeadIn = heard == In + Samples; // all silent, and all inside the first moment
            In += skip;
            Samples -= skip;
        }
        std::size_t moved;
        if (FEightBit) {
            // As PortAudio narrows without dither: the high byte, made unsigned.
            moved = FRing.writeWith(Samples, [&](std::uint8_t* To, std::size_t N) {
                for (std::size_t i = 0; i < N; ++i)
                    To[i] = static_cast<std::uint8_t>((*In++ >> 8) + 128);
            });
            FLostBytes.fetch_add(Samples - moved, std::memory_order_relaxed);
        } else {
            moved = FRing.write(In, 2 * Samples);
            FLostBytes.fetch_add(2 * Samples - moved, std::memory_order_relaxed);
        }
    }

    void ToCard(std::int16_t* Out, std::size_t Samples) {
        FRing.skipTo(FSkipTo.load(std::memory_order_acquire));
        std::size_t filled;
        if (FEightBit) {
            filled = FRing.readWith(Samples, [&](const std::uint8_t* From, std::size_t N) {
                for (std::size_t i = 0; i < N; ++i)
                    *Out++ = static_cast<std::int16_t>((From[i] - 128) * 256);
            });
        } else {
            filled = FRing.read(Out, 2 * Samples) / 2;
            Out += filled;
        }
        std::fill(Out, Out + (Samples - filled), std::int16_t{0});
    }

    void Run() {
        TWaveCore& core = TWaveCore::Instance();
        bool lost = false;
        for (;;) {
            {
                std::unique_lock lock(FWakeLock);
                if (FWake.wait_for(lock, FPoll, [this] { return FQuit; }))
                    break;
            }
            const bool ended = !lost && (FStreamEnded.load(std::memory_order_acquire) ||
                                         Pa_IsStreamActive(FPa.get()) != 1);
            auto lock = core.Lock();
            if (FGone)
                return;
            if (ended) {
                lost = true;
                FLost = true;
                core.Lost(FStream, LostWords());
            }
            if (lost)
                continue;
            if (FCapture)
                MoveCaptured(core);
            else
                FeedPlayback(core);
        }
        if (!FCapture && !lost)
            Drain();
        Pa_AbortStream(FPa.get());
        const clockid_t callback = FCallbackClock.load();
        FCpuNs = CpuNs(CLOCK_THREAD_CPUTIME_ID) + (callback != NoClock ? CpuNs(callback) : 0);
        std::lock_guard lock(FWakeLock);
        FEnded = true;
        FWake.notify_all();
    }

    // Lock held. What finds no free buffer waits in the ring for the program to queue one,
    // so that a burst of frames or a busy moment loses nothing; only a full ring loses.
    void MoveCaptured(TWaveCore& Core) {
        if (!FStream.Running()) {
            FRing.skipTo(FRing.written());
            return;
        }
        while (FStream.CaptureSpace() > 0) {
            const auto n = static_cast<std::uint32_t>(FRing.peek(FChunk.data(), FChunk.size()));
            if (n == 0)
                break;
            FRing.skipTo(FRing.read() + Core.Captured(FStream, FChunk.data(), n));
        }
    }

    // Lock held. A piece counts as played once the callback has taken it. Waiting until it
    // has also reached the card would hold every buffer back by the output latency, which
    // starves a ring of short buffers (four of 21 ms at 96 kHz) and breaks the replay up;
    // instead a close waits for the way to the card (see Drain), so nothing is cut off.
    void FeedPlayback(TWaveCore& Core) {
        const std::uint64_t consumed = FRing.read();
        std::uint64_t upTo = FReported;
        while (FPendingCount > 0 && FPending[FPendingHead].RingEnd <= consumed) {
            upTo = FPending[FPendingHead].HandedEnd;
            FPendingHead = (FPendingHead + 1) % FPending.size();
            --FPendingCount;
        }
        if (upTo > FReported) {
            Core.Played(FStream, upTo - FReported);
            FReported = upTo;
        }
        if (!FStream.Running())
            return;
        for (std::size_t have = FRing.readable(); have < FTargetFill;) {
            const auto want =
                static_cast<std::uint32_t>(std::min(FTargetFill - have, FChunk.size()));
            const std::uint32_t taken = Core.TakePlayback(FStream, FChunk.data(), want);
            if (taken == 0)
                break;
            FRing.write(FChunk.data(), taken);
            have += taken;
            FHanded += taken;
            Remember(TPending{FRing.written(), FHanded});
        }
    }

    void Remember(TPending Entry) {
        if (FPendingCount == FPending.size()) {
            // Merging only delays the report of the earlier piece.
            FPending[(FPendingHead + FPendingCount - 1) % FPending.size()] = Entry;
            return;
        }
        FPending[(FPendingHead + FPendingCount) % FPending.size()] = Entry;
        ++FPendingCount;
    }

    // Lets the callback play what the ring holds and then the way to the card in silence, so
    // that the last sample has been heard when the close is reported; a stalled stream is
    // given up on after the time this should take and a little more.
    void Drain() {
        const auto step = std::chrono::milliseconds(5);
        const double seconds =
            std::min(static_cast<double>(FRing.readable() / FAlign + FDrainFrames) / FRate + 0.1,
                     MaxDrainSeconds + 0.2);
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6));
        while (FRing.readable() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(step);
        const std::uint64_t from = FFramesMoved.load();
        while (FFramesMoved.load() < from + FDrainFrames &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(step);
    }

    // What PortAudio says when a stream stopped by itself: the host's own words if it left any.
    static std::string LostWords() {
        const PaHostErrorInfo* info = Pa_GetLastHostErrorInfo();
        if (info != nullptr && info->errorText != nullptr && info->errorText[0] != '\0')
            return Words(paUnanticipatedHostError);
        return "PortAudio: the sound stream stopped by itself.";
    }

    static constexpr clockid_t NoClock = -1;

    // Touched only under the core's lock, and never once FGone is set.
    WaveCore::TStream& FStream;
    bool FGone = false;
    const bool FCapture;
    const bool FEightBit;
    const std::uint32_t FRate;
    const std::uint32_t FAlign;
    const std::uint32_t FCallbackFrames;
    // How often the service thread looks: twice per callback.
    const std::chrono::microseconds FPoll;
    TPaStreamPtr FPa;
    Platform::ByteRing FRing;
    // The callback's figures and requests.
    std::atomic<std::uint64_t> FFramesMoved{0};
    std::atomic<std::uint64_t> FLostBytes{0};
    std::atomic<std::uint64_t> FOverflows{0};
    std::atomic<std::uint64_t> FUnderflows{0};
    std::atomic<std::uint64_t> FSkipTo{0};
    std::atomic<bool> FStreamEnded{false};
    bool FLeadIn = true; // the callback's own
    std::atomic<clockid_t> FCallbackClock{NoClock};
    std::atomic<bool> FLost{false};
    std::atomic<std::int64_t> FCpuNs{0};
    // The service thread and the way to end it.
    std::thread FThread;
    std::mutex FWakeLock;
    std::condition_variable FWake;
    bool FQuit = false;
    bool FEnded = false;
    // The service thread's own (playback).
    std::vector<std::uint8_t> FChunk;
    std::size_t FTargetFill;
    std::uint64_t FDrainFrames = 0;
    std::vector<TPending> FPending;
    std::size_t FPendingHead = 0;
    std::size_t FPendingCount = 0;
    std::uint64_t FHanded = 0;
    std::uint64_t FReported = 0;
};

TPortAudioBackend::TPortAudioBackend() {
    TQuietStderr quiet;
    FSession = std::make_unique<TSession>();
    if (FSession->Error() != paNoError) {
        FInitError = Words(FSession->Error());
        return;
    }
    Enumerate();
}

TPortAudioBackend::~TPortAudioBackend() = default;

void TPortAudioBackend::Enumerate() {
    const PaVersionInfo* version = Pa_GetVersionInfo();
    const auto driverVersion =
        version != nullptr
            ? static_cast<MMVERSION>((version->versionMajor << 8) | version->versionMinor)
            : MMVERSION{0};
    const int count = std::max(Pa_GetDeviceCount(), 0);
    const int defaultIn = Pa_GetDefaultInputDevice();
    const int defaultOut = Pa_GetDefaultOutputDevice();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info == nullptr)
            continue;
        for (TDirection direction : {TDirection::Capture, TDirection::Playback}) {
            const bool capture = direction == TDirection::Capture;
            const int channels = capture ? info->maxInputChannels : info->maxOutputChannels;
            if (channels < 1)
                continue;
            TDevice device{i, {}, HostListedName(*info)};
            device.Caps.Mid = ManufacturerID;
            device.Caps.Pid = static_cast<WORD>(i);
            device.Caps.DriverVersion = driverVersion;
            device.Caps.Name = RecordName(info->name);
            // The service moves one or two channels, whatever more the device offers.
            device.Caps.Channels = static_cast<WORD>(std::min(channels, 2));
            if (!capture)
                device.Caps.Support = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME;
            auto& list = capture ? FCapture : FPlayback;
            if (i == (capture ? defaultIn : defaultOut))
                (capture ? FDefaultCapture : FDefaultPlayback) = list.size();
            list.push_back(std::move(device));
        }
    }
}

const std::vector<TPortAudioBackend::TDevice>&
TPortAudioBackend::Devices(TDirection Direction) const {
    return Direction == TDirection::Capture ? FCapture : FPlayback;
}

const TPortAudioBackend::TDevice* TPortAudioBackend::Find(TDirection Direction,
                                                          UINT DeviceID) const {
    const auto& list = Devices(Direction);
    if (list.empty())
        return nullptr;
    if (DeviceID == WAVE_MAPPER)
        return &list[Direction == TDirection::Capture ? FDefaultCapture : FDefaultPlayback];
    return DeviceID < list.size() ? &list[DeviceID] : nullptr;
}

int TPortAudioBackend::PortAudioDevice(TDirection Direction, UINT DeviceID) const {
    const TDevice* device = Find(Direction, DeviceID);
    return device != nullptr ? device->Index : -1;
}

TStatistics TPortAudioBackend::Statistics() {
    std::lock_guard lock(FStatisticsLock);
    return FStatistics;
}

TStatistics TPortAudioBackend::LiveStatistics() {
    std::vector<std::shared_ptr<TStreamState>> open;
    TStatistics total;
    {
        std::lock_guard lock(FStatisticsLock);
        total = FStatistics;
        for (const auto& stream : FOpenStreams)
            if (auto state = stream.lock())
                open.push_back(std::move(state));
    }
    for (const auto& state : open) {
        const TStatistics s = state->Statistics();
        total.LostCaptureBytes += s.LostCaptureBytes;
        total.Overflows += s.Overflows;
        total.Underflows += s.Underflows;
        total.LostStreams += s.LostStreams;
    }
    return total;
}

void TPortAudioBackend::AddStatistics(const TStatistics& Stream) {
    std::lock_guard lock(FStatisticsLock);
    std::erase_if(FOpenStreams, [](const auto& s) { return s.expired(); });
    FStatistics.Streams += Stream.Streams;
    FStatistics.CaptureFrames += Stream.CaptureFrames;
    FStatistics.PlaybackFrames += Stream.PlaybackFrames;
    FStatistics.LostCaptureBytes += Stream.LostCaptureBytes;
    FStatistics.Overflows += Stream.Overflows;
    FStatistics.Underflows += Stream.Underflows;
    FStatistics.LostStreams += Stream.LostStreams;
    FStatistics.CpuNs += Stream.CpuNs;
}

void TPortAudioBackend::Probe(TDevice& Device, TDirection Direction) {
    Device.Caps.Formats = StandardFormats(Device.Index, Direction, Device.Caps.Channels);
    Device.Probed = true;
}

void TPortAudioBackend::ProbeAll() {
    std::vector<std::pair<TDevice*, TDirection>> todo;
    for (TDirection direction : {TDirection::Capture, TDirection::Playback})
        for (TDevice& device : direction == TDirection::Capture ? FCapture : FPlayback)
            if (!device.Probed)
                todo.emplace_back(&device, direction);
    // A probe mostly waits for a sound server or a JACK client to answer: a few at once.
    TQuietStderr quiet;
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next++) < todo.size();)
            Probe(*todo[i].first, todo[i].second);
    };
    std::vector<std::thread> workers;
    for (std::size_t n = std::min<std::size_t>(todo.size(), 4); n > 1; --n)
        workers.emplace_back(work);
    work();
    for (std::thread& worker : workers)
        worker.join();
}

UINT TPortAudioBackend::DeviceCount(TDirection Direction) {
    return static_cast<UINT>(Devices(Direction).size());
}

MMRESULT TPortAudioBackend::DeviceCaps(TDirection Direction, UINT DeviceID,
                                       WaveCore::TDeviceCaps& Caps) {
    const TDevice* found = Find(Direction, DeviceID);
    if (found == nullptr)
        return MMSYSERR_BADDEVICEID;
    // Probed when first asked for, once: a start asks for two devices, a list for all.
    auto& list = Direction == TDirection::Capture ? FCapture : FPlayback;
    TDevice& device = list[static_cast<std::size_t>(found - list.data())];
    if (!device.Probed) {
        TQuietStderr quiet;
        Probe(device, Direction);
    }
    Caps = device.Caps;
    return MMSYSERR_NOERROR;
}

namespace {

// What the core holds of an open stream: a share of its state.
struct TStreamHolder final : WaveCore::TBackendStream {
    std::shared_ptr<TPortAudioBackend::TStreamState> State;
};

} // namespace

MMRESULT TPortAudioBackend::OpenStream(WaveCore::TStream& Stream) {
    const TDevice* device = Find(Stream.Direction(), Stream.DeviceID());
    if (device == nullptr)
        return MMSYSERR_BADDEVICEID;
    try {
        auto holder = std::make_unique<TStreamHolder>();
        holder->State = std::make_shared<TStreamState>(
            Stream,
            TStreamState::CallbackFramesFor(Stream.Direction(), Stream.Format().nSamplesPerSec));
        if (const PaError e = holder->State->Open(
                Parameters(device->Index, Stream.Direction(), Stream.Format().nChannels)))
            return Failure(e);
        holder->State->Start(holder->State);
        {
            std::lock_guard lock(FStatisticsLock);
            FOpenStreams.push_back(holder->State);
        }
        Stream.Backend = std::move(holder);
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    } catch (const std::system_error& error) {
        return TWaveCore::Instance().ErrorWithDetail(MMSYSERR_NOMEM, error.what());
    }
    return MMSYSERR_NOERROR;
}

void TPortAudioBackend::CloseStream(WaveCore::TStream& Stream) {
    auto* holder = static_cast<TStreamHolder*>(Stream.Backend.get());
    if (holder == nullptr)
        return;
    // Everything queued has been reported played, so it has left the ring; a playback thread
    // lets the way to the card play out in silence before the stream is cut off.
    holder->State->Finish(CloseBound);
    AddStatistics(holder->State->Statistics());
    {
        std::lock_guard lock(FStatisticsLock);
        std::erase_if(FOpenStreams, [&](const auto& s) { return s.lock() == holder->State; });
    }
    Stream.Backend.reset();
}

void TPortAudioBackend::StreamChanged(WaveCore::TStream& Stream, TStreamEvent Event) {
    // The stream's thread sees queueing, stops and pauses on its next round; a start drops
    // what came before it, and a reset changes what there is to report.
    TStreamState& state = *static_cast<TStreamHolder*>(Stream.Backend.get())->State;
    if (Event == TStreamEvent::Started)
        state.Started();
    else if (Event == TStreamEvent::Reset)
        state.Reset();
}

std::string TPortAudioBackend::ListedName(TDirection Direction, UINT DeviceID) {
    const TDevice* device = Find(Direction, DeviceID);
    return device != nullptr ? device->Listed : std::string();
}

TInstalledPortAudio::TInstalledPortAudio()
    : TInstalledPortAudio(std::make_unique<TPortAudioBackend>()) {}

TInstalledPortAudio::TInstalledPortAudio(std::unique_ptr<TPortAudioBackend> Backend)
    : FBackend(Backend.get()), FInstalled(std::move(Backend)) {}

} // namespace PaBackend
