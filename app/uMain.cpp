#include "app/uMain.h"

#include <algorithm>
#include <bit>
#include <clocale>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <map>

#include <QFont>
#include <QLocale>

#include "app/DeviceNames.h"
#include "app/SettingsFile.h"
#include "platform/Windows.h"
#include "spectrum/uSpectrum.h"
#include "squelch/Meter.h"
#include "station/Cos.h"
#include "toolkit/Forms.h"
#include "toolkit/SectionReader.h"
#include "toolkit/SysUtils.h"

namespace uMain {

using namespace WaveUtils;
using WaveDefs::Info;

namespace {

constexpr const char* SectionMain = "Main";
constexpr const char* SectionOptions = "Options";
// Every section the program reads: a header near one of these names is reported as a slip.
const std::vector<std::string> KnownSections = {SectionMain,
                                                SectionOptions,
                                                squelch::settingsSection,
                                                station::SectionStation,
                                                control::SectionControl,
                                                remote::SectionWeb};
// The state line's tooltip while the control channel is digitally silent.
constexpr const char* DeadInputHint = "Нет звука на управляющем канале: вход молчит дольше 5 с";

// "FILE:LINE: [Section] Key=Value: ", for a device's message about a value the file gave.
std::string Origin(const IniFiles::TIniFile& Ini, const char* Section, const char* Key,
                   const std::string& Value) {
    const settings::SectionReader reader(Ini, Section, settings::Ownership::Shared);
    return reader.where(Key) + "[" + Section + "] " + Key + "=" + Value + ": ";
}

// Runs F; a refusal it raises is said with the key and the file it came from.
template <class F>
void Keyed(const IniFiles::TIniFile& Ini, const char* Section, const char* Key,
           const std::string& Value, F&& f) {
    try {
        std::forward<F>(f)();
    } catch (const SysUtils::Exception& e) {
        throw SysUtils::Exception(Origin(Ini, Section, Key, Value) + e.Message());
    }
}

// The largest buffer, in bytes, that holds at most one second of Format: a buffer is analysed
// whole, so a larger one costs memory and time out of all proportion and delays every decision.
std::uint32_t LargestBuffer(TWaveFormat Format) {
    const auto& info = Info(Format);
    return info.SampleRate * info.SampleSize() * info.Channels;
}

} // namespace

std::vector<TSoundMode> SoundModes(WaveDefs::TWaveFormats Capture,
                                   WaveDefs::TWaveFormats Playback) {
    std::vector<TSoundMode> modes;
    for (int value = 0; value < WaveDefs::WaveFormatCount; ++value) {
        const auto format = static_cast<TWaveFormat>(value);
        const auto& info = Info(format);
        if (info.Channels >= 2 && info.SampleRate >= 20000 && Capture.Contains(format) &&
            Playback.Contains(format))
            modes.push_back({format, std::to_string(info.SampleRate) + " Hz " +
                                         std::to_string(info.BitsPerSample) + " bit stereo"});
    }
    return modes;
}

MMSystem::UINT ChosenDevice(WaveCore::TDirection Direction, std::int32_t Id,
                            const std::string& Name, const std::string& Key) {
    if (!Name.empty())
        return DeviceNames::find(Direction, Name, Key);
    return static_cast<std::uint32_t>(Id) < WaveCore::TWaveCore::Instance().GetNumDevs(Direction)
               ? static_cast<MMSystem::UINT>(Id)
               : MMSystem::WAVE_MAPPER;
}

const std::string& LoadResString(TResString Id) {
    static const std::map<TResString, std::string> table{
        {TResString::sInactive, "НЕАКТИВНО"},   {TResString::sWaiting, "ОЖИДАНИЕ"},
        {TResString::sRecording, "ЗАПИСЬ"},     {TResString::sPlayback, "ВОСПРОИЗВЕДЕНИЕ"},
        {TResString::sBlocked, "ЗАБЛОКИРОВАН"}, {TResString::sNumberPattern, "0.000000"},
    };
    return table.at(Id);
}

std::string DefaultIniPath() {
    return settings_file::prepareDefault(settings_file::Environment::ofThisProcess()).string();
}

// ---- the record list

std::size_t TBlockList::Add(TBlock Block) {
    FBlocks.push_back(std::move(Block));
    return Count() - 1;
}

void TBlockList::AddFront(TBlock Block) {
    FBlocks.insert(FBlocks.begin() + static_cast<std::ptrdiff_t>(FFirst), std::move(Block));
}

TBlock TBlockList::TakeFirst() {
    TBlock block = std::move(FBlocks[FFirst]);
    if (++FFirst == FBlocks.size())
        Clear();
    return block;
}

std::uint64_t TBlockList::Truncate(std::size_t Count) {
    std::uint64_t dropped = 0;
    while (this->Count() > Count) {
        dropped += FBlocks.back().Size;
        FBlocks.pop_back();
    }
    if (Empty())
        Clear();
    return dropped;
}

void TBlockList::Clear() {
    FBlocks.clear(); // keeps the reserved storage
    FFirst = 0;
}

// ---- the window

TfMainForm::TfMainForm(std::string IniPath, QWidget* Parent)
    : QWidget(Parent), FIniPath(IniPath.empty() ? DefaultIniPath() : std::move(IniPath)) {
    CreateControls();
    Forms::Guarded([this] { FormCreate(); });
}

TfMainForm::~TfMainForm() {
    Forms::Guarded([this] { FormDestroy(); });
}

void TfMainForm::CreateControls() {
    setWindowTitle("Quorim v" QUORIM_VERSION "b");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(295, 231);
    move(0, 0);
    QPalette face = palette();
    face.setColor(QPalette::Window, face.color(QPalette::Button));
    setPalette(face);
    setAutoFillBackground(true);
    QFont font(Forms::LoadInterfaceFont());
    font.setPixelSize(11);
    setFont(font);

    auto label = [this](const char* Text, int Left, int Top, int Width, int Height) {
        // Labels size themselves to their text, from the designed box.
        auto* l = new QLabel(QString::fromUtf8(Text), this);
        l->setGeometry(Left, Top, Width, Height);
        if (l->sizeHint().width() > Width)
            l->resize(l->sizeHint().width(), Height);
        return l;
    };
    auto list = [this](int Left, int Top, QStringList Items) {
        auto* c = new QComboBox(this);
        c->setGeometry(Left, Top, 145, 21);
        c->addItems(Items);
        return c;
    };
    auto button = [this](const char* Text, int Left) {
        auto* b = new QPushButton(QString::fromUtf8(Text), this);
        b->setGeometry(Left, 203, 75, 25);
        b->setEnabled(false);
        return b;
    };

    Label1 = label("Управляющий канал", 8, 8, 106, 13);
    cbChannel = list(144, 5, {"Левый", "Правый"});
    Label2 = label("Режим", 8, 35, 32, 13);
    cbMode = list(144, 32, {});
    Label3 = label("Длительность", 8, 62, 73, 13);
    seTime = new Spin::TSpinEdit(this);
    seTime->setGeometry(144, 59, 73, 22);
    seTime->SetMinValue(10);
    seTime->SetMaxValue(300);
    seTime->SetMaxLength(3);
    seTime->SetValue(30);
    Label4 = label("сек.", 231, 62, 21, 13);
    Label6 = label("Метод", 8, 92, 33, 13);
    cbMethod = list(144, 87, {"Схема \"A\"", "Схема \"B\""});
    Label8 = label("Squech", 8, 120, 35, 13);
    edSquelch = new StdCtrls::TEdit(this);
    edSquelch->setGeometry(144, 114, 145, 21);
    Label5 = label("Состояние", 8, 148, 54, 13);
    lblState = new QLabel(this); // a fixed width, whatever the text
    lblState->setGeometry(144, 148, 145, 13);
    QFont bold = font;
    bold.setBold(true);
    lblState->setFont(bold);
    Label7 = label("Уровень", 8, 176, 43, 13);
    for (auto* gauge : {&gLevel0, &gLevel1}) {
        *gauge = new Gauges::TGauge(this);
        (*gauge)->SetForeColor(QColor(0, 0, 128));
        (*gauge)->SetProgress(0);
    }
    gLevel0->setGeometry(144, 176, 145, 7);
    gLevel1->setGeometry(144, 184, 145, 7);
    btnTest = button("Тест", 8);
    btnStart = button("Старт", 133);
    btnStop = button("Стоп", 214);

    // Tab order: Start, Stop, channel, mode, duration, method, Test, squelch.
    QWidget* order[] = {btnStart, btnStop, cbChannel, cbMode, seTime, cbMethod, btnTest, edSquelch};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
    for (QWidget* w : order)
        w->setFocusPolicy(Qt::StrongFocus);

    connect(btnStart, &QPushButton::clicked, this, [this] { Click(&TfMainForm::btnStartClick); });
    connect(btnTest, &QPushButton::clicked, this, [this] { Click(&TfMainForm::btnTestClick); });
    connect(btnStop, &QPushButton::clicked, this, [this] { Click(&TfMainForm::btnStopClick); });
    connect(cbMode, &QComboBox::activated, this,
            [this] { Forms::Guarded([this] { cbModeChange(); }); });
    connect(cbChannel, &QComboBox::activated, this,
            [this] { Forms::Guarded([this] { cbChannelChange(cbChannel); }); });
    connect(cbMethod, &QComboBox::activated, this,
            [this] { Forms::Guarded([this] { cbChannelChange(cbMethod); }); });
    edSquelch->OnKeyPress = [this](QWidget* Sender, char16_t& Key) {
        edSquelchKeyPress(Sender, Key);
    };
    edSquelch->OnExit = [this](QWidget* Sender) {
        // A mouse press moves the focus before the pressed button receives the press: a message
        // box shown now would leave that button drawn down once it closes. The check runs when
        // the press is done, and a click that comes before it is not taken.
        FSquelchRefusalPending = !SquelchTextFits();
        QMetaObject::invokeMethod(
            this, [this, Sender] { Forms::Guarded([&] { edSquelchExit(Sender); }); },
            Qt::QueuedConnection);
    };
}

void TfMainForm::Click(void (TfMainForm::*Handler)()) {
    if (FSquelchRefusalPending)
        return;
    Forms::Guarded([&] { (this->*Handler)(); });
}

void TfMainForm::SetStateText(TResString Id) {
    FStateText = LoadResString(Id);
    lblState->setText(QString::fromStdString(FStateText));
    if (OnStateText)
        OnStateText(FStateText);
}

void TfMainForm::SetRunningControls(bool Running) {
    for (QWidget* w : std::initializer_list<QWidget*>{cbChannel, cbMode, seTime, cbMethod,
                                                      edSquelch, btnTest, btnStart})
        w->setEnabled(!Running);
    btnStop->setEnabled(Running);
}

// ---- the state machine

void TfMainForm::btnStartClick() {
    ReadControls();
    // Room for the longest recording, so that recording only allocates the blocks themselves.
    const std::uint64_t limit = RecordingLimit();
    const std::uint64_t block = std::max<std::uint64_t>(BufferSize / 2, 1);
    Blocks->Reserve(static_cast<std::size_t>(std::min<std::uint64_t>(limit / block + 2, 1u << 20)));
    // A COS line that cannot be opened refuses Start before anything else is opened.
    Squelch.start(MonoFormat());
    Station->start(MonoFormat(), BufferSize / 2, {squelch::schemeOf(Method), SquelchLevel},
                   static_cast<std::uint32_t>(std::max(Duration, 0)) * 1000u);
    Recorder->Start();
    FRunning = true;
    SetRunningControls(true);
    SetStateText(TResString::sWaiting);
    if (!Transmitter->on())
        Notice(Transmitter->problem().empty() ? control::TransmitterOffText
                                              : Transmitter->problem());
}

void TfMainForm::btnTestClick() {
    TestMode = true;
    uSpectrum::CreateSpectForm(this);
    btnStartClick();
}

void TfMainForm::btnStopClick() {
    FRunning = false;
    FStopping = true;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } reset{FStopping};
    Player->Stop();
    Station->stop();
    Recorder->Stop();
    Squelch.stop();
    SetRunningControls(false);
    SetStateText(TResString::sInactive);
    gLevel0->SetProgress(0);
    gLevel1->SetProgress(0);
    TestMode = false;
    if (uSpectrum::fSpectForm != nullptr)
        uSpectrum::fSpectForm->close();
}

