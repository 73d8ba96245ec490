#include "tests/station/DtmfAudio.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace dtmf_audio {

std::pair<double, double> frequencies(char Digit) {
    static constexpr char keys[4][5] = {"123A", "456B", "789C", "*0#D"};
    static constexpr double low[4] = {697, 770, 852, 941};
    static constexpr double high[4] = {1209, 1336, 1477, 1633};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (keys[r][c] == Digit)
                return {low[r], high[c]};
    return {0, 0};
}

std::vector<double> keyed(const std::string& Digits, const Tone& T) {
    const double fs = fm_link::rate;
    const auto on = static_cast<std::size_t>(T.onMs * fs / 1000);
    const auto off = static_cast<std::size_t>(T.offMs * fs / 1000);
    const double edge = 0.001 * fs; // a keypad's tones start and stop within a millisecond
    const double level = std::pow(10.0, T.levelDb / 20);
    const double lowAmp = level * std::pow(10.0, -T.twistDb / 40);
    const double highAmp = level * std::pow(10.0, T.twistDb / 40);
    std::vector<double> out(static_cast<std::size_t>(T.leadMs * fs / 1000), 0.0);
    for (const char d : Digits) {
        const auto [lo, hi] = frequencies(d);
        for (std::size_t i = 0; i < on; ++i) {
            const double t = static_cast<double>(i);
            const double gain = std::min({1.0, t / edge, static_cast<double>(on - i) / edge});
            out.push_back(gain *
                          (lowAmp * std::sin(2 * std::numbers::pi * lo * T.lowScale * t / fs) +
                           highAmp * std::sin(2 * std::numbers::pi * hi * T.highScale * t / fs)));
        }
        out.insert(out.end(), off, 0.0);
    }
    return out;
}

std::vector<std::string> randomSequences(int Count, std::uint64_t Seed) {
    static constexpr char all[] = "0123456789*#ABCD";
    std::mt19937_64 engine(Seed);
    std::vector<std::string> result;
    for (int i = 0; i < Count; ++i) {
        std::string s(4 + engine() % 5, ' ');
        for (char& c : s)
            c = all[engine() % 16];
        result.push_back(s);
    }
    return result;
}

std::vector<float> overs(const std::vector<std::string>& Sequences, const fm_link::Receiver& R,
                         const Tone& T, std::uint64_t Seed, double Gap) {
    std::vector<fm_link::Over> list;
    double at = Gap;
    for (const std::string& s : Sequences) {
        fm_link::Over over;
        over.audio = keyed(s, T);
        over.start = at;
        over.length = fm_link::speechLead + static_cast<double>(over.audio.size()) / fm_link::rate +
                      fm_link::speechTail;
        at += over.length + Gap;
        list.push_back(std::move(over));
    }
    return fm_link::render(R, list, at, Seed);
}

std::string joined(const std::vector<std::string>& Sequences) {
    std::string s;
    for (const auto& q : Sequences)
        s += q;
    return s;
}

Score score(const std::string& Sent, const std::string& Heard) {
    std::vector<std::size_t> row(Heard.size() + 1, 0), next(Heard.size() + 1, 0);
    for (const char s : Sent) {
        for (std::size_t j = 0; j < Heard.size(); ++j)
            next[j + 1] = s == Heard[j] ? row[j] + 1 : std::max(row[j + 1], next[j]);
        std::swap(row, next);
    }
    return {Sent.size(), row.back(), Heard.size() - row.back()};
}

std::string heard(const std::vector<float>& Audio, std::uint32_t Rate, int Bits) {
    std::vector<double> in(Audio.begin(), Audio.end());
    if (Rate != fm_link::rate)
        in = station::resample(in, fm_link::rate, Rate);
    for (double& v : in) // what the sound card's converter keeps
        v = Bits == 8 ? std::round(std::clamp(v, -1.0, 1.0) * 127) / 128
                      : std::round(std::clamp(v, -1.0, 1.0) * 32767) / 32768;
    station::DtmfReceiver receiver(Rate, 4096);
    std::string digits;
    for (std::size_t at = 0; at < in.size(); at += 4096) {
        receiver.push(std::span(in).subspan(at, std::min<std::size_t>(4096, in.size() - at)));
        digits += receiver.text();
        receiver.clearDigits();
    }
    receiver.finish();
    return digits + receiver.text();
}

} // namespace dtmf_audio
