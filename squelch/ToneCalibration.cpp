#include "squelch/ToneCalibration.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "squelch/Calibration.h"

namespace squelch {
namespace {

// A tone on its frequency at CtcssClose or more in at least this share of a carrier's buffers
// is one the carrier brings.
constexpr double broughtShare = 0.5;

std::string format(const char* pattern, double a, double b = 0, double c = 0, double d = 0) {
    char text[640];
    std::snprintf(text, sizeof text, pattern, a, b, c, d);
    return text;
}

double share(std::size_t part, std::size_t whole) {
    return whole == 0 ? 0 : static_cast<double>(part) / static_cast<double>(whole);
}

} // namespace

ToneScan::ToneScan(double toneHz, std::uint32_t rate, double openDb, double closeDb)
    : openDb_(openDb), closeDb_(closeDb) {
    detectors_.reserve(ctcssTones.size());
    for (std::size_t i = 0; i < ctcssTones.size(); ++i) {
        detectors_.emplace_back(ctcssTones[i], rate);
        if (std::abs(ctcssTones[i] - toneHz) < std::abs(ctcssTones[wanted_] - toneHz))
            wanted_ = i;
    }
    readings_.resize(detectors_.size());
}

void ToneScan::feed(const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono) {
    for (std::size_t i = 0; i < detectors_.size(); ++i)
        readings_[i] = detectors_[i].feed(data, size, mono);
    // As the repeater's tone squelch decides.
    const ToneReading& r = readings_[wanted_];
    open_ = r.onFrequency && r.snrDb >= (open_ ? closeDb_ : openDb_);
}

void TonePhase::add(const ToneScan& scan) {
    const auto& readings = scan.readings();
    const ToneReading& wanted = readings[scan.wanted()];
    ++buffers_;
    onTone_ += wanted.onFrequency ? 1 : 0;
    open_ += scan.open() ? 1 : 0;
    opens_ += scan.open() && !wasOpen_ ? 1 : 0;
    wasOpen_ = scan.open();
    figures_.add(wanted.snrDb);
    heard_.resize(readings.size());
    for (std::size_t i = 0; i < readings.size(); ++i)
        heard_[i] += readings[i].onFrequency && readings[i].snrDb >= scan.closeDb() ? 1 : 0;
}

double TonePhase::percentile(double share) const {
    return figures_.percentile(share, -99);
}

double TonePhase::onToneShare() const {
    return share(onTone_, buffers_);
}

double TonePhase::openShare() const {
    return share(open_, buffers_);
}

double TonePhase::strongestTone(double& found) const {
    found = 0;
    double tone = 0;
    for (std::size_t i = 0; i < heard_.size(); ++i)
        if (heard_[i] > 0 && share(heard_[i], buffers_) > found) {
            found = share(heard_[i], buffers_);
            tone = ctcssTones[i];
        }
    return tone;
}

ToneVerdict judgeTone(const ToneScan& scan, const TonePhase& idle, const TonePhase& carrier) {
    ToneVerdict v;
    const double low = carrier.percentile(1 - toneOpenShare);
    v.carrierAboveOpenDb = low - scan.openDb();
    v.carrierAboveCloseDb = low - scan.closeDb();
    v.idleBelowOpenDb = scan.openDb() - idle.percentile(1.0);
    if (idle.buffers() == 0 || carrier.buffers() == 0) {
        v.refusal = "No audio came from the sound card to measure the tone on.";
        return v;
    }
    const std::string wanted = format("CtcssTone=%.1f", scan.tone());
    if (carrier.openShare() < toneOpenShare) {
        double brought = 0;
        const double other = carrier.strongestTone(brought);
        if (brought < broughtShare) {
            v.noTone = true;
            v.refusal = format("With the carrier the control channel carries no CTCSS tone at "
                               "all: no standard tone reads %.0f dB (CtcssClose) or more in half "
                               "of its buffers. A receiver's speaker output loses the tone in its "
                               "voice filter: feed Quorim from the receiver's discriminator (data) "
                               "output instead, and check that the carrier is sent with the tone.",
                               scan.closeDb());
        } else if (other != scan.tone()) {
            v.refusal =
                format("With the carrier the control channel carries %.1f Hz, not ", other) +
                wanted +
                ": set CtcssTone to the tone the channel's callers send, or key a "
                "carrier with that one.";
        } else {
            v.refusal = format("The tone squelch was open in only %.0f %% of the carrier's "
                               "buffers (at least %.0f %% are needed): the tone reads %.1f dB in "
                               "10 %% of them, ",
                               100 * carrier.openShare(), 100 * toneOpenShare, low) +
                        format("%.1f dB below CtcssOpen. Key a stronger carrier, or if the "
                               "receiver feeds Quorim from its speaker output, use its "
                               "discriminator (data) output instead.",
                               -v.carrierAboveOpenDb);
        }
        return v;
    }
    if (idle.opens() > 0)
        v.refusal = format("Without a carrier the tone squelch opened %.0f times (the idle "
                           "channel read up to %.1f dB on the tone): another station on the "
                           "channel sends it, or a carrier was keyed in the first phase.",
                           static_cast<double>(idle.opens()), idle.percentile(1.0));
    return v;
}

std::string describeTone(const ToneScan& scan) {
    return format("the CTCSS tone of %.1f Hz: its estimated signal-to-noise ratio in dB, which "
                  "opens the tone squelch at CtcssOpen=%g and keeps it open down to "
                  "CtcssClose=%g",
                  scan.tone(), scan.openDb(), scan.closeDb());
}

std::string toneReport(const ToneScan& scan, const TonePhase& idle, const TonePhase& carrier,
                       const ToneVerdict& verdict) {
    std::string text = format("Tone squelch, CTCSS %.1f Hz (dB):\n", scan.tone());
    text += "            buffers  on tone";
    for (const auto& p : reportedPercentiles)
        text += std::string(9 - std::string(p.name).size(), ' ') + p.name;
    text += "\n";
    for (const auto* phase : {&idle, &carrier}) {
        char head[48];
        std::snprintf(head, sizeof head, "%-12s%7zu  %5.0f %%",
                      phase == &idle ? "no carrier" : "carrier", phase->buffers(),
                      100 * phase->onToneShare());
        text += head;
        for (const auto& p : reportedPercentiles)
            text += format("%9.1f", phase->percentile(p.share));
        text += "\n";
    }
    if (idle.buffers() == 0 || carrier.buffers() == 0)
        return text;
    // A margin below a threshold is said as such, not as a negative one above it.
    auto against = [](double db, const std::string& threshold) {
        return format(db >= 0 ? "%.1f dB above " : "%.1f dB below ", std::abs(db)) + threshold;
    };
    text += "Margin without a carrier: the highest figure lies " +
            against(-verdict.idleBelowOpenDb, "CtcssOpen") +
            (idle.opens() == 0 ? std::string("; the tone squelch stayed closed.\n")
                               : format("; the tone squelch opened %.0f times.\n",
                                        static_cast<double>(idle.opens())));
    text += "Margin with the carrier: 90 % of the figures lie at least " +
            against(verdict.carrierAboveOpenDb, "CtcssOpen") + " and " +
            against(verdict.carrierAboveCloseDb, "CtcssClose") +
            format("; the tone squelch was open in %.0f %% of the buffers.\n",
                   100 * carrier.openShare());
    return text;
}

} // namespace squelch
