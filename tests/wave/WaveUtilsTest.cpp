#include "wave/WaveUtils.h"

#include <array>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

using namespace WaveUtils;
using WaveDefs::Info;
using F = WaveDefs::TWaveFormat;

namespace {

std::vector<std::uint8_t> Words(std::initializer_list<std::int16_t> Values) {
    std::vector<std::uint8_t> bytes;
    for (std::int16_t v : Values) {
        const auto u = static_cast<std::uint16_t>(v);
        bytes.push_back(static_cast<std::uint8_t>(u));
        bytes.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return bytes;
}

TEST(Deinterleave, SplitsStereoFramesIntoOneBufferPerChannel) {
    const auto data = Words({10, -10, 11, -11, 12, -12, 13, -13});
    std::vector<std::uint8_t> left(8), right(8);
    void* outs[] = {left.data(), right.data()};
    EXPECT_EQ(Deinterleave(data.data(), outs, 16, F::wf44100stereo16), 8u);
    EXPECT_EQ(left, Words({10, 11, 12, 13}));
    EXPECT_EQ(right, Words({-10, -11, -12, -13}));
}

TEST(Deinterleave, RefusesWrongBufferCountShortInputAndNoFormat) {
    const auto data = Words({1, 2, 3, 4});
    std::vector<std::uint8_t> a(8, 0xAA), b(8, 0xAA);
    void* one[] = {a.data()};
    void* two[] = {a.data(), b.data()};
    EXPECT_EQ(Deinterleave(data.data(), one, 8, F::wf44100stereo16), 0u);
    EXPECT_EQ(Deinterleave(data.data(), two, 2, F::wf44100stereo16), 0u);
    EXPECT_EQ(Deinterleave(data.data(), one, 8, F::wfUnknown), 0u);
    EXPECT_EQ(a, std::vector<std::uint8_t>(8, 0xAA));
    EXPECT_EQ(b, std::vector<std::uint8_t>(8, 0xAA));
}

TEST(Deinterleave, IgnoresTrailingPartialFrame) {
    const auto data = Words({1, 2, 3}); // one frame and half of the next
    std::vector<std::uint8_t> a(4, 0xAA), b(4, 0xAA);
    void* outs[] = {a.data(), b.data()};
    EXPECT_EQ(Deinterleave(data.data(), outs, 6, F::wf44100stereo16), 2u);
    EXPECT_EQ(a, (std::vector<std::uint8_t>{1, 0, 0xAA, 0xAA}));
    EXPECT_EQ(b, (std::vector<std::uint8_t>{2, 0, 0xAA, 0xAA}));
}

TEST(Interleave, SingleInputFillsEveryChannelAndExtraInputsAreRefused) {
    const auto in = Words({100, -200});
    std::vector<std::uint8_t> out(10, 0xAA);
    const void* one[] = {in.data()};
    EXPECT_EQ(Interleave(one, out.data(), 4, F::wf22050stereo16), 8u);
    auto expected = Words({100, 100, -200, -200});
    expected.insert(expected.end(), {0xAA, 0xAA});
    EXPECT_EQ(out, expected);

    std::vector<std::uint8_t> untouched(10, 0xAA);
    const void* three[] = {in.data(), in.data(), in.data()};
    EXPECT_EQ(Interleave(three, untouched.data(), 4, F::wf22050stereo16), 0u);
    EXPECT_EQ(Interleave({}, untouched.data(), 4, F::wf22050stereo16), 0u);
    EXPECT_EQ(Interleave(one, untouched.data(), 1, F::wf22050stereo16), 0u);
    EXPECT_EQ(Interleave(one, untouched.data(), 4, F::wfUnknown), 0u);
    EXPECT_EQ(untouched, std::vector<std::uint8_t>(10, 0xAA));
}

TEST(Interleave, DropsTrailingPartialSample) {
    const std::uint8_t l[] = {1, 2, 3}, r[] = {4, 5, 6};
    std::vector<std::uint8_t> out(6, 0xAA);
    const void* ins[] = {l, r};
    EXPECT_EQ(Interleave(ins, out.data(), 3, F::wf22050stereo16), 4u);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2, 4, 5, 0xAA, 0xAA}));
}

