// The waveform-audio service: PCM capture and playback through queued buffers, with completion
// notifications posted to a window. Names, records and constants follow the classic multimedia
// API so that device code reads the same on every platform; the service core (WaveCore) keeps
// the rules and an installed backend moves the frames.
#pragma once

#include <cstdint>

#include "platform/Windows.h"

namespace MMSystem {

using Windows::DWORD;
using Windows::HWND;
using Windows::UINT;
using WORD = std::uint16_t;
using DWORD_PTR = std::uintptr_t;
using MMRESULT = UINT;
using MMVERSION = UINT;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;

// Handles are numbers distinct from every device number, so that the volume calls can take
// either, as the classic API allows.
enum class HWAVEIN : std::uintptr_t {};
enum class HWAVEOUT : std::uintptr_t {};
enum class HACMOBJ : std::uintptr_t {};

inline constexpr UINT WAVE_MAPPER = 0xFFFFFFFFu;
inline constexpr UINT MAXPNAMELEN = 32;
inline constexpr UINT MAXERRORLENGTH = 256;

// Return codes.
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MMSYSERR_HANDLEBUSY = 12;
inline constexpr MMRESULT MMSYSERR_LASTERROR = 12;
inline constexpr MMRESULT WAVERR_BASE = 32;
inline constexpr MMRESULT WAVERR_BADFORMAT = WAVERR_BASE + 0;
inline constexpr MMRESULT WAVERR_STILLPLAYING = WAVERR_BASE + 1;
inline constexpr MMRESULT WAVERR_UNPREPARED = WAVERR_BASE + 2;
inline constexpr MMRESULT WAVERR_SYNC = WAVERR_BASE + 3;
inline constexpr MMRESULT WAVERR_LASTERROR = WAVERR_BASE + 3;

// Open flags.
inline constexpr DWORD CALLBACK_TYPEMASK = 0x00070000;
inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr DWORD CALLBACK_WINDOW = 0x00010000;
inline constexpr DWORD WAVE_FORMAT_QUERY = 0x0001;
inline constexpr DWORD WAVE_ALLOWSYNC = 0x0002;

// Notifications posted to the callback window; WParam is the handle.
inline constexpr UINT MM_WOM_OPEN = 0x3BB;
inline constexpr UINT MM_WOM_CLOSE = 0x3BC;
inline constexpr UINT MM_WOM_DONE = 0x3BD;
inline constexpr UINT MM_WIM_OPEN = 0x3BE;
inline constexpr UINT MM_WIM_CLOSE = 0x3BF;
inline constexpr UINT MM_WIM_DATA = 0x3C0;

// Standard-format capability flags: rate, then mono/stereo, then 8/16 bits.
inline constexpr DWORD WAVE_FORMAT_1M08 = 0x00000001;
inline constexpr DWORD WAVE_FORMAT_1S08 = 0x00000002;
inline constexpr DWORD WAVE_FORMAT_1M16 = 0x00000004;
inline constexpr DWORD WAVE_FORMAT_1S16 = 0x00000008;
inline constexpr DWORD WAVE_FORMAT_2M08 = 0x00000010;
inline constexpr DWORD WAVE_FORMAT_2S08 = 0x00000020;
inline constexpr DWORD WAVE_FORMAT_2M16 = 0x00000040;
inline constexpr DWORD WAVE_FORMAT_2S16 = 0x00000080;
inline constexpr DWORD WAVE_FORMAT_4M08 = 0x00000100;
inline constexpr DWORD WAVE_FORMAT_4S08 = 0x00000200;
inline constexpr DWORD WAVE_FORMAT_4M16 = 0x00000400;
inline constexpr DWORD WAVE_FORMAT_4S16 = 0x00000800;
inline constexpr DWORD WAVE_FORMAT_48M08 = 0x00001000;
inline constexpr DWORD WAVE_FORMAT_48S08 = 0x00002000;
inline constexpr DWORD WAVE_FORMAT_48M16 = 0x00004000;
inline constexpr DWORD WAVE_FORMAT_48S16 = 0x00008000;
inline constexpr DWORD WAVE_FORMAT_96M08 = 0x00010000;
inline constexpr DWORD WAVE_FORMAT_96S08 = 0x00020000;
inline constexpr DWORD WAVE_FORMAT_96M16 = 0x00040000;
inline constexpr DWORD WAVE_FORMAT_96S16 = 0x00080000;
inline constexpr DWORD WAVE_FORMAT_ALL_STANDARD = 0x000FFFFF;

// Playback support flags.
inline constexpr DWORD WAVECAPS_PITCH = 0x0001;
inline constexpr DWORD WAVECAPS_PLAYBACKRATE = 0x0002;
inline constexpr DWORD WAVECAPS_VOLUME = 0x0004;
inline constexpr DWORD WAVECAPS_LRVOLUME = 0x0008;
inline constexpr DWORD WAVECAPS_SYNC = 0x0010;
inline constexpr DWORD WAVECAPS_SAMPLEACCURATE = 0x0020;

inline constexpr WORD WAVE_FORMAT_PCM = 1;

// Header flags.
inline constexpr DWORD WHDR_DONE = 0x01;
inline constexpr DWORD WHDR_PREPARED = 0x02;
inline constexpr DWORD WHDR_BEGINLOOP = 0x04;
inline constexpr DWORD WHDR_ENDLOOP = 0x08;
inline constexpr DWORD WHDR_INQUEUE = 0x10;

inline constexpr UINT ACM_METRIC_MAX_SIZE_FORMAT = 50;

struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};

