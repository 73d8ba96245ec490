// The tone squelch's calibration: the CTCSS detector's figure (the tone's estimated
// signal-to-noise ratio, in dB) measured buffer by buffer without and with a carrier, its
// margins against CtcssOpen and CtcssClose, and, when the carrier does not bring the tone, the
// standard tone it brings instead or that it brings none at all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "squelch/Calibration.h"
#include "squelch/Ctcss.h"

namespace squelch {

// Every standard tone's detector on the control channel, fed every buffer (what lies between
// the measured stretches too, so that each window is full): the wanted tone's reading decides
// as the repeater would, the others say which tone a carrier brings when it is not that one.
class ToneScan {
public:
    ToneScan(double toneHz, std::uint32_t rate, double openDb, double closeDb);

    void feed(const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono);
    // The last buffer's readings, one per standard tone, in the order of ctcssTones.
    const std::vector<ToneReading>& readings() const { return readings_; }
    std::size_t wanted() const { return wanted_; }
    // Whether the tone squelch was open after the last buffer, with its own hysteresis.
    bool open() const { return open_; }

    double tone() const { return ctcssTones[wanted_]; }
    double openDb() const { return openDb_; }
    double closeDb() const { return closeDb_; }

private:
    std::vector<ToneDetector> detectors_;
    std::vector<ToneReading> readings_;
    std::size_t wanted_ = 0;
    double openDb_;
    double closeDb_;
    bool open_ = false;
};

// What one phase of the calibration measured of the tones.
class TonePhase {
public:
    void add(const ToneScan& scan);

    std::size_t buffers() const { return buffers_; }
    // The wanted tone's figure, nearest rank; Share from 0 (the lowest) to 1 (the highest).
    double percentile(double share) const;
    double onToneShare() const;
    double openShare() const;
    // How many times the tone squelch opened.
    std::size_t opens() const { return opens_; }
    // The standard tone most often on its frequency at CtcssClose or more, and in what share of
    // the buffers; 0 when none ever was.
    double strongestTone(double& share) const;

private:
    std::size_t buffers_ = 0;
    std::size_t onTone_ = 0;
    std::size_t open_ = 0;
    std::size_t opens_ = 0;
    bool wasOpen_ = false;
    Figures figures_;                // the wanted tone's
    std::vector<std::size_t> heard_; // per standard tone
};

// The tone squelch's margins and whether it can be used as measured.
struct ToneVerdict {
    // With the carrier: its 10 % figure above CtcssOpen and CtcssClose (negative below).
    double carrierAboveOpenDb = 0;
    double carrierAboveCloseDb = 0;
    // Without a carrier: how far its highest figure lies below CtcssOpen.
    double idleBelowOpenDb = 0;
    // Empty when the tone squelch opens on the carrier and stays closed without it.
    std::string refusal;
    // The carrier brings no standard tone at all (a speaker output's voice filter took it).
    bool noTone = false;
};

// A carrier's buffers that must have the tone squelch open.
inline constexpr double toneOpenShare = 0.9;

ToneVerdict judgeTone(const ToneScan& scan, const TonePhase& idle, const TonePhase& carrier);
// What the figure is, for the heading.
std::string describeTone(const ToneScan& scan);
// Both phases' percentiles and the margins, as the terminal shows them.
std::string toneReport(const ToneScan& scan, const TonePhase& idle, const TonePhase& carrier,
                       const ToneVerdict& verdict);

} // namespace squelch
