// The playback device: pulls audio from its owner one free buffer at a time, writes it to one
// playback device of the waveform-audio service, and stops by itself once the owner reports
// that no data is left and the written buffers have played. Also the device's volume, pitch and
// playback rate.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/MMSystem.h"
#include "toolkit/SysUtils.h"
#include "wave/WaveDevice.h"

namespace WavePlay {

using WaveDefs::TWaveDevice;
using WaveDefs::TWaveFormats;
using WaveDefs::UINT;

enum class TPlayCapability : std::uint8_t {
    pcLRVolume,
    pcPitch,
    pcPlaybackRate,
    pcSync,
    pcVolume,
    pcSampleAccurate,
};

// A set of TPlayCapability, bit i for the capability of ordinal i.
class TPlayCapabilities {
public:
    constexpr TPlayCapabilities() = default;

    constexpr bool Contains(TPlayCapability Value) const { return (FMask & Bit(Value)) != 0; }
    constexpr void Include(TPlayCapability Value) { FMask |= Bit(Value); }
    constexpr bool Empty() const { return FMask == 0; }
    constexpr std::uint8_t Mask() const { return FMask; }
    constexpr bool operator==(const TPlayCapabilities&) const = default;

private:
    static constexpr std::uint8_t Bit(TPlayCapability Value) {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(Value));
    }
    std::uint8_t FMask = 0;
};

struct TPlayDeviceInfo {
    std::uint16_t ManufacturerID = 0;
    std::uint16_t ProductID = 0;
    std::uint32_t DriverVersion = 0;
    std::string ProductName;
    std::uint16_t Channels = 0;
    TWaveFormats Formats;
    TPlayCapabilities Capabilities;
};

enum class TVolumeChannel : std::uint8_t { volLeft, volRight, volBoth };

// The handler writes audio in the device's Format into Buffer (BufferSize bytes) and stores the
// number of bytes written in Size, 0 when no data is left. Size is the header's own length
// field, so the service plays exactly that many bytes.
using TPlayBufferDone = std::function<void(TWaveDevice* Sender, void* Buffer, std::uint32_t& Size)>;

class EWavePlayException : public SysUtils::Exception {
public:
    using Exception::Exception;
};

class TWavePlayer : public TWaveDevice {
public:
    TPlayBufferDone OnBufferDone;

    TWavePlayer();
    ~TWavePlayer() override;

    const TPlayDeviceInfo& DeviceInfo() const { return FDeviceInfo; }

    void SetDeviceID(UINT Value) override;
    TWaveFormats GetSupportedFormats() override { return FDeviceInfo.Formats; }
    void Start() override;
    void Pause() override;
    void Resume() override;
    void Stop() override;

    // Through the service, on the open device handle while active and on the device number
    // otherwise.
    std::uint16_t OutputVolume(TVolumeChannel Channel);
    void SetOutputVolume(TVolumeChannel Channel, std::uint16_t Value);
    // 16.16 fixed-point factors of the open device; values below 0 or from 65536 on are
    // refused with "Invalid value".
    float Pitch();
    void SetPitch(float Value);
    float Rate();
    void SetRate(float Value);

protected:
    void DoBufferDone() override;

private:
    MMSystem::HWAVEOUT Handle() const { return MMSystem::HWAVEOUT{FHandle}; }
    MMSystem::HWAVEOUT VolumeTarget() const;
    MMSystem::MMRESULT PrepareBuffers();
    void UnprepareBuffers();
    [[noreturn]] void AbandonStart(MMSystem::MMRESULT Code);
    void Require(TPlayCapability Capability) const;
    void Check(MMSystem::MMRESULT Code) const;
    static float FixedToFloat(MMSystem::DWORD Value);
    static MMSystem::DWORD FloatToFixed(float Value);

    TPlayDeviceInfo FDeviceInfo;
    // The owner has reported that no data is left: no more fill requests in this run.
    bool FEndOfData = false;
    // The last close in Stop was refused: the device is still open, and the next Stop retries.
    bool FCloseRefused = false;
};

} // namespace WavePlay
