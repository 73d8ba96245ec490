// The capture device: records from one capture device of the waveform-audio service into the
// ring of buffers of its base, hands each buffer that comes back filled to its owner, and queues
// it again at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/MMSystem.h"
#include "toolkit/SysUtils.h"
#include "wave/WaveDevice.h"

namespace WaveRec {

using WaveDefs::TWaveDevice;
using WaveDefs::TWaveFormats;
using WaveDefs::UINT;

struct TRecDeviceInfo {
    std::uint16_t ManufacturerID = 0;
    std::uint16_t ProductID = 0;
    std::uint32_t DriverVersion = 0;
    std::string ProductName;
    std::uint16_t Channels = 0;
    TWaveFormats Formats;
};

// Buffer is the device's own block and is valid only during the call; Size (> 0, at most
// BufferSize) is the number of bytes recorded into it.
using TRecBufferDone =
    std::function<void(TWaveDevice* Sender, const void* Buffer, std::uint32_t Size)>;

class EWaveRecException : public SysUtils::Exception {
public:
    using Exception::Exception;
};

class TWaveRecorder : public TWaveDevice {
public:
    TRecBufferDone OnBufferDone;

    TWaveRecorder();
    ~TWaveRecorder() override;

    const TRecDeviceInfo& DeviceInfo() const { return FDeviceInfo; }

    void SetDeviceID(UINT Value) override;
    TWaveFormats GetSupportedFormats() override { return FDeviceInfo.Formats; }
    void Start() override;
    void Pause() override;
    void Resume() override;
    void Stop() override;
    // While paused: the service hands back every queued buffer, which is delivered if it holds
    // data and queued again.
    void Flush();

protected:
    void DoBufferDone() override;

private:
    MMSystem::HWAVEIN Handle() const { return MMSystem::HWAVEIN{FHandle}; }
    MMSystem::MMRESULT PrepareBuffers();
    void UnprepareBuffers();
    [[noreturn]] void AbandonStart(MMSystem::MMRESULT Code);

    TRecDeviceInfo FDeviceInfo;
    // The last close in Stop was refused: the device is still open, and the next Stop retries.
    bool FCloseRefused = false;
};

} // namespace WaveRec
