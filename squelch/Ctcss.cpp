#include "squelch/Ctcss.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "wave/WaveUtils.h"

namespace squelch {
namespace {

constexpr double pi = std::numbers::pi;
// The band the tones live in lies below the voice band's 300 Hz.
constexpr double bandTopHz = 300;
// About 10 ms a block, a whole number of half periods of the tone so that the tone's image at
// twice its frequency cancels within each block.
constexpr double blockSeconds = 0.01;

} // namespace

std::optional<double> standardTone(double hz) {
    for (double t : ctcssTones)
        if (std::abs(t - hz) < 0.05)
            return t;
    return std::nullopt;
}

double toneTolerance(double hz) {
    double gap = 1e9;
    for (double t : ctcssTones)
        if (std::abs(t - hz) > 0.05)
            gap = std::min(gap, std::abs(t - hz));
    return 0.4 * gap;
}

ToneDetector::ToneDetector(double toneHz, std::uint32_t rate)
    : tone_(toneHz), tolerance_(toneTolerance(toneHz)), rate_(rate),
      lowPass_(false, bandTopHz, 4, rate) {
    const double halfPeriods = std::max(1.0, std::round(2 * toneHz * blockSeconds));
    blockLength_ = static_cast<std::size_t>(std::lround(halfPeriods * rate / (2 * toneHz)));
    const double w = 2 * pi * toneHz / rate;
    step_ = {std::cos(w), -std::sin(w)};
    const auto blocks = static_cast<std::size_t>(
        std::lround(windowSeconds * rate / static_cast<double>(blockLength_)));
    sums_.assign(std::max<std::size_t>(blocks, 2), {0, 0});
    powers_.assign(sums_.size(), 0);
}

ToneReading ToneDetector::feed(const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono) {
    const auto& info = WaveDefs::Info(mono);
    if (info.Channels != 1 || info.SampleSize() == 0)
        return measure();
    decoded_.resize(size / info.SampleSize());
    const std::uint32_t n = WaveUtils::DecodeSamples(data, decoded_, size, mono, false);
    return feed(std::span<const double>(decoded_).first(n));
}

ToneReading ToneDetector::feed(std::span<const double> samples) {
    for (double x : samples) {
        // A DC blocker, then the band.
        const double ac = x - dcIn_ + 0.999 * dcOut_;
        dcIn_ = x;
        dcOut_ = ac;
        const double y = lowPass_(ac);
        sum_ += y * oscillator_;
        oscillator_ *= step_;
        if (++inBlock_ == blockLength_) {
            sums_[next_] = sum_;
            // What the block holds within about 50 Hz of the tone: the tone, and whatever
            // else (hiss, a voice's low harmonics) lies near it.
            powers_[next_] = 2 * std::norm(sum_) / static_cast<double>(blockLength_);
            next_ = (next_ + 1) % sums_.size();
            sum_ = {0, 0};
            inBlock_ = 0;
            oscillator_ /= std::abs(oscillator_); // keeps the oscillator on the unit circle
        }
    }
    return measure();
}

ToneReading ToneDetector::measure() const {
    const std::size_t m = sums_.size();
    auto at = [&](std::size_t k) { return sums_[(next_ + k) % m]; };
    // The strongest component's rotation from block to block, and the window's sum turned back
    // by it: the component's amplitude however far it lies from the tone.
    std::complex<double> lag{0, 0};
    double band = 0;
    for (std::size_t k = 0; k < m; ++k) {
        band += powers_[(next_ + k) % m];
        if (k > 0)
            lag += at(k) * std::conj(at(k - 1));
    }
    const double turn = std::arg(lag);
    std::complex<double> sum{0, 0};
    for (std::size_t k = 0; k < m; ++k)
        sum += at(k) * std::polar(1.0, -turn * static_cast<double>(k));
    const double samples = static_cast<double>(m * blockLength_);
    const double tonePower = 2 * std::norm(sum) / (samples * samples);
    const double bandPower = band / samples;
    ToneReading r;
    r.offsetHz = turn * rate_ / (2 * pi * static_cast<double>(blockLength_));
    r.onFrequency = std::abs(r.offsetHz) <= tolerance_;
    const double rest = std::max(bandPower - tonePower, bandPower * 1e-6);
    if (tonePower > 0 && rest > 0)
        r.snrDb = std::max(-99.0, 10 * std::log10(tonePower / rest));
    return r;
}

bool ToneSquelch::judge(const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono) {
    last_ = detector_.feed(data, size, mono);
    open_ = last_.onFrequency && last_.snrDb >= (open_ ? closeDb_ : openDb_);
    return open_;
}

} // namespace squelch