TEST(InterleaveDeinterleave, MonoIsAPlainCopyAndStereoRoundTripsInEveryFormat) {
    std::vector<std::uint8_t> data(64);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 37 + 5);
    }
    for (int v = 1; v < WaveDefs::WaveFormatCount; ++v) {
        const auto format = static_cast<F>(v);
        SCOPED_TRACE(v);
        std::vector<std::uint8_t> a(64), b(64), merged(64);
        if (Info(format).Channels == 1) {
            void* outs[] = {a.data()};
            EXPECT_EQ(Deinterleave(data.data(), outs, 63, format), 63u);
            const void* ins[] = {data.data()};
            EXPECT_EQ(Interleave(ins, b.data(), 63, format), 63u);
            EXPECT_TRUE(std::equal(a.begin(), a.begin() + 63, data.begin()));
            EXPECT_TRUE(std::equal(b.begin(), b.begin() + 63, data.begin()));
            continue;
        }
        void* outs[] = {a.data(), b.data()};
        ASSERT_EQ(Deinterleave(data.data(), outs, 64, format), 32u);
        const void* ins[] = {a.data(), b.data()};
        ASSERT_EQ(Interleave(ins, merged.data(), 32, format), 64u);
        EXPECT_EQ(merged, data);
    }
}

TEST(ReadSample, ZeroExtendsBytesAndSignExtendsWords) {
    const std::uint8_t bytes[] = {0xFF, 0x80};
    EXPECT_EQ(ReadSample(bytes, F::wf11025mono8), 255);
    EXPECT_EQ(ReadSample(bytes, F::wf11025mono16), -32513); // 0x80FF
    EXPECT_EQ(ReadSample(bytes + 1, F::wf11025stereo8), 128);
    EXPECT_EQ(ReadSample(Words({-1}).data(), F::wf48000stereo16), -1);
    EXPECT_EQ(ReadSample(bytes, F::wfUnknown), 0);
    EXPECT_EQ(FullScale(F::wf48000stereo8), 128);
    EXPECT_EQ(FullScale(F::wf96000mono16), 32768);
    EXPECT_EQ(FullScale(F::wfUnknown), 0);
}

TEST(FindFormat, ReturnsTheTwinOfEveryFormat) {
    for (int v = 1; v < WaveDefs::WaveFormatCount; ++v) {
        const auto format = static_cast<F>(v);
        SCOPED_TRACE(v);
        const auto& info = Info(format);
        EXPECT_EQ(FindFormat(format, info.Channels), format);
        const auto twin = FindFormat(format, info.Channels == 1 ? 2 : 1);
        ASSERT_NE(twin, F::wfUnknown);
        EXPECT_NE(Info(twin).Channels, info.Channels);
        EXPECT_EQ(Info(twin).SampleRate, info.SampleRate);
        EXPECT_EQ(Info(twin).BitsPerSample, info.BitsPerSample);
        EXPECT_EQ(FindFormat(format, 3), F::wfUnknown);
    }
    EXPECT_EQ(FindFormat(F::wf44100stereo16, 1), F::wf44100mono16);
    EXPECT_EQ(FindFormat(F::wf22050mono8, 2), F::wf22050stereo8);
    EXPECT_EQ(FindFormat(F::wf96000stereo8, 1), F::wf96000mono8);
    EXPECT_EQ(FindFormat(F::wfUnknown, 1), F::wfUnknown);
    EXPECT_EQ(FindFormat(F::wfUnknown, 0), F::wfUnknown);
}

