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

// Resonators stepped together: eight keep the portable loop easy to
// vectorise for the compiler without asking it to keep too much live.
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

// Each kernel keeps a tile of resonators in registers for the whole block of
// inputs: the state never goes through memory between steps.

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

__attribute__((target("avx512f"))) void stepAvx512(const BankArrays& bank, const double* inputRe,
                                                   const double* inputIm, std::size_t inputCount) {
    constexpr std::size_t kVectors = 4;
    constexpr std::size_t kTile = 8 * kVectors;
    for (std::size_t base = 0; base < bank.count; base += kTile) {
        __m512d re[kVectors], im[kVectors], mulRe[kVectors], mulIm[kVectors], sum[kVectors];
        for (std::size_t v = 0; v < kVectors; ++v) {
            re[v] = _mm512_load_pd(bank.stateRe + base + 8 * v);
            im[v] = _mm512_load_pd(bank.stateIm + base + 8 * v);
            mulRe[v] = _mm512_load_pd(bank.multiplierRe + base + 8 * v);
            mulIm[v] = _mm512_load_pd(bank.multiplierIm + base + 8 * v);
            sum[v] = _mm512_load_pd(bank.accumulated + base + 8 * v);
        }
        for (std::size_t k = 0; k < inputCount; ++k) {
            const __m512d xRe = _mm512_broadcastsd_pd(_mm_load_sd(inputRe + k));
            const __m512d xIm = _mm512_broadcastsd_pd(_mm_load_sd(inputIm + k));
            for (std::size_t v = 0; v < kVectors; ++v) {
                const __m512d newRe = _mm512_add_pd(
                    _mm512_sub_pd(_mm512_mul_pd(re[v], mulRe[v]), _mm512_mul_pd(im[v], mulIm[v])), xRe);
                const __m512d newIm = _mm512_add_pd(
                    _mm512_add_pd(_mm512_mul_pd(re[v], mulIm[v]), _mm512_mul_pd(im[v], mulRe[v])), xIm);
                re[v] = newRe;
                im[v] = newIm;
                const __m512d power = _mm512_add_pd(_mm512_mul_pd(newRe, newRe), _mm512_mul_pd(newIm, newIm));
                sum[v] = _mm512_add_pd(sum[v], _mm512_sqrt_pd(power));
            }
        }
        for (std::size_t v = 0; v < kVectors; ++v) {
            _mm512_store_pd(bank.stateRe + base + 8 * v, re[v]);
            _mm512_store_pd(bank.stateIm + base + 8 * v, im[v]);
            _mm512_store_pd(bank.accumulated + base + 8 * v, sum[v]);
        }
    }
}

#endif

} // namespace

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
