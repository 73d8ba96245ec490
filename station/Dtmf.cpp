#include "station/Dtmf.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace station {
namespace {

constexpr double Rate = 8000;
constexpr double Pi = std::numbers::pi;
constexpr std::array<double, 4> Low{697, 770, 852, 941};
constexpr std::array<double, 4> High{1209, 1336, 1477, 1633};
constexpr char Keys[4][5] = {"123A", "456B", "789C", "*0#D"};
// Each tone is measured at its frequency and beside it: its power is the most of the three
// nearest (a tone 1.5 % off loses little), and a tone nearer the outer ones than its own
// frequency (over 2.5 % off) is no DTMF tone.
constexpr std::array<double, 5> Probes{0.95, 0.98, 1.0, 1.02, 1.05};
constexpr std::size_t Centre = 2;

// What a pair must show, window by window.
constexpr double MinTonePower = 2e-6; // each tone's mean power (about -54 dBFS peak)
constexpr double MinShare = 0.5;      // of the band's power in the two tones
// A tone's windows that lie wholly inside it hold almost nothing else: speech that happens on a
// pair for a moment does not.
constexpr double CoreShare = 0.8;
constexpr std::size_t CoreWindows = 4;
constexpr double MaxHighOverLow = 40.0; // 16 dB: the link's emphasis tilts up to 7 dB
constexpr double MaxLowOverHigh = 6.3;  // 8 dB
constexpr double Dominance = 4.0;       // 6 dB over the others of its group
// Windows without the tone that end it: less than a digit's pause, more than a noise dropout.
constexpr int EndMisses = 6;

double centre(std::size_t Tone) {
    return Tone < 4 ? Low[Tone] : High[Tone - 4];
}

} // namespace

DtmfReceiver::DtmfReceiver(std::uint32_t SampleRate, std::size_t MaxSamples)
    : rate_(SampleRate), resampler_(SampleRate, Rate) {
    MaxSamples = std::max<std::size_t>(MaxSamples, 256);
    resampler_.reserve(MaxSamples);
    in_.reserve(MaxSamples);
    out_.reserve(static_cast<std::size_t>(std::ceil(MaxSamples * Rate / SampleRate)) + 8);
    // Second-order Butterworth sections.
    band_ = {analysis::section(true, 560, std::numbers::sqrt2 / 2, Rate),
             analysis::section(false, 1800, std::numbers::sqrt2 / 2, Rate)};
    for (std::size_t t = 0; t < 8; ++t)
        for (std::size_t p = 0; p < Probes.size(); ++p) {
            const std::size_t k = t * Probes.size() + p;
            const double hz = centre(t) * Probes[p];
            for (std::size_t n = 0; n < Window; ++n) {
                basis_[k][0][n] = static_cast<float>(std::cos(2 * Pi * hz * n / Rate));
                basis_[k][1][n] = static_cast<float>(std::sin(2 * Pi * hz * n / Rate));
            }
            bandGain2_[k] = band_[0].gain2(hz, Rate) * band_[1].gain2(hz, Rate);
        }
    reset();
}

void DtmfReceiver::reset() {
    resampler_.reset();
    dcIn_ = dcOut_ = 0;
    for (analysis::Biquad& b : band_)
        b.clear();
    ring_.fill(0);
    ringAt_ = sinceHop_ = 0;
    hops_ = 0;
    tone_ = 0;
    misses_ = 0;
    toneHops_ = 0;
    count_ = 0;
}

void DtmfReceiver::push(std::span<const std::uint8_t> Pcm, TWaveFormat Mono) {
    const std::size_t width = WaveDefs::Info(Mono).BitsPerSample == 8 ? 1 : 2;
    const std::size_t piece = in_.capacity();
    for (std::size_t from = 0; from + width <= Pcm.size(); from += piece * width) {
        in_.resize(std::min(piece, (Pcm.size() - from) / width));
        for (std::size_t i = 0; i < in_.size(); ++i) {
            if (width == 1) {
                in_[i] = (Pcm[from + i] - 128) / 128.0;
            } else {
                std::int16_t v;
                std::memcpy(&v, &Pcm[from + 2 * i], 2);
                in_[i] = v / 32768.0;
            }
        }
        feed();
    }
}

void DtmfReceiver::push(std::span<const double> Samples) {
    const std::size_t piece = in_.capacity();
    for (std::size_t from = 0; from < Samples.size(); from += piece) {
        const auto part = Samples.subspan(from, std::min(piece, Samples.size() - from));
        in_.assign(part.begin(), part.end());
        feed();
    }
}

void DtmfReceiver::feed() {
    // The DC first: at a low rate's 8 bits it is half a step, and it would leak into every bin.
    const double r = 1 - 2 * Pi * 20 / rate_;
    for (double& x : in_) {
        const double y = x - dcIn_ + r * dcOut_;
        dcIn_ = x;
        dcOut_ = y;
        x = y;
    }
    resampler_.push(in_, out_);
    for (const double x : out_) {
        ring_[ringAt_] = static_cast<float>(band_[1](band_[0](x)));
        ringAt_ = (ringAt_ + 1) % Window;
        if (++sinceHop_ == Hop) {
            sinceHop_ = 0;
            analyse();
        }
    }
}