void TfMainForm::RecorderBufferDone(TWaveDevice*, const void* Buffer, std::uint32_t Size) {
    if (Player->Active())
        return;
    // The channel buffers were sized from the same setting as the device's buffers; never let a
    // mismatch write past them.
    Size = std::min<std::uint32_t>(Size, static_cast<std::uint32_t>(2 * ChannelBuffers[0].size()));
    void* const outputs[2] = {ChannelBuffers[0].data(), ChannelBuffers[1].data()};
    const std::uint32_t n = Deinterleave(Buffer, outputs, Size, Recorder->Format());
    const std::uint64_t limit = RecordingLimit();
    if (n == 0)
        return;
    const TWaveFormat mono = MonoFormat();
    UpdateLevels(n, mono);
    const bool lockedOut = Station->lockedOut();
    bool heard = false;
    try {
        heard = AnalyseBuffer(ChannelBuffers[ControlChannel].data(), n, mono);
    } catch (const std::exception& e) {
        // A COS line that fails while running is a device failure, told once the handler is left.
        QMetaObject::invokeMethod(
            this,
            [this, why = std::string(e.what())] { Forms::Guarded([&] { DeviceFailed(why); }); },
            Qt::QueuedConnection);
        return;
    }
    const bool signal = Squelch.admit(heard, RawSignal, SquelchFigure);
    if (lockedOut && !Station->lockedOut())
        SetStateText(TResString::sWaiting);
    if (signal) {
        if (TestMode) {
            SetStateText(TResString::sRecording);
        } else {
            const std::size_t i = AddBlock(ChannelBuffers[1 - ControlChannel].data(), n);
            Squelch.gate.recorded(i);
            Station->recorded({ChannelBuffers[1 - ControlChannel].data(), n});
            if (i == 0)
                SetStateText(TResString::sRecording);
            else if (RecordedBytes >= limit)
                StartPlayback();
        }
    } else if (RecordedBytes > 0) {
        // The squelch closed: the station's options may shorten the over or leave it out.
        KeepBlocks(Squelch.gate.replayed(Blocks->Count()));
        if (RecordedBytes > 0) {
            StartPlayback();
        } else {
            Station->overSkipped();
            if (!FStopping)
                SetStateText(TResString::sWaiting);
        }
    } else if (TestMode) {
        SetStateText(TResString::sWaiting);
    } else if (Station->identificationDue()) {
        StartPlayback();
    }
}

