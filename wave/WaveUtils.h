// Free functions on raw PCM buffers (split, merge, decode, level, duration) and the tone
// generators that write synthetic PCM into a caller's buffer.
//
// The buffer functions keep no state, allocate nothing and never raise: a request they cannot
// serve returns 0 and writes nothing. They only ever touch whole samples (and, where channels are
// split or merged, whole frames) inside the sizes they are given.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "wave/WaveDefs.h"

namespace WaveUtils {

using WaveDefs::TWaveFormat;

// Splits an interleaved buffer into one buffer per channel. Returns the bytes written to each
// output, or 0 when the number of outputs differs from the channel count or Size is below one
// frame. A trailing partial frame is ignored.
std::uint32_t Deinterleave(const void* Data, std::span<void* const> Outputs, std::uint32_t Size,
                           TWaveFormat Format);

// Merges per-channel buffers into an interleaved one; with fewer inputs than channels the inputs
// are used in turn, so a single input fills every channel. Returns the bytes written to Dest, or
// 0 when there are no inputs, more inputs than channels, or less than one sample per channel.
std::uint32_t Interleave(std::span<const void* const> Inputs, void* Dest,
                         std::uint32_t BytesPerChannel, TWaveFormat Format);

// The raw value of the sample at P: 8-bit zero-extended, 16-bit little-endian sign-extended.
std::int32_t ReadSample(const void* P, TWaveFormat Format);

// Half the range of the sample width: 128 for 8-bit, 32768 for 16-bit, 0 for no format.
std::int32_t FullScale(TWaveFormat Format);

// The format of the same rate and width with the given channel count, or wfUnknown.
TWaveFormat FindFormat(TWaveFormat Format, std::uint16_t Channels);

// Decodes a mono buffer into deviations divided by FullScale, at most Samples.size() of them.
// With Normalise the values are scaled so that the largest magnitude becomes 1.0 (a silent buffer
// stays at 0.0). Returns the number of values written.
std::uint32_t DecodeSamples(const void* Data, std::span<double> Samples, std::uint32_t Size,
                            TWaveFormat Format, bool Normalise);

// The deviation from the zero level of largest magnitude, sign kept, earliest among equals.
std::int32_t Peak(const void* Data, std::uint32_t Size, TWaveFormat Format);

// Length of Size bytes in whole milliseconds plus one, or 0 for no format.
std::int32_t DurationMs(std::uint32_t Size, TWaveFormat Format);

// A source of synthetic PCM in a given format and volume.
class TGenerator {
public:
    TGenerator() = default;
    TGenerator(const TGenerator&) = delete;
    TGenerator& operator=(const TGenerator&) = delete;
    virtual ~TGenerator() = default;

    TWaveFormat Format() const { return FFormat; }
    // Stores a new format and restarts the waveform; setting the same format again does nothing.
    virtual void SetFormat(TWaveFormat Value);

    std::uint16_t Volume() const { return FVolume; }
    // 65535 is full scale.
    virtual void SetVolume(std::uint16_t Value);

    // Throws "Invalid format" while no format is set.
    virtual void CheckFormat() const;

    virtual void Reset() = 0;
    // Writes tone into Dest and returns the number of bytes written.
    virtual std::uint32_t Generate(void* Dest, std::uint32_t Size) = 0;

protected:
    TWaveFormat FFormat = TWaveFormat::wfUnknown;
    std::uint16_t FVolume = 0x7FFF;
};

// A generator of a periodic waveform. The phase of each sample comes from a running sample
// counter, so successive buffers join without a break.
class TPeriodicGenerator : public TGenerator {
public:
    static constexpr std::uint32_t DefaultScratchSize = 8192;
    static constexpr std::uint32_t MinScratchSize = 256;

    TPeriodicGenerator();

    void SetFormat(TWaveFormat Value) override;
    void SetVolume(std::uint16_t Value) override;
    void Reset() override;
    std::uint32_t Generate(void* Dest, std::uint32_t Size) override;

    double Frequency() const { return FFrequency; }
    // Throws "Invalid frequency" below 1.0 Hz or above MaxFrequency of a set format.
    virtual void SetFrequency(double Value);

    // The Nyquist frequency of the current format, 0.0 while no format is set.
    double MaxFrequency() const;
    void ResizeScratch(std::uint32_t N);

    std::uint32_t Position() const { return FPosition; }
    std::uint32_t Amplitude() const { return FAmplitude; }
    std::uint8_t SampleSize() const { return FSampleSize; }
    const std::uint8_t* ScratchBuffer() const { return FScratchBuffer.data(); }
    std::uint32_t ScratchSize() const { return FScratchSize; }
    double Period() const { return FPeriod; }

    // Amplitude = the share Volume / 65535 of the largest deviation of the format.
    virtual void UpdateAmplitude();
    // The waveform at Phase in [0, 1), a value in [-1, 1].
    virtual double WaveValue(double Phase) const = 0;

protected:
    std::uint32_t FPosition = 0;
    std::uint32_t FAmplitude = 0;
    std::uint8_t FSampleSize = 0;
    std::vector<std::uint8_t> FScratchBuffer;
    std::uint32_t FScratchSize = DefaultScratchSize;
    double FPeriod = 0.0;
    double FFrequency = 1000.0;
};

class TSineGenerator : public TPeriodicGenerator {
public:
    double WaveValue(double Phase) const override;
};

} // namespace WaveUtils
