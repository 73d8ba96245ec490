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

std::vector<double> resample(const std::vector<double>& In, double From, double To) {
    if (In.empty() || From <= 0 || To <= 0 || From == To)
        return In;
    // A polyphase table of a Blackman-windowed sinc: Taps input samples each side, Phases steps
    // between two input samples.
    constexpr int Taps = 16;
    constexpr int Phases = 256;
    const double cutoff = 0.95 * std::min(1.0, To / From); // of the input's Nyquist frequency
    const int half = static_cast<int>(std::ceil(Taps / std::min(1.0, To / From)));
    std::vector<double> table(static_cast<std::size_t>((2 * half) * (Phases + 1)));
    for (int p = 0; p <= Phases; ++p)
        for (int k = 0; k < 2 * half; ++k) {
            const double x = (k - half + 1) - static_cast<double>(p) / Phases;
            const double w = 0.42 + 0.5 * std::cos(std::numbers::pi * x / half) +
                             0.08 * std::cos(2 * std::numbers::pi * x / half);
            const double sinc =
                x == 0 ? 1.0
                       : std::sin(std::numbers::pi * cutoff * x) / (std::numbers::pi * cutoff * x);
            table[static_cast<std::size_t>(p * 2 * half + k)] =
                std::abs(x) >= half ? 0.0 : cutoff * sinc * w;
        }
    const auto length = static_cast<std::size_t>(std::floor((In.size() - 1) * To / From)) + 1;
    std::vector<double> out(length);
    const auto last = static_cast<std::ptrdiff_t>(In.size()) - 1;
    for (std::size_t i = 0; i < length; ++i) {
        const double pos = static_cast<double>(i) * From / To;
        const auto base = static_cast<std::ptrdiff_t>(std::floor(pos));
        const double frac = (pos - static_cast<double>(base)) * Phases;
        const auto p = static_cast<int>(frac);
        const double mix = frac - p;
        const double* a = &table[static_cast<std::size_t>(p * 2 * half)];
        const double* b = p < Phases ? a + 2 * half : a;
        double sum = 0;
        for (int k = 0; k < 2 * half; ++k) {
            const std::ptrdiff_t j = base - half + 1 + k;
            if (j < 0 || j > last)
                continue;
            sum += In[static_cast<std::size_t>(j)] * (a[k] + (b[k] - a[k]) * mix);
        }
        out[i] = sum;
    }
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
