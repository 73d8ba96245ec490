// Shared by the device suites: audio whose bytes name their own frame, so that a lost, doubled
// or reordered buffer shows in the data, and small helpers around the simulated card.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/SimCard.h"
#include "toolkit/SysUtils.h"
#include "wave/WaveDefs.h"

namespace WaveTest {

// 48 kHz stereo 16-bit: a frame is 4 bytes and carries its number; 480 frames are 10 ms.
inline constexpr WaveDefs::TWaveFormat TestFormat = WaveDefs::TWaveFormat::wf48000stereo16;
inline constexpr std::uint32_t FrameBytes = 4;
inline constexpr std::uint32_t BufferFrames = 480;
inline constexpr std::uint32_t TestBufferSize = BufferFrames * FrameBytes;
inline constexpr SimCard::TTimeNs BufferTime = 10 * SimCard::Milliseconds;

inline void WriteFrames(std::uint8_t* Dest, std::uint64_t FirstFrame, std::uint32_t Frames) {
    for (std::uint32_t i = 0; i < Frames; ++i) {
        const auto n = static_cast<std::uint32_t>(FirstFrame + i);
        for (std::uint32_t b = 0; b < FrameBytes; ++b)
            Dest[i * FrameBytes + b] = static_cast<std::uint8_t>(n >> (8 * b));
    }
}

inline std::uint32_t FrameAt(const std::vector<std::uint8_t>& Bytes, std::size_t Frame) {
    std::uint32_t n = 0;
    for (std::uint32_t b = 0; b < FrameBytes; ++b)
        n |= std::uint32_t{Bytes[Frame * FrameBytes + b]} << (8 * b);
    return n;
}

// True when Bytes holds whole frames numbered First, First + 1, ...
inline bool FramesFrom(const std::vector<std::uint8_t>& Bytes, std::uint32_t First) {
    if (Bytes.size() % FrameBytes != 0)
        return false;
    for (std::size_t i = 0; i < Bytes.size() / FrameBytes; ++i)
        if (FrameAt(Bytes, i) != First + i)
            return false;
    return true;
}

inline SimCard::TConfig NumberedInput() {
    SimCard::TConfig config;
    config.Capture[0].Source = [](const MMSystem::WAVEFORMATEX&, std::uint64_t FirstFrame,
                                  std::uint32_t Frames,
                                  std::uint8_t* Dest) { WriteFrames(Dest, FirstFrame, Frames); };
    return config;
}

// Everything the card played on device 0, in order.
inline std::vector<std::uint8_t> PlayedBytes(SimCard::TSimCard& Card) {
    std::vector<std::uint8_t> bytes;
    for (const auto& block : Card.PlayLog())
        bytes.insert(bytes.end(), block.Bytes.begin(), block.Bytes.end());
    return bytes;
}

// The card time just after the last played byte.
inline SimCard::TTimeNs PlayedUntil(SimCard::TSimCard& Card) {
    const auto log = Card.PlayLog();
    if (log.empty())
        return -1;
    const auto& last = log.back();
    const std::uint64_t end = last.Frame + last.Bytes.size() / last.Format.nBlockAlign;
    const std::uint64_t rate = last.Format.nSamplesPerSec;
    return static_cast<SimCard::TTimeNs>((end * SimCard::Seconds + rate - 1) / rate);
}

// The message of the Exception the action raises, "" when it raises none.
inline std::string MessageOf(const std::function<void()>& Action) {
    try {
        Action();
    } catch (const SysUtils::Exception& e) {
        return e.Message();
    }
    return "";
}

} // namespace WaveTest
