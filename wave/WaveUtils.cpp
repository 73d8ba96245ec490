#include "wave/WaveUtils.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "toolkit/SysUtils.h"

namespace WaveUtils {

namespace {

using WaveDefs::WaveFormatInfo;

// A value outside the enumeration reads as "no format" instead of indexing past the table.
const WaveFormatInfo& InfoOf(TWaveFormat Format) {
    const auto index = static_cast<std::size_t>(Format);
    return WaveDefs::WaveFormats[index < WaveDefs::WaveFormats.size() ? index : 0];
}

template <std::size_t SS>
inline std::int32_t Raw(const std::uint8_t* P) {
    if constexpr (SS == 1) {
        return P[0];
    } else {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(P[0] | (P[1] << 8)));
    }
}

// The per-buffer loops are specialised by sample size so that every copy has a fixed width and
// the compiler can keep them in registers (or vectorise them).
template <std::size_t SS>
void SplitStereo(const std::uint8_t* Src, std::uint8_t* Left, std::uint8_t* Right,
                 std::uint32_t Frames) {
    for (std::uint32_t i = 0; i < Frames; ++i) {
        std::memcpy(Left + i * SS, Src + 2 * SS * i, SS);
        std::memcpy(Right + i * SS, Src + 2 * SS * i + SS, SS);
    }
}

template <std::size_t SS>
void MergeStereo(const std::uint8_t* Left, const std::uint8_t* Right, std::uint8_t* Dest,
                 std::uint32_t Samples) {
    for (std::uint32_t i = 0; i < Samples; ++i) {
        std::memcpy(Dest + 2 * SS * i, Left + i * SS, SS);
        std::memcpy(Dest + 2 * SS * i + SS, Right + i * SS, SS);
    }
}

// Returns the largest magnitude stored. FullScale is a power of two, so the division is exact.
template <std::size_t SS>
double DecodeRun(const std::uint8_t* Src, double* Out, std::uint32_t Count, std::int32_t Zero) {
    constexpr double fullScale = SS == 1 ? 128.0 : 32768.0;
    double largest = 0.0;
    for (std::uint32_t i = 0; i < Count; ++i) {
        const double x = static_cast<double>(Raw<SS>(Src + i * SS) - Zero) / fullScale;
        Out[i] = x;
        largest = std::max(largest, std::abs(x));
    }
    return largest;
}

template <std::size_t SS>
std::int32_t PeakRun(const std::uint8_t* Src, std::uint32_t Count, std::int32_t Zero) {
    std::int32_t best = 0;
    std::int32_t bestMagnitude = 0;
    for (std::uint32_t i = 0; i < Count; ++i) {
        const std::int32_t d = Raw<SS>(Src + i * SS) - Zero;
        const std::int32_t magnitude = d < 0 ? -d : d;
        if (magnitude > bestMagnitude) {
            best = d;
            bestMagnitude = magnitude;
        }
    }
    return best;
}

} // namespace

std::uint32_t Deinterleave(const void* Data, std::span<void* const> Outputs, std::uint32_t Size,
                           TWaveFormat Format) {
    const WaveFormatInfo& info = InfoOf(Format);
    const std::uint32_t channels = info.Channels;
    if (channels == 0 || Outputs.size() != channels || Size < info.BlockAlign()) {
        return 0;
    }
    if (channels == 1) {
        std::memmove(Outputs[0], Data, Size);
        return Size;
    }
    if (channels != 2) {
        return 0;
    }
    // Only whole frames are split, so a trailing partial frame is neither read nor written.
    const std::uint32_t frames = Size / info.BlockAlign();
    const auto* src = static_cast<const std::uint8_t*>(Data);
    auto* left = static_cast<std::uint8_t*>(Outputs[0]);
    auto* right = static_cast<std::uint8_t*>(Outputs[1]);
    if (info.SampleSize() == 1) {
        SplitStereo<1>(src, left, right, frames);
    } else {
        SplitStereo<2>(src, left, right, frames);
    }
    return frames * info.SampleSize();
}

