#include "Station.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "IniFiles.h"
#include "Windows.h"

namespace station {
namespace {

constexpr std::int64_t NsPerMs = 1'000'000;

double figureDb(double Figure) {
    return Figure > 0 ? 20.0 * std::log10(Figure) : -200.0;
}

} // namespace

Station::Station() = default;

Station::~Station() {
    stop();
}

void Station::load(const IniFiles::TIniFile& Ini) {
    loadError_.clear();
    loaded_ = false;
    try {
        settings_ = readSettings(Ini);
        loaded_ = true;
    } catch (const SettingsError& e) {
        settings_ = Settings{};
        loadError_ = e.what();
        throw;
    }
}

void Station::start(TWaveFormat Mono, std::uint32_t BlockBytes) {
    if (!loaded_)
        throw SettingsError(loadError_.empty()
                                ? std::string("the [") + SectionStation + "] settings were not read"
                                : loadError_);
    stop();
    mono_ = Mono;
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
    } else if (!settings_.callsign.empty()) {
        if (2.0 * settings_.idFrequencyHz >= info.SampleRate)
            throw SettingsError(std::string("settings [") + SectionStation +
                                "] IdFrequency=" + std::to_string(settings_.idFrequencyHz) +
                                " cannot be used: it must be below half the sample rate");
        identification_ = morse(settings_.callsign, settings_.idWpm, settings_.idFrequencyHz,
                                settings_.idVolume, Mono);
    }
    identifiedEver_ = false;
    transmittedSinceId_ = false;
    locked_ = lockArmed_ = awaitingSignal_ = false;
    overFigureSum_ = 0;
    overFigureCount_ = 0;
    line_ = openLine(settings_);
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
}

void Station::stop() noexcept {
    release();
    line_.reset();
    archive_.reset();
}

void Station::release() noexcept {
    if (line_ && keyed_) {
        try {
            line_->set(false);
        } catch (...) {
            // the line's own close releases it as a last resort
        }
    }
    keyed_ = false;
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

Additions Station::replayStarting(std::span<const std::span<const std::uint8_t>> Over, bool Cut) {
    deliverProblems();
    // Never on the air unkeyed: a line that cannot be keyed stops the replay here.
    if (line_)
        line_->set(true);
    keyed_ = true;
    const std::int64_t now = Windows::ClockNs();
    Additions a;
    const bool identify =
        !identification_.empty() &&
        (!identifiedEver_ ||
         now - lastIdNs_ >= std::int64_t{settings_.idIntervalS} * 1000 * NsPerMs || Over.empty());
    if (settings_.pttLeadMs > 0) {
        Pcm lead;
        appendSilence(lead, mono_, samplesFor(settings_.pttLeadMs, mono_));
        a.before = blocks(lead);
    }
    if (identify)
        a.after = blocks(identification_);
    if (settings_.courtesyHz > 0 && !Over.empty()) {
        Pcm tone;
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
    // A lone identification during a lockout leaves the lockout in place.
    lockArmed_ = (Cut && settings_.timeoutLockout) || (Over.empty() && locked_);

    if (archive_ && !Over.empty()) {
        station::Over over;
        over.mono = mono_;
        for (const auto& b : Over)
            over.audio.insert(over.audio.end(), b.begin(), b.end());
        const auto& info = WaveDefs::Info(mono_);
        const auto length = std::chrono::nanoseconds(
            std::int64_t(over.audio.size() / info.SampleSize()) * 1'000'000'000 / info.SampleRate);
        over.start = std::chrono::system_clock::now() -
                     std::chrono::duration_cast<std::chrono::system_clock::duration>(length);
        over.noiseBeforeDb = figureDb(figureBefore_);
        over.noiseDuringDb = figureDb(overFigureCount_ ? overFigureSum_ / overFigureCount_ : 0);
        over.identified = identify;
        archive_->add(std::move(over));
    }
    overFigureSum_ = 0;
    overFigureCount_ = 0;
    return a;
}

std::uint32_t Station::replayEnded(std::uint32_t LockMs) {
    if (lockArmed_ && !locked_ && onLog)
        onLog("transmit lockout: the signal outlasted Duration; nothing is recorded until it "
              "drops");
    locked_ = lockArmed_;
    lockArmed_ = false;
    std::uint32_t left = LockMs;
    if (line_ && keyed_ && settings_.pttTailMs > 0) {
        const auto tail = static_cast<std::uint32_t>(settings_.pttTailMs);
        Windows::Sleep(tail);
        left = LockMs > tail ? LockMs - tail : 0;
    }
    release();
    deliverProblems();
    return left;
}

bool Station::holdsOff(bool Raw, double Figure) {
    if (Raw) {
        if (overFigureCount_ == 0)
            figureBefore_ = lastQuietFigure_;
        overFigureSum_ += Figure;
        ++overFigureCount_;
    } else {
        lastQuietFigure_ = Figure;
    }
    // Once the carrier has dropped, its hang time does not start a recording: a fresh signal does.
    if (locked_ && !Raw) {
        locked_ = false;
        if (onLog)
            onLog("transmit lockout ended: the signal has dropped");
        awaitingSignal_ = true;
        return true;
    }
    if (awaitingSignal_ && Raw)
        awaitingSignal_ = false;
    return locked_ || awaitingSignal_;
}

bool Station::identificationDue() const {
    return !identification_.empty() && transmittedSinceId_ &&
           Windows::ClockNs() - lastIdNs_ >= std::int64_t{settings_.idIntervalS} * 1000 * NsPerMs;
}

void Station::flushArchive() {
    if (archive_)
        archive_->flush();
    deliverProblems();
}

void Station::deliverProblems() {
    if (!archive_ || !onNotice)
        return;
    if (std::string problem = archive_->takeProblem(); !problem.empty())
        onNotice(problem);
}

} // namespace station
