// The repeater's main window and controller: start, stop and test; the path of every captured
// and every played buffer; the record list; the states and the lock; the squelch; the settings
// file; and the window's controls.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "control/Commands.h"
#include "control/TransmitterSwitch.h"
#include "platform/MMSystem.h"
#include "platform/WaveCore.h"
#include "remote/WebServer.h"
#include "squelch/Meter.h"
#include "squelch/Pipeline.h"
#include "station/Station.h"
#include "toolkit/Gauges.h"
#include "toolkit/IniFiles.h"
#include "toolkit/Spin.h"
#include "toolkit/StdCtrls.h"
#include "wave/WaveDefs.h"
#include "wave/WavePlay.h"
#include "wave/WaveRec.h"
#include "wave/WaveUtils.h"

namespace uMain {

using WaveDefs::TWaveDevice;
using WaveDefs::TWaveFormat;

// The localisable strings, by id.
enum class TResString : int {
    sInactive = 65288,
    sWaiting = 65289,
    sRecording = 65290,
    sPlayback = 65291,
    sBlocked = 65292,
    sNumberPattern = 65293,
};
const std::string& LoadResString(TResString Id);

// One recorded buffer of the recorded channel, as mono PCM.
struct TBlock {
    std::unique_ptr<std::uint8_t[]> Data;
    std::uint32_t Size = 0;
};

// The recording, oldest block first. Taking from the front only moves an index, and the
// storage is reserved before a run, so recording allocates nothing but the blocks themselves.
class TBlockList {
public:
    std::size_t Count() const { return FBlocks.size() - FFirst; }
    bool Empty() const { return Count() == 0; }
    const TBlock& operator[](std::size_t I) const { return FBlocks[FFirst + I]; }
    std::size_t Add(TBlock Block);
    void AddFront(TBlock Block);
    TBlock TakeFirst();
    // Keeps the first Count blocks; returns the bytes of those it lets go.
    std::uint64_t Truncate(std::size_t Count);
    void Clear();
    void Reserve(std::size_t Count) { FBlocks.reserve(Count); }

private:
    std::vector<TBlock> FBlocks;
    std::size_t FFirst = 0;
};

// A sound mode the window offers: [Main] SoundMode is its position in the list, [Options]
// SoundModeName its name.
struct TSoundMode {
    TWaveFormat Format;
    std::string Name; // "48000 Hz 16 bit stereo"
};
// The modes both devices can open, in the window's order.
std::vector<TSoundMode> SoundModes(WaveDefs::TWaveFormats Capture, WaveDefs::TWaveFormats Playback);

// The device a settings file chooses by its number and its name, the name first (Key names the
// name's key for the message when no device matches); a number there is no device for is the
// default device.
MMSystem::UINT ChosenDevice(WaveCore::TDirection Direction, std::int32_t Id,
                            const std::string& Name, const std::string& Key);

class TfMainForm : public QWidget {
public:
    // IniPath: the settings file; empty for the one beside the executable.
    explicit TfMainForm(std::string IniPath = {}, QWidget* Parent = nullptr);
    ~TfMainForm() override;

    // The controls.
    QLabel* Label1;
    QComboBox* cbChannel;
    QLabel* Label2;
    QComboBox* cbMode;
    QLabel* Label3;
    Spin::TSpinEdit* seTime;
    QLabel* Label4;
    QLabel* Label6;
    QComboBox* cbMethod;
    QLabel* Label8;
    StdCtrls::TEdit* edSquelch;
    QLabel* Label5;
    QLabel* lblState;
    QLabel* Label7;
    Gauges::TGauge* gLevel0;
    Gauges::TGauge* gLevel1;
    QPushButton* btnTest;
    QPushButton* btnStart;
    QPushButton* btnStop;

