// The squelch's calibration: the figure a scheme compares with SquelchLevel, measured buffer by
// buffer on an idle channel and on a carrier, and a level proposed in the gap between them, or
// the reason there is none in words a radio operator understands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "squelch/Meter.h"

namespace squelch {

// What one phase of the calibration measured.
// Figures gathered buffer by buffer, sorted when first asked for.
class Figures {
public:
    void add(double value) {
        values_.push_back(value);
        sorted_ = false;
    }
    // Lowest first.
    const std::vector<double>& sorted() const;
    // Nearest rank; Share from 0 (the lowest) to 1 (the highest); Empty without figures.
    double percentile(double share, double empty) const;

private:
    mutable std::vector<double> values_;
    mutable bool sorted_ = true;
};

class Phase {
public:
    void add(const Reading& reading);

    std::size_t buffers() const { return buffers_; }
    // The figures that were found, lowest first.
    const std::vector<double>& figures() const;
    // Nearest rank; Share from 0 (the lowest) to 1 (the highest). 0 without figures.
    double percentile(double share) const;
    double silentShare() const;
    double clippedShare() const;
    // How far the noise band lies below the voice band, in dB, over the phase's medians.
    double noiseBelowVoiceDb() const;

private:
    std::size_t buffers_ = 0;
    std::size_t silent_ = 0;
    std::uint64_t samples_ = 0;
    std::uint64_t clipped_ = 0;
    Figures figures_;
    std::vector<double> noise_;
    std::vector<double> voice_;
};

// The shares of a phase the report prints, and their names.
struct Percentile {
    double share;
    const char* name;
};
inline constexpr Percentile reportedPercentiles[] = {{0.0, "lowest"}, {0.01, "1 %"}, {0.1, "10 %"},
                                                     {0.5, "median"}, {0.9, "90 %"}, {0.99, "99 %"},
                                                     {1.0, "highest"}};

// Both schemes count a buffer as signal when its figure is below the level, so the gap lies
// between the carrier's high figures and the idle channel's low ones.
struct Proposal {
    // The idle channel's lowest figure: a level above it would open on that hiss.
    double idleEdge = 0;
    // The carrier's 90th percentile: the hold bridges the odd buffer above the level, but not a
    // carrier that is often above it.
    double carrierEdge = 0;
    double separationDb = 0;
    // Set when a level is proposed; Refusal says why not otherwise.
    std::optional<double> level;
    double belowIdleDb = 0;
    double aboveCarrierDb = 0;
    // With a level: a close level halfway in dB between it and the idle channel's lowest, so
    // that an over's buffers that read between the two do not split it.
    std::optional<double> closeLevel;
    double closeBelowIdleDb = 0;
    std::string refusal;
    // Something to mend even though a level was found.
    std::string warning;
};

inline constexpr double minimumSeparationDb = 6.0;
inline constexpr double carrierShare = 0.9;

Proposal propose(const Band& band, const Phase& idle, const Phase& carrier);

// How much wider the other window must open the gap before it is worth changing a window that
// already gives a level.
inline constexpr double windowGainDb = 6.0;
// Whether scheme A's figures measured with the other window give the better proposal: a gap
// wide enough for a level, and wider by windowGainDb than one that gives a level already.
bool betterWindow(const Proposal& current, const Proposal& other);

// What the figure is, for the report's heading: "the trimmed average of ...".
std::string describe(const Band& band);
// The percentile table of both phases and the proposal or refusal, as the terminal shows it.
std::string report(const Phase& idle, const Phase& carrier, const Proposal& proposal,
                   double currentLevel);
// A positive figure with three significant digits and no exponent, as the squelch field reads.
std::string plain(double value);

} // namespace squelch
