// A narrowband FM radio link, modelled from the microphone to the receiver's output, for testing
// the squelch: speech-like audio, pre-emphasis, a limiter and a 3 kHz filter, FM at ±2.5 kHz on
// a carrier that comes and goes, white noise at a chosen carrier-to-noise ratio, a 12 kHz
// channel filter and a limiter-discriminator. The receiver gives either its flat discriminator
// (data) output or its speaker output (de-emphasis and a 300-3000 Hz filter). A transmitter may
// send a CTCSS tone with its carrier, and then keeps its voice above 300 Hz as such transmitters
// do. The same seed gives the same audio on every run and machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fm_link {

inline constexpr std::uint32_t rate = 48000;
// Carrier without speech at the start and at the end of every over with speech, in seconds.
inline constexpr double speechLead = 0.25;
inline constexpr double speechTail = 0.2;

enum class Output { discriminator, speaker };

struct Receiver {
    Output output = Output::discriminator;
    int voicePoles = 4; // the speaker output's 3 kHz low-pass: 4 or 8
    double cnrDb = 20;  // in the 12 kHz channel
    // The speaker output's 300 Hz high-pass: 2, which lets a CTCSS tone through weakened, or 8,
    // a radio's sub-audible filter that takes the tones below about 200 Hz away.
    int subAudiblePoles = 2;
    double volumeDb = 0; // the speaker output's volume turned up from its usual setting
};

// A CTCSS tone's deviation, TIA-603's standard.
inline constexpr double toneDeviation = 500;

// One transmission: the carrier from Start for Length seconds, with speech or (a kerchunk)
// without, and with a CTCSS tone for as long as the carrier or (0) none.
struct Over {
    double start = 0;
    double length = 0;
    bool speech = true;
    // The microphone's audio instead of speech (DTMF, test tones), from speechLead on: in -1..1,
    // where full scale at 1 kHz reaches the deviation limit, as a transmitter's gain is set.
    std::vector<double> audio{};
    double toneHz = 0;
    // -1 or +1: the standard tone just below or above ToneHz is sent instead.
    int neighbour = 0;
};

// The tone an over sends: ToneHz or its standard neighbour; 0 for none.
double sentTone(const Over& over);

// The receiver's audio, mono in -1..1, for Seconds: hiss wherever no over is on the air.
std::vector<float> render(const Receiver& receiver, const std::vector<Over>& overs, double seconds,
                          std::uint64_t seed);

// Writes audio as a 16-bit stereo WAV at `rate`, the same on both channels, as a receiver fed
// to both inputs through a Y-cable. Throws std::runtime_error when it cannot.
void writeWav(const std::string& path, const std::vector<float>& audio);

} // namespace fm_link
