// The vocabulary of PCM formats every audio unit speaks: the format enumeration, its constant
// table and the set of formats a device supports.
#pragma once

#include <array>
#include <cstdint>

namespace WaveDefs {

enum class TWaveFormat : std::uint8_t {
    wfUnknown,
    wf11025mono8,
    wf11025mono16,
    wf11025stereo8,
    wf11025stereo16,
    wf22050mono8,
    wf22050mono16,
    wf22050stereo8,
    wf22050stereo16,
    wf44100mono8,
    wf44100mono16,
    wf44100stereo8,
    wf44100stereo16,
    wf48000mono8,
    wf48000mono16,
    wf48000stereo8,
    wf48000stereo16,
    wf96000mono8,
    wf96000mono16,
    wf96000stereo8,
    wf96000stereo16,
};

inline constexpr int WaveFormatCount = 21;
inline constexpr TWaveFormat LastWaveFormat = TWaveFormat::wf96000stereo16;

struct WaveFormatInfo {
    std::uint16_t Channels;
    std::uint32_t SampleRate;
    std::uint16_t BitsPerSample;
    std::int32_t ZeroLevel;

    constexpr std::uint32_t SampleSize() const { return BitsPerSample / 8u; }
    constexpr std::uint32_t BlockAlign() const { return SampleSize() * Channels; }
    constexpr std::uint32_t BytesPerSecond() const { return SampleRate * BlockAlign(); }
};

// clang-format off
inline constexpr std::array<WaveFormatInfo, WaveFormatCount> WaveFormats{{
    {0, 0, 0, 0},
    {1, 11025, 8, 128}, {1, 11025, 16, 0}, {2, 11025, 8, 128}, {2, 11025, 16, 0},
    {1, 22050, 8, 128}, {1, 22050, 16, 0}, {2, 22050, 8, 128}, {2, 22050, 16, 0},
    {1, 44100, 8, 128}, {1, 44100, 16, 0}, {2, 44100, 8, 128}, {2, 44100, 16, 0},
    {1, 48000, 8, 128}, {1, 48000, 16, 0}, {2, 48000, 8, 128}, {2, 48000, 16, 0},
    {1, 96000, 8, 128}, {1, 96000, 16, 0}, {2, 96000, 8, 128}, {2, 96000, 16, 0},
}};
// clang-format on

constexpr const WaveFormatInfo& Info(TWaveFormat Format) {
    return WaveFormats[static_cast<std::size_t>(Format)];
}

// A 32-bit set of formats, bit i standing for the format of value i.
class TWaveFormats {
public:
    constexpr TWaveFormats() = default;
    constexpr explicit TWaveFormats(std::uint32_t Mask) : FMask(Mask) {}

    constexpr bool Contains(TWaveFormat Format) const { return (FMask & Bit(Format)) != 0; }
    constexpr void Include(TWaveFormat Format) { FMask |= Bit(Format); }
    constexpr bool Empty() const { return FMask == 0; }
    constexpr std::uint32_t Mask() const { return FMask; }
    constexpr bool operator==(const TWaveFormats&) const = default;

private:
    static constexpr std::uint32_t Bit(TWaveFormat Format) {
        return std::uint32_t{1} << static_cast<unsigned>(Format);
    }
    std::uint32_t FMask = 0;
};

} // namespace WaveDefs
