#include "station/Audio.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <sndfile.h>
#include <stdexcept>
#include <utility>

namespace station {
namespace {

void append(Pcm& Out, TWaveFormat Mono, double Value) {
    const auto& info = WaveDefs::Info(Mono);
    if (info.BitsPerSample == 8) {
        Out.push_back(
            static_cast<std::uint8_t>(std::clamp(std::lround(Value * 127) + 128, 0L, 255L)));
    } else {
        const auto v =
            static_cast<std::int16_t>(std::clamp(std::lround(Value * 32767), -32767L, 32767L));
        std::uint8_t bytes[2];
        std::memcpy(bytes, &v, 2);
        Out.insert(Out.end(), bytes, bytes + 2);
    }
}

constexpr std::array<std::pair<char, const char*>, 38> Codes{{
    {'A', ".-"},    {'B', "-..."},   {'C', "-.-."},  {'D', "-.."},   {'E', "."},     {'F', "..-."},
    {'G', "--."},   {'H', "...."},   {'I', ".."},    {'J', ".---"},  {'K', "-.-"},   {'L', ".-.."},
    {'M', "--"},    {'N', "-."},     {'O', "---"},   {'P', ".--."},  {'Q', "--.-"},  {'R', ".-."},
    {'S', "..."},   {'T', "-"},      {'U', "..-"},   {'V', "...-"},  {'W', ".--"},   {'X', "-..-"},
    {'Y', "-.--"},  {'Z', "--.."},   {'0', "-----"}, {'1', ".----"}, {'2', "..---"}, {'3', "...--"},
    {'4', "....-"}, {'5', "....."},  {'6', "-...."}, {'7', "--..."}, {'8', "---.."}, {'9', "----."},
    {'/', "-..-."}, {'-', "-....-"},
}};

} // namespace

std::size_t samplesFor(double Ms, TWaveFormat Mono) {
    return static_cast<std::size_t>(std::lround(Ms * WaveDefs::Info(Mono).SampleRate / 1000.0));
}

void appendSilence(Pcm& Out, TWaveFormat Mono, std::size_t Samples) {
    for (std::size_t i = 0; i < Samples; ++i)
        append(Out, Mono, 0.0);
}

void appendTone(Pcm& Out, TWaveFormat Mono, double Hz, double Amplitude, std::size_t Samples) {
    const double rate = WaveDefs::Info(Mono).SampleRate;
    const double edge = std::min(EdgeMs * rate / 1000.0, Samples / 2.0);
    for (std::size_t i = 0; i < Samples; ++i) {
        const double t = static_cast<double>(i);
        const double fromEnd = static_cast<double>(Samples - i);
        double gain = 1.0;
        if (t < edge)
            gain = 0.5 - 0.5 * std::cos(std::numbers::pi * t / edge);
        else if (fromEnd < edge)
            gain = 0.5 - 0.5 * std::cos(std::numbers::pi * fromEnd / edge);
        append(Out, Mono, Amplitude * gain * std::sin(2 * std::numbers::pi * Hz * t / rate));
    }
}

std::string morseCode(char C) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    for (const auto& [c, code] : Codes)
        if (c == upper)
            return code;
    return {};
}

Pcm morse(const std::string& Text, int Wpm, double Hz, int Volume, TWaveFormat Mono) {
    // Elements as (units, keyed), placed on a unit grid so that rounding never accumulates.
    std::vector<std::pair<int, bool>> elements{{7, false}};
    bool first = true;
    bool word = false;
    for (const char c : Text) {
        const std::string code = morseCode(c);
        if (code.empty()) {
            word = word || c == ' ';
            continue;
        }
        if (!first)
            elements.push_back({word ? 7 : 3, false});
        first = false;
        word = false;
        for (std::size_t i = 0; i < code.size(); ++i) {
            if (i > 0)
                elements.push_back({1, false});
            elements.push_back({code[i] == '-' ? 3 : 1, true});
        }
    }
    const double unit = 1.2 / Wpm * WaveDefs::Info(Mono).SampleRate;
    const double amplitude = Volume / 65535.0;
    Pcm out;
    long units = 0;
    for (const auto& [length, keyed] : elements) {
        const auto from = static_cast<std::size_t>(std::lround(units * unit));
        units += length;
        const auto to = static_cast<std::size_t>(std::lround(units * unit));
        if (keyed)
            appendTone(out, Mono, Hz, amplitude, to - from);
        else
            appendSilence(out, Mono, to - from);
    }
    return out;
}

