// How many late blocks a real-time test accepts. The tests share two cores
// with the rest of the suite, so the scheduler may hold the render thread up
// now and then; a fault in the render path (a lock, an allocation, work
// that does not fit) makes late blocks by the dozen, which this still
// catches. The strict figure lives in the benchmarks.
#pragma once

#include <cstdint>

namespace kivora::testing {

inline bool fewLateBlocks(std::uint64_t lateBlocks, std::uint64_t blocksRendered) {
    constexpr std::uint64_t kAlwaysAccepted = 2;
    return lateBlocks <= kAlwaysAccepted || lateBlocks * 100 <= blocksRendered;
}

} // namespace kivora::testing
