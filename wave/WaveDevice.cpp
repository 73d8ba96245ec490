#include "wave/WaveDevice.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <QString>

#include "toolkit/SysUtils.h"

namespace WaveDefs {

using namespace MMSystem;
using SysUtils::Exception;

// clang-format off
const std::array<DWORD, WaveFormatCount> FormatCapsFlags{
    0,
    WAVE_FORMAT_1M08, WAVE_FORMAT_1M16, WAVE_FORMAT_1S08, WAVE_FORMAT_1S16,
    WAVE_FORMAT_2M08, WAVE_FORMAT_2M16, WAVE_FORMAT_2S08, WAVE_FORMAT_2S16,
    WAVE_FORMAT_4M08, WAVE_FORMAT_4M16, WAVE_FORMAT_4S08, WAVE_FORMAT_4S16,
    WAVE_FORMAT_48M08, WAVE_FORMAT_48M16, WAVE_FORMAT_48S08, WAVE_FORMAT_48S16,
    WAVE_FORMAT_96M08, WAVE_FORMAT_96M16, WAVE_FORMAT_96S08, WAVE_FORMAT_96S16,
};
// clang-format on

namespace {

constexpr const char* NotAllowedActive = "Not allowed in active state";
constexpr std::uint32_t MaxBufferSize = 0x80000000u;

} // namespace

TWaveDevice::TWaveDevice() {
    FBufferSize = 8192;
    FWindow = Windows::AllocateHWnd([this](Windows::TMessage& Message) { WndProc(Message); });
    DWORD size = 0;
    acmMetrics(HACMOBJ{}, ACM_METRIC_MAX_SIZE_FORMAT, &size); // its result does not matter
    const std::size_t bytes = std::max<std::size_t>(size, sizeof(WAVEFORMATEX));
    FFormatStorage = std::make_unique<std::uint64_t[]>((bytes + 7) / 8);
    new (FFormatStorage.get()) WAVEFORMATEX{};
}

void TWaveDevice::CompleteConstruction(UINT DeviceCount) {
    // Should the selection raise, the subclass's construction fails and this base part is
    // destroyed with its window and format record.
    FDeviceCount = DeviceCount;
    SetDeviceID(WAVE_MAPPER);
    AllocateBuffers(2);
}

TWaveDevice::~TWaveDevice() {
    FreeBuffers();
    if (FWindow != Windows::HWND{})
        Windows::DeallocateHWnd(FWindow);
}

WAVEFORMATEX& TWaveDevice::FormatRecord() const {
    return *std::launder(reinterpret_cast<WAVEFORMATEX*>(FFormatStorage.get()));
}

void TWaveDevice::SetFormat(TWaveFormat Value) {
    if (FActive)
        throw Exception(NotAllowedActive);
    if (!GetSupportedFormats().Contains(Value))
        throw Exception("This format not supported");
    if (Value == FFormat)
        return;
    FFormat = Value;
    const WaveFormatInfo& info = Info(Value);
    SetWaveFormat(info.Channels, info.SampleRate, info.BitsPerSample);
}

void TWaveDevice::SetWaveFormat(std::uint16_t Channels, std::uint32_t SamplesPerSec,
                                std::uint16_t BitsPerSample) {
    WAVEFORMATEX& record = FormatRecord();
    record.wFormatTag = WAVE_FORMAT_PCM;
    if (Channels != 0)
        record.nChannels = Channels;
    if (SamplesPerSec != 0)
        record.nSamplesPerSec = SamplesPerSec;
    if (BitsPerSample != 0)
        record.wBitsPerSample = BitsPerSample;
    record.nBlockAlign = static_cast<WORD>(record.wBitsPerSample / 8 * record.nChannels);
    record.nAvgBytesPerSec = record.nSamplesPerSec * record.nBlockAlign;
    record.cbSize = 0;
}

void TWaveDevice::SelectDefaultFormat() {
    const TWaveFormats supported = GetSupportedFormats();
    TWaveFormat lowest = TWaveFormat::wfUnknown;
    for (int value = WaveFormatCount - 1; value >= 1; --value) {
        const auto format = static_cast<TWaveFormat>(value);
        if (supported.Contains(format))
            lowest = format;
    }
    SetFormat(lowest);
}

void TWaveDevice::SetBuffers(std::uint8_t Value) {
    if (FActive)
        throw Exception(NotAllowedActive);
    if (Value < 2)
        throw Exception("Minimal BufferCount value is \"2\"");
    if (Value == Buffers())
        return;
    AllocateBuffers(Value);
}

void TWaveDevice::CheckBufferSize(std::uint32_t Value) const {
    const WaveFormatInfo& info = Info(FFormat);
    const std::uint32_t frame = info.SampleSize() * info.Channels;
    if (frame == 0 || Value < info.Channels * 256u || Value > MaxBufferSize || Value % frame != 0)
        throw Exception("BufferSize value must be between 256 bytes for each channel and "
                        "2147483648 bytes total, and must be multiply by sum of sample sizes "
                        "for all channels");
}

void TWaveDevice::SetBufferSize(std::uint32_t Value) {
    if (FActive)
        throw Exception(NotAllowedActive);
    CheckBufferSize(Value);
    if (Value == FBufferSize)
        return;
    // All new blocks first: if memory runs out, size, lengths and blocks stay as they were.
    std::vector<std::unique_ptr<char[]>> blocks;
    blocks.reserve(FBlocks.size());
    for (const auto& old : FBlocks) {
        blocks.push_back(std::make_unique_for_overwrite<char[]>(Value));
        std::memcpy(blocks.back().get(), old.get(), std::min(Value, FBufferSize));
    }
    FBufferSize = Value;
    FBlocks = std::move(blocks);
    for (std::size_t i = 0; i < FHeaders.size(); ++i) {
        FHeaders[i].dwBufferLength = Value;
        FHeaders[i].lpData = FBlocks[i].get();
    }
}

void TWaveDevice::AllocateBuffers(std::uint8_t Count) {
    std::vector<std::unique_ptr<char[]>> blocks;
    blocks.reserve(Count);
    for (std::uint8_t i = 0; i < Count; ++i)
        blocks.push_back(std::make_unique_for_overwrite<char[]>(FBufferSize));
    std::vector<WAVEHDR> headers(Count, WAVEHDR{});
    for (std::uint8_t i = 0; i < Count; ++i) {
        headers[i].dwBufferLength = FBufferSize;
        headers[i].lpData = blocks[i].get();
    }
    FreeBuffers();
    FBlocks = std::move(blocks);
    FHeaders = std::move(headers);
    FRingPosition = 0;
}

void TWaveDevice::FreeBuffers() {
    FHeaders.clear();
    FBlocks.clear();
}

void TWaveDevice::AdvanceBuffer() {
    if (FRingPosition < Buffers() - 1)
        ++FRingPosition;
    else
        FRingPosition = 0;
}

void TWaveDevice::WndProc(Windows::TMessage& Message) {
    switch (Message.Msg) {
    case MM_WOM_OPEN:
    case MM_WIM_OPEN:
        DoOpened();
        break;
    case MM_WOM_CLOSE:
    case MM_WIM_CLOSE:
        DoClosed();
        break;
    case MM_WOM_DONE:
    case MM_WIM_DATA:
        if (FActive)
            DoBufferDone();
        break;
    default:
        Message.Result =
            Windows::DefWindowProcW(FWindow, Message.Msg, Message.WParam, Message.LParam);
    }
}

void TWaveDevice::DoOpened() {
    FActive = true;
    FPaused = false;
    FStopping = false;
    try {
        if (OnStart)
            OnStart(this);
    } catch (...) {
        // A state event cannot undo the state change that fired it.
    }
}

void TWaveDevice::DoClosed() {
    FActive = false;
    FPaused = false;
    FStopping = false;
    try {
        if (OnStop)
            OnStop(this);
    } catch (...) {
    }
}

void TWaveDevice::DoPause() {
    FPaused = true;
    try {
        if (OnPause)
            OnPause(this);
    } catch (...) {
    }
}

void TWaveDevice::DoResume() {
    FPaused = false;
    try {
        if (OnResume)
            OnResume(this);
    } catch (...) {
    }
}

int TWaveDevice::ProcessDeviceMessages() {
    int count = 0;
    Windows::MSG msg;
    while (Windows::PeekMessageW(&msg, FWindow, 0, 0, Windows::PM_REMOVE)) {
        Windows::TranslateMessage(&msg);
        Windows::DispatchMessageW(&msg);
        ++count;
    }
    return count;
}

// No time limit: the service posts the open and close notifications itself, at once, with the
// call that succeeded, so they cannot go missing.
void TWaveDevice::WaitActive() {
    while (!FActive)
        if (ProcessDeviceMessages() == 0)
            Windows::Sleep(100);
}

void TWaveDevice::WaitInactive() {
    while (FActive)
        if (ProcessDeviceMessages() == 0)
            Windows::Sleep(100);
}

std::string TWaveDevice::ErrorText(MMRESULT Code) const {
    WCHAR text[MAXERRORLENGTH];
    if (waveInGetErrorTextW(Code, text, MAXERRORLENGTH) != MMSYSERR_NOERROR)
        return "Unknown error";
    return QString::fromStdU16String(std::u16string(text)).toStdString();
}

std::string TWaveDevice::ProductName(const WCHAR (&Name)[MAXPNAMELEN]) {
    const WCHAR* end = std::find(std::begin(Name), std::end(Name), u'\0');
    return QString::fromUtf16(Name, end - Name).toStdString();
}

std::string TWaveDevice::DeviceCountMessage(UINT Value) const {
    return "DeviceID value (" + std::to_string(Value) + ") does not match devices count (" +
           std::to_string(FDeviceCount) + ")";
}

void TWaveDevice::ClearHeader(WAVEHDR& Header) {
    Header.dwBytesRecorded = 0;
    Header.dwFlags = 0;
    Header.dwLoops = 0;
    Header.lpNext = nullptr;
    Header.reserved = 0;
}

void TWaveDevice::DiscardDeviceMessages() {
    Windows::MSG msg;
    while (Windows::PeekMessageW(&msg, FWindow, 0, 0, Windows::PM_REMOVE)) {
    }
}

void TWaveDevice::StopDroppingErrors() noexcept {
    try {
        Stop();
    } catch (...) {
    }
}

void TWaveDevice::StopRefused(MMRESULT Code) noexcept {
    try {
        FStopReason = ErrorText(Code);
    } catch (...) {
    }
    StopDroppingErrors();
}

TWaveFormats TWaveDevice::CapsToFormats(DWORD Mask) {
    TWaveFormats formats;
    for (int value = 1; value < WaveFormatCount; ++value)
        if ((Mask & FormatCapsFlags[static_cast<std::size_t>(value)]) != 0)
            formats.Include(static_cast<TWaveFormat>(value));
    return formats;
}

} // namespace WaveDefs
