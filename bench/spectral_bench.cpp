// Pitch measurement of a 0.5 s note at 44.1 kHz: the straightforward bank
// (one resonator at a time) against the structure-of-arrays kernels.
// "steps/s" counts resonator steps: (frames - 1) * (980 + 401) per call.
// "speedup" compares the best call with the reference's best of three in the
// same run, both in processor time of the thread.
#include "FrequencyExtractionDetail.h"

#include <ostrel/WaveFormat.h>

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace ostrel;

constexpr unsigned kSampleRate = 44100;
constexpr unsigned kFrames = kSampleRate / 2;
constexpr double kStepsPerCall = (kFrames - 1) * (980.0 + 401.0);

// A 330 Hz note with two overtones and a little noise.
const std::vector<std::int16_t>& note() {
    static const std::vector<std::int16_t> samples = [] {
        std::vector<std::int16_t> values(kFrames);
        std::mt19937 generator(42);
        std::uniform_real_distribution<double> noise(-300.0, 300.0);
        for (unsigned k = 0; k < kFrames; ++k) {
            const double t = 2 * 3.14159265358979323846 * 330.0 * k / kSampleRate;
            values[k] = static_cast<std::int16_t>(std::lround(12000 * std::sin(t) + 5000 * std::sin(2 * t) +
                                                              2000 * std::sin(3 * t) + noise(generator)));
        }
        return values;
    }();
    return samples;
}

WAVEFORMATEX monoFormat() {
    WAVEFORMATEX format;
    format.wFormatTag = kWaveFormatPcm;
    format.nChannels = 1;
    format.nSamplesPerSec = kSampleRate;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = 2 * kSampleRate;
    format.wBitsPerSample = 16;
    return format;
}

double measure(const detail::Stepping& stepping) {
    return detail::extractFrequencyBuffer(stepping, monoFormat(), note().data(), kFrames);
}

// Processor time of this thread: other work on the machine does not count.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Seconds per call of the reference: the best of three.
double referenceSeconds() {
    static const double seconds = [] {
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            const double start = threadSeconds();
            benchmark::DoNotOptimize(measure(detail::referenceStepping()));
            best = std::min(best, threadSeconds() - start);
        }
        return best;
    }();
    return seconds;
}

void setCounters(benchmark::State& state) {
    state.counters["steps/s"] =
        benchmark::Counter(kStepsPerCall, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_ExtractFrequencyReference(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(measure(detail::referenceStepping()));
    }
    setCounters(state);
}
BENCHMARK(BM_ExtractFrequencyReference)->Unit(benchmark::kMillisecond);

void BM_ExtractFrequencyFast(benchmark::State& state, detail::KernelKind kernel) {
    if (!detail::kernelSupported(kernel)) {
        state.SkipWithError("not supported by this processor");
        return;
    }
    const double reference = referenceSeconds();
    double best = 1e9;
    for (auto _ : state) {
        const double start = threadSeconds();
        benchmark::DoNotOptimize(measure(detail::fastStepping(kernel)));
        best = std::min(best, threadSeconds() - start);
    }
    setCounters(state);
    state.counters["speedup"] = reference / best;
}
BENCHMARK_CAPTURE(BM_ExtractFrequencyFast, portable, detail::KernelKind::Portable)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExtractFrequencyFast, avx2, detail::KernelKind::Avx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExtractFrequencyFast, avx512, detail::KernelKind::Avx512)->Unit(benchmark::kMillisecond);

// What extractFrequency itself dispatches to on this processor.
void BM_ExtractFrequencyDispatched(benchmark::State& state) {
    state.SetLabel(std::string(detail::kernelName(detail::bestKernel())));
    for (auto _ : state) {
        benchmark::DoNotOptimize(measure(detail::fastStepping(detail::bestKernel())));
    }
    setCounters(state);
}
BENCHMARK(BM_ExtractFrequencyDispatched)->Unit(benchmark::kMillisecond);

} // namespace
