// Pitch measurement of a 0.5 s note at 44.1 kHz: the straightforward bank
// (one resonator at a time) against the structure-of-arrays kernels.
// "steps/s" counts resonator steps: (frames - 1) * (980 + 401) per call.
// "speedup" compares the best call with the reference's best of three in the
// same run, both in processor time of the thread.
//
// Then the passes split across threads, in wall-clock time: one thread (the
// previous implementation) beside the automatic count (one per core where a
// pass is long enough) and two threads, for notes of 10 ms to 2 s and for a
// minute-long WAV file read through the file variant, as `kivora-cli pitch`
// reads it.
#include "FrequencyExtractionDetail.h"

#include <ostrel/WaveFormat.h>

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace ostrel;

constexpr unsigned kSampleRate = 44100;
constexpr unsigned kFrames = kSampleRate / 2;
constexpr double kStepsPerCall = (kFrames - 1) * (980.0 + 401.0);

// A 330 Hz note with two overtones and a little noise.
std::vector<std::int16_t> makeNote(unsigned frames) {
    std::vector<std::int16_t> values(frames);
    std::mt19937 generator(42);
    std::uniform_real_distribution<double> noise(-300.0, 300.0);
    for (unsigned k = 0; k < frames; ++k) {
        const double t = 2 * 3.14159265358979323846 * 330.0 * k / kSampleRate;
        values[k] = static_cast<std::int16_t>(std::lround(12000 * std::sin(t) + 5000 * std::sin(2 * t) +
                                                          2000 * std::sin(3 * t) + noise(generator)));
    }
    return values;
}

const std::vector<std::int16_t>& note() {
    static const std::vector<std::int16_t> samples = makeNote(kFrames);
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

namespace {

// Threads of a pass: 1 is the single-thread pass as before, 0 the automatic count.
std::string threadLabel(unsigned threads) {
    return threads == 0 ? "automatic (" + std::to_string(std::thread::hardware_concurrency()) + " cores)"
                        : std::to_string(threads) + " thread" + (threads == 1 ? "" : "s");
}

void BM_NoteOnThreads(benchmark::State& state) {
    const auto milliseconds = static_cast<unsigned>(state.range(0));
    const auto threads = static_cast<unsigned>(state.range(1));
    const unsigned frames = kSampleRate / 1000 * milliseconds;
    const std::vector<std::int16_t> samples = makeNote(frames);
    const detail::Stepping stepping = detail::fastStepping(detail::bestKernel(), threads);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            detail::extractFrequencyBuffer(stepping, monoFormat(), samples.data(), frames));
    }
    state.SetLabel(std::to_string(milliseconds) + " ms note, " + threadLabel(threads));
}
BENCHMARK(BM_NoteOnThreads)
    ->ArgsProduct({{10, 50, 100, 500, 2000}, {1, 0, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A mono 16-bit WAV file of `seconds` of the note, written once per run.
const std::string& longFile(unsigned seconds) {
    static const std::string path = [seconds] {
        const std::string name = (std::filesystem::temp_directory_path() /
                                  ("spectral_bench_" + std::to_string(::getpid()) + ".wav"))
                                     .string();
        const std::vector<std::int16_t> second = makeNote(kSampleRate);
        const std::uint32_t dataBytes = seconds * kSampleRate * 2;
        std::ofstream out(name, std::ios::binary);
        const auto put32 = [&out](std::uint32_t v) {
            const char bytes[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
            out.write(bytes, 4);
        };
        const auto put16 = [&out](std::uint16_t v) {
            const char bytes[2] = {char(v), char(v >> 8)};
            out.write(bytes, 2);
        };
        out.write("RIFF", 4);
        put32(36 + dataBytes);
        out.write("WAVEfmt ", 8);
        put32(16);
        put16(kWaveFormatPcm);
        put16(1);
        put32(kSampleRate);
        put32(2 * kSampleRate);
        put16(2);
        put16(16);
        out.write("data", 4);
        put32(dataBytes);
        for (unsigned s = 0; s < seconds; ++s) {
            out.write(reinterpret_cast<const char*>(second.data()),
                      static_cast<std::streamsize>(2 * kSampleRate));
        }
        std::atexit([] { std::filesystem::remove(longFile(0)); });
        return name;
    }();
    return path;
}

void BM_LongFileOnThreads(benchmark::State& state) {
    constexpr unsigned kSeconds = 60;
    const auto threads = static_cast<unsigned>(state.range(0));
    const std::string& path = longFile(kSeconds);
    const detail::Stepping stepping = detail::fastStepping(detail::bestKernel(), threads);
    for (auto _ : state) {
        benchmark::DoNotOptimize(detail::extractFrequencyFile(stepping, path.c_str()));
    }
    state.SetLabel(std::to_string(kSeconds) + " s file, " + threadLabel(threads));
}
BENCHMARK(BM_LongFileOnThreads)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

} // namespace
