#include "station/Station.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <utility>

#include "platform/Windows.h"
#include "toolkit/IniFiles.h"

namespace station {
namespace {

constexpr std::int64_t NsPerMs = 1'000'000;
// Beyond the longest transmission the settings allow, before the watchdog ends one.
constexpr std::int64_t WatchdogSlackNs = 2000 * NsPerMs;
// Between the over and a spoken report, as the identification's word space sets it apart.
constexpr double SpeechGapMs = 350;
// The report column of an over archived but not sent.
constexpr const char* NotSentMark = "not sent";

} // namespace

Station::Station() {
    watchdog_.onOverdue = [this] { overdue(); };
}

Station::~Station() {
    stop();
}

void Station::load(const IniFiles::TIniFile& Ini, std::vector<std::string>* Notices) {
    loadError_.clear();
    loaded_ = false;
    try {
        settings_ = readSettings(Ini, Notices);
        try {
            control_ = control::readDtmfSettings(Ini, Notices);
        } catch (const std::runtime_error& e) {
            throw SettingsError(e.what());
        }
        loaded_ = true;
    } catch (const SettingsError& e) {
        settings_ = Settings{};
        control_ = {};
        loadError_ = e.what();
        throw;
    }
}

void Station::start(TWaveFormat Mono, std::uint32_t BlockBytes, Squelch S,
                    std::uint32_t LongestOverMs) {
    if (!loaded_)
        throw SettingsError(loadError_.empty()
                                ? std::string("the [") + SectionStation + "] settings were not read"
                                : loadError_);
    stop();
    mono_ = Mono;
    longestOverMs_ = LongestOverMs;
    const auto& info = WaveDefs::Info(Mono);
    blockBytes_ = std::max<std::uint32_t>(BlockBytes / info.SampleSize() * info.SampleSize(),
                                          info.SampleSize());
    identification_.clear();
    if (!settings_.idFile.empty()) {
        try {
            identification_ = loadVoice(settings_.idFile, Mono);
        } catch (const std::exception& e) {
            throw SettingsError(std::string("settings [") + SectionStation +
                                "] IdFile=" + settings_.idFile + " cannot be read: " + e.what());
        }
    }
    // Morse identification, and a report that is or may become Morse, need the pitch.
    const bool morseId = settings_.idFile.empty() && !settings_.callsign.empty();
    if ((morseId || settings_.report != ReportKind::None) &&
        2.0 * settings_.idFrequencyHz >= info.SampleRate)
        throw SettingsError(std::string("settings [") + SectionStation +
                            "] IdFrequency=" + std::to_string(settings_.idFrequencyHz) +
                            " cannot be used: it must be below half the sample rate");
    if (morseId)
        identification_ = morse(settings_.callsign, settings_.idWpm, settings_.idFrequencyHz,
                                settings_.idVolume, Mono);
    squelch_ = S;
    figures_.reset();
    dtmf_.reset();
    commands_.reset();
    if (control_.enabled()) {
        try {
            commands_ = std::make_unique<control::DtmfControl>(control_);
        } catch (const std::runtime_error& e) {
            throw SettingsError(e.what());
        }
        dtmf_ = std::make_unique<DtmfReceiver>(info.SampleRate, blockBytes_ / info.SampleSize());
    }
    commandOver_ = switchOffAfter_ = false;
    judged_.reset();
    reportOn_ = true;
    startedNs_ = Windows::ClockNs();
    day_ = -1;
    overs_ = 0;
    if (settings_.report == ReportKind::Voice && !speech_ && !speechFailed_) {
        try {
            speech_ = std::make_unique<Speech>(settings_.reportLanguage);
        } catch (const std::exception& e) {
            speechLost(e.what());
        }
    }
    identifiedEver_ = false;
    transmittedSinceId_ = false;
    identifyAsked_ = false;
    locked_ = lockArmed_ = awaitingSignal_ = false;
    {
        auto line = openLine(settings_);
        const std::lock_guard lock(lineMutex_);
        line_ = std::move(line);
    }
    if (!settings_.archiveFolder.empty()) {
        try {
            archive_ = std::make_unique<Archive>(
                settings_.archiveFolder, std::uint64_t(settings_.archiveMaxMb) * 1024 * 1024);
        } catch (const std::exception& e) {
            // The repeater runs without its archive rather than not at all.
            if (onNotice)
                onNotice(std::string(e.what()) + "; overs are not archived");
        }
    }
    running_ = true;
}

void Station::stop() noexcept {
    running_ = false;
    identifyAsked_ = false;
    discardTail();
    release();
    {
        const std::lock_guard lock(lineMutex_);
        line_.reset();
    }
    if (archive_) {
        archive_->flush();
        archiveBytes_ = archive_->bytes();
    }
    archive_.reset();
}

void Station::release() noexcept {
    watchdog_.disarm();
    if (transmittingSinceNs_ != 0)
        tally_.transmitSeconds +=
            static_cast<double>(Windows::ClockNs() - transmittingSinceNs_) / 1e9;
    transmittingSinceNs_ = 0;
    releaseLine();
}

void Station::releaseLine() noexcept {
    const std::lock_guard lock(lineMutex_);
    if (line_ && keyed_) {
        try {
            line_->set(false);
        } catch (...) {
            // the line's own close releases it as a last resort
        }
    }
    keyed_ = false;
}

void Station::transmitting() {
    {
        const std::lock_guard lock(lineMutex_);
        // Never on the air unkeyed: a line that cannot be keyed stops the replay here.
        if (line_)
            line_->set(true);
        keyed_ = true;
    }
    transmittingSinceNs_ = Windows::ClockNs();
    cutOff_ = false;
    watchdog_.arm(allowedNs_);
}

bool Station::overdue() {
    if (!cutOff_ && watchdog_.overdue())
        tripWatchdog();
    return cutOff_;
}

void Station::tripWatchdog() {
    cutOff_ = true;
    ++watchdogTrips_;
    const double seconds = static_cast<double>(watchdog_.limitNs()) / 1e9;
    release();
    if (onOverdue) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%.1f", seconds);
        onOverdue(std::string("the transmit watchdog released the transmitter: the transmission "
                              "outlasted ") +
                  limit +
                  " s, the longest the settings allow (PttLead, Duration, the report, the "
                  "identification, the courtesy tone and PttTail, and 2 s)");
    }
}