Pcm loadVoice(const std::string& Path, TWaveFormat Mono) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(sf_open(Path.c_str(), SFM_READ, &info),
                                                     &sf_close);
    if (!file)
        throw std::runtime_error(sf_strerror(nullptr));
    std::vector<double> frames(static_cast<std::size_t>(info.frames) *
                               static_cast<std::size_t>(info.channels));
    sf_readf_double(file.get(), frames.data(), info.frames);
    std::vector<double> mono(static_cast<std::size_t>(info.frames));
    for (std::size_t f = 0; f < mono.size(); ++f) {
        double sum = 0;
        for (int c = 0; c < info.channels; ++c)
            sum +=
                frames[f * static_cast<std::size_t>(info.channels) + static_cast<std::size_t>(c)];
        mono[f] = sum / info.channels;
    }
    return toPcm(resample(mono, info.samplerate, WaveDefs::Info(Mono).SampleRate), Mono);
}

namespace {

// Taps input samples each side of an output sample, and steps between two input samples.
constexpr int Taps = 16;
constexpr int Phases = 256;

} // namespace

Resampler::Resampler(double From, double To) {
    if (From <= 0 || To <= 0)
        throw std::invalid_argument("a resampler needs two positive rates");
    step_ = From / To;
    // A polyphase table of a Blackman-windowed sinc.
    const double cutoff = 0.95 * std::min(1.0, To / From); // of the input's Nyquist frequency
    half_ = static_cast<int>(std::ceil(Taps / std::min(1.0, To / From)));
    table_.assign(static_cast<std::size_t>((2 * half_) * (Phases + 1)), 0.0);
    for (int p = 0; p <= Phases; ++p)
        for (int k = 0; k < 2 * half_; ++k) {
            const double x = (k - half_ + 1) - static_cast<double>(p) / Phases;
            const double w = 0.42 + 0.5 * std::cos(std::numbers::pi * x / half_) +
                             0.08 * std::cos(2 * std::numbers::pi * x / half_);
            const double sinc =
                x == 0 ? 1.0
                       : std::sin(std::numbers::pi * cutoff * x) / (std::numbers::pi * cutoff * x);
            table_[static_cast<std::size_t>(p * 2 * half_ + k)] =
                std::abs(x) >= half_ ? 0.0 : cutoff * sinc * w;
        }
    reset();
}

void Resampler::reserve(std::size_t Samples) {
    history_.reserve(Samples + static_cast<std::size_t>(4 * half_) + 4);
}

void Resampler::reset() {
    // Silence before the first sample, so that the first outputs need no special case.
    history_.assign(static_cast<std::size_t>(half_), 0.0);
    origin_ = -half_;
    next_ = 0;
}

void Resampler::push(std::span<const double> In, std::vector<double>& Out) {
    Out.clear();
    history_.insert(history_.end(), In.begin(), In.end());
    const std::int64_t end = origin_ + static_cast<std::int64_t>(history_.size());
    const auto taps = static_cast<std::size_t>(2 * half_);
    for (;; ++next_) {
        const double pos = static_cast<double>(next_) * step_;
        const auto base = static_cast<std::int64_t>(std::floor(pos));
        if (base + half_ >= end)
            break;
        const double frac = (pos - static_cast<double>(base)) * Phases;
        const auto p = static_cast<int>(frac);
        const double mix = frac - p;
        const double* a = &table_[static_cast<std::size_t>(p) * taps];
        const double* b = p < Phases ? a + taps : a;
        const double* x = &history_[static_cast<std::size_t>(base - half_ + 1 - origin_)];
        double sum = 0;
        for (std::size_t k = 0; k < taps; ++k)
            sum += x[k] * (a[k] + (b[k] - a[k]) * mix);
        Out.push_back(sum);
    }
    // Keep what the next output sample reaches back to.
    const std::int64_t keep =
        static_cast<std::int64_t>(std::floor(static_cast<double>(next_) * step_)) - half_ + 1;
    if (keep > origin_) {
        const auto drop = static_cast<std::size_t>(
            std::min<std::int64_t>(keep - origin_, static_cast<std::int64_t>(history_.size())));
        history_.erase(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(drop));
        origin_ += static_cast<std::int64_t>(drop);
    }
}

std::vector<double> resample(const std::vector<double>& In, double From, double To) {
    if (In.empty() || From <= 0 || To <= 0 || From == To)
        return In;
    const auto length = static_cast<std::size_t>(std::floor((In.size() - 1) * To / From)) + 1;
    Resampler r(From, To);
    std::vector<double> out, more;
    r.push(In, out);
    // Silence after the last sample completes the outputs that reach beyond it.
    const std::vector<double> silence(static_cast<std::size_t>(2 * r.latency()) + 2, 0.0);
    r.push(silence, more);
    out.insert(out.end(), more.begin(), more.end());
    out.resize(length);
    return out;
}

Pcm toPcm(const std::vector<double>& Samples, TWaveFormat Mono) {
    Pcm out;
    out.reserve(Samples.size() * WaveDefs::Info(Mono).SampleSize());
    for (const double v : Samples)
        append(out, Mono, v);
    return out;
}

} // namespace station
