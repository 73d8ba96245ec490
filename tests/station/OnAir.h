// What went on the air, read back from the transmitter's output as a listener would: where the
// keying tone is, and what Morse says.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace OnAir {

// Spans [first, end) of frames where a channel of 16-bit stereo is not silent (0: left, 1: right,
// -1: either). A tone crosses zero now and then: a few zero frames do not end a span.
std::vector<std::pair<std::size_t, std::size_t>> Keyed(const std::vector<std::int16_t>& Stereo,
                                                       int Channel = -1);

struct Morse {
    std::string Code; // ".- -..." : letters apart by a space, words by " / "
    double UnitMs = 0;
    double PitchHz = 0;
};

// Reads Morse from audio by its envelope, knowing nothing of how it was made.
Morse DecodeMorse(const std::vector<double>& Audio, double ExpectedHz, double Rate);
// The letters of a decoded code ("--.- ..--- / .-.." is "Q2 L"); '?' for what is no letter.
std::string MorseText(const std::string& Code);

} // namespace OnAir
