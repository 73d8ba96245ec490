// quorim --calibrate: the squelch's figure measured on the control channel without and then
// with a carrier, on the sound card or from recordings, and a SquelchLevel proposed between
// them (written to the settings file only when asked).
#pragma once

#include <functional>
#include <string>

namespace calibrate {

struct Request {
    std::string ini; // the settings file; empty for the one the program uses by default
    unsigned seconds = 10;
    bool write = false;
    // Recordings instead of the sound card: one whose first Seconds have no carrier and whose
    // next Seconds have one, or one recording for each phase.
    std::string input;
    std::string noise;
    std::string carrier;
    bool realTime = false; // recordings play at the pace of the clock
    // Asked while measuring: a termination signal has come, so stop and write nothing.
    std::function<bool()> interrupted = [] { return false; };
};

inline constexpr unsigned minSeconds = 2;
inline constexpr unsigned maxSeconds = 600;
// On the sound card, the time an operator has to key the carrier before it is measured.
inline constexpr unsigned keyingSeconds = 2;

// Runs the calibration and returns the exit status: 0 with a level proposed, 1 without (the
// reason on standard error), 2 for a recording that cannot be read.
int run(const Request& request);

} // namespace calibrate
