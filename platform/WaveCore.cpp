#include "platform/WaveCore.h"

#include <algorithm>
#include <cstring>

#include <QString>

namespace WaveCore {
namespace {

TCall CallOf(TDirection Direction, TCall CaptureCall, TCall PlaybackCall) {
    return Direction == TDirection::Capture ? CaptureCall : PlaybackCall;
}

constexpr std::uintptr_t FirstHandle = 0x10000;
constexpr MMRESULT FirstDetailCode = 0x1000;

const char* BaseErrorText(MMRESULT Error) {
    switch (Error) {
    case MMSYSERR_NOERROR:
        return "The operation completed successfully.";
    case MMSYSERR_ERROR:
        return "An unspecified error occurred.";
    case MMSYSERR_BADDEVICEID:
        return "The device identifier is out of range.";
    case MMSYSERR_NOTENABLED:
        return "The driver failed to enable.";
    case MMSYSERR_ALLOCATED:
        return "The device is already in use.";
    case MMSYSERR_INVALHANDLE:
        return "The device handle is invalid.";
    case MMSYSERR_NODRIVER:
        return "No sound driver is present.";
    case MMSYSERR_NOMEM:
        return "Unable to allocate memory.";
    case MMSYSERR_NOTSUPPORTED:
        return "The function is not supported.";
    case MMSYSERR_BADERRNUM:
        return "The error number is out of range.";
    case MMSYSERR_INVALFLAG:
        return "An invalid flag was passed.";
    case MMSYSERR_INVALPARAM:
        return "An invalid parameter was passed.";
    case MMSYSERR_HANDLEBUSY:
        return "The handle is in use by another thread.";
    case WAVERR_BADFORMAT:
        return "The sound format is not supported by the device.";
    case WAVERR_STILLPLAYING:
        return "The device still holds queued buffers.";
    case WAVERR_UNPREPARED:
        return "The buffer header is not prepared.";
    case WAVERR_SYNC:
        return "The device is synchronous and was opened without allowing it.";
    default:
        return nullptr;
    }
}

bool ValidFormat(const WAVEFORMATEX* Format) {
    return Format != nullptr && Format->wFormatTag == WAVE_FORMAT_PCM &&
           (Format->nChannels == 1 || Format->nChannels == 2) &&
           (Format->wBitsPerSample == 8 || Format->wBitsPerSample == 16) &&
           Format->nSamplesPerSec > 0 &&
           Format->nBlockAlign == Format->nChannels * Format->wBitsPerSample / 8;
}

// A mapper stands for the system's default device even when there is none, so that a device
// object can exist on a machine without sound and report the missing device when it starts.
TDeviceCaps MapperWithoutDevice() {
    TDeviceCaps caps;
    caps.Name = u"Sound mapper (no device)";
    caps.Formats = WAVE_FORMAT_ALL_STANDARD;
    caps.Channels = 2;
    caps.Support = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME;
    return caps;
}

} // namespace

void TStream::Push(WAVEHDR* Header, std::uint64_t End) {
    if (FCount == FQueue.size()) {
        // Grow and unroll the ring; this happens only the first time a device queues more
        // buffers than before.
        std::vector<TEntry> grown;
        grown.reserve(std::max<std::size_t>(8, FQueue.size() * 2));
        for (std::size_t i = 0; i < FCount; ++i)
            grown.push_back(At(i));
        grown.resize(grown.capacity(), TEntry{nullptr, 0});
        FQueue = std::move(grown);
        FHead = 0;
    }
    At(FCount) = TEntry{Header, End};
    ++FCount;
}

WAVEHDR* TStream::Pop() {
    WAVEHDR* header = At(0).Header;
    FHead = (FHead + 1) % FQueue.size();
    --FCount;
    return header;
}

std::uint32_t TStream::CaptureSpace() const {
    if (FCount == 0)
        return 0;
    const WAVEHDR* front = At(0).Header;
    return front->dwBufferLength - front->dwBytesRecorded;
}

std::uint32_t TStream::BytesToBufferEnd() const {
    for (std::size_t i = 0; i < FCount; ++i) {
        if (At(i).End > FHandedBytes)
            return static_cast<std::uint32_t>(At(i).End - FHandedBytes);
    }
    return 0;
}

TWaveCore& TWaveCore::Instance() {
    static TWaveCore core;
    return core;
}

std::unique_ptr<IWaveBackend> TWaveCore::Install(std::unique_ptr<IWaveBackend> Backend) {
    std::lock_guard lock(FLock);
    FVolumes.clear();
    std::swap(FBackend, Backend);
    return Backend;
}

TStream* TWaveCore::Find(TDirection Direction, std::uintptr_t Handle) {
    auto it = FStreams.find(Handle);
    if (it == FStreams.end() || it->second->FDirection != Direction)
        return nullptr;
    return it->second.get();
}

MMRESULT TWaveCore::Enter(TDirection Direction, std::uintptr_t Handle, TCall CaptureCall,
                          TCall PlaybackCall, TStream*& Stream) {
    Stream = Find(Direction, Handle);
    if (Stream == nullptr)
        return MMSYSERR_INVALHANDLE;
    return Fault(CallOf(Direction, CaptureCall, PlaybackCall));
}

MMRESULT TWaveCore::Fault(TCall Call) {
    return FBackend ? FBackend->Fault(Call) : MMSYSERR_NOERROR;
}

void TWaveCore::Notify(const TStream& Stream, UINT Msg) {
    if (Stream.FWindow != HWND{})
        Windows::PostMessageW(Stream.FWindow, Msg, Stream.FHandle, 0);
}

void TWaveCore::Complete(TStream& Stream) {
    WAVEHDR* header = Stream.Pop();
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    Notify(Stream, Stream.FDirection == TDirection::Capture ? MM_WIM_DATA : MM_WOM_DONE);
}

void TWaveCore::CompletePlayed(TStream& Stream) {
    while (Stream.FCount > 0 && Stream.At(0).End <= Stream.FPlayedBytes)
        Complete(Stream);
}

std::uint32_t TWaveCore::Captured(TStream& Stream, const void* Frames, std::uint32_t Bytes) {
    if (!Stream.FRunning)
        return 0;
    auto* source = static_cast<const char*>(Frames);
    std::uint32_t taken = 0;
    while (Stream.FCount > 0) {
        WAVEHDR* front = Stream.At(0).Header;
        const std::uint32_t n =
            std::min(Bytes - taken, front->dwBufferLength - front->dwBytesRecorded);
        if (n > 0)
            std::memcpy(front->lpData + front->dwBytesRecorded, source + taken, n);
        front->dwBytesRecorded += n;
        taken += n;
        if (front->dwBytesRecorded < front->dwBufferLength)
            break;
        Complete(Stream);
        if (taken == Bytes)
            break;
    }
    return taken;
}

std::uint32_t TWaveCore::TakePlayback(TStream& Stream, void* Dest, std::uint32_t Bytes) {
    auto* dest = static_cast<std::uint8_t*>(Dest);
    std::uint32_t taken = 0;
    for (std::size_t i = 0; i < Stream.FCount && taken < Bytes; ++i) {
        const auto& entry = Stream.At(i);
        if (entry.End <= Stream.FHandedBytes)
            continue;
        const std::uint64_t begin = entry.End - entry.Header->dwBufferLength;
        const auto offset = static_cast<std::uint32_t>(Stream.FHandedBytes - begin);
        const std::uint32_t n = std::min(Bytes - taken, entry.Header->dwBufferLength - offset);
        std::memcpy(dest + taken, entry.Header->lpData + offset, n);
        taken += n;
        Stream.FHandedBytes += n;
    }
    auto volume = FVolumes.find(Stream.FDeviceID);
    if (volume != FVolumes.end())
        ApplyVolume(Stream.FFormat, volume->second, Stream.FSupport, dest, taken);
    return taken;
}

void TWaveCore::Played(TStream& Stream, std::uint64_t Bytes) {
    Stream.FPlayedBytes = std::min(Stream.FPlayedBytes + Bytes, Stream.FHandedBytes);
    CompletePlayed(Stream);
}

void TWaveCore::Lost(TStream& Stream, const std::string& Words) {
    if (Stream.FFailure != MMSYSERR_NOERROR)
        return;
    Stream.FFailure = ErrorWithText(Words);
    Stream.FRunning = false;
    if (Stream.FDirection == TDirection::Playback)
        Stream.FHandedBytes = Stream.FPlayedBytes = Stream.FWrittenBytes;
    while (Stream.FCount > 0)
        Complete(Stream);
}

void TWaveCore::ApplyVolume(const WAVEFORMATEX& Format, DWORD Volume, DWORD Support,
                            std::uint8_t* Data, std::uint32_t Bytes) {
    if ((Support & WAVECAPS_VOLUME) == 0 || Volume == 0xFFFFFFFFu)
        return;
    const std::int32_t left = static_cast<std::int32_t>(Volume & 0xFFFF);
    const std::int32_t right =
        (Support & WAVECAPS_LRVOLUME) != 0 ? static_cast<std::int32_t>(Volume >> 16) : left;
    const std::int32_t gains[2] = {left, right};
    const unsigned channels = Format.nChannels;
    if (Format.wBitsPerSample == 8) {
        for (std::uint32_t i = 0; i < Bytes; ++i) {
            const std::int32_t d = static_cast<std::int32_t>(Data[i]) - 128;
            Data[i] = static_cast<std::uint8_t>(128 + d * gains[i % channels] / 65535);
        }
    } else {
        for (std::uint32_t i = 0; i + 1 < Bytes; i += 2) {
            const auto s = static_cast<std::int16_t>(Data[i] | (Data[i + 1] << 8));
            const auto v = static_cast<std::uint16_t>(s * gains[(i / 2) % channels] / 65535);
            Data[i] = static_cast<std::uint8_t>(v & 0xFF);
            Data[i + 1] = static_cast<std::uint8_t>(v >> 8);
        }
    }
}

MMRESULT TWaveCore::ErrorWithDetail(MMRESULT Base, const std::string& Detail) {
    const char* base = BaseErrorText(Base);
    std::string text = std::string(base != nullptr ? base : "An unspecified error occurred.");
    if (!Detail.empty())
        text += " " + Detail;
    return ErrorWithText(text);
}

MMRESULT TWaveCore::ErrorWithText(const std::string& Text) {
    std::lock_guard lock(FTextLock);
    std::string text = Text;
    auto it = std::find(FDetailTexts.begin(), FDetailTexts.end(), text);
    if (it == FDetailTexts.end())
        it = FDetailTexts.insert(FDetailTexts.end(), std::move(text));
    return FirstDetailCode + static_cast<MMRESULT>(it - FDetailTexts.begin());
}

std::string TWaveCore::ErrorText(MMRESULT Error) {
    if (const char* base = BaseErrorText(Error))
        return base;
    std::lock_guard lock(FTextLock);
    if (Error >= FirstDetailCode && Error - FirstDetailCode < FDetailTexts.size())
        return FDetailTexts[Error - FirstDetailCode];
    return {};
}

UINT TWaveCore::GetNumDevs(TDirection Direction) {
    std::lock_guard lock(FLock);
    return FBackend ? FBackend->DeviceCount(Direction) : 0;
}

std::string TWaveCore::DeviceName(TDirection Direction, UINT DeviceID) {
    std::lock_guard lock(FLock);
    const UINT count = FBackend ? FBackend->DeviceCount(Direction) : 0;
    if (DeviceID == WAVE_MAPPER ? count > 0 : DeviceID < count)
        if (std::string listed = FBackend->ListedName(Direction, DeviceID); !listed.empty())
            return listed;
    TDeviceCaps caps;
    if (CapsOf(Direction, DeviceID, caps) != MMSYSERR_NOERROR)
        return {};
    return QString::fromStdU16String(caps.Name).toStdString();
}

MMRESULT TWaveCore::CapsOf(TDirection Direction, UINT DeviceID, TDeviceCaps& Caps) {
    const UINT count = FBackend ? FBackend->DeviceCount(Direction) : 0;
    if (DeviceID == WAVE_MAPPER && count == 0) {
        Caps = MapperWithoutDevice();
        return MMSYSERR_NOERROR;
    }
    if (DeviceID != WAVE_MAPPER && DeviceID >= count)
        return MMSYSERR_BADDEVICEID;
    return FBackend->DeviceCaps(Direction, DeviceID, Caps);
}

MMRESULT TWaveCore::GetDevCaps(TDirection Direction, UINT DeviceID, TDeviceCaps& Caps) {
    std::lock_guard lock(FLock);
    if (MMRESULT fault = Fault(CallOf(Direction, TCall::InGetDevCaps, TCall::OutGetDevCaps)))
        return fault;
    return CapsOf(Direction, DeviceID, Caps);
}

MMRESULT TWaveCore::Open(TDirection Direction, std::uintptr_t& Handle, UINT DeviceID,
                         const WAVEFORMATEX* Format, DWORD_PTR Callback, DWORD Flags) {
    std::unique_lock lock(FLock);
    if (MMRESULT fault = Fault(CallOf(Direction, TCall::InOpen, TCall::OutOpen)))
        return fault;
    if (!FBackend)
        return MMSYSERR_NODRIVER;
    const UINT count = FBackend->DeviceCount(Direction);
    if ((DeviceID != WAVE_MAPPER && DeviceID >= count) || count == 0)
        return MMSYSERR_BADDEVICEID;
    if (!ValidFormat(Format))
        return WAVERR_BADFORMAT;
    const DWORD callbackType = Flags & CALLBACK_TYPEMASK;
    if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_WINDOW)
        return MMSYSERR_INVALFLAG;
    const HWND window{Callback};
    if (callbackType == CALLBACK_WINDOW && !Windows::IsWindow(window))
        return MMSYSERR_INVALPARAM;
    if ((Flags & WAVE_FORMAT_QUERY) != 0)
        return MMSYSERR_NOERROR;

