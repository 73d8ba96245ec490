#include "app/Program.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sndfile.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "app/Calibrate.h"
#include "app/SettingsFile.h"
#include "app/uMain.h"
#include "control/DtmfControl.h"
#include "control/Totp.h"
#include "control/TransmitterSwitch.h"
#include "platform/MMSystem.h"
#include "platform/PaBackend.h"
#include "platform/SimCard.h"
#include "platform/WaveCore.h"
#include "platform/Windows.h"
#include "remote/Accounts.h"
#include "remote/WebSettings.h"
#include "squelch/Settings.h"
#include "station/Cos.h"
#include "station/Dtmf.h"
#include "station/Station.h"
#include "toolkit/Forms.h"
#include "toolkit/IniFiles.h"
#include "toolkit/SectionReader.h"
#include "toolkit/SysUtils.h"
#include "toolkit/TerminationSignals.h"
#include "wave/WaveDevice.h"

namespace Program {
namespace {

std::string FormatList(MMSystem::DWORD Mask) {
    using namespace WaveDefs;
    const TWaveFormats formats = TWaveDevice::CapsToFormats(Mask);
    std::string text;
    for (int value = 1; value < WaveFormatCount; ++value) {
        const auto format = static_cast<TWaveFormat>(value);
        if (!formats.Contains(format))
            continue;
        const WaveFormatInfo& info = Info(format);
        if (!text.empty())
            text += ", ";
        text += std::to_string(info.SampleRate) + " Hz " + std::to_string(info.BitsPerSample) +
                " bit " + (info.Channels == 2 ? "stereo" : "mono");
    }
    if (formats.Mask() == TWaveDevice::CapsToFormats(MMSystem::WAVE_FORMAT_ALL_STANDARD).Mask())
        return "every standard format (11025 to 96000 Hz, 8 and 16 bit, mono and stereo)";
    return text.empty() ? "no standard format" : text;
}

// One direction's devices: the mapper (-1) first, then each numbered device, by the names the
// sound system gives them (with the host API, where there is one).
template <class TCaps>
void ListDirection(const char* Title, WaveCore::TDirection Direction, MMSystem::UINT Count,
                   MMSystem::MMRESULT (*GetCaps)(MMSystem::UINT, TCaps*, MMSystem::UINT)) {
    std::cout << Title << "\n";
    for (MMSystem::UINT id = MMSystem::WAVE_MAPPER; id == MMSystem::WAVE_MAPPER || id < Count;
         ++id) {
        TCaps caps;
        const bool known = GetCaps(id, &caps, sizeof caps) == MMSystem::MMSYSERR_NOERROR;
        std::printf("  %2d  %s%s\n      %s\n", static_cast<int>(id),
                    id == MMSystem::WAVE_MAPPER ? "default: " : "",
                    known ? WaveCore::TWaveCore::Instance().DeviceName(Direction, id).c_str()
                          : "(unreadable)",
                    known ? FormatList(caps.dwFormats).c_str() : "");
        if (id == MMSystem::WAVE_MAPPER && Count == 0)
            break;
    }
}

// The sound modes of the devices the settings file chooses, by their positions in the window's
// list.
void ListModes(const std::string& Ini) {
    std::int32_t recId = -1, playId = -1;
    std::string recName, playName;
    const IniFiles::TIniFile file(Ini);
    settings::SectionReader options(file, "Options", settings::Ownership::Shared,
                                    settings::Refusal::UseDefault);
    options.read(
        {settings::integer("RecDeviceID", recId), settings::integer("PlayDeviceID", playId),
         settings::text("RecDeviceName", recName), settings::text("PlayDeviceName", playName)});
    MMSystem::UINT capture, playback;
    try {
        using WaveCore::TDirection;
        capture = uMain::ChosenDevice(TDirection::Capture, recId, recName, "RecDeviceName");
        playback = uMain::ChosenDevice(TDirection::Playback, playId, playName, "PlayDeviceName");
    } catch (const SysUtils::Exception& e) {
        std::cout << std::flush;
        std::cerr << "quorim: " << e.Message() << std::endl;
        return;
    }
    MMSystem::WAVEINCAPSW in{};
    MMSystem::WAVEOUTCAPSW out{};
    const bool known =
        MMSystem::waveInGetDevCapsW(capture, &in, sizeof in) == MMSystem::MMSYSERR_NOERROR &&
        MMSystem::waveOutGetDevCapsW(playback, &out, sizeof out) == MMSystem::MMSYSERR_NOERROR;
    const auto modes = known
                           ? uMain::SoundModes(WaveDefs::TWaveDevice::CapsToFormats(in.dwFormats),
                                               WaveDefs::TWaveDevice::CapsToFormats(out.dwFormats))
                           : std::vector<uMain::TSoundMode>{};
    std::printf("Sound modes of capture device %d and playback device %d (SoundMode, or "
                "SoundModeName):\n",
                static_cast<int>(capture), static_cast<int>(playback));
    for (std::size_t i = 0; i < modes.size(); ++i)
        std::printf("  %2zu  %s\n", i, modes[i].Name.c_str());
    if (modes.empty())
        std::printf("      none: the two devices have no stereo mode in common\n");
}

void ListDevices(const std::string& Ini) {
    ListDirection("Capture devices (RecDeviceID):", WaveCore::TDirection::Capture,
                  MMSystem::waveInGetNumDevs(), &MMSystem::waveInGetDevCapsW);
    ListDirection("Playback devices (PlayDeviceID):", WaveCore::TDirection::Playback,
                  MMSystem::waveOutGetNumDevs(), &MMSystem::waveOutGetDevCapsW);
    ListModes(Ini);
    std::cout << std::flush;
}

// A run on a recording names and stamps its overs on the recording's timeline: the run's start
// plus the over's place in the input, however fast the simulated card runs.
void FollowTheInput(uMain::TfMainForm& Form, SimCard::TSimCard& Card) {
    using namespace std::chrono;
    const auto start =
        system_clock::now() - duration_cast<system_clock::duration>(nanoseconds(Card.Now()));
    Form.Station->wallClock = [start, &Card] {
        return start + duration_cast<system_clock::duration>(nanoseconds(Card.Now()));
    };
}

// Starts the repeater as if Start (or Test) were pressed and logs each new state text with the
// clock time, until the simulated input is exhausted or a termination signal arrives.
int RunHeadless(const TOptions& Options, SimCard::TSimCard* Card,
                toolkit::TerminationSignals& Termination,
                std::function<std::uint64_t()> LostAudio) {
    bool interrupted = false;
    Termination.watch([&](int) { interrupted = true; });
    struct TUnwatch {
        toolkit::TerminationSignals& Signals;
        ~TUnwatch() { Signals.watch({}); }
    } unwatch{Termination};
    bool failed = false;
    // A failure may reach both the error box and the check below: it is said once.
    std::string said;
    auto say = [&](const std::string& Message) {
        if (Message != said)
            std::cerr << "quorim: " << Message << std::endl;
        said = Message;
    };
    Forms::TScopedUserNotices notices({
        .OnException =
            [&](const std::string& Message) {
                say(Message);
                failed = true;
            },
        .OnMessageBox =
            [&](const std::string& Title, const std::string& Text) {
                std::cerr << "quorim: " << Title << ": " << Text << std::endl;
                failed = true;
            },
        .OnBeep = [] {},
        .OnWarning = [](const std::string& Message) { Forms::PrintLines(std::cerr, Message); },
    });

    const std::int64_t origin = Windows::ClockNs();
    std::string last;
    auto log = [&](const std::string& Text) {
        if (Text == last)
            return;
        last = Text;
        std::printf("%.3f %s\n", static_cast<double>(Windows::ClockNs() - origin) / 1e9,
                    Text.c_str());
        std::fflush(stdout);
    };
    auto form = std::make_unique<uMain::TfMainForm>(Options.Ini);
    form->LostAudio = LostAudio;
    if (Card != nullptr && !Options.Input.empty())
        FollowTheInput(*form, *Card);
    form->OnStateText = log;
    form->OnNotice = [](const std::string& Text) { std::cerr << "quorim: " << Text << std::endl; };
    if (!form->StateText().empty())
        log(form->StateText());

    if (!failed && !form->btnStart->isEnabled()) {
        std::cerr << "quorim: no sound mode is available or selected, so the repeater cannot start"
                  << std::endl;
        failed = true;
    }
    if (!failed)
        Forms::Guarded([&] { Options.Test ? form->btnTestClick() : form->btnStartClick(); });

    if (!failed) {
        auto finished = [&] {
            if (interrupted)
                return true;
            // What is transmitted is the run's result: one that cannot be kept ends it.
            if (Card != nullptr) {
                if (const std::string problem = Card->OutputProblem(); !problem.empty()) {
                    say(problem);
                    failed = true;
                    return true;
                }
            }
            // A device the sound system lost stops itself with the system's words, and the
            // controller tells it; a capture device that stopped is told here if that has not
            // happened yet. A service manager restarts a run that ends with status 1.
            if (!form->Recorder->Active()) {
                // A failure the controller told (a playback device, the watchdog) has stopped
                // capture too: it is not told again as capture's.
                const std::string& why = form->Recorder->StopReason();
                if (!failed || !why.empty())
                    say(why.empty() ? "the capture device stopped"
                                    : "the capture device failed: " + why);
                failed = true;
                return true;
            }
            // A replay under way is heard to its end; a recording of what follows the input is not.
            return Card != nullptr && Card->InputExhausted() && !form->Player->Active();
        };
        Forms::RunUntil(finished, 100);
    }
    form.reset(); // stops the devices and writes the settings, as a closing window does
    if (Card != nullptr) {
        Card->FinishOutput();
        if (const std::string problem = Card->OutputProblem(); !problem.empty()) {
            say(problem);
            failed = true;
        }
    }
    return failed ? 1 : 0;
}

// Without a window, Qt's remarks about the desktop it lacks (no runtime folder under a service,
// an offscreen window that cannot be raised) would land in the journal beside the program's own
// errors; they say nothing about the station and are left out. Everything else Qt says passes.
QtMessageHandler QtSays = nullptr;

void QuietenQtWithoutAWindow() {
    QtSays = qInstallMessageHandler(
        [](QtMsgType Type, const QMessageLogContext& Context, const QString& Message) {
            if (Message.startsWith("QStandardPaths: XDG_RUNTIME_DIR not set") ||
                Message.startsWith("This plugin does not support raise()"))
                return;
            if (QtSays != nullptr)
                QtSays(Type, Context, Message);
            else
                std::cerr << qFormatLogMessage(Type, Context, Message).toStdString() << std::endl;
        });
}

bool HasDisplay() {
    return std::getenv("QT_QPA_PLATFORM") != nullptr || std::getenv("DISPLAY") != nullptr ||
           std::getenv("WAYLAND_DISPLAY") != nullptr;
}

// A run without a window has no one watching the meters: say when the sound card lost audio.
void ReportLosses(const PaBackend::TStatistics& S) {
    if (S.LostCaptureBytes == 0 && S.Overflows == 0 && S.Underflows == 0)
        return;
    std::cerr << "quorim: audio was lost: " << S.LostCaptureBytes
              << " captured bytes found no free buffer, " << S.Overflows << " input overflows and "
              << S.Underflows << " output underflows" << std::endl;
}

// Every option, in the order --help lists them.
struct TOptionSet {
    QCommandLineOption Input{"input", "use the simulated sound card; its receiver plays FILE",
                             "FILE.wav"};
    QCommandLineOption Output{
        "output", "use the simulated sound card; what it transmits goes to FILE", "FILE.wav"};
    QCommandLineOption Headless{
        "headless", "no window: start at once and print each new state as 'SECONDS STATE'; "
                    "ends when the input file is exhausted, or on Ctrl+C (SIGINT) or SIGTERM "
                    "with a real sound card"};
    QCommandLineOption Test{"test", "with --headless: run the squelch test instead of the "
                                    "repeater"};
    QCommandLineOption Fast{"fast", "simulated card: run as fast as possible (default when "
                                    "headless)"};
    QCommandLineOption RealTime{"realtime", "simulated card: run at the pace of the clock "
                                            "(default with a window)"};
    QCommandLineOption Ini{"ini",
                           "the settings file to use instead of the default one (see "
                           "below)",
                           "FILE"};
    QCommandLineOption ListDevices{
        "list-devices", "list the capture and playback devices by the numbers the settings "
                        "RecDeviceID and PlayDeviceID use, and the settings file, and exit"};
    QCommandLineOption PttTest{"ptt-test", "key the PTT line of the settings' [Station] section "
                                           "for one second, and exit"};
    QCommandLineOption PttRelease{"ptt-release",
                                  "release the PTT line of the settings' [Station] section, and "
                                  "exit (the services run it whenever the program stops)"};
    QCommandLineOption CosTest{"cos-test", "print the state of the COS line of the settings' "
                                           "[Squelch] section ten times a second for ten "
                                           "seconds, and exit"};
    QCommandLineOption Dtmf{"dtmf",
                            "print the DTMF digits found in a recording, each with its time, "
                            "and exit",
                            "FILE.wav"};
    QCommandLineOption TotpSetup{
        "totp-setup", "make a new secret for time-based codes over the air, write it to the file "
                      "[Control] TotpSecretFile names (readable by its owner only), print it "
                      "for an authenticator app, and exit"};
    QCommandLineOption Calibrate{
        "calibrate", "measure the squelch on the control channel without and then with a "
                     "carrier, propose a SquelchLevel between them, and exit"};
    QCommandLineOption Seconds{"seconds", "with --calibrate: seconds each phase lasts (default 10)",
                               "N"};
    QCommandLineOption Write{"write",
                             "with --calibrate: write the proposed level to the settings file"};
    QCommandLineOption Noise{
        "noise", "with --calibrate: the receiver without a carrier, from a file", "FILE.wav"};
    QCommandLineOption Carrier{"carrier",
                               "with --noise: the receiver with a carrier, from a file "
                               "(--input FILE instead gives both phases as two stretches of "
                               "one file)",
                               "FILE.wav"};
    QCommandLineOption Transmitter{
        "transmitter",
        "switch the station's transmitter on or off (kept beside the settings "
        "file, as quorim.state; while off the station records and archives but "
        "never transmits), and exit",
        "on|off"};
    QCommandLineOption AddAccount{
        "add-account",
        "add an account to the web page's accounts file ([Web] Accounts): asks "
        "for its password twice, or reads one line when standard input is not "
        "a terminal; and exit",
        "NAME"};
    QCommandLineOption Role{"role",
                            "with --add-account: control (may switch the transmitter and "
                            "give commands) or guest (sees the state and the overs)",
                            "ROLE"};
    QCommandLineOption RemoveAccount{"remove-account",
                                     "remove an account from the web page's "
                                     "accounts file, and exit",
                                     "NAME"};
    QCommandLineOption Version{"version", "print the version and exit"};
    QCommandLineOption Help{{"h", "help"}, "show this text and exit"};

