#include "analysis/RealFFT.h"

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include <gtest/gtest.h>

using namespace RealFFT;

namespace {

constexpr long double Pi = std::numbers::pi_v<long double>;

std::vector<double> RandomSamples(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v)
        x = dist(gen);
    return v;
}

// X[k] = sum x[j] exp(+2 pi i j k / n), summed in long double with exact root indices.
std::vector<std::complex<long double>> DirectDft(const std::vector<double>& x) {
    const std::size_t n = x.size();
    std::vector<std::complex<long double>> roots(n), out(n / 2 + 1);
    for (std::size_t r = 0; r < n; ++r)
        roots[r] = std::polar(1.0L, 2.0L * Pi * r / n);
    for (std::size_t k = 0; k <= n / 2; ++k) {
        long double re = 0, im = 0;
        for (std::size_t j = 0, r = 0; j < n; ++j, r = (r + k) % n) {
            re += x[j] * roots[r].real();
            im += x[j] * roots[r].imag();
        }
        out[k] = {re, im};
    }
    return out;
}

std::vector<std::int32_t> PowersOfTwo(std::int32_t from, std::int32_t to) {
    std::vector<std::int32_t> v;
    for (std::int32_t n = from; n <= to; n *= 2)
        v.push_back(n);
    return v;
}

} // namespace

TEST(RealTransform, ForwardMatchesDirectDftInPackedLayout) {
    for (std::int32_t n : PowersOfTwo(2, 8192)) {
        SCOPED_TRACE(n);
        // Exactly n long, so that the sanitizer build sees any access past element n.
        std::vector<double> d = RandomSamples(n, 1000 + n);
        const auto ref = DirectDft(d);
        RealTransform(d, n, false);

        // Rounding grows slowly with n; a single-precision step or a wrong twiddle is far off.
        const double tol = 2e-15 * n + 1e-14;
        EXPECT_NEAR(d[0], static_cast<double>(ref[0].real()), tol);
        EXPECT_NEAR(d[1], static_cast<double>(ref[n / 2].real()), tol);
        double worst = 0.0;
        for (std::int32_t k = 1; k < n / 2; ++k) {
            worst = std::max(worst, std::abs(d[2 * k] - static_cast<double>(ref[k].real())));
            worst = std::max(worst, std::abs(d[2 * k + 1] - static_cast<double>(ref[k].imag())));
        }
        EXPECT_LE(worst, tol);
    }
}

TEST(RealTransform, ForwardThenInverseRestoresTheSamples) {
    for (std::int32_t n : PowersOfTwo(2, 8192)) {
        SCOPED_TRACE(n);
        const std::vector<double> x = RandomSamples(n, 7 * n);
        std::vector<double> d = x;
        RealTransform(d, n, false);
        RealTransform(d, n, true);
        double worst = 0.0;
        for (std::int32_t j = 0; j < n; ++j)
            worst = std::max(worst, std::abs(d[j] - x[j]));
        EXPECT_LE(worst, 2e-15 * std::log2(n) + 1e-15);
    }
}

TEST(RealTransform, InverseOfASingleBinIsACosine) {
    // Independent of the forward direction: X[3] = X[61] = N/2 for N = 64 is cos(2 pi 3 j / 64).
    const std::int32_t n = 64;
    std::vector<double> d(n, 0.0);
    d[6] = n / 2.0;
    RealTransform(d, n, true);
    for (std::int32_t j = 0; j < n; ++j)
        EXPECT_NEAR(d[j], std::cos(2.0 * std::numbers::pi * (3 * j % n) / n), 1e-15) << j;
}

TEST(RealTransform, SmallestSizesAndTheirSignConvention) {
    // N = 2: sum and difference, the rest of the array untouched.
    std::vector<double> two{3.0, 5.0, 7.0, 11.0};
    RealTransform(two, 2, false);
    EXPECT_EQ(two, (std::vector<double>{8.0, -2.0, 7.0, 11.0}));

    // N = 4: the split step only meets the middle bin. X[1] = sum x[j] i^j = -2 - 2i with the
    // positive exponent (the other convention would give -2 + 2i).
    std::vector<double> four{1.0, 2.0, 3.0, 4.0};
    RealTransform(four, 4, false);
    const double expected[] = {10.0, -2.0, -2.0, -2.0};
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(four[i], expected[i], 1e-14) << i;
}

TEST(RealTransform, ToneOnABinGivesMagnitudeOneAndPositiveSineTerm) {
    struct Case {
        std::int32_t N;
        std::uint32_t Bin;
    };
    // First bin, the middle bin (self-paired in the split step), the last bin.
    for (Case c : {Case{8, 1}, Case{64, 16}, Case{1024, 37}, Case{1024, 511}}) {
        SCOPED_TRACE(testing::Message() << c.N << " bin " << c.Bin);
        std::vector<double> cosine(c.N), sine(c.N);
        for (std::int32_t j = 0; j < c.N; ++j) {
            // Reduced index, so that the samples themselves are accurate to rounding.
            const double a = 2.0 * std::numbers::pi * ((c.Bin * j) % c.N) / c.N;
            cosine[j] = std::cos(a);
            sine[j] = std::sin(a);
        }
        RealTransform(cosine, c.N, false);
        RealTransform(sine, c.N, false);
        const std::int32_t re = 2 * c.Bin, im = re + 1;
        for (std::int32_t i = 0; i < c.N; ++i) {
            EXPECT_NEAR(cosine[i], i == re ? c.N / 2.0 : 0.0, 1e-12) << i;
            EXPECT_NEAR(sine[i], i == im ? c.N / 2.0 : 0.0, 1e-12) << i;
        }
        EXPECT_NEAR(BinMagnitude(cosine, c.N, c.Bin), 1.0, 1e-14);
        EXPECT_NEAR(BinMagnitude(sine, c.N, c.Bin), 1.0, 1e-14);
    }
}

