// The DTMF receiver on the FM-link model's audio: the digits of random sequences at the
// receiver's outputs and noise levels, at every sound mode, off-frequency pairs, twist and tone
// length; and the codes and lockout of control over the air.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/station/DtmfAudio.h"

using namespace dtmf_audio;
using fm_link::Output;

namespace {

std::string joined(const std::vector<std::string>& Sequences) {
    std::string s;
    for (const auto& q : Sequences)
        s += q;
    return s;
}

} // namespace

// The hardest of the conditions the rig (dtmf-rig) measures: the easier ones follow.
TEST(DtmfReceiver, FindsEveryDigitOfRandomSequencesAtLowCarrierToNoise) {
    struct Case {
        Output output;
        double cnrDb;
    };
    std::uint64_t seed = 10;
    for (const Case c : {Case{Output::speaker, 15}, Case{Output::discriminator, 10}}) {
        const auto sequences = randomSequences(200, seed);
        const auto audio = overs(sequences, {c.output, 4, c.cnrDb}, {}, seed++);
        const Score s = score(joined(sequences), heard(audio, fm_link::rate, 16));
        EXPECT_EQ(s.found, s.sent)
            << (c.output == Output::speaker ? "speaker " : "discriminator ") << c.cnrDb << " dB";
        EXPECT_EQ(s.falseDigits, 0u) << c.cnrDb << " dB";
    }
}

TEST(DtmfReceiver, EverySoundModeHearsTheSameDigits) {
    const auto sequences = randomSequences(20, 3);
    const auto audio = overs(sequences, {Output::speaker, 4, 20}, {}, 3);
    for (const std::uint32_t rate : {22050u, 44100u, 48000u, 96000u})
        for (const int bits : {8, 16})
            EXPECT_EQ(heard(audio, rate, bits), joined(sequences)) << rate << " Hz " << bits;
}

TEST(DtmfReceiver, TakesPairsWithinOneAndAHalfPercentAndTwistButNotThreeAndAHalfOrShortTones) {
    const std::string all = "0123456789*#ABCD";
    auto through = [&](const Tone& t, Output o = Output::speaker) {
        return heard(overs({all}, {o, 4, 30}, t, 7), fm_link::rate, 16);
    };
    for (const double off : {-0.015, 0.015}) {
        EXPECT_EQ(through({1 + off, 1 + off}), all) << off;
        EXPECT_EQ(through({1 + off, 1 - off}), all) << off;
    }
    for (const double off : {-0.035, 0.035}) {
        EXPECT_EQ(through({1 + off, 1}), "") << off;
        EXPECT_EQ(through({1, 1 + off}), "") << off;
    }
    EXPECT_EQ(through({1, 1, 8}), all);
    EXPECT_EQ(through({1, 1, -4}), all);
    EXPECT_EQ(through({1, 1, 0, -10, 40, 50}), all);
    EXPECT_EQ(through({1, 1, 0, -10, 30, 50}), "");
}

TEST(DtmfReceiver, SpeechThroughTheLinkIsNoDigit) {
    std::vector<fm_link::Over> list;
    for (int i = 0; i < 6; ++i)
        list.push_back({1 + i * 12.0, 10, true, {}});
    for (const Output o : {Output::speaker, Output::discriminator})
        EXPECT_EQ(heard(fm_link::render({o, 4, 20}, list, 75, 5), fm_link::rate, 16), "");
}