std::size_t TfMainForm::AddBlock(const void* Data, std::uint32_t Size) {
    // Allocated before anything is counted, so that a refused allocation leaves the list and its
    // byte total as they were.
    TBlock block{std::make_unique_for_overwrite<std::uint8_t[]>(Size), Size};
    std::memcpy(block.Data.get(), Data, Size);
    const std::size_t index = Blocks->Add(std::move(block));
    RecordedBytes += Size;
    return index;
}

std::uint32_t TfMainForm::TakeBlock(void* Dest) {
    if (Blocks->Empty())
        return 0;
    const TBlock block = Blocks->TakeFirst();
    std::memcpy(Dest, block.Data.get(), block.Size);
    RecordedBytes -= block.Size;
    return block.Size;
}

void TfMainForm::ClearBlocks() {
    Blocks->Clear();
    RecordedBytes = 0;
}

std::uint64_t TfMainForm::RecordingLimit() const {
    return std::uint64_t{Recorder->SamplesPerSec()} *
           static_cast<std::uint64_t>(std::max(Duration, 0)) * (Recorder->BitsPerSample() / 8u);
}

void TfMainForm::KeepBlocks(std::size_t Count) {
    RecordedBytes -= static_cast<std::uint32_t>(Blocks->Truncate(Count));
}

void TfMainForm::StartPlayback() {
    if (Recorder->Paused() || FStopping)
        return;
    std::vector<std::span<const std::uint8_t>> over;
    for (std::size_t i = 0; i < Blocks->Count(); ++i)
        over.emplace_back((*Blocks)[i].Data.get(), (*Blocks)[i].Size);
    // While the transmitter is off an over is only archived, unless a DTMF command in it switches
    // the transmitter on: then its answer goes out.
    if (!Station->mayTransmit() &&
        !Station->overNotSent(over, std::min(Squelch.gate.signalBlocks(), over.size()))) {
        ClearBlocks();
        SetStateText(TResString::sWaiting);
        return;
    }
    // What is heard after the replay opens the squelch afresh.
    RawSignal = false;
    // The transmitter is keyed last, once everything that can fail before the audio goes out
    // has worked; a failure on the way stops the repeater with nothing keyed.
    try {
        const station::Additions additions =
            Station->replayStarting(over, RecordedBytes >= RecordingLimit(),
                                    std::min(Squelch.gate.signalBlocks(), over.size()));
        KeepBlocks(Station->replayedBlocks(Blocks->Count()));
        AddStationAudio(additions);
        Recorder->Pause();
        Recorder->Flush();
    } catch (const std::exception& e) {
        ClearBlocks();
        FailSoon(e.what());
        return;
    }
    try {
        Player->Start();
    } catch (...) {
        Station->release(); // nothing is left of a replay that never started
        throw;
    }
    // The line could not be keyed when the playback started: nothing goes on the air unkeyed.
    if (FStopping)
        Player->Stop();
}

void TfMainForm::FailSoon(const std::string& Message) {
    // The device handler that found it is still running: the repeater stops once it returns,
    // and starts no replay meanwhile.
    FStopping = true;
    QMetaObject::invokeMethod(
        this, [this, Message] { Forms::Guarded([&] { DeviceFailed(Message); }); },
        Qt::QueuedConnection);
}

