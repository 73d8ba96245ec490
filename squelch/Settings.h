// The station's squelch options, section [Squelch] of the settings file: read once at start-up
// and never written back, so a value the program refuses stays in the file for its owner to mend.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/IniFiles.h"

namespace squelch {

inline constexpr const char* settingsSection = "Squelch";

// What the squelch listens to; Source=cos+ctcss sets two, and both must say signal.
enum class Source : unsigned { audio = 1, cos = 2, ctcss = 4 };

// The receiver's carrier-operated switch (COS, COR): the line and its pin.
enum class CosType { serial, cm108, gpio };
enum class SerialPin { dcd, cts, dsr, ri };
// The CM108 family's HID buttons, by their bit in byte 0 of the input report.
enum class HidButton : std::uint8_t {
    volumeUp = 0x01,
    volumeDown = 0x02,
    mutePlay = 0x04,
    muteRecord = 0x08
};
// A GPIO input's bias; asIs leaves it as the board or an earlier user set it.
enum class CosBias { asIs, pullUp, pullDown, none };

struct CosSettings {
    CosType type = CosType::serial;
    std::string device;
    SerialPin serialPin = SerialPin::dcd;
    HidButton hidButton = HidButton::volumeDown; // the common fob wiring
    unsigned gpioLine = 0;
    CosBias bias = CosBias::asIs;
    // Without it the line's active state (a raised modem line, a pressed HID button, a high
    // GPIO input) is a carrier.
    bool invert = false;
};

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

    unsigned sources = static_cast<unsigned>(Source::audio);
    bool uses(Source source) const { return (sources & static_cast<unsigned>(source)) != 0; }
    CosSettings cos;
    // One of the standard CTCSS tones, in hertz; 0 without the ctcss source.
    double ctcssTone = 0;
    // The tone's estimated signal-to-noise ratio in dB that opens the tone squelch, and the one
    // below which an open one closes.
    double ctcssOpenDb = 15;
    double ctcssCloseDb = 9;
};

inline constexpr std::uint32_t maxMinOverMs = 10000;

// Reads each key of the section into Into; a missing key leaves its field as it is. A value that
// is not allowed leaves its field too, and once every key has been read, raises
// SysUtils::Exception naming each such key and what it allows. A key given twice or unknown is
// added to Notices.
void readSettings(const IniFiles::TIniFile& file, Settings& into,
                  std::vector<std::string>& notices);

} // namespace squelch
