// The squelch and the level meters on crafted buffers and real spectra.
#include <cmath>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

#include "analysis/RealFFT.h"
#include "tests/app/RepeaterRig.h"
#include "wave/WaveUtils.h"

using namespace RepeaterRig;
using WaveDefs::TWaveFormat;

namespace {

constexpr TWaveFormat Mono16 = TWaveFormat::wf44100mono16;
constexpr int N = 2048;

double Bin(int K) {
    return RealFFT::BinFrequency(44100, N, static_cast<std::uint32_t>(K));
}

// A mono 16-bit buffer: tones on whole bins plus uniform noise.
std::vector<std::int16_t> Buffer(std::vector<std::pair<int, double>> Tones, double Noise = 0.0,
                                 int Samples = N, unsigned Seed = 1) {
    std::mt19937 random(Seed);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<std::int16_t> buffer(static_cast<std::size_t>(Samples));
    for (int j = 0; j < Samples; ++j) {
        double v = Noise * uniform(random);
        for (auto [bin, amplitude] : Tones)
            v += amplitude * std::cos(2 * std::numbers::pi * bin * j / N);
        buffer[static_cast<std::size_t>(j)] =
            static_cast<std::int16_t>(std::clamp(std::lround(v * 32767), -32768L, 32767L));
    }
    return buffer;
}

struct TDetector : TRig {
    TDetector() : TRig(TReceiver{}, {{"SoundMode", "3"}, {"SquelchDelay", "0"}}) {}
    bool Analyse(const std::vector<std::int16_t>& B) {
        return Form().AnalyseBuffer(B.data(), static_cast<std::uint32_t>(B.size() * 2), Mono16);
    }
};

TEST(Detection, SchemeAIsSignalWhenTheNoiseBandIsQuiet) {
    TDetector d;
    EXPECT_TRUE(d.Analyse(Buffer({{46, 0.3}})));       // a quieted receiver: voice only
    EXPECT_FALSE(d.Analyse(Buffer({{46, 0.3}}, 0.3))); // hiss over the whole band
    EXPECT_EQ(d.Form().Magnitudes.size(), 46u) << "bins 233 to 278";
    // Strong tones in the noise band are outliers the trimming removes: four passes of 46.
    EXPECT_TRUE(d.Analyse(Buffer({{240, 0.15}, {250, 0.15}, {260, 0.15}, {270, 0.15}})));
    EXPECT_FALSE(
        d.Analyse(Buffer({{240, 0.15}, {245, 0.15}, {250, 0.15}, {255, 0.15}, {260, 0.15}})));
}

TEST(Detection, SchemeBIsSignalWhenOneBinStandsOut) {
    TDetector d;
    d.Form().Method = 1;
    d.Form().SquelchLevel = 0.05;
    EXPECT_TRUE(d.Analyse(Buffer({{100, 0.5}}, 0.05)));
    EXPECT_FALSE(d.Analyse(Buffer({{100, 0.01}}, 0.05)));
    EXPECT_FALSE(d.Analyse(Buffer({}, 0.0))) << "a silent band: peak 0";
    EXPECT_EQ(d.Form().Magnitudes.size(), 232u) << "bins 1 to 232";
}

TEST(Detection, BandEdgesFallOnTheRightSideOfTheStrictComparisons) {
    TDetector d;
    auto& f = d.Form();
    // A bin exactly at the top of the signal band belongs to scheme B's band only; one exactly
    // at the top of the noise band belongs to scheme A's.
    f.MaxSignalFrequency = Bin(232);
    f.MaxNoiseFrequency = Bin(240);
    d.Analyse(Buffer({}));
    EXPECT_EQ(f.Magnitudes.size(), 8u); // 233 .. 240
    f.Method = 1;
    f.Magnitudes.clear();
    d.Analyse(Buffer({}));
    EXPECT_EQ(f.Magnitudes.size(), 232u);
    f.Method = 7; // no scheme: no bins, never signal, the hold expired
    f.SquelchDelay = 500;
    f.SquelchHold = 0;
    EXPECT_FALSE(d.Analyse(Buffer({{46, 0.3}})));
    EXPECT_EQ(f.SquelchHold, 500u);
}

TEST(Detection, MagnitudesKeepTheirGreatestLengthAndOnlyTheCurrentBandIsJudged) {
    TDetector d;
    auto& f = d.Form();
    f.MaxSignalFrequency = Bin(232);
    f.MaxNoiseFrequency = Bin(240);
    EXPECT_FALSE(d.Analyse(Buffer({{237, 0.2}, {238, 0.2}, {239, 0.2}, {240, 0.2}})));
    f.MaxNoiseFrequency = Bin(234); // two bins, both quiet; the stale loud entries stay behind
    EXPECT_TRUE(d.Analyse(Buffer({{237, 0.2}, {238, 0.2}})));
    EXPECT_EQ(f.Magnitudes.size(), 8u);
}

TEST(Detection, AnAverageOrARatioEqualToTheLevelIsNoSignal) {
    TDetector d;
    auto& f = d.Form();
    f.Magnitudes = {0.25, 0.25, 0.25, 0.25};
    f.SquelchTrim = 0.0;
    f.SquelchLevel = 0.25;
    EXPECT_FALSE(f.DetectSchemeA(4));
    f.SquelchLevel = std::nextafter(0.25, 1.0);
    EXPECT_TRUE(f.DetectSchemeA(4));

    f.Magnitudes = {1.0, 0.5, 0.5};
    f.SquelchLevel = 0.5;
    EXPECT_FALSE(f.DetectSchemeB(3));
    f.SquelchLevel = 0.5000001;
    EXPECT_TRUE(f.DetectSchemeB(3));
    EXPECT_FALSE(f.DetectSchemeB(1)) << "one bin is no signal";
    f.Magnitudes = {0.0, 0.0, 0.0};
    EXPECT_FALSE(f.DetectSchemeB(3));
}

TEST(Detection, TheTrimFractionSetsHowManyOutliersSchemeALeavesOut) {
    TDetector d;
    auto& f = d.Form();
    f.SquelchLevel = 0.3;
    auto judge = [&](std::vector<double> m, double trim) {
        f.Magnitudes = m;
        f.SquelchTrim = trim;
        return f.DetectSchemeA(static_cast<std::int32_t>(m.size()));
    };
    // Nine entries at 0.1: trunc(0.9) = 0 passes, the outlier 2.0 counts.
    EXPECT_FALSE(judge({0.1, 0.1, 0.1, 0.1, 2.0, 0.1, 0.1, 0.1, 0.1}, 0.1));
    // Ten: one pass removes the least and the greatest.
    EXPECT_TRUE(judge({0.1, 0.1, 0.1, 0.1, 2.0, 0.1, 0.1, 0.1, 0.1, 0.1}, 0.1));
    // 0.25 of four: one pass, the two middle entries averaged.
    EXPECT_TRUE(judge({5.0, 0.2, 0.2, 0.0001}, 0.25));
    EXPECT_FALSE(judge({5.0, 0.2, 0.2, 0.0001}, -1.0)) << "a negative fraction trims nothing";
    EXPECT_FALSE(judge({}, 0.1)) << "no bins is no signal";
}

TEST(Detection, TheHoldCoversElevenBuffersAfterTheLastSignalAtTheDefaults) {
    TRig rig(TReceiver{}, {{"SoundMode", "3"}});
    auto& f = rig.Form();
    const auto quiet = Buffer({{46, 0.3}});
    const auto hiss = Buffer({}, 0.3);
    auto analyse = [&](const std::vector<std::int16_t>& B) {
        return f.AnalyseBuffer(B.data(), static_cast<std::uint32_t>(B.size() * 2), Mono16);
    };
    EXPECT_FALSE(analyse(hiss)) << "the hold starts expired";
    EXPECT_TRUE(analyse(quiet));
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(f.SquelchHold, 47u * i);
        EXPECT_TRUE(analyse(hiss)) << "hold buffer " << i;
    }
    EXPECT_EQ(f.SquelchHold, 517u);
    EXPECT_FALSE(analyse(hiss));
    // Fewer than four samples select no bins: no signal, the hold applied.
    EXPECT_TRUE(analyse(quiet));
    const auto tiny = Buffer({}, 0.0, 3);
    EXPECT_TRUE(analyse(tiny));
    EXPECT_EQ(f.SquelchHold, 1u);
    // A partly filled buffer is judged on its largest power-of-two start.
    auto partial = Buffer({{46, 0.3}});
    partial.resize(1531);
    EXPECT_TRUE(analyse(partial));
    EXPECT_EQ(f.SquelchHold, 0u);
    // No whole sample, or a format that is not mono: nothing is judged and the hold stays.
    f.SquelchHold = 100;
    EXPECT_FALSE(f.AnalyseBuffer(hiss.data(), 1, Mono16));
    EXPECT_FALSE(f.AnalyseBuffer(hiss.data(), 4096, TWaveFormat::wf44100stereo16));
    EXPECT_EQ(f.SquelchHold, 100u);
}