void TfMainForm::AddStationAudio(const station::Additions& Audio) {
    for (auto it = Audio.before.rbegin(); it != Audio.before.rend(); ++it) {
        const auto size = static_cast<std::uint32_t>(it->size());
        TBlock block{std::make_unique_for_overwrite<std::uint8_t[]>(size), size};
        std::memcpy(block.Data.get(), it->data(), size);
        Blocks->AddFront(std::move(block));
        RecordedBytes += size;
    }
    for (const auto& pcm : Audio.after)
        AddBlock(pcm.data(), static_cast<std::uint32_t>(pcm.size()));
}

void TfMainForm::PlayerBufferDone(TWaveDevice*, void* Buffer, std::uint32_t& Size) {
    if (Station->overdue()) {
        Size = 0; // the watchdog has released the line; the tone ends too
        return;
    }
    if (Blocks->Empty())
        AddStationAudio(Station->replayTail());
    const std::uint32_t len = TakeBlock(ChannelBuffers[1 - ControlChannel].data());
    Generator->Generate(ChannelBuffers[ControlChannel].data(), len);
    UpdateLevels(len, MonoFormat());
    const void* const inputs[2] = {ChannelBuffers[0].data(), ChannelBuffers[1].data()};
    Size = Interleave(inputs, Buffer, len, Player->Format());
}

void TfMainForm::PlayerStart(TWaveDevice*) {
    // Keyed last: the playback has started, so nothing else can fail before the audio goes out.
    try {
        Station->transmitting();
    } catch (const std::exception& e) {
        FailSoon(e.what());
        return;
    }
    SetStateText(TResString::sPlayback);
}

void TfMainForm::PlayerStop(TWaveDevice*) {
    SetStateText(TResString::sBlocked);
    Windows::ProcessMessages();
    Windows::Sleep(Station->replayEnded(LockTime));
    if (!FRunning || FStopping) {
        // A Stop handled while the label repainted has closed the capture device and shown the
        // inactive state; the lock still runs its time, but the label keeps saying so. A Stop
        // under way closes the capture device next.
        if (Recorder->Active())
            SetStateText(TResString::sWaiting);
        Recorder->Resume();
        return;
    }
    // A playback device the sound system lost cut the replay short; the lock has run.
    if (!Player->StopReason().empty()) {
        DeviceFailed("the playback device failed: " + Player->StopReason());
        return;
    }
    // Waiting is shown only once capture listens again: a capture device that closed itself
    // during the replay or the lock, or that stays paused, would leave the repeater deaf.
    std::string refusal;
    try {
        Recorder->Resume();
    } catch (const SysUtils::Exception& e) {
        refusal = e.Message();
    } catch (const std::exception& e) {
        refusal = e.what();
    }
    if (Recorder->Active() && !Recorder->Paused()) {
        // A transmit lockout keeps the blocked state until the carrier drops.
        if (!Station->lockedOut())
            SetStateText(TResString::sWaiting);
        return;
    }
    if (refusal.empty())
        refusal = Recorder->StopReason().empty()
                      ? "The recording device stopped by itself"
                      : "the capture device failed: " + Recorder->StopReason();
    DeviceFailed(refusal);
}

void TfMainForm::DeviceFailed(const std::string& Message) {
    if (!FRunning)
        return; // told already, or stopped since
    FLastFailure = Message;
    ++FDeviceFailures;
    Forms::Guarded([this] { btnStopClick(); });
    Forms::ShowException(Message);
}

void TfMainForm::RecorderStop(TWaveDevice*) {
    ClearBlocks();
    // A capture device the sound system lost while the repeater listens or records; during a
    // replay or the lock, the end of the lock tells it.
    if (FRunning && !FStopping && !Player->Active() && !Recorder->StopReason().empty())
        DeviceFailed("the capture device failed: " + Recorder->StopReason());
}

void TfMainForm::UpdateLevels(std::uint32_t Size, TWaveFormat Format) {
    Gauges::TGauge* gauges[2] = {gLevel0, gLevel1};
    for (std::size_t g = 0; g < 2; ++g) {
        Gauges::TGauge& gauge = *gauges[g];
        const int level = std::abs(Peak(ChannelBuffers[g].data(), Size, Format));
        const int diff = std::abs(gauge.Progress() - level);
        if (diff > gauge.MaxValue() / LevelImmediateUpdateDifference ||
            LevelElapsed[g] > LevelUpdatePeriod) {
            gauge.SetProgress(level);
            LevelElapsed[g] = 0;
        } else {
            LevelElapsed[g] += static_cast<std::uint32_t>(DurationMs(Size, Format));
        }
    }
}

// ---- detection

bool TfMainForm::AnalyseBuffer(const void* ChannelData, std::uint32_t Size, TWaveFormat Format) {
    // Once a buffer counted as signal, the next ones are judged against the close level.
    const double level = Squelch.level(RawSignal, SquelchLevel);
    RawSignal = false;
    const std::uint32_t decoded = DecodeSamples(ChannelData, Samples, Size, Format, false);
    if (decoded == 0)
        return false;
    // The transform takes a power of two: a shorter last buffer, or a buffer size from the
    // settings that does not give one, is judged on its largest power-of-two start.
    const auto n = static_cast<std::int32_t>(std::bit_floor(decoded));
    const squelch::Band band = SquelchBand();
    // The spectrum window and scheme B keep the plain transform.
    const auto spectrum = SquelchTransform.make(Samples, n, band, uSpectrum::fSpectForm != nullptr);
    if (uSpectrum::fSpectForm != nullptr)
        ShowSpectrum(static_cast<std::uint32_t>(n), Format);
    const std::int32_t k =
        squelch::selectBand(spectrum, n, Info(Format).SampleRate, band, band.scheme, Magnitudes);

    bool raw = false;
    switch (band.scheme) {
    case squelch::Scheme::noiseBand:
        raw = DetectSchemeA(k, level);
        break;
    case squelch::Scheme::peakRatio:
        raw = DetectSchemeB(k, level);
        break;
    case squelch::Scheme::none:
        SquelchHold = SquelchDelay;
        break;
    }
    raw = Squelch.judge(raw, ChannelData, Size, Format, band.scheme);
    RawSignal = raw;
    return squelch::Pipeline::hold(raw, SquelchHold, SquelchDelay,
                                   static_cast<std::uint32_t>(DurationMs(Size, Format)));
}

