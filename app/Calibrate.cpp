#include "app/Calibrate.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <tuple>

#include <QFile>
#include <QTemporaryDir>

#include "app/uMain.h"
#include "platform/PaBackend.h"
#include "platform/SimCard.h"
#include "platform/SimWav.h"
#include "squelch/Calibration.h"
#include "squelch/Settings.h"
#include "squelch/ToneCalibration.h"
#include "toolkit/Forms.h"
#include "toolkit/IniFiles.h"
#include "wave/WaveUtils.h"

namespace calibrate {
namespace {

class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One stretch of capture that goes to a phase, after Skip seconds that go unmeasured.
struct Stretch {
    squelch::Phase* phase;
    double seconds;
    double skip;
    std::string announcement;
    // Scheme A's figures the other way, with or without the window, to say which separates
    // the phases better.
    squelch::Phase* otherWindow = nullptr;
    // The tone squelch's figures, with Source naming ctcss.
    squelch::TonePhase* tone = nullptr;
};

// The frames a recording holds for each stretch, at a capture rate.
using Available = std::function<std::vector<std::uint64_t>(std::uint32_t rate)>;

struct Session {
    std::string ini; // the copy the windows read and write
    bool headingShown = false;
    squelch::Band band;
    double level = 0;
    squelch::Settings squelch;
    // With Source naming ctcss: the tone detectors of the last capture.
    std::unique_ptr<squelch::ToneScan> tones;
    std::function<bool()> interrupted;
};

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", value);
    return text;
}

// Frames of a recording at the capture rate.
std::uint64_t framesAt(const std::string& path, std::uint32_t rate) {
    const SimWav::TWavInput input(path);
    return input.Rate() == 0 ? 0 : input.Frames() * rate / input.Rate();
}

// Captures the stretches one after the other on the installed sound card, with the settings
// of the session; each is measured in the buffers that lie wholly within it, and within what a
// recording holds for it.
void capture(Session& session, const std::vector<Stretch>& stretches, const Available& available) {
    std::vector<std::string> errors;
    Forms::TScopedUserNotices notices({
        .OnException = [&](const std::string& Message) { errors.push_back(Message); },
        .OnMessageBox = [&](const std::string&,
                            const std::string& Text) { errors.push_back(Text); },
        .OnBeep = [] {},
        .OnWarning = [&](const std::string& Message) { Forms::PrintLines(std::cerr, Message); },
    });
    auto form = std::make_unique<uMain::TfMainForm>(session.ini);
    if (errors.empty() && !form->btnStart->isEnabled())
        errors.push_back("no sound mode is available or selected (SoundMode in [Main]), so there "
                         "is nothing to measure");
    if (!errors.empty())
        throw Failure(errors.front());

    WaveRec::TWaveRecorder& recorder = *form->Recorder;
    const auto format = recorder.Format();
    const auto& info = WaveDefs::Info(format);
    const auto mono = WaveUtils::FindFormat(format, 1);
    session.band = form->SquelchBand();
    session.level = form->SquelchLevel;
    session.squelch = form->Squelch.settings();
    const bool audio = session.squelch.uses(squelch::Source::audio);
    if (!audio && !session.squelch.uses(squelch::Source::ctcss))
        throw Failure("with Source=cos in [Squelch] the squelch listens only to the COS line, "
                      "which --calibrate does not measure: check it with quorim --cos-test");
    session.tones.reset();
    if (session.squelch.uses(squelch::Source::ctcss))
        session.tones = std::make_unique<squelch::ToneScan>(
            session.squelch.ctcssTone, info.SampleRate, session.squelch.ctcssOpenDb,
            session.squelch.ctcssCloseDb);
    if (!session.headingShown) {
        session.headingShown = true;
        std::cout << "Calibrating the squelch on the "
                  << (form->ControlChannel == 0 ? "left" : "right") << " channel at "
                  << info.SampleRate << " Hz " << info.BitsPerSample << " bit.\n";
        if (audio)
            std::cout << "It measures " << squelch::describe(session.band)
                      << ";\na buffer whose figure is below SquelchLevel counts as signal.\n";
        if (session.tones)
            std::cout << "It " << (audio ? "also " : "") << "measures "
                      << squelch::describeTone(*session.tones) << ".\n";
        if (session.squelch.uses(squelch::Source::cos))
            std::cout << "The COS line is not measured here: check it with quorim --cos-test.\n";
        std::cout << "\n";
    }
    std::vector<std::uint64_t> frames;
    for (const Stretch& s : stretches)
        frames.push_back(static_cast<std::uint64_t>(s.seconds * info.SampleRate));
    if (available) {
        const auto held = available(info.SampleRate);
        for (std::size_t i = 0; i < stretches.size(); ++i) {
            frames[i] = std::min(frames[i], held[i]);
            if (frames[i] < info.SampleRate)
                throw Failure("the recording holds less than a second for phase " +
                              std::to_string(i + 1) + " (" +
                              seconds(static_cast<double>(frames[i]) / info.SampleRate) +
                              "); give a shorter --seconds or a longer recording");
        }
    }

    squelch::Meter meter(session.band);
    squelch::Band otherBand = session.band;
    otherBand.hannWindow = !otherBand.hannWindow;
    squelch::Meter otherMeter(otherBand);
    std::array<std::vector<std::uint8_t>, 2> channels;
    for (auto& c : channels)
        c.assign(form->BufferSize / 2, 0);
    std::size_t index = 0;
    std::uint64_t done = 0;
    auto announce = [&] {
        if (index < stretches.size())
            std::cout << stretches[index].announcement << std::endl;
    };
    recorder.OnBufferDone = [&](WaveDefs::TWaveDevice*, const void* Buffer, std::uint32_t Size) {
        if (index >= stretches.size())
            return;
        Size = std::min<std::uint32_t>(Size, static_cast<std::uint32_t>(2 * channels[0].size()));
        void* const outputs[2] = {channels[0].data(), channels[1].data()};
        const std::uint32_t n = WaveUtils::Deinterleave(Buffer, outputs, Size, format);
        if (n == 0)
            return;
        const std::uint64_t got = n / info.SampleSize();
        const Stretch& s = stretches[index];
        const auto skip = static_cast<std::uint64_t>(s.skip * info.SampleRate);
        const void* control = channels[static_cast<std::size_t>(form->ControlChannel)].data();
        // The tone detectors' windows run on across what goes unmeasured.
        if (session.tones)
            session.tones->feed(control, n, mono);
        if (done >= skip && done + got <= skip + frames[index]) {
            s.phase->add(meter.read(control, n, mono));
            if (s.otherWindow && session.band.scheme == squelch::Scheme::noiseBand)
                s.otherWindow->add(otherMeter.read(control, n, mono));
            if (s.tone && session.tones)
                s.tone->add(*session.tones);
        }
        done += got;
        if (done >= skip + frames[index]) {
            // The next stretch begins where this one ended, inside this buffer.
            done -= skip + frames[index];
            ++index;
            announce();
        }
    };
    // The handler reaches what this function holds: it must not outlive it, however it ends.
    struct Unbind {
        WaveRec::TWaveRecorder& Recorder;
        ~Unbind() { Recorder.OnBufferDone = nullptr; }
    } unbind{recorder};
    announce();
    recorder.Start();

    Forms::RunUntil(
        [&] { return index >= stretches.size() || session.interrupted() || !recorder.Active(); },
        50);
    const bool stopped = !recorder.Active();
    const std::string reason = recorder.StopReason();
    index = stretches.size();
    recorder.Stop();
    if (session.interrupted())
        throw Failure("calibration interrupted; nothing written");
    if (stopped)
        throw Failure(reason.empty() ? "the capture device stopped"
                                     : "the capture device failed: " + reason);
}

std::unique_ptr<SimCard::TInstalledCard> simulated(const std::string& input, bool realTime) {
    SimCard::TConfig config;
    config.Clock = realTime ? SimCard::TClockMode::RealTime : SimCard::TClockMode::Fast;
    config.Capture[0].InputFile = input;
    config.Playback[0].KeepLog = false;
    return std::make_unique<SimCard::TInstalledCard>(config);
}

} // namespace