TEST(DecodeSamples, ConvertsDeviationsExactly) {
    std::array<double, 4> out{};
    const std::uint8_t bytes[] = {0, 128, 255};
    EXPECT_EQ(DecodeSamples(bytes, out, 3, F::wf22050mono8, false), 3u);
    EXPECT_EQ(out[0], -1.0);
    EXPECT_EQ(out[1], 0.0);
    EXPECT_EQ(out[2], 0.9921875);

    const auto words = Words({-32768, 32767});
    EXPECT_EQ(DecodeSamples(words.data(), out, 4, F::wf22050mono16, false), 2u);
    EXPECT_EQ(out[0], -1.0);
    EXPECT_EQ(out[1], 0.999969482421875);
}

TEST(DecodeSamples, RefusesStereoAndShortInputAndNeverWritesPastTheArray) {
    std::array<double, 3> out{7.0, 7.0, 7.0};
    const auto words = Words({1, 2, 3, 4});
    EXPECT_EQ(DecodeSamples(words.data(), out, 8, F::wf22050stereo16, false), 0u);
    EXPECT_EQ(DecodeSamples(words.data(), out, 1, F::wf22050mono16, false), 0u);
    EXPECT_EQ(DecodeSamples(words.data(), out, 8, F::wfUnknown, false), 0u);
    EXPECT_EQ(out[0], 7.0);
    EXPECT_EQ(DecodeSamples(words.data(), std::span(out).first(2), 8, F::wf22050mono16, false), 2u);
    EXPECT_EQ(out[2], 7.0);
}

TEST(DecodeSamples, NormalisesToUnitPeakButLeavesFullScaleAndSilenceAlone) {
    std::array<double, 2> out{};
    const auto quiet = Words({16384, -8192});
    EXPECT_EQ(DecodeSamples(quiet.data(), out, 4, F::wf44100mono16, true), 2u);
    EXPECT_EQ(out[0], 1.0);
    EXPECT_EQ(out[1], -0.5);

    const auto loud = Words({16384, -32768});
    DecodeSamples(loud.data(), out, 4, F::wf44100mono16, true);
    EXPECT_EQ(out[0], 0.5);
    EXPECT_EQ(out[1], -1.0);

    const std::uint8_t silence[] = {128, 128};
    DecodeSamples(silence, out, 2, F::wf44100mono8, true);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[1], 0.0);
}

TEST(Peak, KeepsSignAndTheEarliestOfEqualMagnitudes) {
    EXPECT_EQ(Peak(Words({100, -100, 50}).data(), 6, F::wf11025mono16), 100);
    EXPECT_EQ(Peak(Words({0, 0, -7, 7}).data(), 8, F::wf11025mono16), -7);
    EXPECT_EQ(Peak(Words({5, -9}).data(), 4, F::wf11025stereo16), -9); // all channels alike
    const std::uint8_t silent[] = {128, 128, 128};
    EXPECT_EQ(Peak(silent, 3, F::wf11025mono8), 0);
    const std::uint8_t bytes[] = {130, 0, 255};
    EXPECT_EQ(Peak(bytes, 3, F::wf11025mono8), -128);
    EXPECT_EQ(Peak(bytes, 1, F::wf11025stereo8), 0); // less than a frame
    EXPECT_EQ(Peak(bytes, 3, F::wfUnknown), 0);
}

TEST(DurationMs, IsWholeMillisecondsPlusOne) {
    EXPECT_EQ(DurationMs(4096, F::wf44100mono16), 47);
    EXPECT_EQ(DurationMs(2048, F::wf11025mono8), 186);
    EXPECT_EQ(DurationMs(8192, F::wf44100stereo16), 47);
    EXPECT_EQ(DurationMs(96, F::wf48000mono16), 2); // exactly 1 ms
    EXPECT_EQ(DurationMs(0, F::wf48000mono16), 1);
    EXPECT_EQ(DurationMs(4096, F::wfUnknown), 0);
}

} // namespace
