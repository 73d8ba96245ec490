#include "wave/WavePlay.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace WavePlay {

using namespace MMSystem;

namespace {

constexpr DWORD OpenFlags = CALLBACK_WINDOW | WAVE_ALLOWSYNC;
constexpr const char* InvalidValue = "Invalid value";

constexpr std::pair<DWORD, TPlayCapability> SupportFlags[] = {
    {WAVECAPS_LRVOLUME, TPlayCapability::pcLRVolume},
    {WAVECAPS_PITCH, TPlayCapability::pcPitch},
    {WAVECAPS_PLAYBACKRATE, TPlayCapability::pcPlaybackRate},
    {WAVECAPS_SYNC, TPlayCapability::pcSync},
    {WAVECAPS_VOLUME, TPlayCapability::pcVolume},
    {WAVECAPS_SAMPLEACCURATE, TPlayCapability::pcSampleAccurate},
};

} // namespace

TWavePlayer::TWavePlayer() {
    CompleteConstruction(waveOutGetNumDevs());
}

TWavePlayer::~TWavePlayer() {
    try {
        Stop();
    } catch (...) {
        // A close refused at shutdown cannot be reported any more.
    }
}

void TWavePlayer::SetDeviceID(UINT Value) {
    if (FActive)
        throw EWavePlayException("Not allowed in active state");
    if (Value != WAVE_MAPPER && Value >= FDeviceCount)
        throw EWavePlayException(DeviceCountMessage(Value));
    if (Value == FDeviceID)
        return;
    WAVEOUTCAPSW caps{};
    if (MMRESULT r = waveOutGetDevCapsW(Value, &caps, sizeof caps))
        throw EWavePlayException(ErrorText(r));
    const TWaveFormats formats = CapsToFormats(caps.dwFormats);
    if (formats.Empty())
        throw EWavePlayException("Device does not support any known audio format");
    TPlayCapabilities capabilities;
    for (const auto& [flag, capability] : SupportFlags)
        if ((caps.dwSupport & flag) != 0)
            capabilities.Include(capability);
    FDeviceID = Value;
    FDeviceInfo =
        TPlayDeviceInfo{caps.wMid,      caps.wPid, caps.vDriverVersion, ProductName(caps.szPname),
                        caps.wChannels, formats,   capabilities};
    SelectDefaultFormat();
}

void TWavePlayer::Start() {
    if (FActive)
        return;
    if (!OnBufferDone)
        throw EWavePlayException("OnBufferDone property can not be unassigned");
    if (FDeviceCount == 0)
        throw EWavePlayException("No playback device found");
    FStopReason.clear();
    HWAVEOUT handle{};
    MMRESULT r = waveOutOpen(&handle, FDeviceID, &FormatRecord(), static_cast<DWORD_PTR>(Window()),
                             0, OpenFlags);
    if (r != MMSYSERR_NOERROR) {
        FHandle = 0;
        throw EWavePlayException(ErrorText(r));
    }
    FHandle = static_cast<std::uintptr_t>(handle);
    if ((r = PrepareBuffers()) != MMSYSERR_NOERROR)
        AbandonStart(r);

    // Prime every buffer the owner has data for; a fill that raises leaves nothing to write.
    FEndOfData = false;
    auto& headers = Headers();
    std::size_t filled = 0;
    while (filled < headers.size() && !FEndOfData) {
        WAVEHDR& header = headers[filled];
        try {
            OnBufferDone(this, header.lpData, header.dwBufferLength);
        } catch (...) {
            filled = 0;
            break;
        }
        if (header.dwBufferLength == 0) {
            FEndOfData = true;
        } else {
            // The service reads that many bytes from the block.
            header.dwBufferLength = std::min(header.dwBufferLength, BufferSize());
            ++filled;
        }
    }

    FRingPosition = 0;
    for (std::size_t i = 0; i < filled; ++i)
        if ((r = waveOutWrite(Handle(), &headers[i], sizeof(WAVEHDR))) != MMSYSERR_NOERROR)
            AbandonStart(r);
    WaitActive();
    if (filled == 0)
        Stop();
}

// Takes back what was written, restores the lengths and closes; drops the notifications of the
// undone open: handled later they would report a start that failed and run a closed device.
void TWavePlayer::AbandonStart(MMRESULT Code) {
    waveOutReset(Handle());
    UnprepareBuffers();
    waveOutClose(Handle());
    FHandle = 0;
    DiscardDeviceMessages();
    throw EWavePlayException(ErrorText(Code));
}

MMRESULT TWavePlayer::PrepareBuffers() {
    auto& headers = Headers();
    for (auto header = headers.rbegin(); header != headers.rend(); ++header) {
        ClearHeader(*header);
        if (MMRESULT r = waveOutPrepareHeader(Handle(), &*header, sizeof(WAVEHDR)))
            return r;
    }
    return MMSYSERR_NOERROR;
}

void TWavePlayer::UnprepareBuffers() {
    auto& headers = Headers();
    for (auto header = headers.rbegin(); header != headers.rend(); ++header) {
        header->dwBufferLength = BufferSize();
        waveOutUnprepareHeader(Handle(), &*header, sizeof(WAVEHDR));
    }
}

