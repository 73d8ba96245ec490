#include "analysis/uProcs.h"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

using namespace uProcs;

namespace {

constexpr double M = -1.0;

struct Case {
    const char* Name;
    std::vector<double> Values;
    std::int32_t Count;
    double Fraction;
    std::vector<double> Expected;
};

} // namespace

TEST(TrimExtremes, MarksTheLowestAndHighestPerPass) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"one pass of ten",
         {5, 3, 9, 1, 7, 2, 8, 6, 4, 10},
         10,
         0.1,
         {5, 3, 9, M, 7, 2, 8, 6, 4, M}},
        {"0.7 passes is none", {5, 3, 9, 1, 7, 2, 8}, 7, 0.1, {5, 3, 9, 1, 7, 2, 8}},
        {"leading 0.0 is nothing chosen", {0.0, 0.5, 0.2}, 3, 0.4, {0.0, M, M}},
        {"all 0.0 ends on the last", {0, 0, 0, 0}, 4, 0.25, {0, 0, 0, M}},
        {"equal values mark one entry", {2, 2, 2}, 3, 0.4, {M, 2, 2}},
        {"first of equals wins", {3, 1, 1, 3}, 4, 0.25, {M, M, 1, 3}},
        {"last entry left is marked alone", {1, 9, 5}, 3, 0.67, {M, M, M}},
        {"marked entries are skipped", {M, 4, M, 6, 5}, 5, 0.2, {M, M, M, M, 5}},
        {"nothing left writes entry 0 only", {M, M, 5}, 2, 1.0, {M, M, 5}},
        {"entries past Count untouched", {4, 2, 8, 1, 9}, 3, 0.4, {4, M, M, 1, 9}},
        {"Count 0", {4, 2}, 0, 1.0, {4, 2}},
        {"negative Count", {4, 2}, -3, -1.0, {4, 2}},
        {"zero Fraction", {4, 2}, 2, 0.0, {4, 2}},
        {"negative Fraction", {4, 2}, 2, -0.5, {4, 2}},
        {"NaN Fraction", {4, 2}, 2, nan, {4, 2}},
        {"huge Fraction marks everything", {4, 2, 3}, 3, 1e300, {M, M, M}},
    };
    for (const Case& c : cases) {
        std::vector<double> v = c.Values;
        TrimExtremes(v, c.Count, c.Fraction, M);
        EXPECT_EQ(v, c.Expected) << c.Name;
    }
}

TEST(TrimExtremes, TrimmedMeanAndRepeatedCalls) {
    std::vector<double> v{5, 3, 9, 1, 7, 2, 8, 6, 4, 10};
    TrimExtremes(v, 10, 0.1, M);
    double sum = 0.0;
    int kept = 0;
    for (double x : v) {
        if (x >= 0.0) {
            sum += x;
            ++kept;
        }
    }
    EXPECT_EQ(kept, 8);
    EXPECT_DOUBLE_EQ(sum / kept, 5.5);

    // The marker is skipped, so a second call trims the next pair.
    TrimExtremes(v, 10, 0.1, M);
    EXPECT_EQ(v, (std::vector<double>{5, 3, M, M, 7, M, 8, 6, 4, M}));
}

TEST(TrimExtremes, TwoPassesOfTwentyFiveMarkTwoAtEachEnd) {
    // 1..25 scattered by a step coprime with 25; 2.5 passes truncate to 2.
    std::vector<double> v(25);
    for (int i = 0; i < 25; ++i)
        v[i] = 1 + (i * 7) % 25;
    TrimExtremes(v, 25, 0.1, M);
    for (int i = 0; i < 25; ++i) {
        const double orig = 1 + (i * 7) % 25;
        const bool trimmed = orig <= 2 || orig >= 24;
        EXPECT_EQ(v[i], trimmed ? M : orig) << i;
    }
}

TEST(TrimExtremes, ReadsNothingPastTheSpan) {
    // Count larger than the span: only the span's entries take part.
    std::vector<double> backing{7, 1, 5, 3, 0.5, 100};
    TrimExtremes(std::span<double>(backing).first(4), 100, 0.25, M);
    EXPECT_EQ(backing, (std::vector<double>{M, M, 5, 3, 0.5, 100}));
}
