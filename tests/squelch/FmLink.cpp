#include "tests/squelch/FmLink.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <sndfile.h>
#include <stdexcept>

#include "analysis/Biquad.h"
#include "squelch/Ctcss.h"

namespace fm_link {
namespace {

constexpr double pi = std::numbers::pi;
constexpr double fs = rate;
constexpr double deviation = 2500;  // Hz, the transmitter's limit
constexpr double channel = 6000;    // Hz each side of the carrier
constexpr double emphasis = 750e-6; // s, the usual narrowband FM time constant
constexpr double cardFloor = 2e-5;  // the sound card's own noise, about -94 dBFS

// Uniform and Gaussian numbers from the standard's exactly specified engine, so that the audio
// does not depend on the library's distributions.
class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
    double between(double low, double high) { return low + (high - low) * uniform(); }
    double gaussian() {
        const double u = std::max(uniform(), 1e-300);
        return std::sqrt(-2 * std::log(u)) * std::cos(2 * pi * uniform());
    }

private:
    std::mt19937_64 engine_;
};

// A formant: a two-pole resonator with unit gain at its centre, near enough.
struct Resonator {
    double a1 = 0, a2 = 0, gain = 0, y1 = 0, y2 = 0;
    void tune(double hz, double bandwidth) {
        const double r = std::exp(-pi * bandwidth / fs);
        a1 = 2 * r * std::cos(2 * pi * hz / fs);
        a2 = -r * r;
        gain = 1 - r;
    }
    double operator()(double x) {
        const double y = gain * x + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

// Speech-like audio for Seconds: words of one to three syllables, each a vowel (a glottal pulse
// train through three formants, under a rising and falling envelope) sometimes opened by a
// fricative, with gaps between syllables, words and phrases.
std::vector<double> speech(double seconds, Random& random) {
    struct Vowel {
        double f1, f2, f3;
    };
    static constexpr Vowel vowels[] = {{730, 1090, 2440}, {270, 2290, 3010}, {300, 870, 2240},
                                       {530, 1840, 2480}, {570, 840, 2410},  {660, 1720, 2410}};
    const auto total = static_cast<std::size_t>(seconds * fs);
    std::vector<double> out(total, 0.0);
    const double pitch = random.between(95, 190);
    Resonator formant[3];
    analysis::Butterworth hiss(true, 2500, 4, fs);
    double glottis = 0;
    double phase = 0;
    std::size_t at = 0;
    while (at < total) {
        const int syllables = 1 + static_cast<int>(random.uniform() * 3);
        for (int s = 0; s < syllables && at < total; ++s) {
            const Vowel& v = vowels[static_cast<std::size_t>(random.uniform() * std::size(vowels))];
            formant[0].tune(v.f1, 80);
            formant[1].tune(v.f2, 110);
            formant[2].tune(v.f3, 160);
            const double loud = random.between(0.5, 1.0);
            const auto fricative = random.uniform() < 0.4
                                       ? static_cast<std::size_t>(random.between(0.04, 0.09) * fs)
                                       : 0;
            const auto voiced = static_cast<std::size_t>(random.between(0.1, 0.26) * fs);
            const double f0 = pitch * random.between(0.85, 1.2);
            for (std::size_t i = 0; i < fricative + voiced && at < total; ++i, ++at) {
                double x;
                if (i < fricative) {
                    const double t = static_cast<double>(i) / static_cast<double>(fricative);
                    x = 0.25 * loud * std::sin(pi * t) * hiss(random.gaussian());
                } else {
                    const double t =
                        static_cast<double>(i - fricative) / static_cast<double>(voiced);
                    const double glide = f0 * (1.05 - 0.1 * t);
                    phase += glide / fs;
                    const double pulse = phase >= 1 ? 1.0 : 0.0;
                    phase -= std::floor(phase);
                    glottis = 0.98 * glottis + pulse; // the glottal pulse's falling spectrum
                    double y = 0;
                    for (auto& f : formant)
                        y += f(glottis);
                    const double envelope = std::min({1.0, t / 0.12, (1 - t) / 0.25});
                    x = loud * envelope * y;
                }
                out[at] = x;
            }
            at += static_cast<std::size_t>(random.between(0.02, 0.06) * fs);
        }
        at += static_cast<std::size_t>(
            (random.uniform() < 0.15 ? random.between(0.4, 0.8) : random.between(0.1, 0.3)) * fs);
    }
    return out;
}

} // namespace

double sentTone(const Over& over) {
    if (over.toneHz <= 0 || over.neighbour == 0)
        return over.toneHz;
    const auto& tones = squelch::ctcssTones;
    const auto at = std::lower_bound(tones.begin(), tones.end(), over.toneHz - 0.05);
    if (at == tones.end() || std::abs(*at - over.toneHz) > 0.05)
        throw std::invalid_argument("no standard tone of " + std::to_string(over.toneHz) + " Hz");
    if (over.neighbour < 0)
        return at == tones.begin() ? 0 : *(at - 1);
    return at + 1 == tones.end() ? 0 : *(at + 1);
}

std::vector<float> render(const Receiver& receiver, const std::vector<Over>& overs, double seconds,
                          std::uint64_t seed) {
    Random random(seed);
    const auto total = static_cast<std::size_t>(seconds * fs);

    // The transmitter's audio in hertz of deviation: pre-emphasised speech, limited, filtered.
    std::vector<double> modulation(total, 0.0);
    std::vector<double> carrier(total, 0.0);
    for (const Over& over : overs) {
        const auto first = static_cast<std::size_t>(over.start * fs);
        const auto last =
            std::min(total, static_cast<std::size_t>((over.start + over.length) * fs));
        const std::size_t ramp = 240; // 5 ms
        for (std::size_t i = first; i < last; ++i)
            carrier[i] = std::min({1.0, static_cast<double>(i - first + 1) / ramp,
                                   static_cast<double>(last - i) / ramp});
        // The tone is added after the voice's limiter and filter, as an encoder adds it.
        if (const double tone = sentTone(over); tone > 0)
            for (std::size_t i = first; i < last; ++i)
                modulation[i] +=
                    toneDeviation * std::sin(2 * pi * tone * static_cast<double>(i - first) / fs);
        if (over.audio.empty() && (!over.speech || over.length <= speechLead + speechTail))
            continue;
        const std::vector<double> voice =
            over.audio.empty() ? speech(over.length - speechLead - speechTail, random) : over.audio;
        std::vector<double> emphasised(voice.size());
        const double a = std::exp(-1 / (emphasis * fs));
        double previous = 0;
        for (std::size_t i = 0; i < voice.size(); ++i) {
            emphasised[i] = (voice[i] - a * previous) / (1 - a);
            previous = voice[i];
        }
        // Peaks a little above the limit, as a speaker close to the microphone gives.
        std::vector<double> sorted;
        for (double v : emphasised)
            sorted.push_back(std::abs(v));
        std::sort(sorted.begin(), sorted.end());
        double scale = deviation * 1.2 / std::max(sorted[sorted.size() * 995 / 1000], 1e-12);
        if (!over.audio.empty()) // full scale at 1 kHz, after the emphasis, is full deviation
            scale = deviation * (1 - a) / std::abs(1.0 - a * std::polar(1.0, -2 * pi * 1000 / fs));
        analysis::Butterworth splatter(false, 3000, 4, fs);
        // A transmitter that sends a tone keeps its voice out of the tones' band.
        const bool toned = sentTone(over) > 0;
        analysis::Butterworth subAudible(true, 300, 4, fs);
        const auto start = first + static_cast<std::size_t>(speechLead * fs);
        for (std::size_t i = 0; i < emphasised.size() && start + i < total; ++i) {
            const double v = splatter(std::clamp(emphasised[i] * scale, -deviation, deviation));
            modulation[start + i] += toned ? subAudible(v) : v;
        }
    }

    // On the air and in the receiver: FM, noise in the channel, the channel filter, the
    // limiter-discriminator.
    const double noise = std::sqrt(fs / (2 * channel) / std::pow(10.0, receiver.cnrDb / 10) / 2);
    analysis::Butterworth channelI(false, channel, 4, fs), channelQ(false, channel, 4, fs);
    std::vector<float> out(total);
    double phase = 0;
    std::complex<double> last{1, 0};
    const double a = std::exp(-1 / (emphasis * fs));
    double deemphasised = 0;
    analysis::Butterworth voiceLow(true, 300, receiver.subAudiblePoles, fs),
        voiceHigh(false, 3000, receiver.voicePoles, fs);
    const double volume = 4 * std::pow(10.0, receiver.volumeDb / 20);
    for (std::size_t i = 0; i < total; ++i) {
        phase = std::fmod(phase + 2 * pi * modulation[i] / fs, 2 * pi);
        const double re = carrier[i] * std::cos(phase) + noise * random.gaussian();
        const double im = carrier[i] * std::sin(phase) + noise * random.gaussian();
        const std::complex<double> z{channelI(re), channelQ(im)};
        const double hz = std::arg(z * std::conj(last)) * fs / (2 * pi);
        last = z;
        double y = hz / (fs / 2);
        if (receiver.output == Output::speaker) {
            deemphasised = a * deemphasised + (1 - a) * y;
            y = volume * voiceHigh(voiceLow(deemphasised));
        }
        out[i] = static_cast<float>(std::clamp(y + cardFloor * random.gaussian(), -1.0, 1.0));
    }
    return out;
}

void writeWav(const std::string& path, const std::vector<float>& audio) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        throw std::runtime_error(path + ": " + sf_strerror(nullptr));
    std::vector<std::int16_t> frames(2 * audio.size());
    for (std::size_t i = 0; i < audio.size(); ++i)
        frames[2 * i] = frames[2 * i + 1] =
            static_cast<std::int16_t>(std::clamp(std::lround(audio[i] * 32768.0), -32768L, 32767L));
    const sf_count_t written = sf_write_short(file, frames.data(), std::ssize(frames));
    sf_close(file);
    if (written != std::ssize(frames))
        throw std::runtime_error(path + ": the disk took only part of the audio");
}

} // namespace fm_link