    auto stream = std::make_unique<TStream>();
    stream->FDirection = Direction;
    stream->FDeviceID = DeviceID;
    stream->FFormat = *Format;
    stream->FFormat.cbSize = 0;
    stream->FWindow = callbackType == CALLBACK_WINDOW ? window : HWND{};
    stream->FRunning = Direction == TDirection::Playback;
    if (Direction == TDirection::Playback) {
        TDeviceCaps caps;
        if (FBackend->DeviceCaps(Direction, DeviceID, caps) == MMSYSERR_NOERROR)
            stream->FSupport = caps.Support;
    }
    IWaveBackend* backend = FBackend.get();
    lock.unlock();
    const MMRESULT opened = backend->OpenStream(*stream);
    lock.lock();
    if (opened != MMSYSERR_NOERROR)
        return opened;
    stream->FHandle = FNextHandle++;
    Handle = stream->FHandle;
    TStream& registered = *FStreams.emplace(Handle, std::move(stream)).first->second;
    Notify(registered, Direction == TDirection::Capture ? MM_WIM_OPEN : MM_WOM_OPEN);
    return MMSYSERR_NOERROR;
}

MMRESULT TWaveCore::PrepareHeader(TDirection Direction, std::uintptr_t Handle, WAVEHDR* Header,
                                  UINT Size) {
    std::lock_guard lock(FLock);
    TStream* stream = nullptr;
    if (MMRESULT r =
            Enter(Direction, Handle, TCall::InPrepareHeader, TCall::OutPrepareHeader, stream))
        return r;
    if (Header == nullptr || Size < sizeof(WAVEHDR) || Header->lpData == nullptr)
        return MMSYSERR_INVALPARAM;
    Header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT TWaveCore::UnprepareHeader(TDirection Direction, std::uintptr_t Handle, WAVEHDR* Header,
                                    UINT Size) {
    std::lock_guard lock(FLock);
    TStream* stream = nullptr;
    if (MMRESULT r =
            Enter(Direction, Handle, TCall::InUnprepareHeader, TCall::OutUnprepareHeader, stream))
        return r;
    if (Header == nullptr || Size < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if ((Header->dwFlags & WHDR_INQUEUE) != 0)
        return WAVERR_STILLPLAYING;
    Header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT TWaveCore::AddBuffer(TDirection Direction, std::uintptr_t Handle, WAVEHDR* Header,
                              UINT Size) {
    std::lock_guard lock(FLock);
    TStream* stream = nullptr;
    if (MMRESULT r = Enter(Direction, Handle, TCall::InAddBuffer, TCall::OutWrite, stream))
        return r;
    if (Header == nullptr || Size < sizeof(WAVEHDR) || Header->lpData == nullptr)
        return MMSYSERR_INVALPARAM;
    if ((Header->dwFlags & WHDR_PREPARED) == 0)
        return WAVERR_UNPREPARED;
    if ((Header->dwFlags & WHDR_INQUEUE) != 0)
        return WAVERR_STILLPLAYING;
    if (stream->FFailure != MMSYSERR_NOERROR)
        return stream->FFailure;
    Header->dwFlags = (Header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    if (Direction == TDirection::Capture) {
        Header->dwBytesRecorded = 0;
        stream->Push(Header, 0);
    } else {
        stream->FWrittenBytes += Header->dwBufferLength;
        stream->Push(Header, stream->FWrittenBytes);
    }
    FBackend->StreamChanged(*stream, TStreamEvent::Queued);
    if (Direction == TDirection::Playback)
        CompletePlayed(*stream); // an empty buffer behind played ones is done at once
    return MMSYSERR_NOERROR;
}

MMRESULT TWaveCore::Start(TDirection Direction, std::uintptr_t Handle) {
    std::lock_guard lock(FLock);
    TStream* stream = nullptr;
    if (MMRESULT r = Enter(Direction, Handle, TCall::InStart, TCall::OutRestart, stream))
        return r;
    if (stream->FFailure != MMSYSERR_NOERROR)
        return stream->FFailure;
    if (!stream->FRunning) {
        stream->FRunning = true;
        FBackend->StreamChanged(*stream, Direction == TDirection::Capture
                                             ? TStreamEvent::Started
                                             : TStreamEvent::Restarted);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT TWaveCore::Stop(TDirection Direction, std::uintptr_t Handle) {
    std::lock_guard lock(FLock);
    TStream* stream = nullptr;
    if (MMRESULT r = Enter(Direction, Handle, TCall::InStop, TCall::OutPause, stream))
        return r;
    if (stream->FRunning) {
        FBackend->StreamChanged(*stream, Direction == TDirection::Capture ? TStreamEvent::Stopped
                                                                          : TStreamEvent::Paused);
        stream->FRunning = false;
    }
    // A stopped capture returns the buffer being filled with what it holds; the rest stay.
    if (Direction == TDirection::Capture && stream->FCount > 0 &&
        stream->At(0).Header->dwBytesRecorded > 0)
        Complete(*stream);
    return MMSYSERR_NOERROR;
}

MMRESULT TWaveCore::Reset(TDirection Direction, std::uintptr_t Handle) {
    std::lock_guard lock(FLock);
    TStream* stream = nullptr;
    if (MMRESULT r = Enter(Direction, Handle, TCall::InReset, TCall::OutReset, stream))
        return r;
    FBackend->StreamChanged(*stream, TStreamEvent::Reset);
    if (Direction == TDirection::Capture)
        stream->FRunning = false;
    else
        stream->FHandedBytes = stream->FPlayedBytes = stream->FWrittenBytes;
    while (stream->FCount > 0)
        Complete(*stream);
    return MMSYSERR_NOERROR;
}

MMRESULT TWaveCore::Close(TDirection Direction, std::uintptr_t Handle) {
    std::unique_lock lock(FLock);
    TStream* found = nullptr;
    if (MMRESULT r = Enter(Direction, Handle, TCall::InClose, TCall::OutClose, found))
        return r;
    if (found->FCount > 0)
        return WAVERR_STILLPLAYING;
    auto node = FStreams.extract(Handle);
    IWaveBackend* backend = FBackend.get();
    lock.unlock();
    backend->CloseStream(*node.mapped());
    Notify(*node.mapped(), Direction == TDirection::Capture ? MM_WIM_CLOSE : MM_WOM_CLOSE);
    return MMSYSERR_NOERROR;
}

MMRESULT TWaveCore::VolumeTarget(std::uintptr_t HandleOrDevice, UINT& DeviceID, DWORD& Support) {
    if (HandleOrDevice >= FirstHandle && HandleOrDevice != WAVE_MAPPER) {
        TStream* stream = Find(TDirection::Playback, HandleOrDevice);
        if (stream == nullptr)
            return MMSYSERR_INVALHANDLE;
        DeviceID = stream->FDeviceID;
        Support = stream->FSupport;
        return MMSYSERR_NOERROR;
    }
    DeviceID = static_cast<UINT>(HandleOrDevice);
    TDeviceCaps caps;
    if (MMRESULT r = CapsOf(TDirection::Playback, DeviceID, caps))
        return r;
    Support = caps.Support;
    return MMSYSERR_NOERROR;
}

MMRESULT TWaveCore::GetVolume(std::uintptr_t HandleOrDevice, DWORD* Volume) {
    std::lock_guard lock(FLock);
    if (MMRESULT fault = Fault(TCall::OutGetVolume))
        return fault;
    if (Volume == nullptr)
        return MMSYSERR_INVALPARAM;
    UINT device = 0;
    DWORD support = 0;
    if (MMRESULT r = VolumeTarget(HandleOrDevice, device, support))
        return r;
    if ((support & WAVECAPS_VOLUME) == 0)
        return MMSYSERR_NOTSUPPORTED;
    auto it = FVolumes.find(device);
    *Volume = it == FVolumes.end() ? 0xFFFFFFFFu : it->second;
    return MMSYSERR_NOERROR;
}

MMRESULT TWaveCore::SetVolume(std::uintptr_t HandleOrDevice, DWORD Volume) {
    std::lock_guard lock(FLock);
    if (MMRESULT fault = Fault(TCall::OutSetVolume))
        return fault;
    UINT device = 0;
    DWORD support = 0;
    if (MMRESULT r = VolumeTarget(HandleOrDevice, device, support))
        return r;
    if ((support & WAVECAPS_VOLUME) == 0)
        return MMSYSERR_NOTSUPPORTED;
    FVolumes[device] = Volume;
    return MMSYSERR_NOERROR;
}

MMRESULT TWaveCore::GetFactor(std::uintptr_t Handle, bool Pitch, DWORD* Value) {
    std::lock_guard lock(FLock);
    if (MMRESULT fault = Fault(Pitch ? TCall::OutGetPitch : TCall::OutGetPlaybackRate))
        return fault;
    TStream* stream = Find(TDirection::Playback, Handle);
    if (stream == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (Value == nullptr)
        return MMSYSERR_INVALPARAM;
    if ((stream->FSupport & (Pitch ? WAVECAPS_PITCH : WAVECAPS_PLAYBACKRATE)) == 0)
        return MMSYSERR_NOTSUPPORTED;
    *Value = Pitch ? stream->FPitch : stream->FRate;
    return MMSYSERR_NOERROR;
}

MMRESULT TWaveCore::SetFactor(std::uintptr_t Handle, bool Pitch, DWORD Value) {
    std::lock_guard lock(FLock);
    if (MMRESULT fault = Fault(Pitch ? TCall::OutSetPitch : TCall::OutSetPlaybackRate))
        return fault;
    TStream* stream = Find(TDirection::Playback, Handle);
    if (stream == nullptr)
        return MMSYSERR_INVALHANDLE;
    if ((stream->FSupport & (Pitch ? WAVECAPS_PITCH : WAVECAPS_PLAYBACKRATE)) == 0)
        return MMSYSERR_NOTSUPPORTED;
    (Pitch ? stream->FPitch : stream->FRate) = Value;
    return MMSYSERR_NOERROR;
}

TInstalledBackend::TInstalledBackend(std::unique_ptr<IWaveBackend> Backend)
    : FPrevious(TWaveCore::Instance().Install(std::move(Backend))) {}

TInstalledBackend::~TInstalledBackend() {
    TWaveCore::Instance().Install(std::move(FPrevious));
}

} // namespace WaveCore