    void AddTo(QCommandLineParser& Parser) const {
        Parser.setApplicationDescription(
            "A sound-card parrot repeater: records what the receiver hears while a signal lasts\n"
            "and replays it through the transmitter, keyed by a tone on the control channel.\n"
            "\n"
            "Without options the window opens on the system's sound devices.");
        for (const auto* option :
             {&Input,       &Output,      &Headless, &Test,          &Fast,    &RealTime,
              &Ini,         &ListDevices, &PttTest,  &PttRelease,    &CosTest, &Dtmf,
              &TotpSetup,   &Calibrate,   &Seconds,  &Write,         &Noise,   &Carrier,
              &Transmitter, &AddAccount,  &Role,     &RemoveAccount, &Version, &Help})
            Parser.addOption(*option);
    }
};

// QCommandLineParser also takes what quorim refuses (a bare word, "--", an empty file name),
// and words its refusals its own way: this names the first argument at fault as quorim always
// has, in the order given.
std::optional<std::string> FirstFault(const TOptionSet& Set,
                                      const std::vector<std::string>& Arguments) {
    auto isOneOf = [](const std::string& Name,
                      std::initializer_list<const QCommandLineOption*> Options) {
        for (const auto* option : Options)
            if (option->names().contains(QString::fromStdString(Name)))
                return true;
        return false;
    };
    auto takesFile = [&](const std::string& Name) {
        return isOneOf(Name,
                       {&Set.Input, &Set.Output, &Set.Ini, &Set.Noise, &Set.Carrier, &Set.Dtmf});
    };
    auto isFlag = [&](const std::string& Name) {
        return isOneOf(Name, {&Set.Headless, &Set.Test, &Set.Fast, &Set.RealTime, &Set.ListDevices,
                              &Set.PttTest, &Set.PttRelease, &Set.CosTest, &Set.TotpSetup,
                              &Set.Calibrate, &Set.Write, &Set.Version, &Set.Help});
    };
    for (std::size_t i = 0; i < Arguments.size(); ++i) {
        const std::string& arg = Arguments[i];
        const std::string unknown = "unknown option '" + arg + "'";
        if (arg.size() > 2 && arg.starts_with("--")) {
            const std::size_t equals = arg.find('=');
            const bool inlineValue = equals != std::string::npos;
            const std::string name = arg.substr(2, inlineValue ? equals - 2 : std::string::npos);
            if (name == "seconds") {
                if (inlineValue ? equals + 1 == arg.size() : i + 1 >= Arguments.size())
                    return "option --seconds needs a number";
                i += inlineValue ? 0 : 1;
            } else if (name == "add-account" || name == "remove-account" || name == "role") {
                if (inlineValue ? equals + 1 == arg.size()
                                : i + 1 >= Arguments.size() || Arguments[i + 1].empty())
                    return "option --" + name + " needs a value";
                i += inlineValue ? 0 : 1;
            } else if (name == "transmitter") {
                const std::string value = inlineValue                ? arg.substr(equals + 1)
                                          : i + 1 < Arguments.size() ? Arguments[i + 1]
                                                                     : std::string();
                if (value != "on" && value != "off")
                    return "option --transmitter needs on or off";
                i += inlineValue ? 0 : 1;
            } else if (takesFile(name)) {
                if (inlineValue ? equals + 1 == arg.size()
                                : i + 1 >= Arguments.size() || Arguments[i + 1].empty())
                    return "option --" + name + " needs a file name";
                i += inlineValue ? 0 : 1;
            } else if (!isFlag(name) || inlineValue) {
                return unknown;
            }
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
            for (char letter : arg.substr(1))
                if (!isFlag(std::string(1, letter)))
                    return unknown;
        } else {
            return unknown;
        }
    }
    return std::nullopt;
}

// Stores the transmitter switch for the station whose settings file is Ini.
int SetTransmitter(const std::string& Ini, bool On) {
    try {
        control::TransmitterSwitch transmitter(control::stateFileFor(
            Ini.empty() ? settings_file::defaultPath(settings_file::Environment::ofThisProcess())
                        : std::filesystem::path(Ini)));
        transmitter.set(On);
        std::cout << (On ? "transmitter on" : control::TransmitterOffText) << " ("
                  << transmitter.stateFile().string() << ")" << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "quorim: " << e.what() << std::endl;
        return 1;
    }
}

// Keys the PTT line the settings file names for one second, so that the wiring can be checked;
// or, with Key false, only releases it (after a crash, or before a service starts again).
// The COS line's state, ten times a second for ten seconds, to check its wiring and polarity.
int TestCos(const std::string& Ini, toolkit::TerminationSignals& Termination) {
    try {
        const IniFiles::TIniFile ini(Ini.empty() ? uMain::DefaultIniPath() : Ini);
        squelch::Settings settings;
        std::vector<std::string> notices;
        squelch::readSettings(ini, settings, notices);
        for (const std::string& notice : notices)
            std::cerr << "quorim: " << notice << std::endl;
        if (!settings.uses(squelch::Source::cos)) {
            std::cerr << "quorim: no COS line is set: Source in [Squelch] does not name cos"
                      << std::endl;
            return 1;
        }
        auto line = station::openCos(settings.cos);
        std::cout << "the COS line " << settings.cos.device << " ("
                  << station::pinName(settings.cos) << (settings.cos.invert ? ", inverted" : "")
                  << "), ten times a second:" << std::endl;
        bool stop = false;
        Termination.watch([&](int) { stop = true; });
        for (int i = 0; i < 100 && !stop; ++i) {
            std::printf("%4.1f %s\n", i / 10.0, line->carrier() ? "carrier" : "no carrier");
            std::fflush(stdout);
            Windows::Sleep(100);
            QCoreApplication::processEvents();
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "quorim: " << e.what() << std::endl;
        return 1;
    }
}

int SetPtt(const std::string& Ini, bool Key, toolkit::TerminationSignals& Termination) {
    try {
        const IniFiles::TIniFile ini(Ini.empty() ? uMain::DefaultIniPath() : Ini);
        std::vector<std::string> notices;
        const station::Settings settings = station::readSettings(ini, &notices);
        for (const std::string& notice : notices)
            std::cerr << "quorim: " << notice << std::endl;
        auto line = station::openPtt(settings);
        if (!line) {
            if (!Key) {
                std::cout << "no PTT line is set (PttType in [Station] is none): nothing to release"
                          << std::endl;
                return 0;
            }
            std::cerr << "quorim: no PTT line is set: PttType in [Station] is none" << std::endl;
            return 1;
        }
        if (Key) {
            std::cout << "keying the PTT (" << settings.pttDevice << ") for one second"
                      << std::endl;
            bool interrupted = false;
            Termination.watch([&](int) { interrupted = true; });
            const std::int64_t until = Windows::ClockNs() + 1'000'000'000;
            line->set(true);
            Forms::RunUntil([&] { return interrupted || Windows::ClockNs() >= until; }, 20);
            Termination.watch({});
        }
        line->set(false);
        std::cout << "released (" << settings.pttDevice << ")" << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "quorim: " << e.what() << std::endl;
        return 1;
    }
}

// The DTMF digits of each channel of a recording, as the station's receiver hears them.
int PrintDtmf(const std::string& Path) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(sf_open(Path.c_str(), SFM_READ, &info),
                                                     &sf_close);
    if (!file) {
        std::cerr << "quorim: " << Path << " cannot be read: " << sf_strerror(nullptr) << std::endl;
        return 1;
    }
    constexpr std::size_t Chunk = 4096;
    const auto channels = static_cast<std::size_t>(info.channels);
    std::vector<std::unique_ptr<station::DtmfReceiver>> receivers;
    for (std::size_t c = 0; c < channels; ++c)
        receivers.push_back(std::make_unique<station::DtmfReceiver>(
            static_cast<std::uint32_t>(info.samplerate), Chunk));
    struct Found {
        double at;
        char digit;
        std::size_t channel;
    };
    std::vector<Found> found;
    auto collect = [&](std::size_t C) {
        for (const auto& d : receivers[C]->digits())
            found.push_back({d.at, d.digit, C});
        receivers[C]->clearDigits();
    };
    std::vector<double> frames(Chunk * channels), one(Chunk);
    for (sf_count_t n; (n = sf_readf_double(file.get(), frames.data(), Chunk)) > 0;)
        for (std::size_t c = 0; c < channels; ++c) {
            one.resize(static_cast<std::size_t>(n));
            for (std::size_t f = 0; f < one.size(); ++f)
                one[f] = frames[f * channels + c];
            receivers[c]->push(one);
            collect(c);
        }
    for (std::size_t c = 0; c < channels; ++c) {
        receivers[c]->finish();
        collect(c);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& a, const Found& b) { return a.at < b.at; });
    for (const Found& f : found)
        std::printf("%.3f %c%s\n", f.at, f.digit,
                    channels != 2    ? ""
                    : f.channel == 0 ? " left"
                                     : " right");
    if (found.empty())
        std::cerr << "quorim: no DTMF digits in " << Path << std::endl;
    return 0;
}

// A new TOTP secret where [Control] TotpSecretFile says, shown as an authenticator app takes
// it.
int SetUpTotp(const std::string& Ini) {
    try {
        const std::filesystem::path settings = Ini.empty() ? uMain::DefaultIniPath() : Ini;
        const IniFiles::TIniFile ini(settings.string());
        const auto control = control::readDtmfSettings(ini);
        if (control.totpSecretFile.empty()) {
            std::cerr << "quorim: " << settings.string()
                      << " names no secret file: add TotpSecretFile=quorim-totp to its [Control] "
                         "section and run --totp-setup again"
                      << std::endl;
            return 1;
        }
        const std::string secret = control::newTotpSecret();
        control::writeTotpSecret(control.totpSecretFile, secret);
        const station::Settings station = station::readSettings(ini);
        const std::string account = station.callsign.empty() ? "station" : station.callsign;
        std::cout << "A new secret is in " << control.totpSecretFile.string()
                  << " (readable by its owner only).\n"
                     "Add it to an authenticator app (time-based, 6 digits, 30 s, SHA-1), from "
                     "this link (or a QR code made of it):\n  "
                  << control::otpauthUri(secret, account) << "\nor typed in as the key:\n  "
                  << secret << "\nThe repeater reads it when it starts; restart a running one.\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "quorim: " << e.what() << std::endl;
        return 1;
    }
}

} // namespace