    // Settings, named after their keys in the settings file.
    std::int32_t ControlChannel = 0;
    std::int32_t SoundMode = -1;
    std::int32_t Duration = 30;
    std::int32_t Method = 0;
    double SquelchLevel = 0.0005;
    std::int32_t PlayDeviceID = -1;
    std::int32_t RecDeviceID = -1;
    double MaxSignalFrequency = 5000;
    double MaxNoiseFrequency = 6000;
    double ControlFrequency = 100;
    std::uint16_t ControlVolume = 58982;
    std::uint16_t PlayVolume = 32767;
    std::uint8_t BuffersCount = 4;
    std::uint32_t BufferSize = 8192;
    std::uint16_t LockTime = 500;
    std::uint16_t SquelchDelay = 500;
    double SquelchTrim = 0.1;
    std::uint16_t LevelUpdatePeriod = 500;
    std::uint16_t LevelImmediateUpdateDifference = 8;
    // Read at start-up, never written: when set, they choose the devices instead of the numbers.
    std::string RecDeviceName;
    std::string PlayDeviceName;
    // Read at start-up, never written: when set, it chooses the sound mode instead of SoundMode.
    std::string SoundModeName;

    // The controller's state.
    std::unique_ptr<IniFiles::TIniFile> IniFile;
    std::unique_ptr<TBlockList> Blocks;
    std::uint32_t RecordedBytes = 0;
    bool TestMode = false;
    std::array<std::vector<std::uint8_t>, 2> ChannelBuffers;
    std::array<std::uint32_t, 2> LevelElapsed{};
    std::uint32_t SquelchHold = 0;
    std::vector<double> Samples;
    std::vector<double> Magnitudes;
    // The spectrum the scheme reads: scheme A's windowed copy with [Squelch] Window=hann.
    squelch::Transform SquelchTransform;
    // The squelch's sources, combination, hold, gate and lockout, with the [Squelch] options:
    // the squelch tail, kerchunks, a silent input, a COS line, a CTCSS tone.
    squelch::Pipeline Squelch;
    // The last buffer's squelch decision before the hold, and its figure: the noise band's mean
    // level (A) or ratio (B).
    bool RawSignal = false;
    double SquelchFigure = 0;
    // Identification, PTT, courtesy tone, lockout and archive: the [Station] section.
    std::unique_ptr<station::Station> Station;
    // Whether the station may transmit (kept beside the settings file), and the commands that
    // the web page and DTMF give.
    std::unique_ptr<control::TransmitterSwitch> Transmitter;
    std::unique_ptr<control::Commands> Commands;
    // With the page on: the activity it charts, kept beside the settings file and fed from the
    // station's tally every second.
    std::unique_ptr<remote::ActivityLog> Activity;
    QTimer ActivityTimer;
    void ObserveActivity();
    // The supervision page ([Web] Listen); none when it is not set.
    std::unique_ptr<remote::WebServer> Web;
    // Captured audio the sound card lost so far (the program sets it for a real card).
    std::function<std::uint64_t()> LostAudio;
    // What the page shows live.
    remote::Live LiveState();
    // Declared after what their handlers reach, so that they go first.
    std::unique_ptr<WaveRec::TWaveRecorder> Recorder;
    std::unique_ptr<WaveUtils::TSineGenerator> Generator;
    std::unique_ptr<WavePlay::TWavePlayer> Player;

    // Told each state text as it is written (the headless mode prints them).
    std::function<void(const std::string& Text)> OnStateText;
    const std::string& StateText() const { return FStateText; }
    // Told each notice of the squelch options and of the station (the headless mode prints
    // them); without a handler, the station's (an archive that cannot be written) are shown in
    // the standard error box.
    std::function<void(const std::string& Text)> OnNotice;