// The figures come from the unit the calibration measures with, so that a level it proposes
// means the same here.
bool TfMainForm::DetectSchemeA(std::int32_t Count, double Level) {
    const auto average =
        squelch::figureOf(squelch::Scheme::noiseBand, Magnitudes, Count, SquelchTrim);
    if (average)
        SquelchFigure = *average;
    return average && *average < Level;
}

bool TfMainForm::DetectSchemeB(std::int32_t Count, double Level) {
    const auto ratio =
        squelch::figureOf(squelch::Scheme::peakRatio, Magnitudes, Count, SquelchTrim);
    if (ratio)
        SquelchFigure = *ratio;
    return ratio && *ratio < Level;
}

squelch::Band TfMainForm::SquelchBand() const {
    return {squelch::schemeOf(Method), MaxSignalFrequency, MaxNoiseFrequency, SquelchTrim,
            Squelch.settings().hannWindow};
}

QString TfMainForm::SourceHint() const {
    if (Squelch.settings().sources == static_cast<unsigned>(squelch::Source::audio))
        return {};
    return QString::fromUtf8("Шумоподавитель: ") +
           QString::fromStdString(Squelch.describeSources());
}

void TfMainForm::ShowSpectrum(std::uint32_t N, TWaveFormat Format) {
    uSpectrum::ShowSpectrum(Samples, N, Format, Method, SquelchTrim);
}

// ---- settings and start-up

void TfMainForm::LoadSettings() {
    // A value that does not fit its field takes the default (and is written back as it); a
    // number that fits but is out of range is clamped below, as it always was.
    constexpr std::int64_t int32Low = std::numeric_limits<std::int32_t>::min();
    // Up to 2^32 - 1, cut to 32 bits, two's complement: "4294967295" is -1, as it always was.
    constexpr std::int64_t int32High = std::numeric_limits<std::uint32_t>::max();
    using settings::integer;
    using settings::real;
    settings::SectionReader main(*IniFile, SectionMain, settings::Ownership::Shared,
                                 settings::Refusal::UseDefault);
    main.read({
        integer("ControlChannel", ControlChannel, int32Low, int32High),
        integer("SoundMode", SoundMode, int32Low, int32High),
        integer("Duration", Duration, int32Low, int32High),
        integer("Method", Method, int32Low, int32High),
        real("SquelchLevel", SquelchLevel),
    });
    settings::SectionReader options(*IniFile, SectionOptions, settings::Ownership::Shared,
                                    settings::Refusal::UseDefault);
    options.read({
        integer("PlayDeviceID", PlayDeviceID, int32Low, int32High),
        integer("RecDeviceID", RecDeviceID, int32Low, int32High),
        real("MaxSignalFrequency", MaxSignalFrequency),
        real("MaxNoiseFrequency", MaxNoiseFrequency),
        real("ControlFrequency", ControlFrequency),
        integer("ControlVolume", ControlVolume),
        integer("PlayVolume", PlayVolume),
        integer("BuffersCount", BuffersCount),
        integer("BufferSize", BufferSize),
        integer("LockTime", LockTime),
        integer("SquelchDelay", SquelchDelay),
        real("SquelchTrim", SquelchTrim),
        integer("LevelUpdatePeriod", LevelUpdatePeriod),
        integer("LevelImmediateUpdateDifference", LevelImmediateUpdateDifference),
        settings::text("RecDeviceName", RecDeviceName),
        settings::text("PlayDeviceName", PlayDeviceName),
        settings::text("SoundModeName", SoundModeName),
    });
    for (const auto* reader : {&main, &options})
        FSettingsNotices.insert(FSettingsNotices.end(), reader->notices().begin(),
                                reader->notices().end());
    const auto sections = settings::unknownSections(*IniFile, KnownSections);
    FSettingsNotices.insert(FSettingsNotices.end(), sections.begin(), sections.end());

    // Clamped once, in the order of the keys.
    if (ControlChannel < 0 || ControlChannel >= cbChannel->count())
        ControlChannel = 0;
    if (SoundMode < -1)
        SoundMode = -1;
    if (Duration < 10 || Duration > 300)
        Duration = 30;
    if (Method < 0 || Method >= cbMethod->count())
        Method = 0;
    if (!(SquelchLevel > 0.0) || !(SquelchLevel < 1.0))
        SquelchLevel = 0.0005;
    if (static_cast<std::uint32_t>(PlayDeviceID) >= Player->DeviceCount())
        PlayDeviceID = -1;
    if (static_cast<std::uint32_t>(RecDeviceID) >= Recorder->DeviceCount())
        RecDeviceID = -1;
    if (!(MaxSignalFrequency >= 1000.0))
        MaxSignalFrequency = 5000;
    if (!(MaxNoiseFrequency > MaxSignalFrequency))
        MaxNoiseFrequency = MaxSignalFrequency + 1000;
    if (SquelchTrim > 0.25)
        SquelchTrim = 0.25;
    if (LevelImmediateUpdateDifference < 2)
        LevelImmediateUpdateDifference = 2;
}

void TfMainForm::SaveSettings() {
    IniFile->WriteInteger(SectionMain, "ControlChannel", ControlChannel);
    IniFile->WriteInteger(SectionMain, "SoundMode", SoundMode);
    IniFile->WriteInteger(SectionMain, "Duration", Duration);
    IniFile->WriteInteger(SectionMain, "Method", Method);
    IniFile->WriteFloat(SectionMain, "SquelchLevel", SquelchLevel);
    IniFile->WriteInteger(SectionOptions, "PlayDeviceID", PlayDeviceID);
    IniFile->WriteInteger(SectionOptions, "RecDeviceID", RecDeviceID);
    IniFile->WriteFloat(SectionOptions, "MaxSignalFrequency", MaxSignalFrequency);
    IniFile->WriteFloat(SectionOptions, "MaxNoiseFrequency", MaxNoiseFrequency);
    IniFile->WriteFloat(SectionOptions, "ControlFrequency", ControlFrequency);
    IniFile->WriteInteger(SectionOptions, "ControlVolume", ControlVolume);
    IniFile->WriteInteger(SectionOptions, "PlayVolume", PlayVolume);
    IniFile->WriteInteger(SectionOptions, "BuffersCount", BuffersCount);
    IniFile->WriteInteger(SectionOptions, "BufferSize", BufferSize);
    IniFile->WriteInteger(SectionOptions, "LockTime", LockTime);
    IniFile->WriteInteger(SectionOptions, "SquelchDelay", SquelchDelay);
    IniFile->WriteFloat(SectionOptions, "SquelchTrim", SquelchTrim);
    IniFile->WriteInteger(SectionOptions, "LevelUpdatePeriod", LevelUpdatePeriod);
    IniFile->WriteInteger(SectionOptions, "LevelImmediateUpdateDifference",
                          LevelImmediateUpdateDifference);
}