std::string UsageText() {
    QCommandLineParser parser;
    TOptionSet().AddTo(parser);
    QString text = parser.helpText();
    // Qt names the program by the path it was started with; the usage line names the command.
    text = "Usage: quorim [options]" + text.mid(text.indexOf('\n'));
    const auto settings = settings_file::defaultPath(settings_file::Environment::ofThisProcess());
    return text.toStdString() +
           "\n"
           "Settings are read from the --ini file, or else from quorim.ini beside the program\n"
           "when it is there or that folder is writable, or else from\n"
           "$XDG_CONFIG_HOME/quorim/quorim.ini (~/.config/quorim/quorim.ini). Without --ini\n"
           "this run uses " +
           settings.string() + "\n";
}

TOptions ParseOptions(const std::vector<std::string>& Arguments) {
    const TOptionSet set;
    QCommandLineParser parser;
    set.AddTo(parser);
    QStringList arguments{"quorim"};
    for (const std::string& argument : Arguments)
        arguments << QString::fromStdString(argument);
    const bool parsed = parser.parse(arguments);
    if (const auto fault = FirstFault(set, Arguments))
        throw EUsage(*fault);
    if (!parsed)
        throw EUsage(parser.errorText().toStdString());

    TOptions options;
    options.Input = parser.value(set.Input).toStdString();
    options.Output = parser.value(set.Output).toStdString();
    options.Ini = parser.value(set.Ini).toStdString();
    options.Headless = parser.isSet(set.Headless);
    options.Test = parser.isSet(set.Test);
    options.ListDevices = parser.isSet(set.ListDevices);
    options.PttTest = parser.isSet(set.PttTest);
    options.PttRelease = parser.isSet(set.PttRelease);
    options.CosTest = parser.isSet(set.CosTest);
    options.Dtmf = parser.value(set.Dtmf).toStdString();
    options.TotpSetup = parser.isSet(set.TotpSetup);
    options.Version = parser.isSet(set.Version);
    options.Help = parser.isSet(set.Help);
    options.Calibrate = parser.isSet(set.Calibrate);
    options.Write = parser.isSet(set.Write);
    options.Noise = parser.value(set.Noise).toStdString();
    options.Carrier = parser.value(set.Carrier).toStdString();
    options.AddAccount = parser.value(set.AddAccount).toStdString();
    options.RemoveAccount = parser.value(set.RemoveAccount).toStdString();
    options.Role = parser.value(set.Role).toStdString();
    if (!options.AddAccount.empty() && options.Role.empty())
        throw EUsage("--add-account needs --role control or --role guest");
    if (!options.Role.empty() && options.AddAccount.empty())
        throw EUsage("--role goes with --add-account");
    if (parser.isSet(set.Transmitter))
        options.Transmitter = parser.value(set.Transmitter) == "on";
    if (parser.isSet(set.Seconds)) {
        const std::string text = parser.value(set.Seconds).toStdString();
        unsigned n = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
            n < calibrate::minSeconds || n > calibrate::maxSeconds)
            throw EUsage("option --seconds needs a whole number of seconds from " +
                         std::to_string(calibrate::minSeconds) + " to " +
                         std::to_string(calibrate::maxSeconds));
        options.Seconds = n;
    }
    // The last clock option given wins.
    for (const QString& name : parser.optionNames()) {
        if (name == "fast")
            options.Clock = TClockChoice::Fast;
        else if (name == "realtime")
            options.Clock = TClockChoice::RealTime;
    }
    if (options.Test && !options.Headless)
        throw EUsage("--test goes with --headless (in the window, press Тест)");
    if ((options.Seconds || options.Write || !options.Noise.empty() || !options.Carrier.empty()) &&
        !options.Calibrate)
        throw EUsage("--seconds, --write, --noise and --carrier go with --calibrate");
    if (options.Calibrate && (options.Headless || options.ListDevices || !options.Output.empty()))
        throw EUsage("--calibrate goes without --headless, --list-devices and --output");
    if (options.Noise.empty() != options.Carrier.empty() ||
        (!options.Noise.empty() && !options.Input.empty()))
        throw EUsage("give --noise and --carrier together, or --input alone");
    if (options.Transmitter && (options.Headless || options.Calibrate || options.ListDevices ||
                                options.PttTest || options.Simulated()))
        throw EUsage("--transmitter goes alone, or with --ini");
    if (options.Clock != TClockChoice::Default && !options.Simulated())
        throw EUsage(
            "--fast and --realtime choose the simulated card's clock: give --input or --output");
    // Without a receiver the simulated card captures silence, which scheme A takes for a
    // carrier: every cycle would be recorded and transmitted until the disk is full.
    if (!options.Output.empty() && options.Input.empty() && !options.ListDevices &&
        !options.PttTest)
        throw EUsage("--output needs --input: without a receiver there is nothing to repeat");
    // The transmitter's file would be written over the receiver's while it is being read.
    std::error_code ignored;
    if (!options.Output.empty() && !options.Input.empty() &&
        std::filesystem::equivalent(options.Input, options.Output, ignored))
        throw EUsage("--output names the --input file: it would be overwritten");
    return options;
}

