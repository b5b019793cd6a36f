// Step kernels for resonator banks stored as structure of arrays. Every
// kernel performs, lane by lane, exactly the operations of Oscill::oscillate
// in the same order, so all of them give bit-identical results; they differ
// only in how many resonators they step at once.
#pragma once

#include <cstddef>
#include <string_view>

namespace ostrel::detail {

// The bank's arrays; `count` is a multiple of kBankLaneMultiple and the
// arrays are aligned to kBankAlignment bytes.
struct BankArrays {
    double* stateRe;
    double* stateIm;
    const double* multiplierRe;
    const double* multiplierIm;
    double* accumulated;
    std::size_t count;
};

inline constexpr std::size_t kBankLaneMultiple = 8;
inline constexpr std::size_t kBankAlignment = 64;

// Steps every resonator of the bank once per input value, in input order.
// Resonators never meet, so kernels may run at once on different threads
// over disjoint parts of one bank (parts of kBankLaneMultiple resonators
// starting on a kBankAlignment boundary, so no two share a cache line).
using StepKernel = void (*)(const BankArrays& bank, const double* inputRe, const double* inputIm,
                            std::size_t inputCount);

enum class KernelKind { Portable, Avx2, Avx512 };

inline constexpr KernelKind kAllKernels[] = {KernelKind::Portable, KernelKind::Avx2, KernelKind::Avx512};

// Whether this processor can run the kernel (Portable always can).
bool kernelSupported(KernelKind kind);
// The widest kernel this processor supports; chosen once.
KernelKind bestKernel();
// The kernel of `kind`; Portable when the processor lacks it.
StepKernel kernelFor(KernelKind kind);
std::string_view kernelName(KernelKind kind);

// The AVX-512 kernel's square root without the divider, on count / 8 groups
// of eight values (a trailing partial group is left alone); false when the
// processor lacks AVX-512. For tests: it must equal std::sqrt bit for bit.
bool softwareSquareRoots(const double* values, double* roots, std::size_t count);

} // namespace ostrel::detail
