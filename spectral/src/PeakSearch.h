// The peak search shared by OscillSet and the fast banks.
#pragma once

#include <algorithm>
#include <cstdint>

namespace ostrel::detail {

// Writes into `indices` every i in [0, count) whose measure is not less than
// each existing neighbour's, ordered by decreasing measure and, among equal
// measures, by increasing index; returns how many were written. A NaN
// measure is never a peak. `indices` must have room for `count` entries.
template <typename Measure>
std::int32_t findPeaks(std::uint32_t* indices, unsigned count, Measure measure) {
    std::int32_t found = 0;
    for (unsigned i = 0; i < count; ++i) {
        const double v = measure(i);
        const bool notBelowLeft = i == 0 || measure(i - 1) <= v;
        const bool notBelowRight = i + 1 == count || measure(i + 1) <= v;
        if (notBelowLeft && notBelowRight && v == v) {
            indices[found++] = i;
        }
    }
    std::sort(indices, indices + found, [&](std::uint32_t a, std::uint32_t b) {
        const double va = measure(a);
        const double vb = measure(b);
        return va > vb || (va == vb && a < b);
    });
    return found;
}

} // namespace ostrel::detail
