// The squelch's schemes: the one enumeration the controller's Method, the calibration and the
// station's report all use.
#pragma once

#include <cstdint>

namespace squelch {

// Scheme A judges how quiet the band above the voice is; scheme B how far one bin of the voice
// band stands out. The window's method box numbers them 0 and 1; any other number is no scheme.
enum class Scheme { noiseBand, peakRatio, none };

constexpr Scheme schemeOf(std::int32_t method) {
    return method == 0 ? Scheme::noiseBand : method == 1 ? Scheme::peakRatio : Scheme::none;
}

} // namespace squelch
