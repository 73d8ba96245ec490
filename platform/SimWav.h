// WAV files for the simulated sound card: an input read with libsndfile and converted to the
// format a capture device is opened in, and an output that lays played audio on a timeline.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/MMSystem.h"

struct sf_private_tag;

namespace SimWav {

struct TSndFileCloser {
    void operator()(sf_private_tag* File) const;
};
using TSndFile = std::unique_ptr<sf_private_tag, TSndFileCloser>;

// A receiver recording of any rate, width and channel count libsndfile reads. A mono file feeds
// every channel; after its end the input is at the zero level.
class TWavInput {
public:
    // Throws std::runtime_error with libsndfile's reason when the file cannot be read.
    explicit TWavInput(const std::string& FileName);

    std::uint32_t Rate() const { return FRate; }
    std::uint64_t Frames() const { return FFrames; }
    // Frames frames in Format starting at FirstFrame of the input as heard at Format's rate.
    void Read(const MMSystem::WAVEFORMATEX& Format, std::uint64_t FirstFrame, std::uint32_t Frames,
              std::uint8_t* Dest);

private:
    double Sample(std::uint64_t FileFrame, unsigned Channel);
    void Load(std::uint64_t FileFrame);

    TSndFile FFile;
    std::uint32_t FRate = 0;
    unsigned FChannels = 0;
    std::uint64_t FFrames = 0;
    // A window of the file in doubles: reads are sequential, so the file is read in slices.
    std::vector<double> FCache;
    std::uint64_t FCacheStart = 0;
    std::uint64_t FCacheFrames = 0;
};

// Played audio as one WAV file in the first played format, with the zero level wherever
// nothing played.
class TWavOutput {
public:
    // Creates the file at once, so that a path that cannot be written is reported here
    // (std::runtime_error) rather than while audio plays.
    explicit TWavOutput(std::string FileName);

    // Bytes of Format that began playing at timeline frame Frame. Never throws: audio that
    // cannot be written is left out of the file.
    void Write(const MMSystem::WAVEFORMATEX& Format, std::uint64_t Frame, const std::uint8_t* Bytes,
               std::uint32_t Size);
    // The format to write in should nothing play in the run (the card's capture format).
    void SetFallbackFormat(const MMSystem::WAVEFORMATEX& Format);
    // Pads with the zero level up to time Time and closes.
    void Finish(std::int64_t TimeNs);

private:
    void PadTo(std::uint64_t Frame);
    bool Open(const MMSystem::WAVEFORMATEX& Format);

    std::string FFileName;
    TSndFile FFile;
    MMSystem::WAVEFORMATEX FFormat{};
    MMSystem::WAVEFORMATEX FFallback{};
    std::uint64_t FFramesWritten = 0;
    bool FFailed = false;
};

} // namespace SimWav
