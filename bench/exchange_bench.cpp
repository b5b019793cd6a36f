// Root keys of a 49-sound instrument (keys 36-84, 2 s stereo notes at
// 44.1 kHz, loudest at the second partial), as export and MIDI conversion
// measure them: on every core, fresh sounds each iteration, then the same
// sounds again (the readings kept per sound content). Then one note through
// one fundamental estimator.
#include <kivora/exchange/Fundamental.h>
#include <kivora/exchange/RootKeys.h>
#include <pellamy/InstrumentModel.h>

#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr unsigned kRate = 44100;
constexpr int kLowestKey = 36;
constexpr int kHighestKey = 84;

// `variant` changes one value, so no reading kept from before applies.
std::vector<std::int16_t> note(int key, int variant, int channels) {
    const double hz = 440.0 * std::exp2((key - 69) / 12.0);
    std::vector<std::int16_t> values(static_cast<std::size_t>(2 * kRate * channels));
    for (std::size_t frame = 0; frame < values.size() / static_cast<std::size_t>(channels); ++frame) {
        const double phase = 2.0 * std::numbers::pi * hz * static_cast<double>(frame) / kRate;
        const double decay = std::exp(-1.5 * static_cast<double>(frame) / kRate);
        const auto v =
            static_cast<std::int16_t>(decay * (3000.0 * std::sin(phase) + 9000.0 * std::sin(2.0 * phase) +
                                               4000.0 * std::sin(3.0 * phase)));
        for (int c = 0; c < channels; ++c)
            values[frame * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = v;
    }
    values[0] = static_cast<std::int16_t>(variant);
    return values;
}

pellamy::InstrumentModel instrument(int variant) {
    pellamy::InstrumentModel made;
    for (int key = kLowestKey; key <= kHighestKey; ++key)
        made.addSound("note" + std::to_string(key),
                      pellamy::Sound::make(note(key, variant, 2), kRate, 2, 16, 1.0f));
    made.markLoaded();
    return made;
}

void BM_RootKeysOf49FreshSounds(benchmark::State& state) {
    int variant = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const pellamy::InstrumentModel sounds = instrument(++variant);
        state.ResumeTiming();
        benchmark::DoNotOptimize(kivora::exchange::assignRootKeys(sounds));
    }
    state.SetItemsProcessed(state.iterations() * (kHighestKey - kLowestKey + 1));
}
BENCHMARK(BM_RootKeysOf49FreshSounds)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_RootKeysOf49KnownSounds(benchmark::State& state) {
    const pellamy::InstrumentModel sounds = instrument(-1);
    kivora::exchange::assignRootKeys(sounds);
    for (auto _ : state)
        benchmark::DoNotOptimize(kivora::exchange::assignRootKeys(sounds));
}
BENCHMARK(BM_RootKeysOf49KnownSounds)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FundamentalOfOneNote(benchmark::State& state) {
    const std::vector<std::int16_t> values = note(48, 0, 1);
    kivora::exchange::FundamentalEstimator estimator(kRate);
    for (auto _ : state)
        benchmark::DoNotOptimize(estimator.measure(values.data(), values.size()));
}
BENCHMARK(BM_FundamentalOfOneNote)->Unit(benchmark::kMillisecond);

} // namespace