TEST(LevelMeters, ShowLargeChangesAtOnceAndSmallOnesAfterThePeriod) {
    TRig rig(TReceiver{}, {{"SoundMode", "3"}});
    auto& f = rig.Form();
    auto level = [&](std::int16_t Left, std::int16_t Right) {
        std::fill_n(reinterpret_cast<std::int16_t*>(f.ChannelBuffers[0].data()), 2048, Left);
        std::fill_n(reinterpret_cast<std::int16_t*>(f.ChannelBuffers[1].data()), 2048, Right);
        f.UpdateLevels(4096, Mono16);
    };
    level(4096, 5000); // exactly 32768 div 8 on the left is not shown at once
    EXPECT_EQ(f.gLevel0->Progress(), 0);
    EXPECT_EQ(f.gLevel1->Progress(), 5000);
    EXPECT_EQ(f.LevelElapsed[0], 47u);
    for (int i = 0; i < 9; ++i)
        level(4096, 5000); // 10 × 47 = 470 ms gathered
    EXPECT_EQ(f.gLevel0->Progress(), 0);
    f.LevelElapsed[0] = 500;
    level(4096, 5000); // equal to the period does not yet count
    EXPECT_EQ(f.gLevel0->Progress(), 0);
    level(-4096, 5000); // more than the period: shown, magnitude of the peak
    EXPECT_EQ(f.gLevel0->Progress(), 4096);
    EXPECT_EQ(f.LevelElapsed[0], 0u);
}

} // namespace