std::uint32_t Interleave(std::span<const void* const> Inputs, void* Dest,
                         std::uint32_t BytesPerChannel, TWaveFormat Format) {
    const WaveFormatInfo& info = InfoOf(Format);
    const std::uint32_t channels = info.Channels;
    const std::uint32_t sampleSize = info.SampleSize();
    if (Inputs.empty() || channels < Inputs.size() || sampleSize == 0 ||
        BytesPerChannel < sampleSize ||
        BytesPerChannel > std::numeric_limits<std::uint32_t>::max() / channels) {
        return 0;
    }
    if (channels == 1) {
        std::memmove(Dest, Inputs[0], BytesPerChannel);
        return BytesPerChannel;
    }
    if (channels != 2) {
        return 0;
    }
    // Only whole samples are merged; a trailing partial sample is dropped.
    const std::uint32_t samples = BytesPerChannel / sampleSize;
    const auto* left = static_cast<const std::uint8_t*>(Inputs[0]);
    const auto* right = static_cast<const std::uint8_t*>(Inputs[1 % Inputs.size()]);
    auto* dest = static_cast<std::uint8_t*>(Dest);
    if (sampleSize == 1) {
        MergeStereo<1>(left, right, dest, samples);
    } else {
        MergeStereo<2>(left, right, dest, samples);
    }
    return channels * samples * sampleSize;
}

std::int32_t ReadSample(const void* P, TWaveFormat Format) {
    const auto* p = static_cast<const std::uint8_t*>(P);
    switch (InfoOf(Format).BitsPerSample) {
    case 8:
        return Raw<1>(p);
    case 16:
        return Raw<2>(p);
    default:
        return 0;
    }
}

std::int32_t FullScale(TWaveFormat Format) {
    return (std::int32_t{1} << InfoOf(Format).BitsPerSample) >> 1;
}

TWaveFormat FindFormat(TWaveFormat Format, std::uint16_t Channels) {
    const WaveFormatInfo& info = InfoOf(Format);
    for (auto value = static_cast<int>(WaveDefs::LastWaveFormat); value >= 1; --value) {
        const WaveFormatInfo& row = WaveDefs::WaveFormats[static_cast<std::size_t>(value)];
        if (row.Channels == Channels && row.SampleRate == info.SampleRate &&
            row.BitsPerSample == info.BitsPerSample && row.ZeroLevel == info.ZeroLevel) {
            return static_cast<TWaveFormat>(value);
        }
    }
    return TWaveFormat::wfUnknown;
}

std::uint32_t DecodeSamples(const void* Data, std::span<double> Samples, std::uint32_t Size,
                            TWaveFormat Format, bool Normalise) {
    const WaveFormatInfo& info = InfoOf(Format);
    const std::uint32_t sampleSize = info.SampleSize();
    if (info.Channels != 1 || sampleSize == 0 || Size < sampleSize) {
        return 0;
    }
    const auto count =
        static_cast<std::uint32_t>(std::min<std::size_t>(Size / sampleSize, Samples.size()));
    if (count == 0) {
        return 0;
    }
    const auto* src = static_cast<const std::uint8_t*>(Data);
    const double largest = sampleSize == 1
                               ? DecodeRun<1>(src, Samples.data(), count, info.ZeroLevel)
                               : DecodeRun<2>(src, Samples.data(), count, info.ZeroLevel);
    // A silent buffer has nothing to scale to and stays at 0.0.
    if (Normalise && largest > 0.0 && largest < 1.0) {
        for (std::uint32_t i = 0; i < count; ++i) {
            Samples[i] /= largest;
        }
    }
    return count;
}

std::int32_t Peak(const void* Data, std::uint32_t Size, TWaveFormat Format) {
    const WaveFormatInfo& info = InfoOf(Format);
    const std::uint32_t sampleSize = info.SampleSize();
    if (sampleSize == 0 || Size < info.BlockAlign()) {
        return 0;
    }
    const auto* src = static_cast<const std::uint8_t*>(Data);
    const std::uint32_t count = Size / sampleSize;
    return sampleSize == 1 ? PeakRun<1>(src, count, info.ZeroLevel)
                           : PeakRun<2>(src, count, info.ZeroLevel);
}

std::int32_t DurationMs(std::uint32_t Size, TWaveFormat Format) {
    const WaveFormatInfo& info = InfoOf(Format);
    if (info.Channels == 0 || info.SampleSize() == 0 || info.SampleRate == 0) {
        return 0;
    }
    const std::uint32_t bytesPerChannel = Size / info.Channels;
    const long double samples = static_cast<long double>(bytesPerChannel) / info.SampleSize();
    const long double samplesPerMs = info.SampleRate / 1000.0L;
    return static_cast<std::int32_t>(std::trunc(samples / samplesPerMs)) + 1;
}

// --- TGenerator ---

void TGenerator::SetFormat(TWaveFormat Value) {
    if (Value != FFormat) {
        FFormat = Value;
        Reset();
    }
}

void TGenerator::SetVolume(std::uint16_t Value) {
    FVolume = Value;
}

