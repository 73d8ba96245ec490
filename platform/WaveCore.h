// The service core behind MMSystem: handles, prepared and queued headers, the order in which
// buffers come back, the open/data/close notifications, pause and reset, and the volume. None of
// this depends on the hardware; an installed backend only moves frames.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/MMSystem.h"

namespace WaveCore {

using namespace MMSystem;

enum class TDirection : std::uint8_t { Capture, Playback };

// Every service call that a fault can be injected into.
enum class TCall : std::uint8_t {
    InGetDevCaps,
    InOpen,
    InPrepareHeader,
    InUnprepareHeader,
    InAddBuffer,
    InStart,
    InStop,
    InReset,
    InClose,
    OutGetDevCaps,
    OutOpen,
    OutPrepareHeader,
    OutUnprepareHeader,
    OutWrite,
    OutPause,
    OutRestart,
    OutReset,
    OutClose,
    OutGetVolume,
    OutSetVolume,
    OutGetPitch,
    OutSetPitch,
    OutGetPlaybackRate,
    OutSetPlaybackRate,
};
inline constexpr std::size_t CallCount = 24;

// What a stream's state change was, as told to the backend.
enum class TStreamEvent : std::uint8_t { Queued, Started, Stopped, Paused, Restarted, Reset };

struct TDeviceCaps {
    WORD Mid = 0;
    WORD Pid = 0;
    MMVERSION DriverVersion = 0;
    std::u16string Name;
    DWORD Formats = 0;
    WORD Channels = 0;
    DWORD Support = 0; // playback only
};

// A backend's own state for one open stream.
class TBackendStream {
public:
    virtual ~TBackendStream() = default;
};

class TWaveCore;

// One open capture or playback device. The core owns it from open to close.
class TStream {
public:
    TDirection Direction() const { return FDirection; }
    UINT DeviceID() const { return FDeviceID; }
    const WAVEFORMATEX& Format() const { return FFormat; }
    // Capture: started and not stopped. Playback: not paused.
    bool Running() const { return FRunning; }
    bool HasQueued() const { return FCount > 0; }
    std::size_t QueuedCount() const { return FCount; }

    // Capture: bytes still free in the buffer being filled (0 when none is queued).
    std::uint32_t CaptureSpace() const;
    // Playback: bytes written but not yet handed to the backend, in all queued buffers, and in
    // the buffer being handed out.
    std::uint64_t PendingBytes() const { return FWrittenBytes - FHandedBytes; }
    std::uint32_t BytesToBufferEnd() const;
    // The code a lost stream refuses its buffers and starts with, or MMSYSERR_NOERROR.
    MMRESULT Failure() const { return FFailure; }

    std::unique_ptr<TBackendStream> Backend;

private:
    friend class TWaveCore;
    struct TEntry {
        WAVEHDR* Header;
        std::uint64_t End; // playback: stream offset just past this buffer
    };
    TEntry& At(std::size_t I) { return FQueue[(FHead + I) % FQueue.size()]; }
    const TEntry& At(std::size_t I) const { return FQueue[(FHead + I) % FQueue.size()]; }
    void Push(WAVEHDR* Header, std::uint64_t End);
    WAVEHDR* Pop();

    TDirection FDirection = TDirection::Capture;
    UINT FDeviceID = 0;
    WAVEFORMATEX FFormat{};
    HWND FWindow{};
    std::uintptr_t FHandle = 0;
    bool FRunning = false;
    MMRESULT FFailure = MMSYSERR_NOERROR;
    DWORD FSupport = 0; // playback support flags of the device
    DWORD FPitch = 0x10000;
    DWORD FRate = 0x10000;
    // The queue of buffers handed to the service, oldest first: a ring that grows only when a
    // caller queues more buffers than ever before.
    std::vector<TEntry> FQueue;
    std::size_t FHead = 0;
    std::size_t FCount = 0;
    // Playback byte counters since open: written, handed to the backend, reported played.
    std::uint64_t FWrittenBytes = 0;
    std::uint64_t FHandedBytes = 0;
    std::uint64_t FPlayedBytes = 0;
};

/*
  The backend contract.

  What the core guarantees to a backend:
  - Every hook but OpenStream and CloseStream runs with the core's lock held; those two run
    without it, so they may start and join threads.
  - OpenStream sees a device number below DeviceCount (or WAVE_MAPPER) and a PCM format of 1 or
    2 channels, 8 or 16 bits and a rate above 0. CloseStream comes once per opened stream, when
    no buffer is queued any more; after it returns the stream is gone.
  - StreamChanged tells of every change of a stream's queue or state, before the core acts on
    it for stops, pauses and resets (so the backend can first bring the stream up to date) and
    after it for queueing, starts and restarts.
  - The core keeps the headers, the queue, the flags, the order of returned buffers and every
    notification, and applies the playback volume to the frames it hands out.

  What a backend must do:
  - Move frames only: give captured frames to TWaveCore::Captured, take frames to play with
    TWaveCore::TakePlayback and report with TWaveCore::Played once they have reached the sound
    card. Call these and read a stream only with the core's lock held (TWaveCore::Lock).
  - Report a stream the sound system has given up on with TWaveCore::Lost, once.
  - Return from CloseStream within a second and a buffer, whatever the sound system does; a
    thread of the stream that does not come back in time may go on, but must not touch the
    stream once CloseStream has returned.
  - Never post notifications, never call into the program, never block inside a hook.
  - Stop moving frames within one buffer's time of a stop, pause or reset; never touch a stream
    after CloseStream has returned.
*/
class IWaveBackend {
public:
    virtual ~IWaveBackend() = default;
    virtual UINT DeviceCount(TDirection Direction) = 0;
    // DeviceID is below DeviceCount, or WAVE_MAPPER with at least one device.
    virtual MMRESULT DeviceCaps(TDirection Direction, UINT DeviceID, TDeviceCaps& Caps) = 0;
    virtual MMRESULT OpenStream(TStream& Stream) = 0;
    virtual void CloseStream(TStream& Stream) = 0;
    virtual void StreamChanged(TStream& Stream, TStreamEvent Event) = 0;
    // A code to fail this call with instead of serving it, or MMSYSERR_NOERROR. Lock held.
    virtual MMRESULT Fault(TCall) { return MMSYSERR_NOERROR; }
    // The device's name as a list for users shows it, when it says more than its capability
    // record's name (which is cut to 31 characters); empty otherwise.
    virtual std::string ListedName(TDirection, UINT) { return {}; }
};

class TWaveCore {
public:
    static TWaveCore& Instance();

