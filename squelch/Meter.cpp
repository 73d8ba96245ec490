#include "squelch/Meter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>

#include "analysis/RealFFT.h"
#include "analysis/uProcs.h"
#include "wave/WaveUtils.h"

namespace squelch {

std::optional<long double> trimmedAverage(std::span<double> values, std::int32_t count,
                                          double fraction) {
    uProcs::TrimExtremes(values, count, fraction, -1.0);
    long double sum = 0.0L;
    std::int32_t kept = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const double v = values[static_cast<std::size_t>(i)];
        if (v >= 0.0) { // magnitudes are never negative: -1.0 marks a trimmed one
            sum += v;
            ++kept;
        }
    }
    if (kept == 0)
        return std::nullopt;
    return sum / kept;
}

std::optional<long double> peakRatio(std::span<const double> values, std::int32_t count) {
    double peak = 0.0;
    long double sum = 0.0L;
    for (std::int32_t i = 0; i < count; ++i) {
        const double v = values[static_cast<std::size_t>(i)];
        if (v > peak || peak == 0.0)
            peak = v;
        sum += v;
    }
    if (!(peak > 0.0) || count < 2)
        return std::nullopt;
    return (sum - peak) / (count - 1) / peak;
}

bool isSilent(const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono) {
    const auto& info = WaveDefs::Info(mono);
    const std::uint32_t width = info.SampleSize();
    if (info.Channels != 1 || width == 0 || size < width)
        return false;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::uint32_t count = size / width;
    if (width == 1)
        return std::all_of(bytes, bytes + count,
                           [](std::uint8_t b) { return std::abs(b - 128) <= silenceSteps8; });
    if (width != 2)
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto v = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        if (std::abs(v) > silenceSteps16)
            return false;
    }
    return true;
}

std::span<double> HannCopy::make(std::span<const double> samples, std::int32_t n) {
    const auto size = static_cast<std::size_t>(n);
    if (weights_.size() != size) {
        weights_.resize(size);
        copy_.resize(size);
        constexpr double pi = 3.14159265358979323846;
        double power = 0;
        for (std::size_t i = 0; i < size; ++i) {
            weights_[i] = 0.5 - 0.5 * std::cos(2 * pi * static_cast<double>(i) / n);
            power += weights_[i] * weights_[i];
        }
        const double scale = power > 0 ? std::sqrt(n / power) : 1.0;
        for (double& w : weights_)
            w *= scale;
    }
    for (std::size_t i = 0; i < size; ++i)
        copy_[i] = samples[i] * weights_[i];
    return copy_;
}

std::span<const double> Transform::make(std::span<double> samples, std::int32_t n, const Band& band,
                                        bool plain) {
    const bool windowed = band.scheme == Scheme::noiseBand && band.hannWindow;
    std::span<const double> spectrum = samples;
    if (windowed) {
        const auto copy = hann_.make(samples, n);
        RealFFT::RealTransform(copy, n, false);
        spectrum = copy;
    }
    if (!windowed || plain)
        RealFFT::RealTransform(samples, n, false);
    return spectrum;
}

std::int32_t selectBand(std::span<const double> spectrum, std::int32_t n, std::uint32_t rate,
                        const Band& band, Scheme scheme, std::vector<double>& into) {
    if (scheme == Scheme::none)
        return 0;
    std::int32_t k = 0;
    for (std::int32_t d = 1; d < n / 2; ++d) {
        const double f = RealFFT::BinFrequency(rate, n, static_cast<std::uint32_t>(d));
        const bool selected = scheme == Scheme::noiseBand
                                  ? (band.maxSignalFrequency < f && f <= band.maxNoiseFrequency)
                                  : f <= band.maxSignalFrequency;
        if (!selected)
            continue;
        if (into.size() < static_cast<std::size_t>(k) + 1)
            into.resize(static_cast<std::size_t>(k) + 1);
        into[static_cast<std::size_t>(k)] =
            RealFFT::BinMagnitude(spectrum, n, static_cast<std::uint32_t>(d));
        ++k;
    }
    return k;
}

std::optional<long double> figureOf(Scheme scheme, std::span<double> values, std::int32_t count,
                                    double trim) {
    switch (scheme) {
    case Scheme::noiseBand:
        return trimmedAverage(values, count, trim);
    case Scheme::peakRatio:
        return peakRatio(values, count);
    case Scheme::none:
        break;
    }
    return std::nullopt;
}

Reading Meter::read(const void* data, std::uint32_t size, WaveDefs::TWaveFormat mono) {
    Reading reading;
    const auto& info = WaveDefs::Info(mono);
    if (info.Channels != 1 || info.SampleSize() == 0)
        return reading;
    samples_.resize(size / info.SampleSize());
    const std::uint32_t decoded = WaveUtils::DecodeSamples(data, samples_, size, mono, false);
    if (decoded == 0)
        return reading;
    reading.samples = decoded;
    const std::int32_t top = WaveUtils::FullScale(mono);
    for (std::uint32_t i = 0; i < decoded; ++i) {
        const auto raw = static_cast<std::int32_t>(std::lround(samples_[i] * top));
        if (raw <= -top || raw >= top - 1)
            ++reading.clipped;
    }
    reading.silent = isSilent(data, size, mono);

    // As the repeater does, with both bands measured whichever scheme is chosen: scheme A's
    // noise band shows how loud the band is beside the voice.
    const auto n = static_cast<std::int32_t>(std::bit_floor(decoded));
    Band noiseBand = band_;
    noiseBand.scheme = Scheme::noiseBand;
    const auto noiseSpectrum = transform_.make(samples_, n, noiseBand, true);
    const std::int32_t noiseBins =
        selectBand(noiseSpectrum, n, info.SampleRate, band_, Scheme::noiseBand, noise_);
    const std::int32_t signalBins =
        selectBand(samples_, n, info.SampleRate, band_, Scheme::peakRatio, signal_);
    long double voice = 0.0L;
    std::int32_t voiceBins = 0;
    for (std::int32_t d = 1; d < n / 2; ++d) {
        const auto k = static_cast<std::uint32_t>(d);
        const double f = RealFFT::BinFrequency(info.SampleRate, n, k);
        if (f >= 300.0 && f <= band_.maxSignalFrequency) {
            voice += RealFFT::BinMagnitude(samples_, n, k);
            ++voiceBins;
        }
    }
    if (voiceBins > 0)
        reading.voiceBand = static_cast<double>(voice / voiceBins);
    if (band_.scheme == Scheme::peakRatio) {
        if (const auto r = figureOf(Scheme::peakRatio, signal_, signalBins, band_.trim))
            reading.figure = static_cast<double>(*r);
    }
    const auto a = figureOf(Scheme::noiseBand, noise_, noiseBins, band_.trim);
    reading.noiseBand = a ? static_cast<double>(*a) : 0.0;
    if (band_.scheme == Scheme::noiseBand && a)
        reading.figure = reading.noiseBand;
    return reading;
}

} // namespace squelch
