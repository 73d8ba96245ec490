#include "analysis/uProcs.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace uProcs {

void TrimExtremes(std::span<double> Values, std::int32_t Count, double Fraction, double Marker) {
    if (Count <= 0)
        return;
    const std::size_t count = std::min(static_cast<std::size_t>(Count), Values.size());
    const double product = std::trunc(static_cast<double>(count) * Fraction);
    // Also rejects NaN. Each pass marks at least one entry while any is unmarked, and once all
    // are marked a pass changes nothing (for any marker equal to itself), so more than count
    // passes would only cost time, and a huge Fraction must not overflow the conversion.
    if (!(product >= 1.0))
        return;
    const std::size_t passes =
        product >= static_cast<double>(count) ? count : static_cast<std::size_t>(product);

    for (std::size_t pass = 0; pass < passes; ++pass) {
        // 0.0 means nothing chosen yet, so the first unmarked entry is always taken.
        double lowValue = 0.0, highValue = 0.0;
        std::size_t lowIndex = 0, highIndex = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const double v = Values[i];
            if (v == Marker)
                continue;
            if (v < lowValue || lowValue == 0.0) {
                lowValue = v;
                lowIndex = i;
            }
            if (v > highValue || highValue == 0.0) {
                highValue = v;
                highIndex = i;
            }
        }
        Values[lowIndex] = Marker;
        Values[highIndex] = Marker;
    }
}

} // namespace uProcs
