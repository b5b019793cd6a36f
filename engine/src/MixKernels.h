// The inner loops of off-line mixing, in a plain form and in vector forms
// chosen at run time. Every form gives the same bits as the plain one.
#pragma once

#include <cstdint>
#include <vector>

namespace pellamy::detail {

enum class MixKernel {
    kPlain, // one value at a time; the reference the others are compared with
    kAvx2,  // eight 32-bit lanes
};

struct MixKernelTable {
    MixKernel kind;
    const char* name;
    // acc[i] = acc[i] + values[i], saturating at the 32-bit range.
    void (*add)(std::int32_t* acc, const std::int16_t* values, std::uint32_t n);
    // acc[i] += trunc(float(values[i]) × gain), the product limited to the
    // 32-bit range (NaN adds 0), the sum saturating.
    void (*addScaled)(std::int32_t* acc, const std::int16_t* values, std::uint32_t n, float gain);
    // dst[i] = acc[i] clamped to -32768..32767.
    void (*clampTo16)(std::int16_t* dst, const std::int32_t* acc, std::uint32_t n);
    // dst[i] = trunc(scale × acc[i]) in double precision, clamped to 16 bits.
    void (*scaleTo16)(std::int16_t* dst, const std::int32_t* acc, std::uint32_t n, double scale);
    // The largest |acc[i]| (0 for n = 0).
    std::int64_t (*peak)(const std::int32_t* acc, std::uint32_t n);
};

// True when this processor can run `kernel`.
bool mixKernelSupported(MixKernel kernel);
// Every kernel this processor can run, the plain one first.
std::vector<MixKernel> supportedMixKernels();
const MixKernelTable& mixKernelTable(MixKernel kernel);

// The table mixers use: the fastest supported one, chosen once. Tests and
// benchmarks may select another (a supported one) for the whole process;
// not while anything mixes.
const MixKernelTable& activeMixKernels();
void selectMixKernel(MixKernel kernel);

} // namespace pellamy::detail