void TfMainForm::ReadControls() {
    ControlChannel = cbChannel->currentIndex();
    // Before the mode list is built (a start-up error came first) it shows no choice of the
    // user's; the mode the settings name is written back instead of none.
    if (FModeListBuilt)
        SoundMode = cbMode->currentIndex();
    Duration = seTime->Value();
    Method = cbMethod->currentIndex();
    SquelchLevel = SysUtils::StrToFloat(edSquelch->text().toStdString());
}

void TfMainForm::ShowSettings() {
    cbChannel->setCurrentIndex(ControlChannel);
    seTime->SetValue(Duration);
    cbMethod->setCurrentIndex(Method);
    edSquelch->setText(QString::fromStdString(
        SysUtils::FormatFloat(LoadResString(TResString::sNumberPattern), SquelchLevel)));
}

void TfMainForm::ApplySettings() {
    using WaveCore::TDirection;
    Recorder->SetDeviceID(
        ChosenDevice(TDirection::Capture, RecDeviceID, RecDeviceName, "RecDeviceName"));
    const std::string buffers = std::to_string(BuffersCount);
    const std::string bufferSize = std::to_string(BufferSize);
    Keyed(*IniFile, SectionOptions, "BuffersCount", buffers,
          [&] { Recorder->SetBuffers(BuffersCount); });
    Keyed(*IniFile, SectionOptions, "BufferSize", bufferSize,
          [&] { Recorder->SetBufferSize(BufferSize); });
    Keyed(*IniFile, SectionOptions, "ControlFrequency", SysUtils::FloatToStr(ControlFrequency),
          [&] { Generator->SetFrequency(ControlFrequency); });
    Generator->SetVolume(ControlVolume);
    Keyed(*IniFile, SectionOptions, "BuffersCount", buffers,
          [&] { Player->SetBuffers(BuffersCount); });
    Keyed(*IniFile, SectionOptions, "BufferSize", bufferSize,
          [&] { Player->SetBufferSize(BufferSize); });
    Player->SetDeviceID(
        ChosenDevice(TDirection::Playback, PlayDeviceID, PlayDeviceName, "PlayDeviceName"));
    Player->SetOutputVolume(WavePlay::TVolumeChannel::volBoth, PlayVolume);

    cbMode->clear();
    const auto modes = SoundModes(Recorder->DeviceInfo().Formats, Player->DeviceInfo().Formats);
    for (const TSoundMode& mode : modes)
        cbMode->addItem(QString::fromStdString(mode.Name), static_cast<int>(mode.Format));
    cbMode->setCurrentIndex(-1); // a list keeps no selection until one is set
    if (cbMode->count() > SoundMode)
        cbMode->setCurrentIndex(SoundMode);
    FModeListBuilt = true;
    if (!SoundModeName.empty()) {
        // Case and spacing aside, as a hand-written name may differ from the list's.
        const QString wanted = QString::fromStdString(SoundModeName).simplified();
        const auto named = std::find_if(modes.begin(), modes.end(), [&](const TSoundMode& M) {
            return QString::fromStdString(M.Name).compare(wanted, Qt::CaseInsensitive) == 0;
        });
        if (named == modes.end()) {
            std::string list;
            for (std::size_t i = 0; i < modes.size(); ++i)
                list += "\n  " + std::to_string(i) + "  " + modes[i].Name;
            throw SysUtils::Exception(
                Origin(*IniFile, SectionOptions, "SoundModeName", SoundModeName) +
                "no sound mode of these devices has this name; " +
                (list.empty() ? std::string("they have none in common.") : "there are:" + list));
        }
        cbMode->setCurrentIndex(static_cast<int>(named - modes.begin()));
    }
    cbModeChange();
}

void TfMainForm::FormCreate() {
    // Every number the program reads or writes uses '.' whatever the user's locale says.
    std::setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(QLocale::c());
    IniFile = std::make_unique<IniFiles::TIniFile>(FIniPath);
    Blocks = std::make_unique<TBlockList>();
    Station = std::make_unique<station::Station>();

    Recorder = std::make_unique<WaveRec::TWaveRecorder>();
    Recorder->OnBufferDone = [this](TWaveDevice* Sender, const void* Buffer, std::uint32_t Size) {
        RecorderBufferDone(Sender, Buffer, Size);
    };
    Recorder->OnStop = [this](TWaveDevice* Sender) { RecorderStop(Sender); };
    Generator = std::make_unique<TSineGenerator>();
    Player = std::make_unique<WavePlay::TWavePlayer>();
    Player->OnBufferDone = [this](TWaveDevice* Sender, void* Buffer, std::uint32_t& Size) {
        PlayerBufferDone(Sender, Buffer, Size);
    };
    Player->OnStart = [this](TWaveDevice* Sender) { PlayerStart(Sender); };
    Player->OnStop = [this](TWaveDevice* Sender) { PlayerStop(Sender); };
    Squelch.gate.onNotice = [this](const std::string& Text) {
        if (OnNotice)
            OnNotice(Text);
    };
    Squelch.gate.onDeadInput = [this](bool Dead) {
        FInputDead = Dead;
        ShowStateHint();
    };
    Squelch.openCos = station::openCos;
    Squelch.lockout = [this](bool Raw, double Figure) { return Station->holdsOff(Raw, Figure); };
    FCreatedNs = Windows::ClockNs();
    Transmitter = std::make_unique<control::TransmitterSwitch>(control::stateFileFor(FIniPath));
    Transmitter->onChange = [this](bool On) { TransmitterChanged(On); };
    Station->transmitter = Transmitter.get();
    Commands = std::make_unique<control::Commands>(*Transmitter);
    Commands->identifyNow = [this] { return Station->identifyNow(); };
    Commands->setReport = [this](bool On) { return Station->setReport(On); };
    Commands->status = [this] {
        const auto& tally = Station->tally();
        return control::Status{FStateText, Transmitter->on(), Station->reportOn(),
                               tally.notSentOvers, tally.notSentSeconds};
    };
    Commands->onLog = [this](const std::string& Text) { Notice(Text); };
    // DTMF gives the same commands as the web page, through the same dispatcher.
    Station->onCommand = [this](control::Command Command) {
        return Commands->run(Command, "dtmf");
    };
    ShowStateHint();

    // A file that is there but cannot be read would pass for one with every default, and be
    // written over with them.
    if (const std::string problem = IniFile->ReadProblem(); !problem.empty())
        throw SysUtils::Exception(settings::at(FIniPath, 0) +
                                  "the settings file cannot be read: " + problem);
    LoadSettings();
    FSettingsLoaded = true;
    // What the file holds that needs mending is said whether or not the start-up succeeds.
    try {
        LoadRest();
    } catch (...) {
        ShowSettingsNotices();
        throw;
    }
    ShowSettingsNotices();
}

