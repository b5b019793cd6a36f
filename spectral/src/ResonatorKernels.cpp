// Built with -fno-math-errno so that sqrt becomes a plain instruction (it
// changes no result: sqrt is correctly rounded either way). No FMA: a fused
// multiply-add rounds once where the reference rounds twice.
#include "ResonatorKernels.h"

#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#define OSTREL_X86_KERNELS 1
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 warns about the deliberately undefined pass-through operand inside
// its own AVX-512 intrinsics (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif

namespace ostrel::detail {

namespace {

// Resonators stepped together: eight independent recurrences that the
// processor overlaps.
constexpr std::size_t kPortableTile = 8;

void stepPortable(const BankArrays& bank, const double* inputRe, const double* inputIm,
                  std::size_t inputCount) {
    for (std::size_t base = 0; base < bank.count; base += kPortableTile) {
        double re[kPortableTile], im[kPortableTile], mulRe[kPortableTile], mulIm[kPortableTile],
            sum[kPortableTile];
        for (std::size_t lane = 0; lane < kPortableTile; ++lane) {
            re[lane] = bank.stateRe[base + lane];
            im[lane] = bank.stateIm[base + lane];
            mulRe[lane] = bank.multiplierRe[base + lane];
            mulIm[lane] = bank.multiplierIm[base + lane];
            sum[lane] = bank.accumulated[base + lane];
        }
        for (std::size_t k = 0; k < inputCount; ++k) {
            const double xRe = inputRe[k];
            const double xIm = inputIm[k];
            for (std::size_t lane = 0; lane < kPortableTile; ++lane) {
                const double newRe = re[lane] * mulRe[lane] - im[lane] * mulIm[lane] + xRe;
                const double newIm = re[lane] * mulIm[lane] + im[lane] * mulRe[lane] + xIm;
                re[lane] = newRe;
                im[lane] = newIm;
                sum[lane] += std::sqrt(newRe * newRe + newIm * newIm);
            }
        }
        for (std::size_t lane = 0; lane < kPortableTile; ++lane) {
            bank.stateRe[base + lane] = re[lane];
            bank.stateIm[base + lane] = im[lane];
            bank.accumulated[base + lane] = sum[lane];
        }
    }
}

#if defined(OSTREL_X86_KERNELS)

// Each kernel runs one tile of resonators through the whole block of inputs
// before it moves on, so the tile's state stays in registers (or at worst
// the first-level cache) between steps.

__attribute__((target("avx2"))) void stepAvx2(const BankArrays& bank, const double* inputRe,
                                              const double* inputIm, std::size_t inputCount) {
    constexpr std::size_t kVectors = 2;
    constexpr std::size_t kTile = 4 * kVectors;
    for (std::size_t base = 0; base < bank.count; base += kTile) {
        __m256d re[kVectors], im[kVectors], mulRe[kVectors], mulIm[kVectors], sum[kVectors];
        for (std::size_t v = 0; v < kVectors; ++v) {
            re[v] = _mm256_load_pd(bank.stateRe + base + 4 * v);
            im[v] = _mm256_load_pd(bank.stateIm + base + 4 * v);
            mulRe[v] = _mm256_load_pd(bank.multiplierRe + base + 4 * v);
            mulIm[v] = _mm256_load_pd(bank.multiplierIm + base + 4 * v);
            sum[v] = _mm256_load_pd(bank.accumulated + base + 4 * v);
        }
        for (std::size_t k = 0; k < inputCount; ++k) {
            const __m256d xRe = _mm256_broadcast_sd(inputRe + k);
            const __m256d xIm = _mm256_broadcast_sd(inputIm + k);
            for (std::size_t v = 0; v < kVectors; ++v) {
                const __m256d newRe = _mm256_add_pd(
                    _mm256_sub_pd(_mm256_mul_pd(re[v], mulRe[v]), _mm256_mul_pd(im[v], mulIm[v])), xRe);
                const __m256d newIm = _mm256_add_pd(
                    _mm256_add_pd(_mm256_mul_pd(re[v], mulIm[v]), _mm256_mul_pd(im[v], mulRe[v])), xIm);
                re[v] = newRe;
                im[v] = newIm;
                const __m256d power = _mm256_add_pd(_mm256_mul_pd(newRe, newRe), _mm256_mul_pd(newIm, newIm));
                sum[v] = _mm256_add_pd(sum[v], _mm256_sqrt_pd(power));
            }
        }
        for (std::size_t v = 0; v < kVectors; ++v) {
            _mm256_store_pd(bank.stateRe + base + 4 * v, re[v]);
            _mm256_store_pd(bank.stateIm + base + 4 * v, im[v]);
            _mm256_store_pd(bank.accumulated + base + 4 * v, sum[v]);
        }
    }
}

// The AVX-512 kernel. The divider unit that computes square roots is the
// bottleneck of the plain kernels (about ten cycles per four roots on the
// machines we use), while the multiply and add ports sit half idle. So part
// of each tile takes its roots from the divider (256-bit, its fastest width)
// and the other part computes them on the ports:
//   r ~ 1/sqrt(a) from vrsqrt14pd (relative error < 2^-14), one Newton step
//   (< 2^-27), y = a*r refined by a second step (< 2^-49), then one
//   correction y + (a - y*y)*r/2 with the residual a - y*y formed without
//   rounding error (y split into 26 + 27 bits). That sum is within 2^-23 ulp
//   of sqrt(a); rounding it gives the correctly rounded root unless it lies
//   within 2^-16 ulp of a rounding boundary. Those rare lanes, results that
//   are powers of two (the boundary below is closer), and arguments outside
//   [2^-960, 2^960] (no underflow in the residual) are recomputed with the
//   divider. The result is thus always exactly sqrt(a) correctly rounded,
//   the value the reference computes. No FMA anywhere.

struct SoftwareRootConstants {
    __m512d half, threeHalves, roundingThreshold;
    __m512i highBits, exponentBits, magnitudeBits, mantissaBits, domainLow, domainWidth;
};

__attribute__((target("avx512f"))) SoftwareRootConstants softwareRootConstants() {
    SoftwareRootConstants constants;
    constants.half = _mm512_set1_pd(0.5);
    constants.threeHalves = _mm512_set1_pd(1.5);
    // Half an ulp less 2^-16 ulp, relative to the power of two below the result.
    constants.roundingThreshold = _mm512_set1_pd(0x1p-53 - 0x1p-69);
    constants.highBits = _mm512_set1_epi64(static_cast<long long>(0xFFFFFFFFF8000000ULL));
    constants.exponentBits = _mm512_set1_epi64(0x7FF0000000000000LL);
    constants.magnitudeBits = _mm512_set1_epi64(0x7FFFFFFFFFFFFFFFLL);
    constants.mantissaBits = _mm512_set1_epi64(0x000FFFFFFFFFFFFFLL);
    constants.domainLow = _mm512_set1_epi64(static_cast<long long>(1023ULL - 960) << 52);
    constants.domainWidth = _mm512_set1_epi64(static_cast<long long>(1920ULL) << 52);
    return constants;
}

__attribute__((target("avx512f"), always_inline)) inline __m512d
softwareRoot(__m512d a, const SoftwareRootConstants& k) {
    const __m512d halfA = _mm512_mul_pd(a, k.half);
    __m512d r = _mm512_rsqrt14_pd(a);
    r = _mm512_mul_pd(r, _mm512_sub_pd(k.threeHalves, _mm512_mul_pd(_mm512_mul_pd(halfA, r), r)));
    const __m512d step = _mm512_sub_pd(k.threeHalves, _mm512_mul_pd(_mm512_mul_pd(halfA, r), r));
    const __m512d y = _mm512_mul_pd(_mm512_mul_pd(a, r), step);
    // y = high + low exactly, high with 26 significant bits: high*high and
    // 2*low*high are exact, low*low is negligible.
    const __m512d high = _mm512_castsi512_pd(_mm512_and_epi64(_mm512_castpd_si512(y), k.highBits));
    const __m512d low = _mm512_sub_pd(y, high);
    const __m512d residual = _mm512_sub_pd(_mm512_sub_pd(_mm512_sub_pd(a, _mm512_mul_pd(high, high)),
                                                         _mm512_mul_pd(_mm512_add_pd(low, low), high)),
                                           _mm512_mul_pd(low, low));
    const __m512d correction = _mm512_mul_pd(residual, _mm512_mul_pd(r, k.half));
    const __m512d root = _mm512_add_pd(y, correction);
    // What rounding the sum y + correction dropped.
    const __m512d dropped = _mm512_add_pd(_mm512_sub_pd(y, root), correction);
    const __m512i rootBits = _mm512_castpd_si512(root);
    const __m512d droppedSize =
        _mm512_castsi512_pd(_mm512_and_epi64(_mm512_castpd_si512(dropped), k.magnitudeBits));
    const __m512d threshold =
        _mm512_mul_pd(_mm512_castsi512_pd(_mm512_and_epi64(rootBits, k.exponentBits)), k.roundingThreshold);
    const __mmask8 nearBoundary = _mm512_cmp_pd_mask(droppedSize, threshold, _CMP_NLE_UQ);
    const __mmask8 powerOfTwo = _mm512_testn_epi64_mask(rootBits, k.mantissaBits);
    const __mmask8 outsideDomain = _mm512_cmp_epu64_mask(
        _mm512_sub_epi64(_mm512_castpd_si512(a), k.domainLow), k.domainWidth, _MM_CMPINT_NLT);
    const __mmask8 recompute = nearBoundary | powerOfTwo | outsideDomain;
    if (__builtin_expect(recompute != 0, 0)) {
        return _mm512_mask_sqrt_pd(root, recompute, a);
    }
    return root;
}

// Resonators stepped together by the AVX-512 kernel: kDividerVectors groups
// of four take their roots from the divider, kPortVectors groups of eight
// compute them on the ports.
constexpr std::size_t kDividerVectors = 6;
constexpr std::size_t kPortVectors = 1;
constexpr std::size_t kMixedTile = 4 * kDividerVectors + 8 * kPortVectors;

__attribute__((target("avx512f"))) void stepAvx512(const BankArrays& bank, const double* inputRe,
                                                   const double* inputIm, std::size_t inputCount) {
    const SoftwareRootConstants constants = softwareRootConstants();
    std::size_t base = 0;
    for (; base + kMixedTile <= bank.count; base += kMixedTile) {
        __m256d re[kDividerVectors], im[kDividerVectors], mulRe[kDividerVectors], mulIm[kDividerVectors],
            sum[kDividerVectors];
        for (std::size_t v = 0; v < kDividerVectors; ++v) {
            re[v] = _mm256_load_pd(bank.stateRe + base + 4 * v);
            im[v] = _mm256_load_pd(bank.stateIm + base + 4 * v);
            mulRe[v] = _mm256_load_pd(bank.multiplierRe + base + 4 * v);
            mulIm[v] = _mm256_load_pd(bank.multiplierIm + base + 4 * v);
            sum[v] = _mm256_load_pd(bank.accumulated + base + 4 * v);
        }
        const std::size_t portBase = base + 4 * kDividerVectors;
        __m512d portRe[kPortVectors], portIm[kPortVectors], portMulRe[kPortVectors], portMulIm[kPortVectors],
            portSum[kPortVectors];
        for (std::size_t v = 0; v < kPortVectors; ++v) {
            portRe[v] = _mm512_loadu_pd(bank.stateRe + portBase + 8 * v);
            portIm[v] = _mm512_loadu_pd(bank.stateIm + portBase + 8 * v);
            portMulRe[v] = _mm512_loadu_pd(bank.multiplierRe + portBase + 8 * v);
            portMulIm[v] = _mm512_loadu_pd(bank.multiplierIm + portBase + 8 * v);
            portSum[v] = _mm512_loadu_pd(bank.accumulated + portBase + 8 * v);
        }
        for (std::size_t k = 0; k < inputCount; ++k) {
            const __m256d xRe = _mm256_broadcast_sd(inputRe + k);
            const __m256d xIm = _mm256_broadcast_sd(inputIm + k);
            for (std::size_t v = 0; v < kDividerVectors; ++v) {
                const __m256d newRe = _mm256_add_pd(
                    _mm256_sub_pd(_mm256_mul_pd(re[v], mulRe[v]), _mm256_mul_pd(im[v], mulIm[v])), xRe);
                const __m256d newIm = _mm256_add_pd(
                    _mm256_add_pd(_mm256_mul_pd(re[v], mulIm[v]), _mm256_mul_pd(im[v], mulRe[v])), xIm);
                re[v] = newRe;
                im[v] = newIm;
                const __m256d power = _mm256_add_pd(_mm256_mul_pd(newRe, newRe), _mm256_mul_pd(newIm, newIm));
                sum[v] = _mm256_add_pd(sum[v], _mm256_sqrt_pd(power));
            }
            const __m512d wideRe = _mm512_broadcastsd_pd(_mm_load_sd(inputRe + k));
            const __m512d wideIm = _mm512_broadcastsd_pd(_mm_load_sd(inputIm + k));
            for (std::size_t v = 0; v < kPortVectors; ++v) {
                const __m512d newRe = _mm512_add_pd(_mm512_sub_pd(_mm512_mul_pd(portRe[v], portMulRe[v]),
                                                                  _mm512_mul_pd(portIm[v], portMulIm[v])),
                                                    wideRe);
                const __m512d newIm = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(portRe[v], portMulIm[v]),
                                                                  _mm512_mul_pd(portIm[v], portMulRe[v])),
                                                    wideIm);
                portRe[v] = newRe;
                portIm[v] = newIm;
                const __m512d power = _mm512_add_pd(_mm512_mul_pd(newRe, newRe), _mm512_mul_pd(newIm, newIm));
                portSum[v] = _mm512_add_pd(portSum[v], softwareRoot(power, constants));
            }
        }
        for (std::size_t v = 0; v < kDividerVectors; ++v) {
            _mm256_store_pd(bank.stateRe + base + 4 * v, re[v]);
            _mm256_store_pd(bank.stateIm + base + 4 * v, im[v]);
            _mm256_store_pd(bank.accumulated + base + 4 * v, sum[v]);
        }
        for (std::size_t v = 0; v < kPortVectors; ++v) {
            _mm512_storeu_pd(bank.stateRe + portBase + 8 * v, portRe[v]);
            _mm512_storeu_pd(bank.stateIm + portBase + 8 * v, portIm[v]);
            _mm512_storeu_pd(bank.accumulated + portBase + 8 * v, portSum[v]);
        }
    }
    // What is left (fewer than a tile, a multiple of eight) goes through the AVX2 path.
    if (base < bank.count) {
        const BankArrays rest{bank.stateRe + base,      bank.stateIm + base,     bank.multiplierRe + base,
                              bank.multiplierIm + base, bank.accumulated + base, bank.count - base};
        stepAvx2(rest, inputRe, inputIm, inputCount);
    }
}

