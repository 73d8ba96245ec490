// The tone squelch: a CTCSS tone on the control channel (a receiver's discriminator or data
// output carries it; a speaker output's voice filter takes it away), measured every buffer by
// its estimated signal-to-noise ratio in the sub-audible band and by its frequency, so that a
// neighbouring standard tone, speech or hiss never opens it.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/Biquad.h"
#include "wave/WaveDefs.h"

namespace squelch {

// The 50 standard tones, in hertz, lowest first.
inline constexpr std::array<double, 50> ctcssTones{
    67.0,  69.3,  71.9,  74.4,  77.0,  79.7,  82.5,  85.4,  88.5,  91.5,  94.8,  97.4,  100.0,
    103.5, 107.2, 110.9, 114.8, 118.8, 123.0, 127.3, 131.8, 136.5, 141.3, 146.2, 151.4, 156.7,
    159.8, 162.2, 165.5, 167.9, 171.3, 173.8, 177.3, 179.9, 183.5, 186.2, 189.9, 192.8, 196.6,
    199.5, 203.5, 206.5, 210.7, 218.1, 225.7, 229.1, 233.6, 241.8, 250.3, 254.1};

// The standard tone a text names ("100", "100.0"), if it names one.
std::optional<double> standardTone(double hz);

// How far the measured frequency may lie from the tone: 40 % of the way to its nearest standard
// neighbour, so that a neighbour is never taken for it.
double toneTolerance(double hz);

// What the detector measured over its window, up to the buffer just fed.
struct ToneReading {
    double snrDb = -99;  // the tone's power against the rest of the band below 300 Hz
    double offsetHz = 0; // the strongest component's frequency less the tone's
    bool onFrequency = false;
};

class ToneDetector {
public:
    // The measuring window: long enough to estimate the frequency to a small fraction of the
    // spacing of the standard tones at the ratios that open the squelch, short enough to open
    // within a quarter of a second.
    static constexpr double windowSeconds = 0.16;

    ToneDetector(double toneHz, std::uint32_t rate);

    // A buffer of the control channel in its mono format.
    ToneReading feed(const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono);
    // The same, for samples in -1..1.
    ToneReading feed(std::span<const double> samples);
    double tone() const { return tone_; }

private:
    ToneReading measure() const;

    double tone_;
    double tolerance_;
    std::uint32_t rate_;
    std::size_t blockLength_;
    analysis::Butterworth lowPass_; // fourth order, at the band's top
    double dcIn_ = 0, dcOut_ = 0;
    std::complex<double> oscillator_{1, 0};
    std::complex<double> step_;
    std::complex<double> sum_{0, 0};
    std::size_t inBlock_ = 0;
    // The window's blocks: their mixed-down sums and their power, oldest at next_.
    std::vector<std::complex<double>> sums_;
    std::vector<double> powers_;
    std::size_t next_ = 0;
    std::vector<double> decoded_;
};

// A tone squelch with its own open and close thresholds.
class ToneSquelch {
public:
    ToneSquelch(double toneHz, std::uint32_t rate, double openDb, double closeDb)
        : detector_(toneHz, rate), openDb_(openDb), closeDb_(closeDb) {}
    bool judge(const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono);
    const ToneReading& last() const { return last_; }
    bool open() const { return open_; }

private:
    ToneDetector detector_;
    double openDb_;
    double closeDb_;
    bool open_ = false;
    ToneReading last_;
};

} // namespace squelch
