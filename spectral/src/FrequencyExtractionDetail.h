// Internal entry points of the frequency extraction: the straightforward
// implementation on OscillSet, kept as the reference the fast kernels must
// match bit for bit, and the fast implementation with a chosen kernel.
#pragma once

#include "ResonatorKernels.h"

#include <ostrel/WaveFormat.h>

#include <vector>

namespace ostrel::detail {

// Which implementation steps the banks.
struct Stepping {
    bool reference = false;                   // OscillSet::oscillate, one resonator at a time
    KernelKind kernel = KernelKind::Portable; // used when not reference
};

double extractFrequencyBuffer(const Stepping& stepping, const WAVEFORMATEX& format, const void* samples,
                              unsigned frames);
double extractFrequencyFile(const Stepping& stepping, const char* path);

// The summed amplitudes of a bank of `count` resonators over fLowHz..fHighHz
// (decay 0.9999) after one pass over the buffer, index 0 first.
std::vector<double> accumulatedAmplitudes(const Stepping& stepping, unsigned count, double fLowHz,
                                          double fHighHz, const WAVEFORMATEX& format, const void* samples,
                                          unsigned frames);

inline Stepping referenceStepping() {
    return {true, KernelKind::Portable};
}
inline Stepping fastStepping(KernelKind kernel) {
    return {false, kernel};
}

} // namespace ostrel::detail
