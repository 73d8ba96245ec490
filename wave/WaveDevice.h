// The base of the capture and the playback device: the chosen platform device and its PCM
// format, a ring of equally sized buffers with their headers, the open/paused/stopping state,
// the state events, and a hidden window through which the service reports.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/MMSystem.h"
#include "platform/Windows.h"
#include "wave/WaveDefs.h"

namespace WaveDefs {

using MMSystem::DWORD;
using MMSystem::MMRESULT;
using MMSystem::UINT;

class TWaveDevice;
using TNotifyEvent = std::function<void(TWaveDevice* Sender)>;

// The standard-format capability flag that stands for each format (0 for wfUnknown).
extern const std::array<DWORD, WaveFormatCount> FormatCapsFlags;

class TWaveDevice {
public:
    TNotifyEvent OnStart;
    TNotifyEvent OnStop;
    TNotifyEvent OnPause;
    TNotifyEvent OnResume;

    virtual ~TWaveDevice();
    TWaveDevice(const TWaveDevice&) = delete;
    TWaveDevice& operator=(const TWaveDevice&) = delete;

    UINT DeviceID() const { return FDeviceID; }
    virtual void SetDeviceID(UINT Value) = 0;
    TWaveFormat Format() const { return FFormat; }
    void SetFormat(TWaveFormat Value);
    std::uint8_t Buffers() const { return static_cast<std::uint8_t>(FHeaders.size()); }
    void SetBuffers(std::uint8_t Value);
    std::uint32_t BufferSize() const { return FBufferSize; }
    void SetBufferSize(std::uint32_t Value);
    // Raises what SetBufferSize raises for a Value the current Format does not allow, and
    // changes nothing.
    void CheckBufferSize(std::uint32_t Value) const;

    const std::string& Name() const { return FName; }
    void SetName(std::string Value) { FName = std::move(Value); }
    std::intptr_t Tag() const { return FTag; }
    void SetTag(std::intptr_t Value) { FTag = Value; }

    bool Active() const { return FActive; }
    bool Paused() const { return FPaused; }
    // Why the device last stopped by itself: the service's words when it refused to take a
    // buffer back, as it does once its sound device is lost. Empty after a Start.
    const std::string& StopReason() const { return FStopReason; }
    UINT DeviceCount() const { return FDeviceCount; }
    std::uint32_t SamplesPerSec() const { return FormatRecord().nSamplesPerSec; }
    std::uint16_t BitsPerSample() const { return FormatRecord().wBitsPerSample; }

    virtual TWaveFormats GetSupportedFormats() = 0;
    virtual void Start() = 0;
    virtual void Pause() = 0;
    virtual void Resume() = 0;
    virtual void Stop() = 0;

    static TWaveFormats CapsToFormats(DWORD Mask);

protected:
    // The construction steps that need nothing of the subclass: events cleared, the hidden
    // window, the format record.
    TWaveDevice();
    // The steps that do: the subclass's device selection with the mapper, and the first two
    // buffers. Every subclass constructor ends with it, once its own fields are set.
    void CompleteConstruction(UINT DeviceCount);

    virtual void DoBufferDone() = 0;

    std::string ErrorText(MMRESULT Code) const;
    // The device name of a capabilities record, up to its terminating zero.
    static std::string ProductName(const MMSystem::WCHAR (&Name)[MMSystem::MAXPNAMELEN]);
    // "DeviceID value (3) does not match devices count (2)".
    std::string DeviceCountMessage(UINT Value) const;
    // Clears what a header carries from its last use, before it is prepared again.
    static void ClearHeader(MMSystem::WAVEHDR& Header);
    // Drops the notifications still queued for the device, unhandled.
    void DiscardDeviceMessages();
    // Stops from the message loop, where nothing could report an error: a refused close leaves
    // the device stopping, and the owner's next Stop retries it.
    void StopDroppingErrors() noexcept;
    // The same after the service refused a buffer with Code; its words become the StopReason.
    void StopRefused(MMRESULT Code) noexcept;
    int ProcessDeviceMessages();
    void WaitActive();
    void WaitInactive();
    void AdvanceBuffer();
    void DoPause();
    void DoResume();
    void SelectDefaultFormat();
    void SetWaveFormat(std::uint16_t Channels, std::uint32_t SamplesPerSec,
                       std::uint16_t BitsPerSample);

    Windows::HWND Window() const { return FWindow; }
    MMSystem::WAVEFORMATEX& FormatRecord() const;
    std::vector<MMSystem::WAVEHDR>& Headers() { return FHeaders; }

    // The platform handle of the open device (0 after a failed start; stale after a stop).
    std::uintptr_t FHandle = 0;
    bool FActive = false;
    bool FPaused = false;
    bool FStopping = false;
    std::uint8_t FRingPosition = 0;
    UINT FDeviceID = 0;
    UINT FDeviceCount = 0;
    std::string FStopReason;

private:
    void WndProc(Windows::TMessage& Message);
    void DoOpened();
    void DoClosed();
    void AllocateBuffers(std::uint8_t Count);
    void FreeBuffers();

    TWaveFormat FFormat = TWaveFormat::wfUnknown;
    Windows::HWND FWindow{};
    // Sized as the service reports its largest format record; only the PCM fields are written.
    std::unique_ptr<std::uint64_t[]> FFormatStorage;
    std::uint32_t FBufferSize = 0;
    std::vector<MMSystem::WAVEHDR> FHeaders;
    std::vector<std::unique_ptr<char[]>> FBlocks;
    std::string FName;
    std::intptr_t FTag = 0;
};

} // namespace WaveDefs