int Run(int argc, char** argv) {
    TOptions options;
    try {
        options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const EUsage& e) {
        std::cerr << "quorim: " << e.what() << "\nTry 'quorim --help'." << std::endl;
        return 2;
    }
    if (options.Help) {
        std::cout << UsageText();
        return 0;
    }
    if (options.Version) {
        std::cout << "quorim " QUORIM_VERSION "\n";
        return 0;
    }
    if (options.Transmitter)
        return SetTransmitter(options.Ini, *options.Transmitter);
    // A settings file that is there but cannot be read would pass for one with every default;
    // the window and a headless run refuse it as their start-up fails.
    if (!options.AddAccount.empty() || !options.RemoveAccount.empty() || options.TotpSetup ||
        options.Calibrate || options.PttTest || options.PttRelease || options.CosTest ||
        options.ListDevices) {
        const std::string ini =
            !options.Ini.empty()
                ? options.Ini
                : settings_file::defaultPath(settings_file::Environment::ofThisProcess()).string();
        if (const std::string problem = IniFiles::TIniFile(ini).ReadProblem(); !problem.empty()) {
            std::cerr << "quorim: " << settings::at(ini, 0)
                      << "the settings file cannot be read: " << problem << std::endl;
            return 1;
        }
    }
    if (!options.AddAccount.empty() || !options.RemoveAccount.empty()) {
        std::filesystem::path accounts;
        try {
            const std::filesystem::path ini =
                options.Ini.empty()
                    ? settings_file::defaultPath(settings_file::Environment::ofThisProcess())
                    : std::filesystem::path(options.Ini);
            accounts = remote::readWebSettings(IniFiles::TIniFile(ini.string()), ini).accounts;
        } catch (const std::exception& e) {
            std::cerr << "quorim: " << e.what() << std::endl;
            return 2;
        }
        return options.AddAccount.empty()
                   ? remote::removeAccountCommand(accounts, options.RemoveAccount)
                   : remote::addAccountCommand(accounts, options.AddAccount, options.Role);
    }
    if (!options.Dtmf.empty())
        return PrintDtmf(options.Dtmf);
    if (options.TotpSetup)
        return SetUpTotp(options.Ini);
    if (options.Headless || options.ListDevices || options.Calibrate || options.PttTest ||
        options.PttRelease || options.CosTest) {
        if (std::getenv("QT_QPA_PLATFORM") == nullptr)
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        QuietenQtWithoutAWindow();
    } else if (!HasDisplay()) {
        std::cerr << "quorim: there is no display to open the window on; run it with --headless"
                     " (see --help)"
                  << std::endl;
        return 2;
    }

    Forms::TApplication app(argc, argv);
    QCoreApplication::setApplicationName("Quorim");
    // One handler of termination signals for every way the program runs: each ends as its user
    // would end it, with the transmitter released. A signal that comes before a way watches
    // waits for it.
    toolkit::TerminationSignals termination;
    if (options.Calibrate) {
        bool interrupted = false;
        termination.watch([&](int) { interrupted = true; });
        return calibrate::run({options.Ini, options.Seconds.value_or(10), options.Write,
                               options.Input, options.Noise, options.Carrier,
                               options.Clock == TClockChoice::RealTime,
                               [&] { return interrupted; }});
    }
    if (options.PttTest || options.PttRelease)
        return SetPtt(options.Ini, options.PttTest, termination);
    if (options.CosTest)
        return TestCos(options.Ini, termination);

    std::unique_ptr<SimCard::TInstalledCard> card;
    std::unique_ptr<PaBackend::TInstalledPortAudio> soundCards;
    if (!options.Simulated()) {
        soundCards = std::make_unique<PaBackend::TInstalledPortAudio>();
        // Without PortAudio there are simply no devices; the window says so when started.
        if (!soundCards->Backend().InitError().empty())
            std::cerr << "quorim: " << soundCards->Backend().InitError() << std::endl;
    } else {
        SimCard::TConfig config;
        const bool fast = options.Clock == TClockChoice::Fast ||
                          (options.Clock == TClockChoice::Default && options.Headless);
        config.Clock = fast ? SimCard::TClockMode::Fast : SimCard::TClockMode::RealTime;
        config.Capture[0].InputFile = options.Input;
        config.Playback[0].OutputFile = options.Output;
        config.Playback[0].KeepLog = false;
        try {
            card = std::make_unique<SimCard::TInstalledCard>(config);
        } catch (const std::exception& e) {
            std::cerr << "quorim: " << e.what() << std::endl;
            return 2;
        }
    }

    if (options.ListDevices) {
        if (soundCards)
            soundCards->Backend().ProbeAll();
        const std::string settings =
            !options.Ini.empty()
                ? options.Ini
                : settings_file::defaultPath(settings_file::Environment::ofThisProcess()).string();
        ListDevices(settings);
        std::cout << "Settings file: " << settings << std::endl;
        return 0;
    }
    // What the page and /metrics show as lost audio.
    std::function<std::uint64_t()> lostAudio;
    if (soundCards)
        lostAudio = [backend = &soundCards->Backend()] {
            return backend->LiveStatistics().LostCaptureBytes;
        };
    if (options.Headless) {
        const int status =
            RunHeadless(options, card ? &card->Card() : nullptr, termination, lostAudio);
        if (soundCards)
            ReportLosses(soundCards->Backend().Statistics());
        return status;
    }

    int status;
    {
        // A termination signal closes the window as its close button does. Nobody may be there
        // to answer a message box (a start-up error, a failed write at shutdown), so from the
        // first signal on every box is closed as it opens; one that comes while the window is
        // made closes the window as soon as it stands.
        bool terminating = false;
        QTimer closeBoxes;
        closeBoxes.setInterval(50);
        const auto closeBox = [] {
            if (QWidget* box = QApplication::activeModalWidget())
                box->close();
        };
        QObject::connect(&closeBoxes, &QTimer::timeout, closeBox);
        termination.watch([&](int) {
            terminating = true;
            closeBoxes.start();
            closeBox();
        });
        uMain::TfMainForm form(options.Ini);
        form.LostAudio = lostAudio;
        if (card && !options.Input.empty())
            FollowTheInput(form, card->Card());
        form.show();
        // Once closed, the window is being destroyed: later signals wait out the shutdown.
        termination.watch([&](int) {
            closeBoxes.start();
            closeBox();
            if (form.isVisible())
                form.close();
        });
        if (terminating)
            QTimer::singleShot(0, &form, [&form] { form.close(); });
        status = QApplication::exec();
        termination.watch({});
    }
    if (card) {
        card->Card().FinishOutput();
        if (const std::string problem = card->Card().OutputProblem(); !problem.empty()) {
            std::cerr << "quorim: " << problem << std::endl;
            return 1;
        }
    }
    return status;
}

} // namespace Program
