#include "platform/MMSystem.h"

#include <algorithm>
#include <cstring>

#include <QString>

#include "platform/WaveCore.h"

namespace MMSystem {
namespace {

using WaveCore::TDirection;
using WaveCore::TWaveCore;

TWaveCore& Core() {
    return TWaveCore::Instance();
}

// Copies a name into a fixed record field, cut to fit with its terminating zero.
void CopyName(const std::u16string& Name, WCHAR (&Field)[MAXPNAMELEN]) {
    const std::size_t n = std::min<std::size_t>(Name.size(), MAXPNAMELEN - 1);
    std::copy_n(Name.begin(), n, Field);
    Field[n] = 0;
}

template <class TCaps>
void FillCommon(const WaveCore::TDeviceCaps& From, TCaps& To) {
    To = TCaps{};
    To.wMid = From.Mid;
    To.wPid = From.Pid;
    To.vDriverVersion = From.DriverVersion;
    CopyName(From.Name, To.szPname);
    To.dwFormats = From.Formats;
    To.wChannels = From.Channels;
}

std::uintptr_t H(HWAVEIN Handle) {
    return static_cast<std::uintptr_t>(Handle);
}
std::uintptr_t H(HWAVEOUT Handle) {
    return static_cast<std::uintptr_t>(Handle);
}

} // namespace

UINT waveInGetNumDevs() {
    return Core().GetNumDevs(TDirection::Capture);
}

MMRESULT waveInGetDevCapsW(UINT DeviceID, WAVEINCAPSW* Caps, UINT CapsSize) {
    if (Caps == nullptr || CapsSize < sizeof(WAVEINCAPSW))
        return MMSYSERR_INVALPARAM;
    WaveCore::TDeviceCaps caps;
    if (MMRESULT r = Core().GetDevCaps(TDirection::Capture, DeviceID, caps))
        return r;
    FillCommon(caps, *Caps);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInOpen(HWAVEIN* Handle, UINT DeviceID, const WAVEFORMATEX* Format, DWORD_PTR Callback,
                    DWORD_PTR, DWORD Flags) {
    if (Handle == nullptr && (Flags & WAVE_FORMAT_QUERY) == 0)
        return MMSYSERR_INVALPARAM;
    std::uintptr_t handle = 0;
    const MMRESULT r = Core().Open(TDirection::Capture, handle, DeviceID, Format, Callback, Flags);
    if (r == MMSYSERR_NOERROR && Handle != nullptr)
        *Handle = HWAVEIN{handle};
    return r;
}

MMRESULT waveInPrepareHeader(HWAVEIN Handle, WAVEHDR* Header, UINT HeaderSize) {
    return Core().PrepareHeader(TDirection::Capture, H(Handle), Header, HeaderSize);
}

MMRESULT waveInUnprepareHeader(HWAVEIN Handle, WAVEHDR* Header, UINT HeaderSize) {
    return Core().UnprepareHeader(TDirection::Capture, H(Handle), Header, HeaderSize);
}

MMRESULT waveInAddBuffer(HWAVEIN Handle, WAVEHDR* Header, UINT HeaderSize) {
    return Core().AddBuffer(TDirection::Capture, H(Handle), Header, HeaderSize);
}

MMRESULT waveInStart(HWAVEIN Handle) {
    return Core().Start(TDirection::Capture, H(Handle));
}
MMRESULT waveInStop(HWAVEIN Handle) {
    return Core().Stop(TDirection::Capture, H(Handle));
}
MMRESULT waveInReset(HWAVEIN Handle) {
    return Core().Reset(TDirection::Capture, H(Handle));
}
MMRESULT waveInClose(HWAVEIN Handle) {
    return Core().Close(TDirection::Capture, H(Handle));
}

MMRESULT waveInGetErrorTextW(MMRESULT Error, LPWSTR Text, UINT TextSize) {
    if (Text == nullptr || TextSize == 0)
        return MMSYSERR_INVALPARAM;
    const std::string text = Core().ErrorText(Error);
    if (text.empty())
        return MMSYSERR_BADERRNUM;
    const std::u16string wide = QString::fromStdString(text).toStdU16String();
    const std::size_t n = std::min<std::size_t>(wide.size(), TextSize - 1);
    std::copy_n(wide.begin(), n, Text);
    Text[n] = 0;
    return MMSYSERR_NOERROR;
}

UINT waveOutGetNumDevs() {
    return Core().GetNumDevs(TDirection::Playback);
}

MMRESULT waveOutGetDevCapsW(UINT DeviceID, WAVEOUTCAPSW* Caps, UINT CapsSize) {
    if (Caps == nullptr || CapsSize < sizeof(WAVEOUTCAPSW))
        return MMSYSERR_INVALPARAM;
    WaveCore::TDeviceCaps caps;
    if (MMRESULT r = Core().GetDevCaps(TDirection::Playback, DeviceID, caps))
        return r;
    FillCommon(caps, *Caps);
    Caps->dwSupport = caps.Support;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutOpen(HWAVEOUT* Handle, UINT DeviceID, const WAVEFORMATEX* Format,
                     DWORD_PTR Callback, DWORD_PTR, DWORD Flags) {
    if (Handle == nullptr && (Flags & WAVE_FORMAT_QUERY) == 0)
        return MMSYSERR_INVALPARAM;
    std::uintptr_t handle = 0;
    const MMRESULT r = Core().Open(TDirection::Playback, handle, DeviceID, Format, Callback, Flags);
    if (r == MMSYSERR_NOERROR && Handle != nullptr)
        *Handle = HWAVEOUT{handle};
    return r;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT Handle, WAVEHDR* Header, UINT HeaderSize) {
    return Core().PrepareHeader(TDirection::Playback, H(Handle), Header, HeaderSize);
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT Handle, WAVEHDR* Header, UINT HeaderSize) {
    return Core().UnprepareHeader(TDirection::Playback, H(Handle), Header, HeaderSize);
}

MMRESULT waveOutWrite(HWAVEOUT Handle, WAVEHDR* Header, UINT HeaderSize) {
    return Core().AddBuffer(TDirection::Playback, H(Handle), Header, HeaderSize);
}

MMRESULT waveOutPause(HWAVEOUT Handle) {
    return Core().Stop(TDirection::Playback, H(Handle));
}
MMRESULT waveOutRestart(HWAVEOUT Handle) {
    return Core().Start(TDirection::Playback, H(Handle));
}
MMRESULT waveOutReset(HWAVEOUT Handle) {
    return Core().Reset(TDirection::Playback, H(Handle));
}
MMRESULT waveOutClose(HWAVEOUT Handle) {
    return Core().Close(TDirection::Playback, H(Handle));
}

MMRESULT waveOutGetVolume(HWAVEOUT Handle, DWORD* Volume) {
    return Core().GetVolume(H(Handle), Volume);
}
MMRESULT waveOutSetVolume(HWAVEOUT Handle, DWORD Volume) {
    return Core().SetVolume(H(Handle), Volume);
}
MMRESULT waveOutGetPitch(HWAVEOUT Handle, DWORD* Pitch) {
    return Core().GetFactor(H(Handle), true, Pitch);
}
MMRESULT waveOutSetPitch(HWAVEOUT Handle, DWORD Pitch) {
    return Core().SetFactor(H(Handle), true, Pitch);
}
MMRESULT waveOutGetPlaybackRate(HWAVEOUT Handle, DWORD* Rate) {
    return Core().GetFactor(H(Handle), false, Rate);
}
MMRESULT waveOutSetPlaybackRate(HWAVEOUT Handle, DWORD Rate) {
    return Core().SetFactor(H(Handle), false, Rate);
}

MMRESULT acmMetrics(HACMOBJ, UINT Metric, void* Value) {
    if (Value == nullptr)
        return MMSYSERR_INVALPARAM;
    if (Metric != ACM_METRIC_MAX_SIZE_FORMAT)
        return MMSYSERR_NOTSUPPORTED;
    // Large enough for any registered format record, as a real codec manager reports.
    const DWORD size = 50;
    std::memcpy(Value, &size, sizeof size);
    return MMSYSERR_NOERROR;
}

} // namespace MMSystem
