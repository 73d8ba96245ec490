// The squelch, decided in one place per buffer of the control channel: the sources (the audio
// scheme's raw decision, a COS line, a CTCSS tone), their combination, the levels, the hold, the
// gate (silence, TrimTail, MinOver) and the transmit lockout. Each source only says "signal" or
// "no signal"; what follows treats them all alike.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "squelch/Ctcss.h"
#include "squelch/Gate.h"
#include "squelch/Scheme.h"
#include "squelch/Settings.h"
#include "wave/WaveDefs.h"

namespace squelch {

// A receiver's carrier-operated switch.
class CosLine {
public:
    virtual ~CosLine() = default;
    // Whether the receiver hears a carrier, CosInvert applied. Throws std::runtime_error naming
    // the device when the line can no longer be read.
    virtual bool carrier() = 0;
};

class Pipeline {
public:
    // Its settings are the squelch's settings ([Squelch]).
    Gate gate;
    Settings& settings() { return gate.settings; }
    const Settings& settings() const { return gate.settings; }
    // How the COS line is opened (throws naming the device); tests put a line of their own here.
    std::function<std::unique_ptr<CosLine>(const CosSettings&)> openCos;
    // The transmit lockout: told each buffer's raw decision and figure, true while it holds
    // recording off.
    std::function<bool(bool raw, double figure)> lockout;

    // The repeater starts on mono buffers of Mono: the COS line opens, the tone detector starts
    // afresh. Throws when a source cannot be used.
    void start(WaveDefs::TWaveFormat mono);
    void stop() noexcept;

    // The level the audio scheme compares its figure with: once the last buffer counted as
    // signal, the close level.
    double level(bool lastRaw, double squelchLevel) const;
    // Every analysed buffer, with the audio scheme's raw decision: the raw decision of the
    // sources the settings choose, before the hold. Throws when the COS line fails.
    bool judge(bool audioRaw, const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono,
               Scheme scheme);
    // The hold after the last raw signal buffer: Held counts the milliseconds of hold used so far
    // (the controller's SquelchHold), Delay the hold allowed. Whether the buffer counts as signal.
    static bool hold(bool raw, std::uint32_t& held, std::uint32_t delay, std::uint32_t ms);
    // A buffer the hold counted (Heard) or not: whether it is recorded, the lockout told.
    bool admit(bool heard, bool raw, double figure);

    // What the tone detector read on the last buffer, with the ctcss source.
    std::optional<ToneReading> lastTone() const;
    // The sources in the settings' words ("cos+ctcss"), for the window's tooltip and the log.
    std::string describeSources() const;

private:
    std::unique_ptr<CosLine> cos_;
    std::unique_ptr<ToneSquelch> tone_;
};

} // namespace squelch
