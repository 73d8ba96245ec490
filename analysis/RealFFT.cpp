#include "analysis/RealFFT.h"

#include <cmath>
#include <cstddef>
#include <utility>

namespace RealFFT {

namespace {

constexpr long double TwoPi = 6.283185307179586477L;

// Twiddle factors by recurrence: two sine calls per stage, and the cosine comes from
// wpr = cos(phi) - 1 = -2 sin^2(phi / 2), which keeps its precision for small angles.
struct Twiddle {
    double wpr, wpi;
    double wr, wi;

    Twiddle(double phi, double startR, double startI) : wr(startR), wi(startI) {
        const double half = std::sin(0.5 * phi);
        wpr = -2.0 * half * half;
        wpi = std::sin(phi);
    }
    void Advance() {
        const double wrOld = wr;
        wr = wr * wpr - wi * wpi + wr;
        wi = wi * wpr + wrOld * wpi + wi;
    }
};

// Radix-2 complex FFT of the n / 2 pairs (d[2m], d[2m + 1]) = (re, im), n a power of two,
// with exp(sign * 2 pi i j k / (n / 2)).
void ComplexTransform(double* d, std::size_t n, int sign) {
    // Bit-reversal permutation of the pairs; j runs over pair starts in reversed order.
    std::size_t j = 0;
    for (std::size_t p = 0; p < n; p += 2) {
        if (p < j) {
            std::swap(d[p], d[j]);
            std::swap(d[p + 1], d[j + 1]);
        }
        std::size_t m = n / 2;
        while (m >= 2 && j >= m) {
            j -= m;
            m /= 2;
        }
        j += m;
    }

    // Danielson-Lanczos butterflies, mmax doubles per half-block.
    for (std::size_t mmax = 2; n > mmax;) {
        const std::size_t istep = 2 * mmax;
        const auto phi = static_cast<double>(TwoPi / (sign * static_cast<long double>(mmax)));
        Twiddle w(phi, 1.0, 0.0);
        for (std::size_t m = 0; m < mmax; m += 2) {
            for (std::size_t i = m; i < n; i += istep) {
                const std::size_t k = i + mmax;
                const double tr = w.wr * d[k] - w.wi * d[k + 1];
                const double ti = w.wr * d[k + 1] + w.wi * d[k];
                d[k] = d[i] - tr;
                d[k + 1] = d[i + 1] - ti;
                d[i] += tr;
                d[i + 1] += ti;
            }
            w.Advance();
        }
        mmax = istep;
    }
}

// Separates the half-size complex spectrum into that of the real sequence (forward) or
// recombines it (inverse). Pass k pairs bin k with bin n/2 - k; the last pass, k = n / 4, meets
// the middle bin with itself, and there the second pair of writes is the one that stays.
void SplitStep(double* d, std::size_t n, double theta, double c1, double c2) {
    Twiddle w(theta, 0.0, 0.0);
    w.wr = 1.0 + w.wpr;
    w.wi = w.wpi;
    for (std::size_t k = 1; k <= n / 4; ++k) {
        const std::size_t i1 = 2 * k, i2 = i1 + 1, i3 = n - 2 * k, i4 = i3 + 1;
        const double h1r = c1 * (d[i1] + d[i3]);
        const double h1i = c1 * (d[i2] - d[i4]);
        const double h2r = -c2 * (d[i2] + d[i4]);
        const double h2i = c2 * (d[i1] - d[i3]);
        d[i1] = h1r + w.wr * h2r - w.wi * h2i;
        d[i2] = h1i + w.wr * h2i + w.wi * h2r;
        d[i3] = h1r - w.wr * h2r + w.wi * h2i;
        d[i4] = -h1i + w.wr * h2i + w.wi * h2r;
        w.Advance();
    }
}

} // namespace

void RealTransform(std::span<double> Data, std::int32_t N, bool Inverse) {
    // A size that is not a power of two would send the butterflies past element N, so it is
    // refused like a size the array cannot hold.
    if (N < 2 || static_cast<std::size_t>(N) > Data.size() || (N & (N - 1)) != 0)
        return;
    const auto n = static_cast<std::size_t>(N);
    double* const d = Data.data();
    const auto theta = static_cast<double>(TwoPi / N);

    if (!Inverse) {
        ComplexTransform(d, n, +1);
        SplitStep(d, n, theta, 0.5, -0.5);
        const double h = d[0];
        d[0] = h + d[1];
        d[1] = h - d[1];
    } else {
        SplitStep(d, n, -theta, 0.5, 0.5);
        const double h = d[0];
        d[0] = 0.5 * (h + d[1]);
        d[1] = 0.5 * (h - d[1]);
        ComplexTransform(d, n, -1);
        const double half = static_cast<double>(n / 2);
        for (std::size_t i = 0; i < n; ++i)
            d[i] /= half;
    }
}

double BinMagnitude(std::span<const double> Data, std::int32_t N, std::uint32_t K) {
    if (K == 0 || K >= Data.size() / 2 || N <= 0)
        return 0.0;
    const std::size_t i = 2 * static_cast<std::size_t>(K);
    return std::sqrt(Data[i] * Data[i] + Data[i + 1] * Data[i + 1]) / (N / 2.0);
}

double BinFrequency(std::uint32_t SampleRate, std::int32_t N, std::uint32_t K) {
    // N <= 0 has no bins; without this test a negative N would wrap to a huge unsigned bound.
    if (SampleRate == 0 || K == 0 || N <= 0 || K >= static_cast<std::uint32_t>(N / 2))
        return 0.0;
    // In 64 bits, so that large transforms at high rates do not wrap the product.
    const std::uint64_t product = std::uint64_t{SampleRate} * K;
    return static_cast<double>(product) / N;
}

} // namespace RealFFT
