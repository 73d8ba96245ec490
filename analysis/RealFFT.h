// In-place FFT of a block of real samples, and the per-bin magnitude and frequency of its packed
// result. The transform allocates nothing and calls no trigonometric function per element, so it
// can run on every captured buffer.
#pragma once

#include <cstdint>
#include <span>

namespace RealFFT {

// Transforms the first N elements of Data in place; elements from N on are never touched.
// Forward (Inverse false): X[k] = sum x[j] * exp(+2 pi i j k / N), unnormalised, packed as
// element 0 = X[0], element 1 = X[N/2], elements 2k and 2k+1 = Re and Im of X[k] for
// 0 < k < N/2. Inverse: that packed layout back into N samples, normalised so that forward
// followed by inverse returns the input. With N < 2, N > Data.size() or N not a power of two
// the data is left unchanged.
void RealTransform(std::span<double> Data, std::int32_t N, bool Inverse);

// Magnitude of bin K of a packed forward result, scaled by 1 / (N / 2.0) so that a tone of
// amplitude A centred on bin K reads A. 0.0 for K = 0, K >= Data.size() / 2 or N <= 0.
double BinMagnitude(std::span<const double> Data, std::int32_t N, std::uint32_t K);

// Frequency of bin K in hertz, SampleRate * K / N. 0.0 for SampleRate = 0, K = 0 or
// K >= N div 2.
double BinFrequency(std::uint32_t SampleRate, std::int32_t N, std::uint32_t K);

} // namespace RealFFT
