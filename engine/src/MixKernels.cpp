#include "MixKernels.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KIVORA_MIX_X86 1
#endif

namespace pellamy::detail {

namespace {

std::int32_t addSaturated(std::int32_t a, std::int32_t b) {
    const std::int64_t sum = std::int64_t{a} + b;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(sum, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

std::int32_t scaledValue(std::int16_t value, float gain) {
    // |value × gain| may exceed any integer; clamp before converting.
    const float product = std::trunc(static_cast<float>(value) * gain);
    const double limited =
        std::isnan(product) ? 0.0 : std::clamp<double>(product, -2147483648.0, 2147483647.0);
    return static_cast<std::int32_t>(limited);
}

std::int16_t scaledTo16(std::int32_t value, double scale) {
    const double scaled = std::trunc(scale * value);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

void addPlain(std::int32_t* acc, const std::int16_t* values, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i)
        acc[i] = addSaturated(acc[i], values[i]);
}

void addScaledPlain(std::int32_t* acc, const std::int16_t* values, std::uint32_t n, float gain) {
    for (std::uint32_t i = 0; i < n; ++i)
        acc[i] = addSaturated(acc[i], scaledValue(values[i], gain));
}

void clampTo16Plain(std::int16_t* dst, const std::int32_t* acc, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i)
        dst[i] = static_cast<std::int16_t>(std::clamp<std::int32_t>(acc[i], -32768, 32767));
}

void scaleTo16Plain(std::int16_t* dst, const std::int32_t* acc, std::uint32_t n, double scale) {
    for (std::uint32_t i = 0; i < n; ++i)
        dst[i] = scaledTo16(acc[i], scale);
}

std::int64_t peakPlain(const std::int32_t* acc, std::uint32_t n) {
    std::int64_t peak = 0;
    for (std::uint32_t i = 0; i < n; ++i)
        peak = std::max<std::int64_t>(peak, std::llabs(acc[i]));
    return peak;
}

constexpr MixKernelTable kPlainTable{MixKernel::kPlain, "plain",        addPlain, addScaledPlain,
                                     clampTo16Plain,    scaleTo16Plain, peakPlain};

#ifdef KIVORA_MIX_X86

#define KIVORA_AVX2 __attribute__((target("avx2")))

// a + b per lane, saturating: an overflow has operands of one sign and a sum
// of the other, and then takes the limit on the operands' side.
KIVORA_AVX2 inline __m256i addSaturated8(__m256i a, __m256i b) {
    const __m256i sum = _mm256_add_epi32(a, b);
    const __m256i overflow = _mm256_andnot_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(a, sum));
    const __m256i limit = _mm256_xor_si256(_mm256_srai_epi32(a, 31), _mm256_set1_epi32(0x7FFFFFFF));
    return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(sum), _mm256_castsi256_ps(limit),
                                                _mm256_castsi256_ps(overflow)));
}

KIVORA_AVX2 void addAvx2(std::int32_t* acc, const std::int16_t* values, std::uint32_t n) {
    std::uint32_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i));
        const __m256i low = _mm256_cvtepi16_epi32(_mm256_castsi256_si128(v));
        const __m256i high = _mm256_cvtepi16_epi32(_mm256_extracti128_si256(v, 1));
        auto* a = reinterpret_cast<__m256i*>(acc + i);
        _mm256_storeu_si256(a, addSaturated8(_mm256_loadu_si256(a), low));
        _mm256_storeu_si256(a + 1, addSaturated8(_mm256_loadu_si256(a + 1), high));
    }
    addPlain(acc + i, values + i, n - i);
}

KIVORA_AVX2 void addScaledAvx2(std::int32_t* acc, const std::int16_t* values, std::uint32_t n, float gain) {
    const __m256 g = _mm256_set1_ps(gain);
    // 2^31 as a float; every float below it converts exactly, every one at or
    // above it is clamped to the largest value, as the plain form does.
    const __m256 top = _mm256_set1_ps(2147483648.0f);
    const __m256i largest = _mm256_set1_epi32(0x7FFFFFFF);
    std::uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i v =
            _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i)));
        const __m256 product =
            _mm256_round_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(v), g), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        // Below -2^31 the conversion already gives the smallest value.
        __m256i scaled = _mm256_cvttps_epi32(product);
        scaled =
            _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(scaled), _mm256_castsi256_ps(largest),
                                                 _mm256_cmp_ps(product, top, _CMP_GE_OQ)));
        scaled = _mm256_and_si256(scaled, _mm256_castps_si256(_mm256_cmp_ps(product, product, _CMP_ORD_Q)));
        auto* a = reinterpret_cast<__m256i*>(acc + i);
        _mm256_storeu_si256(a, addSaturated8(_mm256_loadu_si256(a), scaled));
    }
    addScaledPlain(acc + i, values + i, n - i, gain);
}

