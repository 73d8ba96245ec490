#include "wave/WaveRec.h"

namespace WaveRec {

using namespace MMSystem;

namespace {

constexpr DWORD OpenFlags = CALLBACK_WINDOW | WAVE_ALLOWSYNC;

} // namespace

TWaveRecorder::TWaveRecorder() {
    CompleteConstruction(waveInGetNumDevs());
}

TWaveRecorder::~TWaveRecorder() {
    try {
        Stop();
    } catch (...) {
        // A close refused at shutdown cannot be reported any more.
    }
}

void TWaveRecorder::SetDeviceID(UINT Value) {
    if (FActive)
        throw EWaveRecException("Not allowed in active state");
    if (Value != WAVE_MAPPER && Value >= FDeviceCount)
        throw EWaveRecException(DeviceCountMessage(Value));
    if (Value == FDeviceID)
        return;
    WAVEINCAPSW caps{};
    if (MMRESULT r = waveInGetDevCapsW(Value, &caps, sizeof caps))
        throw EWaveRecException(ErrorText(r));
    const TWaveFormats formats = CapsToFormats(caps.dwFormats);
    if (formats.Empty())
        throw EWaveRecException("Device does not support any known audio format");
    FDeviceID = Value;
    FDeviceInfo =
        TRecDeviceInfo{caps.wMid,      caps.wPid, caps.vDriverVersion, ProductName(caps.szPname),
                       caps.wChannels, formats};
    SelectDefaultFormat();
}

void TWaveRecorder::Start() {
    if (FActive)
        return;
    if (FDeviceCount == 0)
        throw EWaveRecException("No recording device found");
    FStopReason.clear();
    HWAVEIN handle{};
    MMRESULT r = waveInOpen(&handle, FDeviceID, &FormatRecord(), static_cast<DWORD_PTR>(Window()),
                            0, OpenFlags);
    if (r != MMSYSERR_NOERROR) {
        FHandle = 0;
        throw EWaveRecException(ErrorText(r));
    }
    FHandle = static_cast<std::uintptr_t>(handle);
    if ((r = PrepareBuffers()) != MMSYSERR_NOERROR)
        AbandonStart(r);
    for (WAVEHDR& header : Headers())
        if ((r = waveInAddBuffer(Handle(), &header, sizeof header)) != MMSYSERR_NOERROR)
            AbandonStart(r);
    FRingPosition = 0;
    if ((r = waveInStart(Handle())) != MMSYSERR_NOERROR)
        AbandonStart(r);
    WaitActive();
}

// Takes back whatever was queued before the refusal, so that the unprepare and the close are
// not refused in turn, and drops the notifications of the undone open: handled later they
// would report a start that failed and run a device that is closed.
void TWaveRecorder::AbandonStart(MMRESULT Code) {
    waveInReset(Handle());
    UnprepareBuffers();
    waveInClose(Handle());
    FHandle = 0;
    DiscardDeviceMessages();
    throw EWaveRecException(ErrorText(Code));
}

MMRESULT TWaveRecorder::PrepareBuffers() {
    auto& headers = Headers();
    for (auto header = headers.rbegin(); header != headers.rend(); ++header) {
        ClearHeader(*header);
        if (MMRESULT r = waveInPrepareHeader(Handle(), &*header, sizeof(WAVEHDR)))
            return r;
    }
    return MMSYSERR_NOERROR;
}

void TWaveRecorder::UnprepareBuffers() {
    auto& headers = Headers();
    for (auto header = headers.rbegin(); header != headers.rend(); ++header)
        waveInUnprepareHeader(Handle(), &*header, sizeof(WAVEHDR));
}

void TWaveRecorder::DoBufferDone() {
    WAVEHDR& header = Headers()[FRingPosition];
    if (OnBufferDone && header.dwBytesRecorded > 0) {
        // Cleared before the call: a Stop inside the handler handles this device's pending
        // notifications, and they must find this buffer already delivered.
        const DWORD size = header.dwBytesRecorded;
        header.dwBytesRecorded = 0;
        try {
            OnBufferDone(this, header.lpData, size);
        } catch (...) {
            StopDroppingErrors();
        }
    }
    if (FActive && !FStopping) {
        if (MMRESULT r = waveInAddBuffer(Handle(), &header, sizeof header))
            StopRefused(r);
        else
            AdvanceBuffer();
    }
}

void TWaveRecorder::Pause() {
    if (!FActive || FPaused || FStopping)
        return;
    if (MMRESULT r = waveInStop(Handle()))
        throw EWaveRecException(ErrorText(r));
    DoPause();
}

void TWaveRecorder::Resume() {
    if (!FActive || !FPaused || FStopping)
        return;
    if (MMRESULT r = waveInStart(Handle()))
        throw EWaveRecException(ErrorText(r));
    DoResume();
}

void TWaveRecorder::Flush() {
    if (!FActive || !FPaused || FStopping)
        return;
    if (MMRESULT r = waveInReset(Handle()))
        throw EWaveRecException(ErrorText(r));
}

void TWaveRecorder::Stop() {
    // A Stop already under way (this is a nested call) does nothing; one left over from a
    // refused close is tried again.
    if (!FActive || (FStopping && !FCloseRefused))
        return;
    FStopping = true;
    FCloseRefused = false;
    waveInStop(Handle());
    waveInReset(Handle());
    UnprepareBuffers();
    if (MMRESULT r = waveInClose(Handle())) {
        FCloseRefused = true;
        throw EWaveRecException(ErrorText(r));
    }
    WaitInactive();
}

} // namespace WaveRec