void TGenerator::CheckFormat() const {
    if (InfoOf(FFormat).Channels == 0) {
        throw SysUtils::Exception("Invalid format");
    }
}

// --- TPeriodicGenerator ---

TPeriodicGenerator::TPeriodicGenerator() : FScratchBuffer(DefaultScratchSize) {}

void TPeriodicGenerator::SetFormat(TWaveFormat Value) {
    TGenerator::SetFormat(Value);
    UpdateAmplitude();
    FSampleSize = static_cast<std::uint8_t>(InfoOf(FFormat).BitsPerSample / 8);
    // Revalidates the frequency against the new rate; on failure the new format stays in force
    // while Frequency and Period keep their old values.
    SetFrequency(FFrequency);
}

void TPeriodicGenerator::SetVolume(std::uint16_t Value) {
    TGenerator::SetVolume(Value);
    UpdateAmplitude();
}

void TPeriodicGenerator::UpdateAmplitude() {
    const std::int32_t fullScale = FullScale(FFormat);
    if (fullScale <= 0) {
        // No format: the value is immaterial, and the formula would go negative.
        FAmplitude = 0;
        return;
    }
    // At most 32767 * 65535, which fits in 32 bits.
    const std::int32_t product = (fullScale - 1) * static_cast<std::int32_t>(FVolume);
    FAmplitude = static_cast<std::uint32_t>(std::trunc(product / 65535.0));
}

void TPeriodicGenerator::SetFrequency(double Value) {
    // Written so that NaN fails as well.
    if (!(Value >= 1.0)) {
        throw SysUtils::Exception("Invalid frequency");
    }
    if (FFormat != TWaveFormat::wfUnknown && Value > MaxFrequency()) {
        throw SysUtils::Exception("Invalid frequency");
    }
    FFrequency = Value;
    FPeriod = InfoOf(FFormat).SampleRate / Value;
}

double TPeriodicGenerator::MaxFrequency() const {
    return InfoOf(FFormat).SampleRate / 2.0;
}

void TPeriodicGenerator::ResizeScratch(std::uint32_t N) {
    if (N == FScratchSize || N >= 0x80000000u) {
        return;
    }
    const std::uint32_t size = std::max(N, MinScratchSize);
    // Allocate before recording the new size, so a failed allocation leaves both consistent.
    std::vector<std::uint8_t> fresh(size);
    FScratchBuffer.swap(fresh);
    FScratchSize = size;
}

void TPeriodicGenerator::Reset() {
    FPosition = 0;
    ResizeScratch(DefaultScratchSize);
}

std::uint32_t TPeriodicGenerator::Generate(void* Dest, std::uint32_t Size) {
    CheckFormat();
    const WaveFormatInfo& info = InfoOf(FFormat);
    const std::uint32_t sampleSize = info.SampleSize();
    std::uint32_t bytesPerChannel = Size / info.Channels;
    if (bytesPerChannel > FScratchSize) {
        ResizeScratch(bytesPerChannel);
    }
    // A request the scratch buffer cannot hold is cut to its capacity, and only whole samples
    // are made, so Position counts exactly the samples delivered.
    bytesPerChannel = std::min(bytesPerChannel, FScratchSize);
    const std::uint32_t count = bytesPerChannel / sampleSize;

    std::uint8_t* out = FScratchBuffer.data();
    const std::int32_t zero = info.ZeroLevel;
    const long double amplitude = FAmplitude;
    // Without an accepted frequency there is no period to take a phase from: write silence.
    const bool periodic = FPeriod > 0.0;
    for (std::uint32_t i = 0; i < count; ++i) {
        long s = 0;
        if (periodic) {
            const long double cycles = static_cast<long double>(FPosition) / FPeriod;
            const auto phase = static_cast<double>(cycles - std::trunc(cycles));
            s = std::lrint(static_cast<long double>(WaveValue(phase)) * amplitude);
        }
        const auto raw = static_cast<std::uint16_t>(s + zero);
        out[i * sampleSize] = static_cast<std::uint8_t>(raw);
        if (sampleSize == 2) {
            out[i * sampleSize + 1] = static_cast<std::uint8_t>(raw >> 8);
        }
        ++FPosition;
    }
    const void* inputs[] = {out};
    return Interleave(inputs, Dest, count * sampleSize, FFormat);
}

// --- TSineGenerator ---

double TSineGenerator::WaveValue(double Phase) const {
    constexpr long double twoPi = 6.283185307179586477L;
    return static_cast<double>(std::sin(twoPi * static_cast<long double>(Phase)));
}

} // namespace WaveUtils
