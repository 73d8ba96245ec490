// A DTMF receiver on the received audio, buffer by buffer, allocating nothing once made: the
// station's band-limited resampler takes it to 8 kHz with the DC out, a band filter keeps the
// tones' octave and a sliding window of DFT bins (a Goertzel bank) judges each 2.5 ms whether a
// pair is there: both tones strong, the pair most of the band's power, each nearer its own
// frequency than 2.5 % off, twist within bounds. A tone is a digit once it has lasted 34 ms.
// (spandsp's telephony receiver, tried first, lost tones 1.5 % off and took 30 ms ones.)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "analysis/Biquad.h"
#include "station/Audio.h"

namespace station {

struct DtmfDigit {
    char digit = 0;
    double at = 0;     // seconds from the start of the audio to the tone's start
    double length = 0; // seconds the tone lasted
};

class DtmfReceiver {
public:
    // At most this many digits are kept between two calls of reset.
    static constexpr std::size_t MaxDigits = 64;
    // A tone shorter than this is no digit (Q.24: 40 ms is one, well under it is not).
    static constexpr double MinToneSeconds = 0.034;

    // Audio at SampleRate, in pushes of up to MaxSamples samples.
    DtmfReceiver(std::uint32_t SampleRate, std::size_t MaxSamples);
    DtmfReceiver(const DtmfReceiver&) = delete;
    DtmfReceiver& operator=(const DtmfReceiver&) = delete;

    // Mono PCM in Mono (8-bit unsigned or 16-bit signed), or samples in -1..1.
    void push(std::span<const std::uint8_t> Pcm, TWaveFormat Mono);
    void push(std::span<const double> Samples);
    // The audio so far is done with: a tone still sounding at its end is judged now.
    void finish();
    // Starts afresh: no digits, silence before the next sample, time from zero.
    void reset();
    // Forgets the digits found so far, and goes on listening (a long recording's).
    void clearDigits() { count_ = 0; }

    std::span<const DtmfDigit> digits() const { return {digits_.data(), count_}; }
    // The digits found, in order, as text.
    std::string text() const;

    // The detector's window and step, in samples at its 8 kHz.
    static constexpr std::size_t Window = 160;
    static constexpr std::size_t Hop = 20;

private:
    void feed(); // in_
    void analyse();
    void endTone();

    std::uint32_t rate_;
    Resampler resampler_;
    std::vector<double> in_, out_;
    double dcIn_ = 0, dcOut_ = 0;
    std::array<analysis::Biquad, 2> band_; // the band the tones lie in, ahead of the detector
    // Per tone (4 low, 4 high) at five points about its frequency: a window's worth of cosines
    // and sines, and the band's power gain there.
    static constexpr std::size_t Bins = 8 * 5;
    std::array<std::array<std::array<float, Window>, 2>, Bins> basis_{};
    std::array<double, Bins> bandGain2_{};
    std::array<float, Window> ring_{};
    std::size_t ringAt_ = 0;
    std::size_t sinceHop_ = 0;
    std::int64_t hops_ = 0; // windows judged since reset

    // The tone being heard: its digit, first and last hop, and its power in each hop.
    static constexpr std::size_t MaxToneHops = 400;
    char tone_ = 0;
    std::int64_t toneFirst_ = 0, toneLast_ = 0;
    int misses_ = 0;
    std::array<float, MaxToneHops> tonePower_{};
    std::size_t toneHops_ = 0;
    std::size_t toneCore_ = 0; // windows with next to nothing but the pair

    std::array<DtmfDigit, MaxDigits> digits_{};
    std::size_t count_ = 0;
};

} // namespace station
