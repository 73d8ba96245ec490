#include "squelch/Calibration.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "toolkit/SysUtils.h"

namespace squelch {
namespace {

// The squelch field shows six decimals, and the window writes the level back as it shows it: a
// level must keep its two significant digits there (0.000010 and up).
constexpr double smallestLevel = 1e-5;
// What a carrier that reads 0 (a clean digital tone) counts as: half the field's last decimal.
constexpr double zeroCarrier = 5e-7;
// Above this share a phase counts as silent, or clipped.
constexpr double silentShare = 0.5;
constexpr double clippedShare = 0.01;
// An open receiver's discriminator hisses as loudly above the voice band as in it; a speaker
// output or a closed squelch leaves the noise band far below.
constexpr double quietBandDb = 20.0;

double db(double ratio) {
    return 20.0 * std::log10(ratio);
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

// Two significant digits, then the field's six decimals.
double roundLevel(double value) {
    const double scale = std::pow(10.0, std::floor(std::log10(value)) - 1);
    const double two = std::round(value / scale) * scale;
    return std::round(two * 1e6) / 1e6;
}

std::string whichPhases(bool idle, bool carrier) {
    return idle && carrier ? "in both phases" : idle ? "without a carrier" : "with the carrier";
}

std::string refusal(const Band& band, const Phase& idle, const Phase& carrier, const Proposal& p) {
    const bool schemeA = band.scheme == Scheme::noiseBand;
    if (idle.buffers() == 0 || carrier.buffers() == 0)
        return "No audio came from the sound card " +
               whichPhases(idle.buffers() == 0, carrier.buffers() == 0) + ".";
    const bool idleSilent = idle.silentShare() > silentShare;
    const bool carrierSilent = carrier.silentShare() > silentShare;
    if (idleSilent || carrierSilent)
        return "The control channel is silent " + whichPhases(idleSilent, carrierSilent) +
               ": every sample is at the zero level, so no audio reaches the sound card. Check "
               "the cable from the receiver, that the receiver's own squelch is open (Quorim "
               "must hear its hiss) and that the input is not muted in the mixer.";
    const bool idleClipped = idle.clippedShare() > clippedShare;
    const bool carrierClipped = carrier.clippedShare() > clippedShare;
    if (idleClipped || carrierClipped)
        return "The input is clipped " + whichPhases(idleClipped, carrierClipped) + ": " +
               format("%.1f", 100 * std::max(idle.clippedShare(), carrier.clippedShare())) +
               " % of the samples are at full scale. Turn the receiver's volume or the sound "
               "card's input gain down until the level meters stay below full scale, and "
               "calibrate again.";
    if (idle.figures().size() * 2 < idle.buffers() ||
        carrier.figures().size() * 2 < carrier.buffers())
        return "The squelch found no band to measure: check MaxSignalFrequency and "
               "MaxNoiseFrequency against the sample rate.";
    if (!schemeA)
        return format("With the carrier no frequency stood out enough: the two phases differ by "
                      "%.1f dB, and at least %.0f dB are needed. Scheme B needs a carrier with a "
                      "steady tone (a CTCSS or test tone); without one, use scheme A on the "
                      "receiver's discriminator (data) output.",
                      p.separationDb, minimumSeparationDb);
    const std::string bandText =
        format("%.0f-%.0f Hz", band.maxSignalFrequency, band.maxNoiseFrequency);
    if (idle.noiseBelowVoiceDb() > quietBandDb)
        return "Without a carrier the noise band (" + bandText + ") is quiet already, " +
               format("%.0f dB", idle.noiseBelowVoiceDb()) +
               " below the voice band, so a carrier cannot quiet it further: the receiver's "
               "squelch is closed, or its speaker output filters the band away. Connect the "
               "receiver's discriminator (data) output with its squelch open, or use scheme B "
               "with a carrier that carries a steady tone.";
    if (carrier.percentile(0.5) >= idle.percentile(0.5))
        return "The noise band (" + bandText +
               ") was no quieter with the carrier than without: was the carrier keyed in the "
               "second phase, and does the receiver hear it?";
    return "The carrier quieted the noise band (" + bandText + ") by only " +
           format("%.1f dB, and at least %.0f dB are needed", p.separationDb, minimumSeparationDb) +
           ". Key a stronger carrier, or if the receiver feeds Quorim from its speaker output, "
           "use its discriminator (data) output instead.";
}

} // namespace

void Phase::add(const Reading& reading) {
    if (reading.samples == 0)
        return;
    ++buffers_;
    silent_ += reading.silent ? 1 : 0;
    samples_ += reading.samples;
    clipped_ += reading.clipped;
    if (reading.figure) {
        figures_.add(*reading.figure);
    }
    noise_.push_back(reading.noiseBand);
    voice_.push_back(reading.voiceBand);
}

const std::vector<double>& Figures::sorted() const {
    if (!sorted_) {
        std::sort(values_.begin(), values_.end());
        sorted_ = true;
    }
    return values_;
}

double Figures::percentile(double share, double empty) const {
    const auto& f = sorted();
    if (f.empty())
        return empty;
    const auto rank =
        static_cast<std::size_t>(std::lround(share * static_cast<double>(f.size() - 1)));
    return f[std::min(rank, f.size() - 1)];
}

const std::vector<double>& Phase::figures() const {
    return figures_.sorted();
}

double Phase::percentile(double share) const {
    return figures_.percentile(share, 0);
}

double Phase::silentShare() const {
    return buffers_ == 0 ? 0 : static_cast<double>(silent_) / static_cast<double>(buffers_);
}

double Phase::clippedShare() const {
    return samples_ == 0 ? 0 : static_cast<double>(clipped_) / static_cast<double>(samples_);
}

double Phase::noiseBelowVoiceDb() const {
    const double noise = median(noise_);
    const double voice = median(voice_);
    if (!(noise > 0) || !(voice > 0))
        return 0;
    return db(voice / noise);
}

Proposal propose(const Band& band, const Phase& idle, const Phase& carrier) {
    Proposal p;
    p.idleEdge = idle.percentile(0.0);
    p.carrierEdge = std::max(carrier.percentile(carrierShare), zeroCarrier);
    p.separationDb = p.idleEdge > 0 ? db(p.idleEdge / p.carrierEdge) : -INFINITY;
    const bool measured =
        idle.buffers() > 0 && carrier.buffers() > 0 && idle.silentShare() <= silentShare &&
        carrier.silentShare() <= silentShare && idle.figures().size() * 2 >= idle.buffers() &&
        carrier.figures().size() * 2 >= carrier.buffers();
    if (!measured || !(p.separationDb >= minimumSeparationDb)) {
        p.refusal = refusal(band, idle, carrier, p);
        return p;
    }
    // The middle of the gap in dB leaves the same margin on either side.
    const double level = roundLevel(std::sqrt(p.idleEdge * p.carrierEdge));
    if (!(level > p.carrierEdge && level < p.idleEdge && level >= smallestLevel && level < 1)) {
        p.refusal = "The figures are too small for the squelch field's six decimals: raise the "
                    "receiver's volume or the sound card's input gain.";
        if (level < smallestLevel)
            p.refusal += " (The level in the gap would be " +
                         plain(std::sqrt(p.idleEdge * p.carrierEdge)) +
                         "; the field keeps two significant digits from 0.000010 up.)";
        return p;
    }
    p.level = level;
    p.belowIdleDb = db(p.idleEdge / level);
    p.aboveCarrierDb = db(level / p.carrierEdge);
    if (const double close = roundLevel(std::sqrt(level * p.idleEdge));
        close > level && close < p.idleEdge && close < 1) {
        p.closeLevel = close;
        p.closeBelowIdleDb = db(p.idleEdge / close);
    }
    const double clipped = std::max(idle.clippedShare(), carrier.clippedShare());
    if (clipped > clippedShare)
        p.warning = format("%.1f", 100 * clipped) +
                    " % of the samples are at full scale: turn the input down and calibrate "
                    "again for a level that holds when the receiver's volume changes.";
    return p;
}

bool betterWindow(const Proposal& current, const Proposal& other) {
    if (!(other.separationDb >= minimumSeparationDb))
        return false;
    return current.level ? other.separationDb >= current.separationDb + windowGainDb
                         : other.separationDb > current.separationDb;
}

std::string describe(const Band& band) {
    if (band.scheme == Scheme::noiseBand)
        return format("scheme A: the average magnitude of the noise band %.0f-%.0f Hz with "
                      "%.0f %% of its bins trimmed at each end",
                      band.maxSignalFrequency, band.maxNoiseFrequency, 100 * band.trim);
    return format("scheme B: the mean magnitude of the signal band (up to %.0f Hz) relative to "
                  "its strongest bin",
                  band.maxSignalFrequency);
}

std::string plain(double value) {
    if (!(value > 0))
        return "0";
    const int decimals = std::clamp(2 - static_cast<int>(std::floor(std::log10(value))), 0, 12);
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string report(const Phase& idle, const Phase& carrier, const Proposal& proposal,
                   double currentLevel) {
    std::string text = "            buffers";
    for (const auto& p : reportedPercentiles)
        text += std::string(11 - std::string(p.name).size(), ' ') + p.name;
    text += "\n";
    for (const auto* phase : {&idle, &carrier}) {
        char head[32];
        std::snprintf(head, sizeof head, "%-12s%7zu", phase == &idle ? "no carrier" : "carrier",
                      phase->buffers());
        text += head;
        for (const auto& p : reportedPercentiles) {
            const std::string v =
                phase->figures().empty() ? "-" : plain(phase->percentile(p.share));
            text += std::string(v.size() < 11 ? 11 - v.size() : 1, ' ') + v;
        }
        text += "\n";
    }
    if (proposal.idleEdge > 0)
        text += format("Separation: %.1f dB, between the idle channel's lowest figure and the "
                       "carrier's 90 %%.\n",
                       proposal.separationDb);
    if (proposal.level) {
        text += "Proposed SquelchLevel=" + SysUtils::FloatToStr(*proposal.level) +
                format(": %.1f dB below the idle channel's lowest, %.1f dB above the carrier's "
                       "90 %%",
                       proposal.belowIdleDb, proposal.aboveCarrierDb) +
                " (the settings hold " + SysUtils::FloatToStr(currentLevel) + ").\n";
        if (proposal.closeLevel)
            text += "Proposed CloseLevel=" + SysUtils::FloatToStr(*proposal.closeLevel) +
                    format(": %.1f dB below the idle channel's lowest, %.1f dB above "
                           "SquelchLevel.\n",
                           proposal.closeBelowIdleDb, db(*proposal.closeLevel / *proposal.level));
    }
    return text;
}

} // namespace squelch
