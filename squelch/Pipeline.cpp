#include "squelch/Pipeline.h"

#include <cstdio>
#include <stdexcept>

namespace squelch {

void Pipeline::start(WaveDefs::TWaveFormat mono) {
    stop();
    const Settings& s = settings();
    if (s.uses(Source::cos)) {
        if (!openCos)
            throw std::runtime_error("no COS line can be opened in this program");
        cos_ = openCos(s.cos);
    }
    if (s.uses(Source::ctcss))
        tone_ = std::make_unique<ToneSquelch>(s.ctcssTone, WaveDefs::Info(mono).SampleRate,
                                              s.ctcssOpenDb, s.ctcssCloseDb);
}

void Pipeline::stop() noexcept {
    cos_.reset();
    tone_.reset();
}

double Pipeline::level(bool lastRaw, double squelchLevel) const {
    return lastRaw ? settings().closeLevel.value_or(squelchLevel) : squelchLevel;
}

bool Pipeline::judge(bool audioRaw, const void* data, std::uint32_t size,
                     WaveDefs::TWaveFormat mono, Scheme scheme) {
    // The gate watches the control channel whatever the sources.
    audioRaw = gate.judge(audioRaw, data, size, mono, scheme == Scheme::noiseBand);
    const Settings& s = settings();
    bool raw = !s.uses(Source::audio) || audioRaw;
    // Each read once per buffer, whatever the others say; a source that is not running (the
    // repeater not started) says no signal.
    if (s.uses(Source::cos))
        raw = (cos_ && cos_->carrier()) && raw;
    if (s.uses(Source::ctcss))
        raw = (tone_ && tone_->judge(data, size, mono)) && raw;
    return gate.combined(raw);
}

bool Pipeline::hold(bool raw, std::uint32_t& held, std::uint32_t delay, std::uint32_t ms) {
    if (raw) {
        held = 0;
        return true;
    }
    if (held < delay) {
        held += ms;
        return true;
    }
    return false;
}

bool Pipeline::admit(bool heard, bool raw, double figure) {
    const bool heldOff = lockout && lockout(raw, figure);
    return !heldOff && heard;
}

std::optional<ToneReading> Pipeline::lastTone() const {
    if (!tone_)
        return std::nullopt;
    return tone_->last();
}

std::string Pipeline::describeSources() const {
    const Settings& s = settings();
    std::string text;
    auto add = [&](const std::string& name) { text += (text.empty() ? "" : "+") + name; };
    if (s.uses(Source::audio))
        add("audio");
    if (s.uses(Source::cos))
        add("cos");
    if (s.uses(Source::ctcss)) {
        char tone[32];
        std::snprintf(tone, sizeof tone, "ctcss %.1f Hz", s.ctcssTone);
        add(tone);
    }
    return text;
}

} // namespace squelch