void DtmfReceiver::analyse() {
    // The window in time order starts at ringAt_.
    double total = 0;
    std::array<double, Bins> re{}, im{};
    for (std::size_t n = 0; n < Window; ++n) {
        const double x = ring_[(ringAt_ + n) % Window];
        total += x * x;
        for (std::size_t k = 0; k < Bins; ++k) {
            re[k] += x * basis_[k][0][n];
            im[k] += x * basis_[k][1][n];
        }
    }
    total /= Window;
    ++hops_;
    // A tone of amplitude A gives A * A / 2, as the band's mean power does; Level undoes the
    // band's filters, for the tone as sent.
    constexpr double Scale = 2.0 / (Window * Window);
    auto raw = [&](std::size_t Tone, std::size_t Probe) {
        const std::size_t k = Tone * Probes.size() + Probe;
        return (re[k] * re[k] + im[k] * im[k]) * Scale;
    };
    auto level = [&](std::size_t Tone, std::size_t Probe) {
        return raw(Tone, Probe) / bandGain2_[Tone * Probes.size() + Probe];
    };
    auto power = [&](std::size_t Tone) {
        return std::max({raw(Tone, Centre - 1), raw(Tone, Centre), raw(Tone, Centre + 1)});
    };
    auto strongest = [&](std::size_t First) {
        std::size_t best = First;
        for (std::size_t t = First; t < First + 4; ++t)
            if (power(t) > power(best))
                best = t;
        return best;
    };
    const std::size_t lo = strongest(0), hi = strongest(4);
    const double pl = power(lo), ph = power(hi);
    const double lowLevel = pl / bandGain2_[lo * Probes.size() + Centre];
    const double highLevel = ph / bandGain2_[hi * Probes.size() + Centre];
    bool pair = lowLevel >= MinTonePower && highLevel >= MinTonePower &&
                pl + ph >= MinShare * total && highLevel <= MaxHighOverLow * lowLevel &&
                lowLevel <= MaxLowOverHigh * highLevel;
    for (std::size_t t = 0; pair && t < 8; ++t) {
        const std::size_t own = t < 4 ? lo : hi;
        if (t != own && power(t) * Dominance > power(own))
            pair = false;
    }
    for (const std::size_t t : {lo, hi})
        if (level(t, 0) >= level(t, Centre) || level(t, Probes.size() - 1) >= level(t, Centre))
            pair = false;
    const char hit = pair ? Keys[lo][hi - 4] : 0;
    const bool core = pl + ph >= CoreShare * total;

    if (tone_ != 0 && hit != tone_) {
        if (hit == 0 && ++misses_ < EndMisses)
            return;
        endTone();
    }
    if (hit == 0)
        return;
    if (tone_ == 0) {
        tone_ = hit;
        toneFirst_ = hops_;
        toneHops_ = 0;
        toneCore_ = 0;
    }
    toneCore_ += core ? 1 : 0;
    misses_ = 0;
    toneLast_ = hops_;
    // The hops missed inside the tone count as silence.
    while (toneHops_ + 1 < static_cast<std::size_t>(toneLast_ - toneFirst_ + 1) &&
           toneHops_ < MaxToneHops)
        tonePower_[toneHops_++] = 0;
    if (toneHops_ < MaxToneHops)
        tonePower_[toneHops_++] = static_cast<float>(std::min(lowLevel, highLevel));
}

void DtmfReceiver::endTone() {
    // The tone's length from the windows that lie mostly inside it: those with at least half
    // its strongest window's power overlap it by 71 % or more of a window.
    const float peak = *std::max_element(
        tonePower_.begin(), tonePower_.begin() + static_cast<std::ptrdiff_t>(toneHops_));
    std::size_t first = toneHops_, last = 0;
    for (std::size_t i = 0; i < toneHops_; ++i)
        if (tonePower_[i] >= peak / 2) {
            first = std::min(first, i);
            last = i;
        }
    constexpr double Overlap = 1 - std::numbers::sqrt2 / 2;
    const double length = (static_cast<double>(last - first) * Hop + 2 * Overlap * Window) / Rate;
    if (length >= MinToneSeconds && toneCore_ >= CoreWindows && count_ < MaxDigits) {
        // The window judged at hop h ends h * Hop samples in; the resampler adds its lag.
        const double start =
            static_cast<double>(toneFirst_ + static_cast<std::int64_t>(first)) * Hop - Window +
            Overlap * Window;
        digits_[count_++] = {
            tone_, std::max(0.0, start / Rate - resampler_.latency() / double(rate_)), length};
    }
    tone_ = 0;
    misses_ = 0;
    toneHops_ = 0;
}

void DtmfReceiver::finish() {
    // Silence long enough for any tone to end.
    for (std::size_t i = 0; i < Window + EndMisses * Hop + Hop; ++i) {
        ring_[ringAt_] = static_cast<float>(band_[1](band_[0](0.0)));
        ringAt_ = (ringAt_ + 1) % Window;
        if (++sinceHop_ == Hop) {
            sinceHop_ = 0;
            analyse();
        }
    }
}

std::string DtmfReceiver::text() const {
    std::string s;
    for (const DtmfDigit& d : digits())
        s += d.digit;
    return s;
}

} // namespace station