KIVORA_AVX2 void clampTo16Avx2(std::int16_t* dst, const std::int32_t* acc, std::uint32_t n) {
    std::uint32_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + i + 8));
        // packs saturates to 16 bits, but interleaves the 128-bit halves.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), packed);
    }
    clampTo16Plain(dst + i, acc + i, n - i);
}

KIVORA_AVX2 void scaleTo16Avx2(std::int16_t* dst, const std::int32_t* acc, std::uint32_t n, double scale) {
    const __m256d s = _mm256_set1_pd(scale);
    const __m256d low = _mm256_set1_pd(-32768.0);
    const __m256d high = _mm256_set1_pd(32767.0);
    std::uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128i parts[2];
        for (int half = 0; half < 2; ++half) {
            const __m256d v =
                _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + i + 4 * half)));
            __m256d scaled = _mm256_round_pd(_mm256_mul_pd(s, v), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
            scaled = _mm256_min_pd(_mm256_max_pd(scaled, low), high);
            parts[half] = _mm256_cvttpd_epi32(scaled);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi32(parts[0], parts[1]));
    }
    scaleTo16Plain(dst + i, acc + i, n - i, scale);
}

KIVORA_AVX2 std::int64_t peakAvx2(const std::int32_t* acc, std::uint32_t n) {
    // |INT32_MIN| is 2^31, which the unsigned view of abs() holds.
    __m256i peak = _mm256_setzero_si256();
    std::uint32_t i = 0;
    for (; i + 8 <= n; i += 8)
        peak = _mm256_max_epu32(
            peak, _mm256_abs_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + i))));
    alignas(32) std::uint32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), peak);
    std::int64_t result = peakPlain(acc + i, n - i);
    for (const std::uint32_t lane : lanes)
        result = std::max<std::int64_t>(result, lane);
    return result;
}

constexpr MixKernelTable kAvx2Table{MixKernel::kAvx2, "avx2",        addAvx2, addScaledAvx2,
                                    clampTo16Avx2,    scaleTo16Avx2, peakAvx2};

#endif

const MixKernelTable* fastestTable() {
#ifdef KIVORA_MIX_X86
    if (__builtin_cpu_supports("avx2"))
        return &kAvx2Table;
#endif
    return &kPlainTable;
}

std::atomic<const MixKernelTable*>& activeTable() {
    static std::atomic<const MixKernelTable*> table{fastestTable()};
    return table;
}

} // namespace

bool mixKernelSupported(MixKernel kernel) {
    switch (kernel) {
    case MixKernel::kPlain:
        return true;
    case MixKernel::kAvx2:
#ifdef KIVORA_MIX_X86
        return __builtin_cpu_supports("avx2");
#else
        return false;
#endif
    }
    return false;
}

std::vector<MixKernel> supportedMixKernels() {
    std::vector<MixKernel> kernels;
    for (const MixKernel kernel : {MixKernel::kPlain, MixKernel::kAvx2})
        if (mixKernelSupported(kernel))
            kernels.push_back(kernel);
    return kernels;
}

const MixKernelTable& mixKernelTable(MixKernel kernel) {
#ifdef KIVORA_MIX_X86
    if (kernel == MixKernel::kAvx2 && mixKernelSupported(kernel))
        return kAvx2Table;
#endif
    (void)kernel;
    return kPlainTable;
}

const MixKernelTable& activeMixKernels() {
    return *activeTable().load(std::memory_order_relaxed);
}

void selectMixKernel(MixKernel kernel) {
    activeTable().store(&mixKernelTable(kernel), std::memory_order_relaxed);
}

} // namespace pellamy::detail
