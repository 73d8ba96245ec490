#include "PaBackend.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <iterator>
#include <new>
#include <portaudio.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include <QString>
#include <QtGlobal>

namespace PaBackend {
namespace {

using namespace MMSystem;
using WaveCore::TDirection;
using WaveCore::TStreamEvent;
using WaveCore::TWaveCore;

constexpr WORD ManufacturerID = 0x5041;
// Asked of PortAudio for every stream: low enough for a repeater, high enough that a busy
// machine does not run the output dry.
constexpr double SuggestedLatency = 0.040;
// One read or write moves this much; it bounds how late a stop, pause or reset is seen.
constexpr std::uint32_t ChunksPerSecond = 100;
// How far a sample still has to go once PortAudio has taken it: through PortAudio's buffer
// and on into the card (or the sound server's sink). A closing stream first writes the
// stream's latency, this margin and one chunk in silence, so that the last sample has been
// heard when the close is reported; on the test rig a sample is lost below about 55 ms of
// this, and about 80 ms are written.
constexpr double ReachMargin = 0.030;

constexpr std::uint32_t StandardRates[] = {11025, 22050, 44100, 48000, 96000};

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

PaSampleFormat SampleFormat(unsigned Bits) {
    return Bits == 8 ? paUInt8 : paInt16;
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

PaStreamParameters Parameters(int Device, TDirection Direction, unsigned Channels, unsigned Bits) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(Device);
    const double low = Direction == TDirection::Capture ? info->defaultLowInputLatency
                                                        : info->defaultLowOutputLatency;
    return PaStreamParameters{Device, static_cast<int>(Channels), SampleFormat(Bits),
                              std::max(low, SuggestedLatency), nullptr};
}

DWORD StandardFormats(int Device, TDirection Direction) {
    DWORD formats = 0;
    for (unsigned group = 0; group < std::size(StandardRates); ++group)
        for (unsigned channels = 1; channels <= 2; ++channels)
            for (unsigned bits : {8u, 16u}) {
                const PaStreamParameters p = Parameters(Device, Direction, channels, bits);
                const bool capture = Direction == TDirection::Capture;
                if (Pa_IsFormatSupported(capture ? &p : nullptr, capture ? nullptr : &p,
                                         StandardRates[group]) == paFormatIsSupported)
                    formats |= DWORD{1} << (4 * group + (channels - 1) + (bits == 16 ? 2 : 0));
            }
    return formats;
}

std::int64_t ThreadCpuNs() {
    timespec t{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0)
        return 0;
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

} // namespace

class TPortAudioBackend::TSession {
public:
    TSession() : FError(Pa_Initialize()) {}
    ~TSession() {
        if (FError == paNoError) {
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

// One open stream and its thread. The bookkeeping below the thread's own fields is shared with
// the hooks and guarded by the core's lock.
class TPortAudioBackend::TStreamState final : public WaveCore::TBackendStream {
public:
    TStreamState(WaveCore::TStream& Stream, TPaStreamPtr Pa) : FStream(Stream), FPa(std::move(Pa)) {
        const WAVEFORMATEX& format = Stream.Format();
        FRate = format.nSamplesPerSec;
        FChunkFrames = std::max<std::uint32_t>(64, FRate / ChunksPerSecond);
        FChunk.resize(std::size_t{FChunkFrames} * format.nBlockAlign);
        FSilence = format.wBitsPerSample == 8 ? 0x80 : 0x00;
        if (Stream.Direction() == TDirection::Playback) {
            const PaStreamInfo* info = Pa_GetStreamInfo(FPa.get());
            const double latency = info != nullptr ? info->outputLatency : SuggestedLatency;
            FDrainFrames =
                static_cast<std::uint64_t>((latency + ReachMargin) * FRate) + FChunkFrames;
            FPending.resize(FDrainFrames / FChunkFrames + 4);
        }
    }

    // A stream normally ends through Finish; one left open when its owner goes away must still
    // not outlive its thread.
    ~TStreamState() override { Finish(); }
    TStreamState(const TStreamState&) = delete;
    TStreamState& operator=(const TStreamState&) = delete;

    void Start() {
        FThread = std::thread([this] {
            if (FStream.Direction() == TDirection::Capture)
                RunCapture();
            else
                RunPlayback();
            FStatistics.CpuNs = ThreadCpuNs();
        });
    }

    // Returns the stream's figures once its thread has ended.
    TStatistics Finish() {
        FQuit = true;
        if (FThread.joinable())
            FThread.join();
        FStatistics.Streams = 1;
        return FStatistics;
    }

    // Lock held.
    void Reset() {
        if (FStream.Direction() != TDirection::Playback)
            return;
        // The core forgets what was handed out, so what is pending is no longer reported.
        FPendingHead = FPendingCount = 0;
        FHanded = FReported = 0;
    }

private:
    struct TPending {
        std::uint64_t FrameEnd;  // frames written once this chunk is
        std::uint64_t HandedEnd; // bytes handed out once this chunk is
    };

    void RunCapture() {
        TWaveCore& core = TWaveCore::Instance();
        const auto bytes = static_cast<std::uint32_t>(FChunk.size());
        while (!FQuit) {
            Move();
            auto lock = core.Lock();
            if (FQuit)
                break;
            if (!FLost && FStream.Running())
                FStatistics.LostCaptureBytes +=
                    bytes - core.Captured(FStream, FChunk.data(), bytes);
        }
    }

    void RunPlayback() {
        TWaveCore& core = TWaveCore::Instance();
        const auto bytes = static_cast<std::uint32_t>(FChunk.size());
        for (;;) {
            {
                auto lock = core.Lock();
                ReportPlayed(core);
                if (FQuit)
                    break;
                const std::uint32_t taken =
                    FStream.Running() ? core.TakePlayback(FStream, FChunk.data(), bytes) : 0;
                std::memset(FChunk.data() + taken, FSilence, bytes - taken);
                if (taken > 0) {
                    FHanded += taken;
                    Remember(TPending{FFramesMoved + FChunkFrames, FHanded});
                }
            }
            Move();
        }
        std::memset(FChunk.data(), FSilence, bytes);
        for (auto n = static_cast<std::uint32_t>(FDrainFrames / FChunkFrames) + 1; n > 0 && !FLost;
             --n)
            Move();
    }

    // Reads or writes one chunk, blocking for about its duration. A stream that PortAudio has
    // given up on goes on at the same pace with nothing heard, so that the program never waits
    // for buffers that cannot come back.
    void Move() {
        if (!FLost) {
            const bool capture = FStream.Direction() == TDirection::Capture;
            const PaError e = capture ? Pa_ReadStream(FPa.get(), FChunk.data(), FChunkFrames)
                                      : Pa_WriteStream(FPa.get(), FChunk.data(), FChunkFrames);
            if (e == paInputOverflowed)
                ++FStatistics.Overflows;
            else if (e == paOutputUnderflowed)
                ++FStatistics.Underflows;
            else if (e != paNoError) {
                FLost = true;
                qWarning("Sound %s stopped: %s", capture ? "capture" : "playback",
                         Words(e).c_str());
            }
        }
        if (FLost)
            std::this_thread::sleep_for(
                std::chrono::microseconds(1'000'000ull * FChunkFrames / FRate));
        (FStream.Direction() == TDirection::Capture ? FStatistics.CaptureFrames
                                                    : FStatistics.PlaybackFrames) += FChunkFrames;
        FFramesMoved += FChunkFrames;
    }

    // A chunk counts as played once PortAudio has taken it. Waiting until it has also reached
    // the card would hold every buffer back by the output latency, which starves a ring of
    // short buffers (four of 21 ms at 96 kHz) and breaks the replay up; instead a close waits
    // for the way to the card (see the close tail), so nothing is cut off at the end.
    void ReportPlayed(TWaveCore& Core) {
        std::uint64_t upTo = FReported;
        while (FPendingCount > 0 && FPending[FPendingHead].FrameEnd <= FFramesMoved) {
            upTo = FPending[FPendingHead].HandedEnd;
            FPendingHead = (FPendingHead + 1) % FPending.size();
            --FPendingCount;
        }
        if (upTo > FReported) {
            Core.Played(FStream, upTo - FReported);
            FReported = upTo;
        }
    }

    void Remember(TPending Entry) {
        if (FPendingCount == FPending.size()) {
            // Cannot happen while writes pace the thread; merging only delays the report.
            FPending[(FPendingHead + FPendingCount - 1) % FPending.size()] = Entry;
            return;
        }
        FPending[(FPendingHead + FPendingCount) % FPending.size()] = Entry;
        ++FPendingCount;
    }

    WaveCore::TStream& FStream;
    TPaStreamPtr FPa;
    std::thread FThread;
    std::atomic<bool> FQuit{false};
    // The thread's own.
    std::uint32_t FRate = 0;
    std::uint32_t FChunkFrames = 0;
    std::vector<std::uint8_t> FChunk;
    std::uint8_t FSilence = 0;
    bool FLost = false;
    std::uint64_t FFramesMoved = 0;
    TStatistics FStatistics;
    // Playback, under the core's lock.
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
            TDevice device{i, {}};
            device.Caps.Mid = ManufacturerID;
            device.Caps.Pid = static_cast<WORD>(i);
            device.Caps.DriverVersion = driverVersion;
            device.Caps.Name = RecordName(info->name);
            device.Caps.Formats = StandardFormats(i, direction);
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

void TPortAudioBackend::AddStatistics(const TStatistics& Stream) {
    std::lock_guard lock(FStatisticsLock);
    FStatistics.Streams += Stream.Streams;
    FStatistics.CaptureFrames += Stream.CaptureFrames;
    FStatistics.PlaybackFrames += Stream.PlaybackFrames;
    FStatistics.LostCaptureBytes += Stream.LostCaptureBytes;
    FStatistics.Overflows += Stream.Overflows;
    FStatistics.Underflows += Stream.Underflows;
    FStatistics.CpuNs += Stream.CpuNs;
}

UINT TPortAudioBackend::DeviceCount(TDirection Direction) {
    return static_cast<UINT>(Devices(Direction).size());
}

MMRESULT TPortAudioBackend::DeviceCaps(TDirection Direction, UINT DeviceID,
                                       WaveCore::TDeviceCaps& Caps) {
    const TDevice* device = Find(Direction, DeviceID);
    if (device == nullptr)
        return MMSYSERR_BADDEVICEID;
    Caps = device->Caps;
    return MMSYSERR_NOERROR;
}

MMRESULT TPortAudioBackend::OpenStream(WaveCore::TStream& Stream) {
    const TDevice* device = Find(Stream.Direction(), Stream.DeviceID());
    if (device == nullptr)
        return MMSYSERR_BADDEVICEID;
    const WAVEFORMATEX& format = Stream.Format();
    const bool capture = Stream.Direction() == TDirection::Capture;
    const PaStreamParameters p =
        Parameters(device->Index, Stream.Direction(), format.nChannels, format.wBitsPerSample);
    PaStream* opened = nullptr;
    // No dither and no clipping: the samples reach the card exactly as the program made them.
    PaError e = Pa_OpenStream(&opened, capture ? &p : nullptr, capture ? nullptr : &p,
                              format.nSamplesPerSec,
                              std::max<std::uint32_t>(64, format.nSamplesPerSec / ChunksPerSecond),
                              paClipOff | paDitherOff, nullptr, nullptr);
    if (e != paNoError)
        return Failure(e);
    TPaStreamPtr pa(opened);
    if ((e = Pa_StartStream(pa.get())) != paNoError)
        return Failure(e);
    try {
        auto state = std::make_unique<TStreamState>(Stream, std::move(pa));
        state->Start();
        Stream.Backend = std::move(state);
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    } catch (const std::system_error& error) {
        return TWaveCore::Instance().ErrorWithDetail(MMSYSERR_NOMEM, error.what());
    }
    return MMSYSERR_NOERROR;
}

void TPortAudioBackend::CloseStream(WaveCore::TStream& Stream) {
    auto* state = static_cast<TStreamState*>(Stream.Backend.get());
    if (state == nullptr)
        return;
    // Everything queued has been reported played, so it has reached the card; a playback
    // thread writes its tail of silence before it ends, and the stream is then cut off.
    AddStatistics(state->Finish());
    Stream.Backend.reset();
}

void TPortAudioBackend::StreamChanged(WaveCore::TStream& Stream, TStreamEvent Event) {
    // The stream's thread sees queueing, starts, stops and pauses on its next chunk; only a
    // reset changes what it has to report.
    if (Event == TStreamEvent::Reset)
        static_cast<TStreamState*>(Stream.Backend.get())->Reset();
}

TInstalledPortAudio::TInstalledPortAudio()
    : TInstalledPortAudio(std::make_unique<TPortAudioBackend>()) {}

TInstalledPortAudio::TInstalledPortAudio(std::unique_ptr<TPortAudioBackend> Backend)
    : FBackend(Backend.get()), FInstalled(std::move(Backend)) {}

} // namespace PaBackend