    // Installs the backend every later call goes to; returns the previous one. Only while no
    // device is open.
    std::unique_ptr<IWaveBackend> Install(std::unique_ptr<IWaveBackend> Backend);
    IWaveBackend* Backend() const { return FBackend.get(); }

    std::unique_lock<std::mutex> Lock() { return std::unique_lock(FLock); }

    // For backends, with the lock held.
    std::uint32_t Captured(TStream& Stream, const void* Frames, std::uint32_t Bytes);
    std::uint32_t TakePlayback(TStream& Stream, void* Dest, std::uint32_t Bytes);
    void Played(TStream& Stream, std::uint64_t Bytes);
    // The stream can no longer move frames: every queued buffer comes back (a capture buffer
    // with what it holds, a playback buffer unplayed), and queueing or starting it again is
    // refused with a code whose text is Words, so that its device stops as after a refusal.
    void Lost(TStream& Stream, const std::string& Words);

    // A code whose text is the given detail after the text of Base, for errors a backend
    // reports in its own words.
    MMRESULT ErrorWithDetail(MMRESULT Base, const std::string& Detail);
    // A code whose text is exactly Text.
    MMRESULT ErrorWithText(const std::string& Text);
    std::string ErrorText(MMRESULT Error);

    // The service calls.
    UINT GetNumDevs(TDirection Direction);
    // The name to show a user for a device number (the mapper included), or empty.
    std::string DeviceName(TDirection Direction, UINT DeviceID);
    MMRESULT GetDevCaps(TDirection Direction, UINT DeviceID, TDeviceCaps& Caps);
    MMRESULT Open(TDirection Direction, std::uintptr_t& Handle, UINT DeviceID,
                  const WAVEFORMATEX* Format, DWORD_PTR Callback, DWORD Flags);
    MMRESULT PrepareHeader(TDirection Direction, std::uintptr_t Handle, WAVEHDR* Header, UINT Size);
    MMRESULT UnprepareHeader(TDirection Direction, std::uintptr_t Handle, WAVEHDR* Header,
                             UINT Size);
    MMRESULT AddBuffer(TDirection Direction, std::uintptr_t Handle, WAVEHDR* Header, UINT Size);
    MMRESULT Start(TDirection Direction, std::uintptr_t Handle);
    MMRESULT Stop(TDirection Direction, std::uintptr_t Handle);
    MMRESULT Reset(TDirection Direction, std::uintptr_t Handle);
    MMRESULT Close(TDirection Direction, std::uintptr_t Handle);
    MMRESULT GetVolume(std::uintptr_t HandleOrDevice, DWORD* Volume);
    MMRESULT SetVolume(std::uintptr_t HandleOrDevice, DWORD Volume);
    MMRESULT GetFactor(std::uintptr_t Handle, bool Pitch, DWORD* Value);
    MMRESULT SetFactor(std::uintptr_t Handle, bool Pitch, DWORD Value);

private:
    TWaveCore() = default;
    TStream* Find(TDirection Direction, std::uintptr_t Handle);
    MMRESULT Fault(TCall Call);
    // The stream a handle names, and the call's injected fault if any. Lock held.
    MMRESULT Enter(TDirection Direction, std::uintptr_t Handle, TCall CaptureCall,
                   TCall PlaybackCall, TStream*& Stream);
    // A device's capabilities, or the stand-in mapper when there is no device. Lock held.
    MMRESULT CapsOf(TDirection Direction, UINT DeviceID, TDeviceCaps& Caps);
    void Complete(TStream& Stream);
    void CompletePlayed(TStream& Stream);
    void Notify(const TStream& Stream, UINT Msg);
    MMRESULT VolumeTarget(std::uintptr_t HandleOrDevice, UINT& DeviceID, DWORD& Support);
    static void ApplyVolume(const WAVEFORMATEX& Format, DWORD Volume, DWORD Support,
                            std::uint8_t* Data, std::uint32_t Bytes);

    std::mutex FLock;
    std::unique_ptr<IWaveBackend> FBackend;
    std::unordered_map<std::uintptr_t, std::unique_ptr<TStream>> FStreams;
    std::uintptr_t FNextHandle = 0x10000;
    // Playback volume by device number (WAVE_MAPPER included), full scale until set.
    std::unordered_map<UINT, DWORD> FVolumes;
    // Texts of the codes made by ErrorWithDetail; their own lock, so a hook may make one.
    std::mutex FTextLock;
    std::vector<std::string> FDetailTexts;
};

// Installs a backend for a scope and puts the previous one back.
class TInstalledBackend {
public:
    explicit TInstalledBackend(std::unique_ptr<IWaveBackend> Backend);
    ~TInstalledBackend();
    TInstalledBackend(const TInstalledBackend&) = delete;
    TInstalledBackend& operator=(const TInstalledBackend&) = delete;

private:
    std::unique_ptr<IWaveBackend> FPrevious;
};

} // namespace WaveCore
