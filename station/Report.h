// How an over came in: its audio level and how far the carrier quieted the receiver, measured
// for the archive and told to the caller after the replay, in words or in Morse.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "squelch/Scheme.h"
#include "station/Audio.h"
#include "station/Settings.h"

namespace station {

// The squelch the repeater runs, as far as the figures depend on it.
struct Squelch {
    squelch::Scheme scheme = squelch::Scheme::noiseBand;
    double level = 0; // SquelchLevel
};

struct OverFigures {
    double seconds = 0;
    double peakDb = -200;        // dBFS
    double rmsDb = -200;         // dBFS
    std::uint64_t fullScale = 0; // samples at or near full scale
    double fullScalePercent = 0; // of all samples
    // The squelch figure in dB: the idle receiver's median and the over's median.
    std::optional<double> idleDb;
    std::optional<double> overDb;
    std::optional<double> quietingDb; // noise band: idle over the over
    std::optional<double> marginDb;   // peak ratio: how far below SquelchLevel
};

enum class Level { Low, Good, Loud, Clipped };

// A sample this close to full scale counts as clipped (about 0.2 dB below it).
inline constexpr double NearFullScale = 0.977;
// An over with at least this share of its samples there is reported as clipped.
inline constexpr double ClippedPercent = 0.1;

// The level figures of a mono recording.
OverFigures measureAudio(std::span<const std::uint8_t> Audio, TWaveFormat Mono);
Level levelOf(const OverFigures& Figures, const Settings& S);

// The report as spoken ("Уровень хороший. Шумоподавление 24 децибела.") and as a short Morse
// code ("Q24 L OK": quieting or M for margin, then the level: LO, OK, HI, CL).
std::string reportWords(const OverFigures& Figures, Level L, const std::string& Language);
std::string reportCode(const OverFigures& Figures, Level L);
// V with Decimals places, as the log and the archive write figures.
std::string decimals(double V, int Decimals);
// One line for the log: every figure and the code.
std::string reportLine(const OverFigures& Figures, Level L);

// The squelch figure of each captured buffer, kept as medians: the idle receiver's over its
// last IdleBuffers, and the current over's over its raw-signal buffers. Never allocates.
class SquelchFigures {
public:
    static constexpr std::size_t IdleBuffers = 256;
    // Fewer idle buffers than this and the idle figure is not known yet.
    static constexpr std::size_t MinIdleBuffers = 8;

    void reset();
    void add(bool Raw, double Figure);
    // The over is over (replayed or dropped): its figures go into Figures and start afresh.
    void takeOver(OverFigures& Figures, const Squelch& S);
    void dropOver();

private:
    static constexpr double LowestDb = -240, BinDb = 0.05;
    static constexpr std::size_t Bins = 6400; // -240 dB to +80 dB

    std::optional<double> idleMedian() const;

    std::array<double, IdleBuffers> idle_{};
    std::size_t idleCount_ = 0, idleNext_ = 0;
    std::optional<double> idleAtOverStart_;
    std::array<std::uint32_t, Bins> over_{};
    std::uint64_t overCount_ = 0;
};

} // namespace station
