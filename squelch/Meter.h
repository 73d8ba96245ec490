// What the squelch measures on one buffer of the control channel, for the calibration and for
// the repeater's own schemes: the same bins, the same trimming, the same arithmetic.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "squelch/Scheme.h"
#include "wave/WaveDefs.h"

namespace squelch {

// The figure scheme A compares with SquelchLevel: the average of the first Count values that
// survive trimming Fraction of them at each end (the trimmed values are overwritten in place).
// None when no value is left.
std::optional<long double> trimmedAverage(std::span<double> values, std::int32_t count,
                                          double fraction);

// The figure scheme B compares with SquelchLevel: the mean of the other values relative to the
// greatest. None with fewer than two values or a greatest value of 0.
std::optional<long double> peakRatio(std::span<const double> values, std::int32_t count);

// How far from the zero level a sample of a digitally silent input may stray, in the format's
// steps: a receiver or a sound card idling on a little dither is silent too. At 8 bit one step:
// what that dither becomes when converted to 8 bit, or an 8-bit converter's own.
inline constexpr int silenceSteps16 = 2;
inline constexpr int silenceSteps8 = 1;

// Every sample of a mono buffer within the silence steps of the zero level (a digitally silent
// input).
bool isSilent(const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono);

// Scheme A's windowed copy of a buffer: its first N samples times a periodic Hann window, scaled
// by the window's noise-power gain so that the same hiss gives the same bin magnitudes with or
// without it. The weights and the copy are sized once for a buffer size, not per buffer.
class HannCopy {
public:
    // The copy, for transforming in place.
    std::span<double> make(std::span<const double> samples, std::int32_t n);

private:
    std::vector<double> weights_;
    std::vector<double> copy_;
};

// Where a scheme looks, from the settings of the same names.
struct Band {
    Scheme scheme = Scheme::noiseBand;
    double maxSignalFrequency = 5000;
    double maxNoiseFrequency = 6000;
    double trim = 0.1;
    bool hannWindow = false; // scheme A's noise band on a windowed copy
};

// The spectrum a scheme reads from a buffer's first N decoded samples (N a power of two).
// Samples are transformed in place, unless scheme A reads a windowed copy and Plain does not ask
// for the plain transform as well (the spectrum window shows it).
class Transform {
public:
    std::span<const double> make(std::span<double> samples, std::int32_t n, const Band& band,
                                 bool plain);

private:
    HannCopy hann_;
};

// Copies the magnitudes of the scheme's band of a packed spectrum of N samples into Into, which
// only grows, and returns how many: scheme A's noise band (above MaxSignalFrequency, up to
// MaxNoiseFrequency) or scheme B's signal band (up to MaxSignalFrequency); none for no scheme.
std::int32_t selectBand(std::span<const double> spectrum, std::int32_t n, std::uint32_t rate,
                        const Band& band, Scheme scheme, std::vector<double>& into);

// The figure the scheme compares with its level, from the first Count values of its band
// (scheme A trims them in place).
std::optional<long double> figureOf(Scheme scheme, std::span<double> values, std::int32_t count,
                                    double trim);

// One buffer as the squelch sees it.
struct Reading {
    // What the chosen scheme compares with SquelchLevel; none where the scheme finds no figure
    // (a buffer it counts as no signal whatever the level).
    std::optional<double> figure;
    // Scheme A's figure and the average magnitude of the voice band (300 Hz up to
    // MaxSignalFrequency), whatever the scheme: how loud the noise band is beside the voice.
    double noiseBand = 0;
    double voiceBand = 0;
    bool silent = false;
    std::uint32_t samples = 0;
    std::uint32_t clipped = 0; // samples at either end of the range
};

class Meter {
public:
    explicit Meter(Band band) : band_(band) {}

    const Band& band() const { return band_; }
    // A buffer of the control channel in its mono format.
    Reading read(const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono);

private:
    Band band_;
    Transform transform_;
    std::vector<double> samples_;
    std::vector<double> noise_;
    std::vector<double> signal_;
};

} // namespace squelch
