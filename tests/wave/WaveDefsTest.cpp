#include "wave/WaveDefs.h"

#include <gtest/gtest.h>

using namespace WaveDefs;

namespace {

struct Row {
    TWaveFormat Format;
    std::uint32_t Rate;
    std::uint16_t Channels, Bits;
    std::uint32_t BlockAlign;
    std::int32_t Zero;
};

// The whole table, written out independently of the implementation's layout.
constexpr Row Rows[] = {
    {TWaveFormat::wfUnknown, 0, 0, 0, 0, 0},
    {TWaveFormat::wf11025mono8, 11025, 1, 8, 1, 128},
    {TWaveFormat::wf11025mono16, 11025, 1, 16, 2, 0},
    {TWaveFormat::wf11025stereo8, 11025, 2, 8, 2, 128},
    {TWaveFormat::wf11025stereo16, 11025, 2, 16, 4, 0},
    {TWaveFormat::wf22050mono8, 22050, 1, 8, 1, 128},
    {TWaveFormat::wf22050mono16, 22050, 1, 16, 2, 0},
    {TWaveFormat::wf22050stereo8, 22050, 2, 8, 2, 128},
    {TWaveFormat::wf22050stereo16, 22050, 2, 16, 4, 0},
    {TWaveFormat::wf44100mono8, 44100, 1, 8, 1, 128},
    {TWaveFormat::wf44100mono16, 44100, 1, 16, 2, 0},
    {TWaveFormat::wf44100stereo8, 44100, 2, 8, 2, 128},
    {TWaveFormat::wf44100stereo16, 44100, 2, 16, 4, 0},
    {TWaveFormat::wf48000mono8, 48000, 1, 8, 1, 128},
    {TWaveFormat::wf48000mono16, 48000, 1, 16, 2, 0},
    {TWaveFormat::wf48000stereo8, 48000, 2, 8, 2, 128},
    {TWaveFormat::wf48000stereo16, 48000, 2, 16, 4, 0},
    {TWaveFormat::wf96000mono8, 96000, 1, 8, 1, 128},
    {TWaveFormat::wf96000mono16, 96000, 1, 16, 2, 0},
    {TWaveFormat::wf96000stereo8, 96000, 2, 8, 2, 128},
    {TWaveFormat::wf96000stereo16, 96000, 2, 16, 4, 0},
};

TEST(WaveFormatTable, EveryRowHoldsItsRateChannelsWidthAndZeroLevel) {
    ASSERT_EQ(std::size(Rows), static_cast<std::size_t>(WaveFormatCount));
    for (std::size_t i = 0; i < std::size(Rows); ++i) {
        const Row& r = Rows[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(static_cast<std::size_t>(r.Format), i);
        const WaveFormatInfo& info = Info(r.Format);
        EXPECT_EQ(info.SampleRate, r.Rate);
        EXPECT_EQ(info.Channels, r.Channels);
        EXPECT_EQ(info.BitsPerSample, r.Bits);
        EXPECT_EQ(info.ZeroLevel, r.Zero);
        EXPECT_EQ(info.BlockAlign(), r.BlockAlign);
        EXPECT_EQ(info.BytesPerSecond(), r.Rate * r.BlockAlign);
    }
}

TEST(WaveFormatSet, HoldsBitIForValueIAndNothingElse) {
    TWaveFormats set;
    EXPECT_TRUE(set.Empty());
    set.Include(TWaveFormat::wf11025stereo16);
    set.Include(TWaveFormat::wf96000stereo16);
    EXPECT_EQ(set.Mask(), (1u << 4) | (1u << 20));
    EXPECT_TRUE(set.Contains(TWaveFormat::wf11025stereo16));
    EXPECT_FALSE(set.Contains(TWaveFormat::wf11025stereo8));
    EXPECT_FALSE(set.Contains(TWaveFormat::wfUnknown));
    EXPECT_EQ(TWaveFormats(set.Mask()), set);
}

} // namespace
