// The station's squelch options, section [Squelch] of the settings file: read once at start-up
// and never written back, so a value the program refuses stays in the file for its owner to mend.
#pragma once

#include <cstdint>
#include <optional>

#include "toolkit/IniFiles.h"

namespace squelch {

inline constexpr const char* settingsSection = "Squelch";

struct Settings {
    // An over that ends because the squelch closed is replayed without the hold's buffers after
    // its last signal buffer: the receiver's noise burst after the carrier drops is not sent.
    bool trimTail = false;
    // An over whose signal lasted less than this many milliseconds is not replayed at all.
    std::uint32_t minOverMs = 0;
    // Under scheme A a digitally silent buffer counts as no signal: a receiver that is off or
    // has its own squelch closed does not read as a quiet carrier.
    bool silenceIsNoSignal = false;
    // Scheme A measures its noise band on a Hann-windowed copy of the buffer, so that loud
    // voice does not spill into the band through the edges of an unwindowed transform.
    bool hannWindow = false;
    // Once a buffer counted as signal, the next ones count as signal while the figure stays
    // below this; none keeps SquelchLevel. A close level above the open one bridges the edges
    // of an over without a longer hold.
    std::optional<double> closeLevel;
};

inline constexpr std::uint32_t maxMinOverMs = 10000;

// Reads each key of the section into Into; a missing key leaves its field as it is. A value that
// is not allowed leaves its field too, and once every key has been read, raises
// SysUtils::Exception naming each such key and what it allows.
void readSettings(const IniFiles::TIniFile& file, Settings& into);

} // namespace squelch