__attribute__((target("avx512f"))) void softwareRootsAvx512(const double* values, double* roots,
                                                            std::size_t count) {
    const SoftwareRootConstants constants = softwareRootConstants();
    for (std::size_t i = 0; i + 8 <= count; i += 8) {
        _mm512_storeu_pd(roots + i, softwareRoot(_mm512_loadu_pd(values + i), constants));
    }
}

#endif

} // namespace

bool softwareSquareRoots(const double* values, double* roots, std::size_t count) {
#if defined(OSTREL_X86_KERNELS)
    if (kernelSupported(KernelKind::Avx512)) {
        softwareRootsAvx512(values, roots, count);
        return true;
    }
#else
    (void)values;
    (void)roots;
    (void)count;
#endif
    return false;
}

bool kernelSupported(KernelKind kind) {
    switch (kind) {
    case KernelKind::Portable:
        return true;
#if defined(OSTREL_X86_KERNELS)
    case KernelKind::Avx2:
        return __builtin_cpu_supports("avx2");
    case KernelKind::Avx512:
        return __builtin_cpu_supports("avx512f");
#else
    case KernelKind::Avx2:
    case KernelKind::Avx512:
        return false;
#endif
    }
    return false;
}

KernelKind bestKernel() {
    static const KernelKind best = kernelSupported(KernelKind::Avx512) ? KernelKind::Avx512
                                   : kernelSupported(KernelKind::Avx2) ? KernelKind::Avx2
                                                                       : KernelKind::Portable;
    return best;
}

StepKernel kernelFor(KernelKind kind) {
    if (!kernelSupported(kind)) {
        return stepPortable;
    }
    switch (kind) {
#if defined(OSTREL_X86_KERNELS)
    case KernelKind::Avx2:
        return stepAvx2;
    case KernelKind::Avx512:
        return stepAvx512;
#endif
    default:
        return stepPortable;
    }
}

std::string_view kernelName(KernelKind kind) {
    switch (kind) {
    case KernelKind::Portable:
        return "portable";
    case KernelKind::Avx2:
        return "avx2";
    case KernelKind::Avx512:
        return "avx512";
    }
    return "unknown";
}

} // namespace ostrel::detail
