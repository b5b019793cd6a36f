// Internal entry points of the frequency extraction: the straightforward
// implementation on OscillSet, kept as the reference the fast kernels must
// match bit for bit, and the fast implementation with a chosen kernel.
#pragma once

#include "ResonatorKernels.h"

#include <ostrel/WaveFormat.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace ostrel::detail {

// Which implementation steps the banks.
struct Stepping {
    bool reference = false;                   // OscillSet::oscillate, one resonator at a time
    KernelKind kernel = KernelKind::Portable; // used when not reference
    // Threads sharing each pass of the fast banks, each stepping its own part
    // of the bank (the bits do not depend on the split): 0 for one per core
    // where the pass is long enough to pay for them, else at most this many.
    // The reference always uses the calling thread alone.
    unsigned threads = 0;
    // Polled between blocks of inputs on every thread of a pass: once it
    // holds a non-zero value the passes end early and the measurement gives -1.
    const std::atomic<int>* stop = nullptr;
};

inline bool stopped(const Stepping& stepping) {
    return stepping.stop != nullptr && stepping.stop->load(std::memory_order_relaxed) != 0;
}

double extractFrequencyBuffer(const Stepping& stepping, const WAVEFORMATEX& format, const void* samples,
                              unsigned frames);
double extractFrequencyFile(const Stepping& stepping, const char* path);

// The summed amplitudes of a bank of `count` resonators over fLowHz..fHighHz
// (decay 0.9999) after one pass over the buffer, index 0 first.
std::vector<double> accumulatedAmplitudes(const Stepping& stepping, unsigned count, double fLowHz,
                                          double fHighHz, const WAVEFORMATEX& format, const void* samples,
                                          unsigned frames);

// How many threads share a pass of `inputs` values through a bank of
// `count` resonators (padded to whole lanes) when `requested` are asked for.
unsigned threadsForPass(unsigned requested, std::size_t count, std::uint64_t inputs);

inline Stepping referenceStepping() {
    return {true, KernelKind::Portable, 1};
}
inline Stepping fastStepping(KernelKind kernel, unsigned threads = 1) {
    return {false, kernel, threads};
}

} // namespace ostrel::detail
