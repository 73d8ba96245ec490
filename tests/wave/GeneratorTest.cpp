#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "toolkit/SysUtils.h"
#include "wave/WaveUtils.h"

using namespace WaveUtils;
using F = WaveDefs::TWaveFormat;

namespace {

std::string MessageOf(const std::function<void()>& Action) {
    try {
        Action();
    } catch (const SysUtils::Exception& e) {
        return e.Message();
    }
    return "";
}

std::vector<std::int16_t> Words(const std::vector<std::uint8_t>& Bytes) {
    std::vector<std::int16_t> words;
    for (std::size_t i = 0; i + 1 < Bytes.size(); i += 2) {
        words.push_back(static_cast<std::int16_t>(Bytes[i] | (Bytes[i + 1] << 8)));
    }
    return words;
}

std::vector<std::uint8_t> Take(TSineGenerator& G, std::uint32_t Size) {
    std::vector<std::uint8_t> out(Size);
    EXPECT_EQ(G.Generate(out.data(), Size), Size);
    return out;
}

// Volume 65535 and Period 4.0, the quarter-cycle case.
void QuarterCycle(TSineGenerator& G, F Format) {
    G.SetFormat(Format);
    G.SetVolume(65535);
    G.SetFrequency(5512.5);
    ASSERT_EQ(G.Period(), 4.0);
}

TEST(SineGenerator, RefusesToGenerateWithoutFormat) {
    TSineGenerator g;
    std::uint8_t dest[4] = {1, 2, 3, 4};
    EXPECT_EQ(MessageOf([&] { g.Generate(dest, 4); }), "Invalid format");
    EXPECT_EQ(dest[0], 1);
    EXPECT_EQ(g.Position(), 0u);
}

TEST(SineGenerator, FrequencyLimits) {
    TSineGenerator g;
    EXPECT_EQ(MessageOf([&] { g.SetFrequency(0.5); }), "Invalid frequency");
    EXPECT_EQ(MessageOf([&] { g.SetFrequency(std::nan("")); }), "Invalid frequency");
    EXPECT_EQ(MessageOf([&] { g.SetFrequency(1.0); }), "");
    g.SetFormat(F::wf22050mono16);
    EXPECT_EQ(g.MaxFrequency(), 11025.0);
    EXPECT_EQ(MessageOf([&] { g.SetFrequency(11025.0); }), "");
    EXPECT_EQ(MessageOf([&] { g.SetFrequency(11025.5); }), "Invalid frequency");
    EXPECT_EQ(g.Frequency(), 11025.0);
    EXPECT_EQ(g.Period(), 2.0);
}

TEST(SineGenerator, FormatChangeKeepsEffectsWhenFrequencyNoLongerFits) {
    TSineGenerator g;
    g.SetFrequency(20000.0);
    EXPECT_EQ(g.Period(), 0.0);
    EXPECT_EQ(MessageOf([&] { g.SetFormat(F::wf22050mono16); }), "Invalid frequency");
    EXPECT_EQ(g.Format(), F::wf22050mono16);
    EXPECT_EQ(g.Frequency(), 20000.0);
    EXPECT_EQ(g.Amplitude(), 16383u);
    EXPECT_EQ(g.SampleSize(), 2);
    // No frequency has been accepted for a real format yet: silence, not a fault.
    EXPECT_EQ(Words(Take(g, 6)), (std::vector<std::int16_t>{0, 0, 0}));
}

TEST(SineGenerator, AmplitudeFollowsVolumeAndWidth) {
    struct Case {
        F Format;
        std::uint16_t Volume;
        std::uint32_t Amplitude;
    };
    const Case cases[] = {
        {F::wf44100mono16, 65535, 32767}, {F::wf44100mono16, 32767, 16383},
        {F::wf44100mono16, 0, 0},         {F::wf44100mono8, 65535, 127},
        {F::wf44100mono8, 32767, 63},     {F::wf44100mono8, 0, 0},
    };
    for (const Case& c : cases) {
        TSineGenerator g;
        g.SetVolume(c.Volume); // before the format: must not misbehave
        g.SetFormat(c.Format);
        EXPECT_EQ(g.Amplitude(), c.Amplitude) << c.Volume;
    }
}

TEST(SineGenerator, KnownSamplesAt1kHz) {
    TSineGenerator g;
    g.SetFormat(F::wf44100mono16);
    g.SetVolume(65535);
    EXPECT_EQ(g.Period(), 44.1);
    EXPECT_EQ(Words(Take(g, 12)), (std::vector<std::int16_t>{0, 4653, 9211, 13583, 17679, 21418}));
    EXPECT_EQ(g.Position(), 6u);

    TSineGenerator quiet;
    quiet.SetFormat(F::wf44100mono16);
    EXPECT_EQ(Words(Take(quiet, 4))[1], 2326);
}

TEST(SineGenerator, QuarterCycleInEveryWidthAndLayout) {
    TSineGenerator g;
    QuarterCycle(g, F::wf22050mono16);
    EXPECT_EQ(Words(Take(g, 8)), (std::vector<std::int16_t>{0, 32767, 0, -32767}));

    QuarterCycle(g, F::wf22050mono8);
    EXPECT_EQ(Take(g, 4), (std::vector<std::uint8_t>{128, 255, 128, 1}));

    QuarterCycle(g, F::wf22050stereo16);
    EXPECT_EQ(Words(Take(g, 8)), (std::vector<std::int16_t>{0, 0, 32767, 32767}));
    EXPECT_EQ(g.Position(), 2u);
}

TEST(SineGenerator, CallsOfAnySizeContinueSeamlessly) {
    for (F format : {F::wf22050mono16, F::wf48000stereo8, F::wf96000stereo16}) {
        TSineGenerator whole, pieces;
        for (TSineGenerator* g : {&whole, &pieces}) {
            g->SetFormat(format);
            g->SetFrequency(1234.5);
            g->SetVolume(50000);
        }
        const std::uint32_t block = WaveDefs::Info(format).BlockAlign();
        const std::uint32_t sizes[] = {1, 3, 17, 250, 9000, 40};
        std::uint32_t total = 0;
        std::vector<std::uint8_t> joined;
        for (std::uint32_t n : sizes) {
            const auto part = Take(pieces, n * block);
            joined.insert(joined.end(), part.begin(), part.end());
            total += n;
        }
        EXPECT_EQ(joined, Take(whole, total * block));
        EXPECT_EQ(pieces.Position(), total);
        EXPECT_EQ(whole.Position(), total);
    }
}

TEST(SineGenerator, FormatChangeResetsPositionAndScratch) {
    TSineGenerator g;
    g.SetFormat(F::wf22050mono8);
    Take(g, 100);
    g.SetFormat(F::wf22050mono8);
    EXPECT_EQ(g.Position(), 100u);

    Take(g, 20000);
    EXPECT_EQ(g.ScratchSize(), 20000u);
    EXPECT_EQ(g.Position(), 20100u);
    Take(g, 10); // smaller requests never shrink it
    EXPECT_EQ(g.ScratchSize(), 20000u);
    g.SetFormat(F::wf22050mono16);
    EXPECT_EQ(g.Position(), 0u);
    EXPECT_EQ(g.ScratchSize(), 8192u);

    g.ResizeScratch(100);
    EXPECT_EQ(g.ScratchSize(), 256u);
    g.ResizeScratch(0x80000000u);
    EXPECT_EQ(g.ScratchSize(), 256u);
    Take(g, 2000); // grows again for one channel's share
    EXPECT_EQ(g.ScratchSize(), 2000u);
}

TEST(SineGenerator, PartialSampleRequestWritesNothing) {
    TSineGenerator g;
    QuarterCycle(g, F::wf22050mono16);
    std::uint8_t dest[2] = {0xAA, 0xAA};
    EXPECT_EQ(g.Generate(dest, 1), 0u);
    EXPECT_EQ(dest[0], 0xAA);
    EXPECT_EQ(g.Position(), 0u);
    // An odd size delivers only whole samples.
    std::uint8_t odd[5] = {0, 0, 0, 0, 0xAA};
    EXPECT_EQ(g.Generate(odd, 5), 4u);
    EXPECT_EQ(odd[4], 0xAA);
    EXPECT_EQ(g.Position(), 2u);
}

} // namespace
