// What the station adds to the air: silence, tones with soft edges, Morse and a recorded voice,
// all as mono PCM in the repeater's mono format (8-bit unsigned or 16-bit signed).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "wave/WaveDefs.h"

namespace station {

using Pcm = std::vector<std::uint8_t>;
using WaveDefs::TWaveFormat;

// Rise and fall of every tone: long enough that keying makes no clicks.
inline constexpr double EdgeMs = 5.0;

std::size_t samplesFor(double Ms, TWaveFormat Mono);
void appendSilence(Pcm& Out, TWaveFormat Mono, std::size_t Samples);
// A sine of Amplitude (1: full scale) with raised-cosine edges of EdgeMs inside its length.
void appendTone(Pcm& Out, TWaveFormat Mono, double Hz, double Amplitude, std::size_t Samples);

// The dots and dashes of one character (".-" for A); empty for a character Morse lacks.
std::string morseCode(char C);
// Text in Morse on PARIS timing (a dot lasts 1.2 / Wpm seconds), preceded by a word space so
// that it stands apart from what played before.
Pcm morse(const std::string& Text, int Wpm, double Hz, int Volume, TWaveFormat Mono);

// Audio at rate From converted to rate To as it comes, stretch by stretch, by windowed-sinc
// interpolation, band-limited below the lower rate's Nyquist frequency so that nothing folds
// back. Each output sample lags its input by latency() input samples. Allocates only when made
// and when a stretch is longer than any before.
class Resampler {
public:
    Resampler(double From, double To);
    // Room for stretches of up to Samples input samples, so that push never allocates.
    void reserve(std::size_t Samples);
    // Converts the next stretch of input; Out is replaced by the output samples it completes.
    void push(std::span<const double> In, std::vector<double>& Out);
    // Forgets the input so far: the next stretch starts from silence.
    void reset();
    int latency() const { return half_; }

private:
    double step_ = 1; // input samples per output sample
    int half_ = 0;    // taps each side
    std::vector<double> table_;
    std::vector<double> history_; // input from absolute sample origin_ on
    std::int64_t origin_ = 0;
    std::int64_t next_ = 0; // the next output sample
};

// Audio at rate From converted to rate To in one piece, as Resampler does it.
std::vector<double> resample(const std::vector<double>& In, double From, double To);
// Samples in -1..1 as PCM in Mono.
Pcm toPcm(const std::vector<double>& Samples, TWaveFormat Mono);

// A sound file libsndfile reads, mixed to mono and converted to the rate and width of Mono.
// Throws std::runtime_error with libsndfile's reason.
Pcm loadVoice(const std::string& Path, TWaveFormat Mono);

} // namespace station