void TfMainForm::LoadRest() {
    // The controls show the settings before anything can fail, so that shutdown writes back
    // what the user sees and changes.
    ShowSettings();
    // Nothing is sized from a buffer size the devices refuse: read from -8192 it is nearly
    // 4 GiB. The playback device makes this very check when the settings are applied; its
    // format does not change before then.
    const std::string bufferSize = std::to_string(BufferSize);
    Keyed(*IniFile, SectionOptions, "BufferSize", bufferSize,
          [&] { Player->CheckBufferSize(BufferSize); });
    // No mode holds more than a second in this many bytes: refused here, before anything is
    // sized from it; each mode change checks its own.
    const std::uint32_t largest = LargestBuffer(TWaveFormat::wf96000stereo16);
    if (BufferSize > largest)
        throw SysUtils::Exception(Origin(*IniFile, SectionOptions, "BufferSize", bufferSize) +
                                  "a buffer may hold at most one second of audio: " +
                                  std::to_string(largest) + " bytes in the largest mode");
    for (auto& buffer : ChannelBuffers)
        buffer.assign(BufferSize / 2, 0);
    Samples.assign(BufferSize / 2, 0.0);
    Magnitudes.clear();
    RecordedBytes = 0;
    SquelchHold = SquelchDelay;
    RawSignal = false;
    LevelElapsed = {0, 0};
    TestMode = false;
    ApplySettings();
    SetStateText(TResString::sInactive);
    Station->onLog = [this](const std::string& Text) {
        if (OnNotice)
            OnNotice(Text);
    };
    Station->onOverdue = [this](const std::string& Message) { FailSoon(Message); };
    Station->onNotice = [this](const std::string& Message) {
        QMetaObject::invokeMethod(
            this,
            [this, Message] {
                OnNotice ? OnNotice(Message)
                         : Forms::Guarded([&] { Forms::ShowException(Message); });
            },
            Qt::QueuedConnection);
    };
    // Last, so that a refused value leaves everything above in place; both sections are read
    // whichever refuses a value (a refused [Station] also refuses Start).
    std::exception_ptr refused;
    try {
        Station->load(*IniFile, &FSettingsNotices);
    } catch (...) {
        refused = std::current_exception();
    }
    try {
        squelch::readSettings(*IniFile, Squelch.settings(), FSettingsNotices);
        ShowStateHint();
    } catch (...) {
        if (!refused)
            refused = std::current_exception();
    }
    try {
        StartWeb();
    } catch (...) {
        if (!refused)
            refused = std::current_exception();
    }
    if (refused)
        std::rethrow_exception(refused);
}

void TfMainForm::ShowSettingsNotices() {
    if (FSettingsNotices.empty())
        return;
    std::string text;
    for (const std::string& notice : FSettingsNotices)
        text += (text.empty() ? "" : "\n") + notice;
    FSettingsNotices.clear();
    Forms::ShowWarning(text);
}

void TfMainForm::StartWeb() {
    const auto settings = remote::readWebSettings(*IniFile, FIniPath, &FSettingsNotices);
    if (!settings.enabled())
        return;
    Activity = std::make_unique<remote::ActivityLog>(remote::ActivityLog::fileFor(FIniPath));
    if (!Activity->problem().empty())
        FSettingsNotices.push_back(Activity->problem());
    ActivityTimer.setInterval(1000);
    QObject::connect(&ActivityTimer, &QTimer::timeout, this, [this] { ObserveActivity(); });
    ActivityTimer.start();
    Web = std::make_unique<remote::WebServer>(settings, Station->archiveFolder(), *Commands,
                                              [this] { return LiveState(); });
    Web->onLog = [this](const std::string& Text) { Notice(Text); };
    Web->activityLog = Activity.get();
}

void TfMainForm::ObserveActivity() {
    const auto& tally = Station->tally();
    const std::string before = Activity->problem();
    Activity->observe({tally.overs, tally.transmitSeconds, tally.kerchunks, tally.lockouts,
                       Station->watchdogTrips(), tally.notSentOvers});
    if (Activity->problem() != before)
        Notice(Activity->problem());
}

