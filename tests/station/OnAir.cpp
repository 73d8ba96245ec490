#include "tests/station/OnAir.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <sstream>

#include "station/Audio.h"

namespace OnAir {

std::vector<std::pair<std::size_t, std::size_t>> Keyed(const std::vector<std::int16_t>& Stereo,
                                                       int Channel) {
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (std::size_t f = 0; f < Stereo.size() / 2; ++f) {
        const bool left = Stereo[2 * f] != 0, right = Stereo[2 * f + 1] != 0;
        if (Channel == 0 ? !left : Channel == 1 ? !right : !left && !right)
            continue;
        if (!spans.empty() && f - spans.back().second < 8)
            spans.back().second = f + 1;
        else if (spans.empty() || spans.back().second != f)
            spans.push_back({f, f + 1});
        else
            spans.back().second = f + 1;
    }
    return spans;
}

Morse DecodeMorse(const std::vector<double>& Audio, double ExpectedHz, double Rate) {
    const auto window = static_cast<std::size_t>(2 * Rate / ExpectedHz);
    std::vector<double> envelope(Audio.size(), 0.0);
    double top = 0;
    for (std::size_t i = window; i + window < Audio.size(); ++i) {
        double peak = 0;
        for (std::size_t j = i - window / 2; j < i + window / 2; ++j)
            peak = std::max(peak, std::abs(Audio[j]));
        envelope[i] = peak;
        top = std::max(top, peak);
    }
    std::vector<std::pair<bool, std::size_t>> runs; // (keyed, start)
    for (std::size_t i = 0; i < envelope.size(); ++i) {
        const bool on = envelope[i] > top / 2;
        if (runs.empty() || runs.back().first != on)
            runs.push_back({on, i});
    }
    while (!runs.empty() && !runs.front().first)
        runs.erase(runs.begin());
    // The last element ends where the silence after it begins, not where the audio does.
    std::size_t end = envelope.size();
    if (!runs.empty() && !runs.back().first) {
        end = runs.back().second;
        runs.pop_back();
    }
    Morse m;
    if (runs.empty())
        return m;
    std::vector<std::size_t> lengths;
    for (std::size_t r = 0; r + 1 < runs.size(); ++r)
        lengths.push_back(runs[r + 1].second - runs[r].second);
    // The shortest element-and-gap pair is two units.
    std::size_t pair = SIZE_MAX;
    for (std::size_t r = 0; r + 2 < runs.size(); r += 2)
        pair = std::min(pair, runs[r + 2].second - runs[r].second);
    const double unit = pair / 2.0;
    long units = 0;
    std::size_t longest = 0;
    for (std::size_t r = 0; r + 1 < runs.size(); ++r) {
        const long u = std::lround(static_cast<double>(lengths[r]) / unit);
        units += u;
        if (runs[r].first)
            m.Code += u >= 2 ? "-" : ".";
        else if (u >= 5)
            m.Code += " / ";
        else if (u >= 2)
            m.Code += " ";
        if (runs[r].first && lengths[r] > lengths[longest])
            longest = r;
    }
    m.Code += end - runs.back().second > 2 * unit ? "-" : ".";
    m.UnitMs =
        static_cast<double>(runs.back().second - runs.front().second) / units * 1000.0 / Rate;
    // The pitch from the zero crossings inside the longest element.
    const std::size_t from = runs[longest].second + window, to = runs[longest + 1].second - window;
    int crossings = 0;
    for (std::size_t i = from + 1; i < to; ++i)
        crossings += (Audio[i - 1] < 0) != (Audio[i] < 0);
    m.PitchHz = crossings / 2.0 / (static_cast<double>(to - from) / Rate);
    return m;
}

std::string MorseText(const std::string& Code) {
    std::string text;
    std::istringstream symbols(Code);
    for (std::string symbol; symbols >> symbol;) {
        if (symbol == "/") {
            text += ' ';
            continue;
        }
        char found = '?';
        for (const char c : std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/-"))
            if (station::morseCode(c) == symbol)
                found = c;
        text += found;
    }
    return text;
}

} // namespace OnAir
