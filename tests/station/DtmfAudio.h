// DTMF test audio through the FM-link model, and how a receiver's digits score against what was
// sent: for the receiver's tests and the side-by-side rig.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "station/Dtmf.h"
#include "tests/squelch/FmLink.h"

namespace dtmf_audio {

struct Tone {
    double lowScale = 1, highScale = 1; // the two tones' frequencies, as a share of the standard
    double twistDb = 0;                 // the high tone over the low one
    double levelDb = -10;               // each tone, of full scale at the microphone
    double onMs = 50, offMs = 50;
    double leadMs = 0; // silence before the first digit, while the receiver's squelch opens
};

// The two frequencies of a digit of 0-9, *, #, A-D.
std::pair<double, double> frequencies(char Digit);
// Digits keyed one after another at fm_link::rate, as a handheld's keypad sends them.
std::vector<double> keyed(const std::string& Digits, const Tone& T = {});
// Count random sequences of 4 to 8 digits from the 16.
std::vector<std::string> randomSequences(int Count, std::uint64_t Seed);
// The sequences one after another, as the receiver should hear them.
std::string joined(const std::vector<std::string>& Sequences);

// The sequences as overs of their own, apart by Gap seconds of hiss, through the link at the
// receiver's output; the whole sent text in Sent.
std::vector<float> overs(const std::vector<std::string>& Sequences, const fm_link::Receiver& R,
                         const Tone& T, std::uint64_t Seed, double Gap = 0.3);

// How a receiver's digits compare with those sent: found is the longest run of them in order
// (a common subsequence), false the rest of what it heard.
struct Score {
    std::size_t sent = 0, found = 0, falseDigits = 0;
};
Score score(const std::string& Sent, const std::string& Heard);

// Audio at fm_link::rate through the receiver as a sound mode gives it: at Rate, in 8 or 16 bits.
std::string heard(const std::vector<float>& Audio, std::uint32_t Rate, int Bits);

} // namespace dtmf_audio