void TWavePlayer::DoBufferDone() {
    if (!FEndOfData && !FStopping) {
        if (!OnBufferDone) {
            FEndOfData = true;
        } else {
            const std::uint8_t position = FRingPosition;
            bool raised = false;
            try {
                OnBufferDone(this, Headers()[position].lpData, Headers()[position].dwBufferLength);
            } catch (...) {
                raised = true;
            }
            if (raised) {
                StopDroppingErrors();
            } else if (FActive && !FStopping) {
                WAVEHDR& header = Headers()[position];
                if (header.dwBufferLength == 0) {
                    FEndOfData = true;
                } else {
                    header.dwBufferLength = std::min(header.dwBufferLength, BufferSize());
                    if (MMRESULT r = waveOutWrite(Handle(), &header, sizeof header))
                        StopRefused(r);
                }
            }
            // A Stop inside the handler restored the lengths before the handler stored Size.
            if (!FActive)
                for (WAVEHDR& header : Headers())
                    header.dwBufferLength = BufferSize();
        }
    }
    if (FActive) {
        AdvanceBuffer();
        if (Headers()[FRingPosition].dwBufferLength == 0)
            StopDroppingErrors();
    }
}

void TWavePlayer::Pause() {
    if (!FActive || FPaused || FStopping)
        return;
    Check(waveOutPause(Handle()));
    DoPause();
}

void TWavePlayer::Resume() {
    if (!FActive || !FPaused || FStopping)
        return;
    Check(waveOutRestart(Handle()));
    DoResume();
}

void TWavePlayer::Stop() {
    // A Stop already under way (this is a nested call) does nothing; one left over from a
    // refused close is tried again.
    if (!FActive || (FStopping && !FCloseRefused))
        return;
    FStopping = true;
    FCloseRefused = false;
    waveOutReset(Handle());
    UnprepareBuffers();
    const MMRESULT r = waveOutClose(Handle());
    if (r == MMSYSERR_NOERROR)
        WaitInactive();
    FEndOfData = false;
    if (r != MMSYSERR_NOERROR) {
        FCloseRefused = true;
        throw EWavePlayException(ErrorText(r));
    }
}

void TWavePlayer::Require(TPlayCapability Capability) const {
    if (!FDeviceInfo.Capabilities.Contains(Capability))
        throw EWavePlayException("Not supported by device");
}

void TWavePlayer::Check(MMRESULT Code) const {
    if (Code != MMSYSERR_NOERROR)
        throw EWavePlayException(ErrorText(Code));
}

HWAVEOUT TWavePlayer::VolumeTarget() const {
    return FActive ? Handle() : HWAVEOUT{FDeviceID};
}

std::uint16_t TWavePlayer::OutputVolume(TVolumeChannel Channel) {
    switch (Channel) {
    case TVolumeChannel::volLeft:
    case TVolumeChannel::volRight:
        Require(TPlayCapability::pcLRVolume);
        break;
    case TVolumeChannel::volBoth:
        Require(TPlayCapability::pcVolume);
        break;
    default:
        throw EWavePlayException(InvalidValue);
    }
    DWORD volume = 0;
    Check(waveOutGetVolume(VolumeTarget(), &volume));
    const DWORD left = volume & 0xFFFF;
    const DWORD right = volume >> 16;
    if (Channel == TVolumeChannel::volLeft)
        return static_cast<std::uint16_t>(left);
    if (Channel == TVolumeChannel::volRight)
        return static_cast<std::uint16_t>(right);
    if (FDeviceInfo.Capabilities.Contains(TPlayCapability::pcLRVolume))
        return static_cast<std::uint16_t>((left + right) / 2);
    return static_cast<std::uint16_t>(left);
}

void TWavePlayer::SetOutputVolume(TVolumeChannel Channel, std::uint16_t Value) {
    const DWORD w = Value;
    DWORD volume = 0;
    switch (Channel) {
    case TVolumeChannel::volLeft:
        Require(TPlayCapability::pcLRVolume);
        volume = DWORD{OutputVolume(TVolumeChannel::volRight)} << 16 | w;
        break;
    case TVolumeChannel::volRight:
        Require(TPlayCapability::pcLRVolume);
        volume = w << 16 | OutputVolume(TVolumeChannel::volLeft);
        break;
    case TVolumeChannel::volBoth:
        Require(TPlayCapability::pcVolume);
        volume = FDeviceInfo.Capabilities.Contains(TPlayCapability::pcLRVolume) ? w << 16 | w : w;
        break;
    default:
        throw EWavePlayException(InvalidValue);
    }
    Check(waveOutSetVolume(VolumeTarget(), volume));
}

float TWavePlayer::FixedToFloat(DWORD Value) {
    return static_cast<float>((Value >> 16) + (Value & 0xFFFF) / 65536.0);
}

DWORD TWavePlayer::FloatToFixed(float Value) {
    // Anything else has no 16.16 form (NaN included).
    if (!(Value >= 0.0f && Value < 65536.0f))
        throw EWavePlayException(InvalidValue);
    const double whole = std::trunc(double{Value});
    const auto low = static_cast<DWORD>((double{Value} - whole) * 65536.0);
    const auto high = static_cast<DWORD>(whole) & 0xFFFF;
    return high << 16 | low;
}

float TWavePlayer::Pitch() {
    Require(TPlayCapability::pcPitch);
    DWORD value = 0;
    Check(waveOutGetPitch(Handle(), &value));
    return FixedToFloat(value);
}

void TWavePlayer::SetPitch(float Value) {
    Require(TPlayCapability::pcPitch);
    Check(waveOutSetPitch(Handle(), FloatToFixed(Value)));
}

float TWavePlayer::Rate() {
    Require(TPlayCapability::pcPlaybackRate);
    DWORD value = 0;
    Check(waveOutGetPlaybackRate(Handle(), &value));
    return FixedToFloat(value);
}

void TWavePlayer::SetRate(float Value) {
    Require(TPlayCapability::pcPlaybackRate);
    Check(waveOutSetPlaybackRate(Handle(), FloatToFixed(Value)));
}

} // namespace WavePlay