    // Buttons.
    void btnStartClick();
    void btnTestClick();
    void btnStopClick();
    // Device events.
    void RecorderBufferDone(TWaveDevice* Sender, const void* Buffer, std::uint32_t Size);
    void RecorderStop(TWaveDevice* Sender);
    void PlayerBufferDone(TWaveDevice* Sender, void* Buffer, std::uint32_t& Size);
    void PlayerStart(TWaveDevice* Sender);
    void PlayerStop(TWaveDevice* Sender);
    // A device stopped working while the repeater runs (the sound system lost it, or capture
    // does not listen again after the lock): the window goes inactive, as after Stop, and
    // Message is shown in the standard error box, once.
    void DeviceFailed(const std::string& Message);
    // The record list and playback.
    std::size_t AddBlock(const void* Data, std::uint32_t Size);
    std::uint32_t TakeBlock(void* Dest);
    void ClearBlocks();
    // Keeps the first Count blocks of the recording.
    void KeepBlocks(std::size_t Count);
    // Bytes of the recorded channel that Duration allows.
    std::uint64_t RecordingLimit() const;
    void StartPlayback();
    // Puts what the station plays around a replay before and after the recorded blocks.
    void AddStationAudio(const station::Additions& Audio);
    void UpdateLevels(std::uint32_t Size, TWaveFormat Format);
    // Detection.
    bool AnalyseBuffer(const void* ChannelData, std::uint32_t Size, TWaveFormat Format);
    // Against SquelchLevel, or against the level given (CloseLevel while the squelch is open).
    bool DetectSchemeA(std::int32_t Count) { return DetectSchemeA(Count, SquelchLevel); }
    bool DetectSchemeB(std::int32_t Count) { return DetectSchemeB(Count, SquelchLevel); }
    bool DetectSchemeA(std::int32_t Count, double Level);
    bool DetectSchemeB(std::int32_t Count, double Level);
    void ShowSpectrum(std::uint32_t N, TWaveFormat Format);
    // Where the scheme looks, from the settings: what the calibration measures too.
    squelch::Band SquelchBand() const;
    // Settings and start-up.
    void LoadSettings();
    void SaveSettings();
    void ReadControls();
    // Shows the loaded settings in their controls (all but the mode list); it cannot fail.
    void ShowSettings();
    void ApplySettings();
    void FormCreate();
    void FormDestroy();
    // The window's handlers.
    void cbModeChange();
    void cbChannelChange(QComboBox* Sender);
    void edSquelchKeyPress(QWidget* Sender, char16_t& Key);
    void edSquelchExit(QWidget* Sender);
    // The transmitter switch moved: a replay under way ends at once when it went off.
    void TransmitterChanged(bool On);

private:
    void CreateControls();
    void SetStateText(TResString Id);
    void SetRunningControls(bool Running);
    // A failure found inside a device's handler: DeviceFailed runs once the handler returns.
    void FailSoon(const std::string& Message);
    // A button click is taken only when no refused squelch text is waiting for its message.
    void Click(void (TfMainForm::*Handler)());
    bool SquelchTextFits() const;
    // The state line's tooltip: a silent input, the transmitter switched off.
    void ShowStateHint();
    void Notice(const std::string& Text);
    void StartWeb();
    TWaveFormat MonoFormat() const { return Generator->Format(); }
    // The state line's tooltip when the input is heard: the squelch's sources unless only audio.
    QString SourceHint() const;

    std::string FIniPath;
    std::string FStateText;
    // A stop of the repeater is under way: the capture device may still hand over its last
    // buffer, but a repeater told to stop does not start transmitting.
    bool FStopping = false;
    // Start or Test has started the repeater and no Stop has ended it yet.
    bool FRunning = false;
    bool FSettingsLoaded = false;
    // What the settings file holds that a user should mend (a key given twice, a value that
    // does not fit), shown once the settings are read.
    std::vector<std::string> FSettingsNotices;
    void ShowSettingsNotices();
    // FormCreate once the settings are read: the devices, the station and the squelch options.
    void LoadRest();
    // Until the mode list is built, the mode the settings name is kept for writing back.
    bool FModeListBuilt = false;
    // The squelch field was left with a text its check refuses; the message is on its way.
    bool FSquelchRefusalPending = false;
    bool FInputDead = false;
    std::int64_t FCreatedNs = 0;
    std::string FLastFailure;
    std::uint64_t FDeviceFailures = 0;
    // The archive's size and the disk's room, looked up at most every few seconds.
    std::int64_t FArchiveCheckedNs = 0;
    std::uint64_t FDiskFree = 0;
};

// The settings file a run uses without --ini: beside the executable (its path with the extension
// replaced by ".ini") where that can be written, else in the user's configuration folder.
std::string DefaultIniPath();

} // namespace uMain
