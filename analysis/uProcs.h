// Outlier trimming ahead of a trimmed mean.
#pragma once

#include <cstdint>
#include <span>

namespace uProcs {

// Makes trunc(Count * Fraction) passes over the first Count values (Count clamped to the span);
// each pass overwrites the lowest and the highest entry not yet equal to Marker with Marker.
// A running extreme of 0.0 counts as nothing chosen yet, so an entry of exactly 0.0 yields to
// the next unmarked entry. Callers then average the entries that are not the marker.
void TrimExtremes(std::span<double> Values, std::int32_t Count, double Fraction, double Marker);

} // namespace uProcs