TEST(RealTransform, LeavesElementsFromNOnUntouched) {
    for (std::int32_t n : {2, 4, 256}) {
        for (bool inverse : {false, true}) {
            std::vector<double> d = RandomSamples(n + 5, n);
            const std::vector<double> before = d;
            RealTransform(d, n, inverse);
            for (std::int32_t i = n; i < n + 5; ++i)
                EXPECT_EQ(d[i], before[i]) << n << " " << inverse << " " << i;
        }
    }
}

TEST(RealTransform, RefusedSizesLeaveTheArrayUnchanged) {
    struct Case {
        std::size_t Length;
        std::int32_t N;
    };
    // Too small, longer than the array, and sizes that are not powers of two (odd ones from a
    // partly filled buffer, even ones whose butterflies would run past element N). Arrays are
    // exactly as long as given, so an overrun shows in the sanitizer build.
    const Case cases[] = {
        {4, 1},       {4, 0},       {4, -8},  {4, std::numeric_limits<std::int32_t>::min()},
        {3, 4},       {1023, 1024}, {0, 2},   {4, std::numeric_limits<std::int32_t>::max()},
        {1023, 1023}, {1531, 1531}, {6, 6},   {1536, 1536},
        {3, 3},       {2048, 1531}, {12, 12}, {4096, 3072},
    };
    for (const Case& c : cases) {
        for (bool inverse : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.Length << " " << c.N << " " << inverse);
            std::vector<double> d = RandomSamples(c.Length, 5);
            const std::vector<double> before = d;
            RealTransform(d, c.N, inverse);
            EXPECT_EQ(d, before);
        }
    }
}

TEST(BinMagnitude, BoundIsHalfTheArrayLengthAndScaleIsHalfN) {
    // L = 8, N = 4: bins up to L div 2 - 1 = 3 are served, reading past N.
    const std::vector<double> d{9.0, 9.0, 3.0, 4.0, 6.0, 8.0, 0.6, 0.8};
    EXPECT_EQ(BinMagnitude(d, 4, 0), 0.0);
    EXPECT_DOUBLE_EQ(BinMagnitude(d, 4, 1), 2.5);
    EXPECT_DOUBLE_EQ(BinMagnitude(d, 4, 2), 5.0);
    EXPECT_DOUBLE_EQ(BinMagnitude(d, 4, 3), 0.5);
    EXPECT_EQ(BinMagnitude(d, 4, 4), 0.0);
    EXPECT_EQ(BinMagnitude(d, 4, 0xFFFFFFFFu), 0.0);

    // Odd N divides by N / 2.0, here 2.5; an odd L rounds its bound down (7 div 2 = 3).
    const std::vector<double> odd{0.0, 0.0, 3.0, 4.0, 6.0, 8.0, 1.0};
    EXPECT_DOUBLE_EQ(BinMagnitude(odd, 5, 1), 2.0);
    EXPECT_DOUBLE_EQ(BinMagnitude(odd, 5, 2), 4.0);
    EXPECT_EQ(BinMagnitude(odd, 5, 3), 0.0);

    EXPECT_EQ(BinMagnitude({}, 4, 1), 0.0);
    EXPECT_EQ(BinMagnitude(d, 0, 1), 0.0);
    EXPECT_EQ(BinMagnitude(d, -4, 1), 0.0);
}

TEST(BinFrequency, RateTimesBinOverNWithinTheBins) {
    struct Case {
        std::uint32_t Rate;
        std::int32_t N;
        std::uint32_t K;
        double Hz;
    };
    const Case cases[] = {
        {44100, 1024, 1, 43.06640625},
        {11025, 2048, 1023, 5507.11669921875},
        {11025, 2048, 1024, 0.0}, // K = N div 2
        {11025, 2048, 0, 0.0},
        {0, 2048, 5, 0.0},
        {48000, 5, 1, 9600.0}, // odd N: 5 div 2 = 2 bins bound
        {48000, 5, 2, 0.0},
        {48000, 3, 1, 0.0},
        {48000, 2, 1, 0.0},
        {48000, 0, 1, 0.0},
        {48000, -2, 1, 0.0},
        {48000, -1024, 7, 0.0},
        // 96000 * 50000 does not fit 32 bits; the result must still be exact.
        {96000, 1 << 20, 50000, 4577.63671875},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BinFrequency(c.Rate, c.N, c.K), c.Hz) << c.Rate << " " << c.N << " " << c.K;
}