struct WAVEHDR {
    char* lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};

struct WAVEINCAPSW {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
};

struct WAVEOUTCAPSW {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;
};

UINT waveInGetNumDevs();
MMRESULT waveInGetDevCapsW(UINT DeviceID, WAVEINCAPSW* Caps, UINT CapsSize);
MMRESULT waveInOpen(HWAVEIN* Handle, UINT DeviceID, const WAVEFORMATEX* Format, DWORD_PTR Callback,
                    DWORD_PTR Instance, DWORD Flags);
MMRESULT waveInPrepareHeader(HWAVEIN Handle, WAVEHDR* Header, UINT HeaderSize);
MMRESULT waveInUnprepareHeader(HWAVEIN Handle, WAVEHDR* Header, UINT HeaderSize);
MMRESULT waveInAddBuffer(HWAVEIN Handle, WAVEHDR* Header, UINT HeaderSize);
MMRESULT waveInStart(HWAVEIN Handle);
MMRESULT waveInStop(HWAVEIN Handle);
MMRESULT waveInReset(HWAVEIN Handle);
MMRESULT waveInClose(HWAVEIN Handle);
// Serves capture and playback codes alike.
MMRESULT waveInGetErrorTextW(MMRESULT Error, LPWSTR Text, UINT TextSize);

UINT waveOutGetNumDevs();
MMRESULT waveOutGetDevCapsW(UINT DeviceID, WAVEOUTCAPSW* Caps, UINT CapsSize);
MMRESULT waveOutOpen(HWAVEOUT* Handle, UINT DeviceID, const WAVEFORMATEX* Format,
                     DWORD_PTR Callback, DWORD_PTR Instance, DWORD Flags);
MMRESULT waveOutPrepareHeader(HWAVEOUT Handle, WAVEHDR* Header, UINT HeaderSize);
MMRESULT waveOutUnprepareHeader(HWAVEOUT Handle, WAVEHDR* Header, UINT HeaderSize);
MMRESULT waveOutWrite(HWAVEOUT Handle, WAVEHDR* Header, UINT HeaderSize);
MMRESULT waveOutPause(HWAVEOUT Handle);
MMRESULT waveOutRestart(HWAVEOUT Handle);
MMRESULT waveOutReset(HWAVEOUT Handle);
MMRESULT waveOutClose(HWAVEOUT Handle);
// Handle is an open handle or a device number cast to HWAVEOUT.
MMRESULT waveOutGetVolume(HWAVEOUT Handle, DWORD* Volume);
MMRESULT waveOutSetVolume(HWAVEOUT Handle, DWORD Volume);
MMRESULT waveOutGetPitch(HWAVEOUT Handle, DWORD* Pitch);
MMRESULT waveOutSetPitch(HWAVEOUT Handle, DWORD Pitch);
MMRESULT waveOutGetPlaybackRate(HWAVEOUT Handle, DWORD* Rate);
MMRESULT waveOutSetPlaybackRate(HWAVEOUT Handle, DWORD Rate);

MMRESULT acmMetrics(HACMOBJ Object, UINT Metric, void* Value);

} // namespace MMSystem
