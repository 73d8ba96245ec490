#include "platform/SimWav.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sndfile.h>
#include <stdexcept>
#include <unistd.h>

namespace SimWav {
namespace {

constexpr std::uint64_t CacheFrames = 16384;

void Store(const MMSystem::WAVEFORMATEX& Format, double Value, std::uint8_t*& Dest) {
    if (Format.wBitsPerSample == 8) {
        const long v = std::clamp(std::lround(Value * 128.0), -128L, 127L);
        *Dest++ = static_cast<std::uint8_t>(v + 128);
    } else {
        const long v = std::clamp(std::lround(Value * 32768.0), -32768L, 32767L);
        const auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
        *Dest++ = static_cast<std::uint8_t>(u & 0xFF);
        *Dest++ = static_cast<std::uint8_t>(u >> 8);
    }
}

} // namespace

void TSndFileCloser::operator()(sf_private_tag* File) const {
    sf_close(File);
}

TWavInput::TWavInput(const std::string& FileName) {
    SF_INFO info{};
    FFile.reset(sf_open(FileName.c_str(), SFM_READ, &info));
    if (!FFile)
        throw std::runtime_error("Cannot read " + FileName + ": " + sf_strerror(nullptr));
    if (info.samplerate <= 0 || info.channels <= 0)
        throw std::runtime_error("Cannot read " + FileName + ": no audio in it");
    FRate = static_cast<std::uint32_t>(info.samplerate);
    FChannels = static_cast<unsigned>(info.channels);
    FFrames = static_cast<std::uint64_t>(info.frames);
}

void TWavInput::Load(std::uint64_t FileFrame) {
    FCacheStart = FileFrame;
    FCache.resize(CacheFrames * FChannels);
    sf_seek(FFile.get(), static_cast<sf_count_t>(FileFrame), SEEK_SET);
    const sf_count_t got =
        sf_readf_double(FFile.get(), FCache.data(), static_cast<sf_count_t>(CacheFrames));
    FCacheFrames = got > 0 ? static_cast<std::uint64_t>(got) : 0;
}

double TWavInput::Sample(std::uint64_t FileFrame, unsigned Channel) {
    if (FileFrame >= FFrames)
        return 0.0;
    if (FileFrame < FCacheStart || FileFrame >= FCacheStart + FCacheFrames)
        Load(FileFrame);
    if (FileFrame >= FCacheStart + FCacheFrames)
        return 0.0;
    const unsigned channel = std::min(Channel, FChannels - 1);
    return FCache[(FileFrame - FCacheStart) * FChannels + channel];
}

void TWavInput::Read(const MMSystem::WAVEFORMATEX& Format, std::uint64_t FirstFrame,
                     std::uint32_t Frames, std::uint8_t* Dest) {
    const bool sameRate = Format.nSamplesPerSec == FRate;
    const long double step = static_cast<long double>(FRate) / Format.nSamplesPerSec;
    for (std::uint32_t i = 0; i < Frames; ++i) {
        const std::uint64_t frame = FirstFrame + i;
        for (unsigned c = 0; c < Format.nChannels; ++c) {
            double value;
            if (sameRate) {
                value = Sample(frame, c);
            } else {
                // Linear interpolation is plenty for a simulated receiver.
                const long double position = frame * step;
                const auto whole = static_cast<std::uint64_t>(position);
                const double fraction = static_cast<double>(position - whole);
                value = Sample(whole, c) * (1.0 - fraction) + Sample(whole + 1, c) * fraction;
            }
            Store(Format, value, Dest);
        }
    }
}

void TWavOutput::Fail(const std::string& Why) {
    if (FProblem.empty())
        FProblem = "the output file " + FFileName + " cannot be written: " + Why;
    FFailed = true;
    FFile.reset();
}

void TWavOutput::Put(const std::uint8_t* Bytes, std::uint64_t Size) {
    if (!FFile)
        return;
    errno = 0;
    const sf_count_t written = sf_write_raw(FFile.get(), Bytes, static_cast<sf_count_t>(Size));
    if (written != static_cast<sf_count_t>(Size)) {
        const int error = errno;
        Fail(error != 0 ? std::strerror(error) : sf_strerror(FFile.get()));
    }
}

void TWavOutput::PadTo(std::uint64_t Frame) {
    if (!FFile || Frame <= FFramesWritten)
        return;
    std::vector<std::uint8_t> silence(std::min<std::uint64_t>(Frame - FFramesWritten, 8192) *
                                      FFormat.nBlockAlign);
    std::fill(silence.begin(), silence.end(), FFormat.wBitsPerSample == 8 ? 128 : 0);
    while (FFile && FFramesWritten < Frame) {
        const std::uint64_t n =
            std::min<std::uint64_t>(Frame - FFramesWritten, silence.size() / FFormat.nBlockAlign);
        Put(silence.data(), n * FFormat.nBlockAlign);
        FFramesWritten += n;
    }
}

TWavOutput::TWavOutput(std::string FileName) : FFileName(std::move(FileName)) {
    // Opened for writing without being cut short, and removed again when this made it.
    const bool existed = ::access(FFileName.c_str(), F_OK) == 0;
    const int fd = ::open(FFileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        throw std::runtime_error("Cannot write " + FFileName + ": " + std::strerror(errno));
    ::close(fd);
    if (!existed)
        ::unlink(FFileName.c_str());
}

void TWavOutput::Write(const MMSystem::WAVEFORMATEX& Format, std::uint64_t Frame,
                       const std::uint8_t* Bytes, std::uint32_t Size) {
    if (!FFile && !Open(Format))
        return;
    // The file keeps the first format; audio played later in another format does not fit it.
    if (Format.nSamplesPerSec != FFormat.nSamplesPerSec || Format.nChannels != FFormat.nChannels ||
        Format.wBitsPerSample != FFormat.wBitsPerSample)
        return;
    PadTo(Frame);
    Put(Bytes, Size);
    FFramesWritten += Size / FFormat.nBlockAlign;
}

bool TWavOutput::Open(const MMSystem::WAVEFORMATEX& Format) {
    if (FFailed || FFinished)
        return false;
    SF_INFO info{};
    info.samplerate = static_cast<int>(Format.nSamplesPerSec);
    info.channels = Format.nChannels;
    info.format =
        SF_FORMAT_WAV | (Format.wBitsPerSample == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
    errno = 0;
    FFile.reset(sf_open(FFileName.c_str(), SFM_WRITE, &info));
    FFormat = Format;
    if (!FFile) {
        const int error = errno;
        Fail(error != 0 ? std::strerror(error) : sf_strerror(nullptr));
        return false;
    }
    // The header tells the data written so far after every write, not only on closing.
    sf_command(FFile.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return true;
}

void TWavOutput::SetFallbackFormat(const MMSystem::WAVEFORMATEX& Format) {
    if (FFallback.nSamplesPerSec == 0)
        FFallback = Format;
}

void TWavOutput::Finish(std::int64_t TimeNs) {
    if (FFinished)
        return;
    if (!FFile && FFallback.nSamplesPerSec != 0)
        Open(FFallback);
    FFinished = true;
    if (!FFile)
        return;
    // Frames that have ended by then, at the file's rate.
    const auto t = static_cast<std::uint64_t>(std::max<std::int64_t>(TimeNs, 0));
    const std::uint64_t rate = FFormat.nSamplesPerSec;
    PadTo(t / 1'000'000'000 * rate + t % 1'000'000'000 * rate / 1'000'000'000);
    if (FFile && sf_close(FFile.release()) != 0)
        Fail("it could not be closed");
}

} // namespace SimWav