int run(const Request& request) {
    for (const std::string* file : {&request.input, &request.noise, &request.carrier}) {
        try {
            if (!file->empty())
                SimWav::TWavInput{*file};
        } catch (const std::exception& e) {
            std::cerr << "quorim: " << e.what() << std::endl;
            return 2;
        }
    }
    const std::string iniPath = request.ini.empty() ? uMain::DefaultIniPath() : request.ini;
    // The windows measured with write their settings back when they go: to a copy, so that the
    // file changes only with --write and then only in its squelch level.
    QTemporaryDir scratch;
    Session session;
    session.ini = scratch.filePath("quorim.ini").toStdString();
    session.interrupted = request.interrupted;
    if (QFile::exists(QString::fromStdString(iniPath)) &&
        !QFile::copy(QString::fromStdString(iniPath), QString::fromStdString(session.ini))) {
        std::cerr << "quorim: cannot read the settings file " << iniPath << std::endl;
        return 1;
    }

    squelch::Phase idle;
    squelch::Phase carrier;
    squelch::Phase idleOther;
    squelch::Phase carrierOther;
    squelch::TonePhase idleTone;
    squelch::TonePhase carrierTone;
    const double wanted = request.seconds;
    const std::string first = "Phase 1 of 2, no carrier: ";
    const std::string second = "Phase 2 of 2, carrier: ";
    try {
        if (!request.noise.empty()) {
            for (const auto& [phase, file, text, other, tone] :
                 {std::tuple{&idle, request.noise, first, &idleOther, &idleTone},
                  {&carrier, request.carrier, second, &carrierOther, &carrierTone}}) {
                const auto card = simulated(file, request.realTime);
                capture(session, {{phase, wanted, 0, text + file, other, tone}},
                        [&](std::uint32_t rate) {
                            return std::vector<std::uint64_t>{framesAt(file, rate)};
                        });
            }
        } else if (!request.input.empty()) {
            const auto card = simulated(request.input, request.realTime);
            capture(session,
                    {{&idle, wanted, 0, first + "the first stretch of " + request.input, &idleOther,
                      &idleTone},
                     {&carrier, wanted, 0, second + "the next stretch of " + request.input,
                      &carrierOther, &carrierTone}},
                    [&](std::uint32_t rate) {
                        const std::uint64_t all = framesAt(request.input, rate);
                        const std::uint64_t one =
                            std::min(all, static_cast<std::uint64_t>(wanted * rate));
                        return std::vector<std::uint64_t>{one, all - one};
                    });
        } else {
            PaBackend::TInstalledPortAudio cards;
            if (!cards.Backend().InitError().empty())
                throw Failure(cards.Backend().InitError());
            // Measured by the frames captured, which the card delivers at its own pace.
            capture(session,
                    {{&idle, wanted, 0,
                      first + "leave the receiver open on an idle channel (" +
                          std::to_string(request.seconds) + " s)...",
                      &idleOther, &idleTone},
                     {&carrier, wanted, keyingSeconds,
                      second + "key a carrier now, unmodulated or with speech, and hold it (" +
                          std::to_string(request.seconds + keyingSeconds) + " s)...",
                      &carrierOther, &carrierTone}},
                    {});
        }
    } catch (const std::exception& e) {
        std::cerr << "quorim: " << e.what() << std::endl;
        return 1;
    }

    // The tone squelch's report follows the audio squelch's, or stands alone.
    std::string toneRefusal;
    auto reportTone = [&] {
        if (!session.tones)
            return;
        const squelch::ToneVerdict verdict =
            squelch::judgeTone(*session.tones, idleTone, carrierTone);
        toneRefusal = verdict.refusal;
        std::cout << "\n" << squelch::toneReport(*session.tones, idleTone, carrierTone, verdict);
    };
    if (!session.squelch.uses(squelch::Source::audio)) {
        reportTone();
        std::cout << std::flush;
        if (!toneRefusal.empty()) {
            std::cerr << "quorim: the tone squelch does not work as measured: " << toneRefusal
                      << std::endl;
            return 1;
        }
        if (request.write)
            std::cout << "Nothing written: the squelch's sources do not use SquelchLevel."
                      << std::endl;
        return 0;
    }

    squelch::Proposal proposal = squelch::propose(session.band, idle, carrier);
    std::cout << "\n" << squelch::report(idle, carrier, proposal, session.level);
    // Scheme A's figures were measured both ways; the window written is the one the level was
    // proposed for.
    squelch::Band band = session.band;
    if (session.band.scheme == squelch::Scheme::noiseBand && idleOther.buffers() > 0 &&
        carrierOther.buffers() > 0) {
        squelch::Band otherBand = session.band;
        otherBand.hannWindow = !otherBand.hannWindow;
        const squelch::Proposal other = squelch::propose(otherBand, idleOther, carrierOther);
        const char* name = otherBand.hannWindow ? "hann" : "none";
        char text[200];
        if (squelch::betterWindow(proposal, other) && request.write && other.level) {
            std::snprintf(text, sizeof text,
                          "With Window=%s in [Squelch] the phases lie %.1f dB apart instead: "
                          "--write chooses it, with the level below.\n",
                          name, other.separationDb);
            std::cout << text << "\n"
                      << squelch::report(idleOther, carrierOther, other, session.level);
            proposal = other;
            band = otherBand;
        } else if (squelch::betterWindow(proposal, other)) {
            std::snprintf(text, sizeof text,
                          "With Window=%s in [Squelch] the phases lie %.1f dB apart instead: set "
                          "it and calibrate again%s.\n",
                          name, other.separationDb,
                          other.level ? ", or calibrate with --write, which sets it" : "");
            std::cout << text;
            if (!proposal.level && !other.level)
                proposal.refusal += std::string(" With Window=") + name + ": " + other.refusal;
        }
    }
    reportTone();
    if (!proposal.level || !toneRefusal.empty()) {
        std::cout << std::flush;
        if (!proposal.level)
            std::cerr << "quorim: no level proposed, nothing written: " << proposal.refusal
                      << std::endl;
        if (!toneRefusal.empty())
            std::cerr << "quorim: the tone squelch does not work as measured"
                      << (proposal.level ? ", nothing written: " : ": ") << toneRefusal
                      << std::endl;
        return 1;
    }
    if (!proposal.warning.empty())
        std::cout << "Note: " << proposal.warning << "\n";
    if (!request.write) {
        std::cout << "Not written: run again with --write to keep it in " << iniPath << "."
                  << std::endl;
        return 0;
    }
    try {
        IniFiles::TIniFile file(iniPath);
        file.WriteFloat("Main", "SquelchLevel", *proposal.level);
        // The three belong together: the window both levels were measured with, and a close
        // level never left from an earlier calibration.
        file.WriteString(squelch::settingsSection, "Window", band.hannWindow ? "hann" : "none");
        file.WriteFloat(squelch::settingsSection, "CloseLevel",
                        proposal.closeLevel.value_or(*proposal.level));
    } catch (const std::exception& e) {
        std::cout << std::flush;
        std::cerr << "quorim: " << e.what() << std::endl;
        return 1;
    }
    std::cout << "Written to " << iniPath << "." << std::endl;
    return 0;
}

} // namespace calibrate
