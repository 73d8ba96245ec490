#include "Program.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include <QAbstractEventDispatcher>
#include <QString>
#include <QTimer>

#include "Forms.h"
#include "MMSystem.h"
#include "PaBackend.h"
#include "SimCard.h"
#include "TerminationSignals.h"
#include "WaveCore.h"
#include "WaveDevice.h"
#include "Windows.h"
#include "uMain.h"

namespace Program {
namespace {

std::atomic<bool> Interrupted{false};

extern "C" void OnTerminationSignal(int) {
    Interrupted = true;
}

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

void ListDevices() {
    ListDirection("Capture devices (RecDeviceID):", WaveCore::TDirection::Capture,
                  MMSystem::waveInGetNumDevs(), &MMSystem::waveInGetDevCapsW);
    ListDirection("Playback devices (PlayDeviceID):", WaveCore::TDirection::Playback,
                  MMSystem::waveOutGetNumDevs(), &MMSystem::waveOutGetDevCapsW);
    std::cout << std::flush;
}

// Starts the repeater as if Start (or Test) were pressed and logs each new state text with the
// clock time, until the simulated input is exhausted or a termination signal arrives.
int RunHeadless(const TOptions& Options, SimCard::TSimCard* Card) {
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
    form->OnStateText = log;
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
        std::signal(SIGINT, OnTerminationSignal);
        std::signal(SIGTERM, OnTerminationSignal);
        auto finished = [&] {
            if (Interrupted)
                return true;
            // A device the sound system lost stops itself with the system's words, and the
            // controller tells it; a capture device that stopped is told here if that has not
            // happened yet. A service manager restarts a run that ends with status 1.
            if (!form->Recorder->Active()) {
                const std::string& why = form->Recorder->StopReason();
                say(why.empty() ? "the capture device stopped"
                                : "the capture device failed: " + why);
                failed = true;
                return true;
            }
            // A replay under way is heard to its end; a recording of what follows the input is not.
            return Card != nullptr && Card->InputExhausted() && !form->Player->Active();
        };
        auto check = [&] {
            if (finished())
                QCoreApplication::exit(0);
        };
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, check);
        poll.start(100);
        QMetaObject::Connection idle;
        if (auto* dispatcher = QAbstractEventDispatcher::instance())
            idle = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, check);
        if (!finished())
            QCoreApplication::exec();
        QObject::disconnect(idle);
    }
    form.reset(); // stops the devices and writes the settings, as a closing window does
    return failed ? 1 : 0;
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

} // namespace

std::string UsageText() {
    return "Usage: quorim [options]\n"
           "A sound-card parrot repeater: records what the receiver hears while a signal lasts\n"
           "and replays it through the transmitter, keyed by a tone on the control channel.\n"
           "\n"
           "Without options the window opens on the system's sound devices.\n"
           "\n"
           "  --input FILE.wav   use the simulated sound card; its receiver plays FILE\n"
           "  --output FILE.wav  use the simulated sound card; what it transmits goes to FILE\n"
           "  --headless         no window: start at once and print each new state as\n"
           "                     'SECONDS STATE'; ends when the input file is exhausted, or\n"
           "                     on Ctrl+C (SIGINT) or SIGTERM with a real sound card\n"
           "  --test             with --headless: run the squelch test instead of the repeater\n"
           "  --fast             simulated card: run as fast as possible (default when headless)\n"
           "  --realtime         simulated card: run at the pace of the clock (default with a\n"
           "                     window)\n"
           "  --ini FILE         the settings file to use instead of the one beside the program\n"
           "  --list-devices     list the capture and playback devices by the numbers the\n"
           "                     settings RecDeviceID and PlayDeviceID use, and exit\n"
           "  --help             show this text and exit\n";
}

TOptions ParseOptions(const std::vector<std::string>& Arguments) {
    TOptions options;
    for (std::size_t i = 0; i < Arguments.size(); ++i) {
        const std::string& arg = Arguments[i];
        auto value = [&](std::string& Into) {
            if (i + 1 >= Arguments.size() || Arguments[i + 1].empty())
                throw EUsage("option " + arg + " needs a file name");
            Into = Arguments[++i];
        };
        if (arg == "--input")
            value(options.Input);
        else if (arg == "--output")
            value(options.Output);
        else if (arg == "--ini")
            value(options.Ini);
        else if (arg == "--headless")
            options.Headless = true;
        else if (arg == "--test")
            options.Test = true;
        else if (arg == "--fast")
            options.Clock = TClockChoice::Fast;
        else if (arg == "--realtime")
            options.Clock = TClockChoice::RealTime;
        else if (arg == "--list-devices")
            options.ListDevices = true;
        else if (arg == "--help" || arg == "-h")
            options.Help = true;
        else
            throw EUsage("unknown option '" + arg + "'");
    }
    if (options.Test && !options.Headless)
        throw EUsage("--test goes with --headless (in the window, press Тест)");
    if (options.Clock != TClockChoice::Default && !options.Simulated())
        throw EUsage(
            "--fast and --realtime choose the simulated card's clock: give --input or --output");
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
    if (options.Headless || options.ListDevices) {
        if (std::getenv("QT_QPA_PLATFORM") == nullptr)
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
    } else if (!HasDisplay()) {
        std::cerr << "quorim: there is no display to open the window on; run it with --headless"
                     " (see --help)"
                  << std::endl;
        return 2;
    }

    Forms::TApplication app(argc, argv);
    QCoreApplication::setApplicationName("Quorim");

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
        ListDevices();
        return 0;
    }
    if (options.Headless) {
        const int status = RunHeadless(options, card ? &card->Card() : nullptr);
        if (soundCards)
            ReportLosses(soundCards->Backend().Statistics());
        return status;
    }

    // A termination signal closes the window as its close button does; one that comes while
    // the window is made waits for it.
    toolkit::TerminationSignals termination;
    uMain::TfMainForm form(options.Ini);
    form.show();
    // Once closed, the window is being destroyed: later signals wait out the shutdown.
    termination.watch([&form](int) {
        if (form.isVisible())
            form.close();
    });
    return QApplication::exec();
}

} // namespace Program
