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
// nothing played. The file is made when audio first plays (or at the end, when the card's
// capture ran but nothing played), so a run that fails before any audio leaves none behind; its
// header is brought up to date with every write, so the file reads whole however the run ends.
class TWavOutput {
public:
    // Checks at once that the path can be written, so that one that cannot is reported here
    // (std::runtime_error) rather than while audio plays; a file already there is left as it
    // is until then.
    explicit TWavOutput(std::string FileName);

    // Bytes of Format that began playing at timeline frame Frame. Never throws: audio that
    // cannot be written is left out of the file, and Problem() says why.
    void Write(const MMSystem::WAVEFORMATEX& Format, std::uint64_t Frame, const std::uint8_t* Bytes,
               std::uint32_t Size);
    // The format to write in should nothing play in the run (the card's capture format).
    void SetFallbackFormat(const MMSystem::WAVEFORMATEX& Format);
    // Pads with the zero level up to time Time and closes; later calls and writes do nothing.
    void Finish(std::int64_t TimeNs);
    // The first write that failed, naming the file; empty while every write succeeded.
    const std::string& Problem() const { return FProblem; }

private:
    void PadTo(std::uint64_t Frame);
    bool Open(const MMSystem::WAVEFORMATEX& Format);
    // Writes to the file; a short write is the run's problem and ends the writing.
    void Put(const std::uint8_t* Bytes, std::uint64_t Size);
    void Fail(const std::string& Why);

    std::string FFileName;
    TSndFile FFile;
    MMSystem::WAVEFORMATEX FFormat{};
    MMSystem::WAVEFORMATEX FFallback{};
    std::uint64_t FFramesWritten = 0;
    bool FFailed = false;
    bool FFinished = false;
    std::string FProblem;
};

} // namespace SimWav
