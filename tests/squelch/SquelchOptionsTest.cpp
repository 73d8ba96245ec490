// The [Squelch] options end to end on the simulated card: what is keyed, for how long, and
// nothing else.
#include <gtest/gtest.h>

#include "tests/app/RepeaterRig.h"
#include "wave/WaveUtils.h"

using namespace RepeaterRig;
using SimCard::Seconds;
using WaveDefs::TWaveFormat;

namespace {

constexpr std::uint64_t Frames = 2048; // one buffer of the defaults: 8192 bytes, 16-bit stereo
constexpr std::uint32_t Rate = 44100;

TTimeNs At(std::uint64_t Frame) {
    return static_cast<TTimeNs>((Frame * Seconds + Rate - 1) / Rate);
}

std::map<std::string, std::string> Settings(std::map<std::string, std::string> Extra) {
    Extra["SoundMode"] = std::to_string(ModeIndex(TWaveFormat::wf44100stereo16));
    Extra["PlayVolume"] = "65535"; // the replay then reaches the card unchanged
    return Extra;
}

// A transmission is the recording from input frame From, Count frames of it, with the tone
// for exactly those samples.
void ExpectReplay(const TTransmission& T, std::uint64_t From, std::uint64_t Count) {
    ASSERT_EQ(T.Frames, Count);
    WaveUtils::TSineGenerator generator;
    generator.SetFrequency(100);
    generator.SetVolume(58982);
    generator.SetFormat(TWaveFormat::wf44100mono16);
    std::vector<std::int16_t> tone(Count);
    generator.Generate(tone.data(), static_cast<std::uint32_t>(Count * 2));
    for (std::uint64_t j = 0; j < Count; ++j) {
        ASSERT_EQ(Sample16(T.Bytes, j, 1), TReceiver::Audio(From + j)) << "frame " << j;
        ASSERT_EQ(Sample16(T.Bytes, j, 0), tone[j]) << "tone sample " << j;
    }
}

struct TNotices {
    std::vector<std::string> Texts;
    explicit TNotices(TRig& Rig) {
        Rig.Form().OnNotice = [this](const std::string& Text) { Texts.push_back(Text); };
    }
};

TEST(SquelchOptions, TrimTailReplaysAnOverUpToItsLastSignalBufferButAnOverCutAtTheLimitWhole) {
    TRig rig(CarrierOverBuffers({{20, 60}}), Settings({{"Squelch/TrimTail", "1"}}));
    rig.Form().btnStartClick();
    rig.RunFor(8 * Seconds);
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    // The squelch still closes after the hold, but the hold's 11 buffers are not sent.
    EXPECT_EQ(tx[0].Start, At(72 * Frames));
    ExpectReplay(tx[0], 20 * Frames, 40 * Frames);
    const std::vector<std::string> expected{"ОЖИДАНИЕ", "ЗАПИСЬ", "ВОСПРОИЗВЕДЕНИЕ", "ЗАБЛОКИРОВАН",
                                            "ОЖИДАНИЕ"};
    EXPECT_EQ(rig.StateTexts(), expected);

    // 10 s reach their limit on the 216th block, six buffers into the hold: all of it is sent.
    TRig limit(CarrierOverBuffers({{20, 230}}),
               Settings({{"Squelch/TrimTail", "1"}, {"Duration", "10"}}));
    limit.Form().btnStartClick();
    limit.RunFor(24 * Seconds);
    const auto cut = Transmissions(limit.Card().PlayLog());
    ASSERT_EQ(cut.size(), 1u);
    ExpectReplay(cut[0], 20 * Frames, 216 * Frames);
}

TEST(SquelchOptions, AnOverShorterThanMinOverIsNeitherReplayedNorKeyedAndTheLogSaysSo) {
    // 5 buffers of carrier are 232 ms, 10 are 464 ms.
    TRig rig(CarrierOverBuffers({{20, 25}, {100, 110}}),
             Settings({{"Squelch/MinOver", "300"}, {"Squelch/TrimTail", "1"}}));
    TNotices notices(rig);
    rig.Form().btnStartClick();
    rig.RunFor(8 * Seconds);
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    ExpectReplay(tx[0], 100 * Frames, 10 * Frames);
    const std::vector<std::string> expected{"ОЖИДАНИЕ",        "ЗАПИСЬ",       "ОЖИДАНИЕ", "ЗАПИСЬ",
                                            "ВОСПРОИЗВЕДЕНИЕ", "ЗАБЛОКИРОВАН", "ОЖИДАНИЕ"};
    ASSERT_EQ(rig.StateTexts(), expected);
    EXPECT_EQ(rig.States()[2].Time, At(37 * Frames)) << "waiting again when the hold ran out";
    ASSERT_EQ(notices.Texts.size(), 1u);
    EXPECT_EQ(notices.Texts[0],
              "an over with 0.232 s of signal is shorter than MinOver (300 ms): not replayed");
}

TEST(SquelchOptions, ASilentControlChannelIsNoticedOnceAndWithSilenceIsNoSignalOpensNothing) {
    TReceiver receiver = CarrierOverBuffers({{200, 220}});
    receiver.Hiss = 0; // the zero level wherever no carrier is heard
    TRig rig(receiver, Settings({{"Squelch/SilenceIsNoSignal", "1"}}));
    TNotices notices(rig);
    rig.Form().btnStartClick();
    // 107 buffers are 4969 ms of silence, 108 are 5015 ms.
    rig.RunFor(At(107 * Frames));
    EXPECT_TRUE(notices.Texts.empty());
    EXPECT_TRUE(rig.Form().lblState->toolTip().isEmpty());
    rig.RunFor(At(150 * Frames) - At(107 * Frames));
    ASSERT_EQ(notices.Texts.size(), 1u);
    EXPECT_EQ(notices.Texts[0], "no audio on the control channel: every sample has been at the "
                                "zero level for over 5 s");
    EXPECT_EQ(rig.Form().lblState->toolTip().toStdString(),
              "Нет звука на управляющем канале: вход молчит дольше 5 с");
    EXPECT_EQ(rig.Form().StateText(), "ОЖИДАНИЕ") << "the state texts stay as they are";

    rig.RunFor(At(280 * Frames) - At(150 * Frames));
    const std::vector<std::string> heard{notices.Texts[0], "audio on the control channel again"};
    EXPECT_EQ(notices.Texts, heard);
    EXPECT_TRUE(rig.Form().lblState->toolTip().isEmpty());
    // The carrier and the hold after it, and no second of the silence before.
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    ExpectReplay(tx[0], 200 * Frames, 31 * Frames);
}

TEST(SquelchOptions, ACloseLevelAboveTheHissKeepsAnOverOpenThatOnlySquelchLevelCouldOpen) {
    // The hiss reads far above SquelchLevel and far below CloseLevel: before the carrier it
    // opens nothing; once the carrier opened the squelch, it holds it open up to the limit
    // (the hold left over after that replay is not sent: TrimTail).
    // The windowed band must judge the carrier's tone as the plain one does.
    TRig rig(CarrierOverBuffers({{20, 40}}), Settings({{"Squelch/CloseLevel", "0.99"},
                                                       {"Squelch/Window", "hann"},
                                                       {"Squelch/TrimTail", "1"},
                                                       {"Duration", "10"}}));
    rig.Form().btnStartClick();
    rig.RunFor(24 * Seconds);
    ASSERT_TRUE(rig.Errors().empty()) << rig.Errors().front();
    ASSERT_GE(rig.States().size(), 2u);
    EXPECT_EQ(rig.States()[1].Time, At(21 * Frames)) << "opened by the carrier, not the hiss";
    const auto tx = Transmissions(rig.Card().PlayLog());
    ASSERT_EQ(tx.size(), 1u);
    ExpectReplay(tx[0], 20 * Frames, 216 * Frames);
}

} // namespace