Pcm Station::wordSpace() const {
    Pcm gap;
    appendSilence(gap, mono_, samplesFor(7 * 1200.0 / settings_.idWpm, mono_));
    return gap;
}

std::int64_t Station::durationNs(std::size_t Bytes) const {
    const auto& info = WaveDefs::Info(mono_);
    return static_cast<std::int64_t>(Bytes / info.SampleSize()) * 1'000'000'000 / info.SampleRate;
}

std::int64_t Station::durationNs(const std::vector<Pcm>& Blocks) const {
    std::size_t bytes = 0;
    for (const auto& b : Blocks)
        bytes += b.size();
    return durationNs(bytes);
}

std::vector<Pcm> Station::blocks(const Pcm& Audio) const {
    std::vector<Pcm> result;
    for (std::size_t at = 0; at < Audio.size(); at += blockBytes_) {
        const std::size_t end = std::min<std::size_t>(at + blockBytes_, Audio.size());
        result.emplace_back(Audio.begin() + static_cast<std::ptrdiff_t>(at),
                            Audio.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return result;
}

Additions Station::replayStarting(std::span<const std::span<const std::uint8_t>> Over, bool Cut,
                                  std::size_t SignalBlocks) {
    discardTail();
    deliverProblems();
    if (!mayTransmit())
        throw PttError(control::TransmitterOffText);
    if (!Over.empty())
        ++tally_.overs;
    const std::int64_t now = Windows::ClockNs();
    Additions a;
    // The over's DTMF digits: a command is answered instead of replayed.
    control::DtmfDecision command;
    if (judged_) {
        command = std::move(*judged_); // carried out while the transmitter was off
        judged_.reset();
    } else if (!Over.empty()) {
        command = judgeDigits();
        carryOut(command);
    }
    commandOver_ = command.command;
    if (!Over.empty() && !commandOver_) {
        const std::time_t t = std::chrono::system_clock::to_time_t(wallClock());
        std::tm local{};
        localtime_r(&t, &local);
        if (local.tm_yday != day_)
            overs_ = 0;
        day_ = local.tm_yday;
        ++overs_;
    }
    const bool identify =
        !identification_.empty() &&
        (!identifiedEver_ ||
         now - lastIdNs_ >= std::int64_t{settings_.idIntervalS} * 1000 * NsPerMs || Over.empty() ||
         identifyAsked_);
    if (identify)
        identifyAsked_ = false;
    if (settings_.pttLeadMs > 0) {
        Pcm lead;
        appendSilence(lead, mono_, samplesFor(settings_.pttLeadMs, mono_));
        a.before = blocks(lead);
    }
    const bool reporting = reportOn() && !Over.empty() && !commandOver_;
    if (commandOver_)
        a.after = answer(command.run == control::Command::Status ? statusText() : command.answer);
    OverFigures figures;
    Pcm audio;
    if ((archive_ || reporting) && !Over.empty())
        figures = measureOver(Over, SignalBlocks, audio);
    if (!Over.empty())
        figures_.takeOver(figures, squelch_);
    std::string code;
    if (reporting) {
        const Level level = levelOf(figures, settings_);
        code = reportCode(figures, level);
        if (onLog)
            onLog(reportLine(figures, level));
        if (speech_) {
            // Spoken while the over plays; the controller takes it when the over has played.
            speaking_ = std::async(std::launch::async,
                                   [this, mono = mono_, amplitude = settings_.idVolume / 65535.0,
                                    words = reportWords(figures, level, settings_.reportLanguage)] {
                                       Pcm spoken;
                                       appendSilence(spoken, mono, samplesFor(SpeechGapMs, mono));
                                       const Pcm said = speech_->say(words, mono, amplitude);
                                       spoken.insert(spoken.end(), said.begin(), said.end());
                                       return spoken;
                                   });
            spokenCode_ = code;
        } else {
            a.after = blocks(morseReport(code));
        }
    }
    if (identify)
        for (auto& b : blocks(identification_))
            a.after.push_back(std::move(b));
    if (settings_.courtesyHz > 0 && !Over.empty() && !commandOver_) {
        // After Morse, a tone with no gap is heard as one more dah: "AB1E" would read "AB1A".
        Pcm tone = identify || reporting ? wordSpace() : Pcm{};
        appendTone(tone, mono_, settings_.courtesyHz, settings_.idVolume / 65535.0,
                   samplesFor(settings_.courtesyMs, mono_));
        for (auto& b : blocks(tone))
            a.after.push_back(std::move(b));
    }
    if (identify) {
        identifiedEver_ = true;
        lastIdNs_ = now;
        transmittedSinceId_ = false;
    } else {
        transmittedSinceId_ = true;
    }
    // The longest transmission the settings allow: the lead, the longest over (a recording
    // ends on a whole buffer), what follows it and the PTT tail. A spoken report adds its
    // length when it is taken.
    allowedNs_ = durationNs(a.before) + std::int64_t{longestOverMs_} * NsPerMs +
                 durationNs(blockBytes_) + durationNs(a.after) +
                 std::int64_t{settings_.pttTailMs} * NsPerMs + WatchdogSlackNs;
    if (speaking_.valid())
        tail_ = std::exchange(a.after, {});
    // A lone identification during a lockout leaves the lockout in place.
    lockArmed_ = (Cut && settings_.timeoutLockout) || (Over.empty() && locked_);

    if (!Over.empty())
        archiveOver(figures, std::move(audio), code, identify, command.shown);
    return a;
}

void Station::archiveOver(const OverFigures& Figures, Pcm Audio, std::string Report,
                          bool Identified, std::string Dtmf) {
    if (!archive_)
        return;
    station::Over over;
    over.mono = mono_;
    over.audio = std::move(Audio);
    const auto length = std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(Figures.seconds));
    over.start = wallClock() - length;
    over.figures = Figures;
    over.report = std::move(Report);
    over.identified = Identified;
    over.dtmf = std::move(Dtmf);
    archive_->add(std::move(over));
}

OverFigures Station::measureOver(std::span<const std::span<const std::uint8_t>> Over,
                                 std::size_t SignalBlocks, Pcm& Audio) const {
    // The caller's level from where the carrier was steady: the receiver's noise, in the
    // squelch's hold after it or in the blocks the carrier came and went in, would swamp it.
    const bool edges = SignalBlocks >= 3;
    std::size_t from = 0, to = 0;
    for (std::size_t i = 0; i < Over.size(); ++i) {
        if (edges && i == 1)
            from = Audio.size();
        Audio.insert(Audio.end(), Over[i].begin(), Over[i].end());
        if (i + (edges ? 1 : 0) < SignalBlocks)
            to = Audio.size();
    }
    OverFigures figures = measureAudio(std::span(Audio).subspan(from, to - from), mono_);
    const auto& info = WaveDefs::Info(mono_);
    figures.seconds = static_cast<double>(Audio.size()) / info.SampleSize() / info.SampleRate;
    return figures;
}

Pcm Station::morseReport(const std::string& Code) const {
    return morse(Code, settings_.idWpm, settings_.idFrequencyHz, settings_.idVolume, mono_);
}

Additions Station::replayTail() {
    Additions a;
    if (!speaking_.valid())
        return a;
    Pcm report;
    try {
        report = speaking_.get();
    } catch (const std::exception& e) {
        speechLost(e.what());
        report = morseReport(spokenCode_);
    }
    a.after = blocks(report);
    watchdog_.extend(durationNs(a.after));
    for (auto& b : tail_)
        a.after.push_back(std::move(b));
    tail_.clear();
    return a;
}

void Station::speechLost(const std::string& Why) {
    speech_.reset();
    speechFailed_ = true;
    if (onNotice)
        onNotice(Why + "; the report after each replay is sent in Morse");
}

void Station::discardTail() noexcept {
    if (speaking_.valid())
        speaking_.wait();
    speaking_ = {};
    tail_.clear();
}

void Station::overSkipped() {
    figures_.dropOver();
    ++tally_.kerchunks;
    if (dtmf_)
        dtmf_->reset();
}

void Station::recorded(std::span<const std::uint8_t> Block) {
    if (dtmf_)
        dtmf_->push(Block, mono_);
}

control::DtmfDecision Station::judgeDigits() {
    if (!dtmf_)
        return {};
    dtmf_->finish();
    const std::string digits = dtmf_->text();
    dtmf_->reset();
    if (digits.empty())
        return {};
    const std::int64_t unix = std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
    control::DtmfDecision d =
        commands_->judge(digits, unix, static_cast<double>(Windows::ClockNs()) / 1e9);
    if (onLog) {
        onLog("DTMF digits: " + d.shown);
        if (!d.log.empty())
            onLog(d.log);
    }
    return d;
}

void Station::carryOut(control::DtmfDecision& Decision) {
    using control::Command;
    if (!Decision.run || *Decision.run == Command::Status)
        return;
    if (!onCommand) {
        // No one to hand the command to: saying "OK" would be a lie.
        Decision.run.reset();
        Decision.answer = "ERR";
        if (onLog)
            onLog("DTMF command refused: this station takes no commands");
        return;
    }
    // Switched off once its answer has gone out; while off, at once (nothing is answered).
    if (*Decision.run == Command::TransmitterOff && mayTransmit()) {
        switchOffAfter_ = true;
        return;
    }
    if (!onCommand(*Decision.run).done)
        Decision.answer = "ERR";
}

std::vector<Pcm> Station::answer(const std::string& Text) {
    if (speech_) {
        speaking_ = std::async(std::launch::async,
                               [this, mono = mono_, amplitude = settings_.idVolume / 65535.0,
                                Text] { return speech_->say(Text, mono, amplitude); });
        spokenCode_ = Text;
        return {};
    }
    return blocks(morseReport(Text));
}

std::string Station::statusText() const {
    const std::int64_t minutes = (Windows::ClockNs() - startedNs_) / (60 * 1000 * NsPerMs);
    return std::string(mayTransmit() ? "TX ON" : "TX OFF") + " UP " + std::to_string(minutes / 60) +
           "H" + std::to_string(minutes % 60) + " OV " + std::to_string(overs_);
}

std::uint32_t Station::replayEnded(std::uint32_t LockMs) {
    if (lockArmed_ && !locked_)
        ++tally_.lockouts;
    // Switched off once its answer has gone out.
    if (std::exchange(switchOffAfter_, false) && onCommand)
        onCommand(control::Command::TransmitterOff);
    if (lockArmed_ && !locked_ && onLog)
        onLog("transmit lockout: the signal outlasted Duration; nothing is recorded until it "
              "drops");
    locked_ = lockArmed_;
    lockArmed_ = false;
    std::uint32_t left = LockMs;
    bool keyed;
    {
        const std::lock_guard lock(lineMutex_);
        keyed = line_ && keyed_;
    }
    if (keyed && settings_.pttTailMs > 0) {
        const auto tail = static_cast<std::uint32_t>(settings_.pttTailMs);
        Windows::Sleep(tail);
        left = LockMs > tail ? LockMs - tail : 0;
    }
    release();
    deliverProblems();
    return left;
}

bool Station::holdsOff(bool Raw, double Figure) {
    bool held = locked_ || awaitingSignal_;
    // Once the carrier has dropped, its hang time does not start a recording: a fresh signal does.
    if (locked_ && !Raw) {
        locked_ = false;
        if (onLog)
            onLog("transmit lockout ended: the signal has dropped");
        awaitingSignal_ = true;
        held = true;
    } else if (awaitingSignal_ && Raw) {
        awaitingSignal_ = false;
        held = locked_;
    }
    // A signal held off is no over of anyone's; the idle receiver is measured all the same.
    if (!held || !Raw)
        figures_.add(Raw, Figure);
    return held;
}

bool Station::identificationDue() const {
    return !identification_.empty() && mayTransmit() &&
           (identifyAsked_ ||
            (transmittedSinceId_ && Windows::ClockNs() - lastIdNs_ >=
                                        std::int64_t{settings_.idIntervalS} * 1000 * NsPerMs));
}

bool Station::overNotSent(std::span<const std::span<const std::uint8_t>> Over,
                          std::size_t SignalBlocks) {
    if (Over.empty())
        return false;
    control::DtmfDecision command = judgeDigits();
    carryOut(command);
    if (mayTransmit()) {
        judged_ = std::move(command);
        return true;
    }
    Pcm audio;
    OverFigures figures = measureOver(Over, SignalBlocks, audio);
    figures_.takeOver(figures, squelch_);
    ++tally_.notSentOvers;
    tally_.notSentSeconds += figures.seconds;
    if (onLog)
        onLog("an over of " + decimals(figures.seconds, 1) +
              " s was not sent: " + control::TransmitterOffText);
    archiveOver(figures, std::move(audio), NotSentMark, false, command.shown);
    deliverProblems();
    return false;
}

double Station::secondsSinceIdentification() const {
    return identifiedEver_ ? static_cast<double>(Windows::ClockNs() - lastIdNs_) / 1e9 : -1;
}

std::string Station::identifyNow() {
    if (!running_)
        return "the repeater is not running";
    if (identification_.empty())
        return std::string("no identification is set (Callsign or IdFile in [") + SectionStation +
               "])";
    if (!mayTransmit())
        return control::TransmitterOffText;
    identifyAsked_ = true;
    return {};
}

std::string Station::setReport(bool On) {
    if (On && settings_.report == ReportKind::None)
        return std::string("no report is set (Report in [") + SectionStation + "])";
    reportOn_ = On;
    return {};
}

void Station::deliverProblems() {
    if (!archive_ || !onNotice)
        return;
    if (std::string problem = archive_->takeProblem(); !problem.empty())
        onNotice(problem);
}

} // namespace station