remote::Live TfMainForm::LiveState() {
    remote::Live l;
    l.state = FStateText;
    l.levels[0] = gLevel0->MaxValue() > 0 ? double(gLevel0->Progress()) / gLevel0->MaxValue() : 0;
    l.levels[1] = gLevel1->MaxValue() > 0 ? double(gLevel1->Progress()) / gLevel1->MaxValue() : 0;
    l.squelchFigure = SquelchFigure;
    l.squelchLevel = SquelchLevel;
    l.transmitterOn = Transmitter->on();
    l.reportOn = Station->reportOn();
    l.running = FRunning;
    l.lastFailure = FLastFailure;
    l.secondsSinceId = Station->secondsSinceIdentification();
    const std::int64_t now = Windows::ClockNs();
    l.uptimeSeconds = static_cast<double>(now - FCreatedNs) / 1e9;
    const std::string& folder = Station->archiveFolder();
    if (!folder.empty() && (FArchiveCheckedNs == 0 || now - FArchiveCheckedNs > 5'000'000'000)) {
        FArchiveCheckedNs = now;
        // A year's folder takes a while to walk: the archive's worker does it.
        Station->measureArchive();
        std::error_code ec;
        const auto space = std::filesystem::space(folder, ec);
        FDiskFree = ec ? 0 : space.available;
    }
    l.archiveBytes = Station->archiveBytes();
    l.diskFreeBytes = FDiskFree;
    const auto& tally = Station->tally();
    l.overs = tally.overs;
    l.transmitSeconds = tally.transmitSeconds;
    l.kerchunks = tally.kerchunks;
    l.lockouts = tally.lockouts;
    l.watchdogTrips = Station->watchdogTrips();
    l.deviceFailures = FDeviceFailures;
    l.lostAudioBytes = LostAudio ? LostAudio() : 0;
    l.notSentOvers = tally.notSentOvers;
    return l;
}

void TfMainForm::FormDestroy() {
    FStopping = true;
    Web.reset();
    if (Activity) {
        ActivityTimer.stop();
        ObserveActivity();
    }
    // The spectrum window belongs to this one and must not be fed while it goes.
    if (uSpectrum::fSpectForm != nullptr)
        uSpectrum::fSpectForm->close();
    if (Player)
        Player->Stop();
    if (Station)
        Station->stop();
    if (Recorder)
        Recorder->Stop();
    Squelch.stop();
    Player.reset();
    Generator.reset();
    Recorder.reset();
    if (Blocks)
        ClearBlocks();
    Blocks.reset();
    for (auto& buffer : ChannelBuffers)
        std::vector<std::uint8_t>().swap(buffer);
    std::vector<double>().swap(Samples);
    std::vector<double>().swap(Magnitudes);
    // Settings never read (a device could not be made) are not written over the user's file.
    if (!IniFile || !FSettingsLoaded)
        return;
    ReadControls();
    SaveSettings();
    IniFile.reset();
}

// ---- the window's handlers

void TfMainForm::ShowStateHint() {
    QStringList hints;
    if (FInputDead)
        hints << QString::fromUtf8(DeadInputHint);
    else if (const QString sources = SourceHint(); !sources.isEmpty())
        hints << sources;
    if (Transmitter && !Transmitter->on())
        hints << QString::fromUtf8(control::TransmitterOffText);
    lblState->setToolTip(hints.join('\n'));
}

void TfMainForm::Notice(const std::string& Text) {
    if (OnNotice)
        OnNotice(Text);
}

void TfMainForm::TransmitterChanged(bool On) {
    ShowStateHint();
    Notice(On ? "передатчик включён" : control::TransmitterOffText);
    if (!On && Player->Active()) {
        Station->release();
        Player->Stop();
        ClearBlocks();
    }
}

void TfMainForm::cbModeChange() {
    if (cbMode->currentIndex() < 0 || Player->Active() || Recorder->Active()) {
        btnStart->setEnabled(false);
        btnTest->setEnabled(false);
        return;
    }
    const auto format = static_cast<TWaveFormat>(cbMode->currentData().toInt());
    Recorder->SetFormat(format);
    Player->SetFormat(Recorder->Format());
    // The buffer size was checked in the format of its day; in this one a buffer may end inside
    // a frame, which drops or swaps samples in every replay.
    // A keying tone at half the rate samples its zero crossings: silence, nothing keyed.
    const std::string bufferSize = std::to_string(BufferSize);
    const std::string frequency = SysUtils::FloatToStr(ControlFrequency);
    const auto& mode = Info(Recorder->Format());
    try {
        Keyed(*IniFile, SectionOptions, "BufferSize", bufferSize,
              [&] { Recorder->CheckBufferSize(BufferSize); });
        if (BufferSize > LargestBuffer(Recorder->Format()))
            throw SysUtils::Exception(Origin(*IniFile, SectionOptions, "BufferSize", bufferSize) +
                                      "a buffer may hold at most one second of audio: " +
                                      std::to_string(LargestBuffer(Recorder->Format())) +
                                      " bytes in " + cbMode->currentText().toStdString());
        if (!(2.0 * ControlFrequency < mode.SampleRate))
            throw SysUtils::Exception(
                Origin(*IniFile, SectionOptions, "ControlFrequency", frequency) +
                "Invalid frequency: the keying tone must be below half "
                "the sample rate (" +
                std::to_string(mode.SampleRate / 2) + " Hz)");
    } catch (...) {
        btnStart->setEnabled(false);
        btnTest->setEnabled(false);
        throw;
    }
    Generator->SetFormat(FindFormat(Recorder->Format(), 1));
    const int full = FullScale(Recorder->Format());
    gLevel0->SetMaxValue(full);
    gLevel1->SetMaxValue(full);
    btnStart->setEnabled(true);
    btnTest->setEnabled(true);
}

void TfMainForm::cbChannelChange(QComboBox* Sender) {
    if (Sender->currentIndex() < 0 || Sender->currentIndex() > 1)
        Sender->setCurrentIndex(0);
}

void TfMainForm::edSquelchKeyPress(QWidget*, char16_t& Key) {
    if ((Key >= u'0' && Key <= u'9') || Key == u'.')
        return;
    Key = 0;
    Forms::Beep();
}

bool TfMainForm::SquelchTextFits() const {
    double value;
    if (!SysUtils::TryStrToFloat(edSquelch->text().toStdString(), value))
        value = -1;
    return value > 0.0 && value < 1.0;
}

void TfMainForm::edSquelchExit(QWidget*) {
    FSquelchRefusalPending = false; // the box is modal: no click reaches a button behind it
    if (!SquelchTextFits()) {
        Forms::MessageBox(this, "Ошибка",
                          "Значением этого поля должно быть вещественное число больше нуля и "
                          "меньше единицы!");
        edSquelch->setFocus();
    }
}

} // namespace uMain
