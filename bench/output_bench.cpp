// The live output: the device callback mixing 64 voices, and the cost of a
// note start on the interface thread.
#include "FrameConversion.h"
#include "VoiceMixer.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/SoundOutput.h>

#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <thread>
#include <vector>

using namespace pellamy;

namespace {

constexpr unsigned kDeviceRate = 48000;
constexpr unsigned kChannels = 2;
constexpr std::size_t kBufferFrames = SoundOutput::kRequestedBufferFrames;

std::vector<std::int16_t> tone(double frequencyHz, unsigned rateHz, double seconds) {
    std::vector<std::int16_t> values(static_cast<std::size_t>(rateHz * seconds));
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<std::int16_t>(std::lround(
            1000.0 * std::sin(2.0 * std::numbers::pi * frequencyHz * static_cast<double>(i) / rateHz)));
    return values;
}

// The device callback with 64 sounding voices of 44.1 kHz mono sounds
// converted for the 48 kHz stereo device. The counter period_percent is the
// callback's share of the 256-frame buffer's period (5.33 ms) on one core.
void BM_MixingCallback64Voices(benchmark::State& state) {
    constexpr std::size_t kVoices = 64;
    std::vector<std::vector<std::int16_t>> frames;
    for (std::size_t v = 0; v < kVoices; ++v)
        frames.push_back(
            convertToDevice(tone(110.0 + 5.0 * v, 44100, 30.0), 1, 44100, kChannels, kDeviceRate));
    VoiceMixer mixer(kVoices, kChannels);
    std::vector<std::uint8_t> buffer(kBufferFrames * kChannels * sizeof(std::int16_t));
    const auto startAll = [&] {
        for (std::size_t v = 0; v < kVoices; ++v)
            mixer.start(v, frames[v].data(), static_cast<std::uint32_t>(frames[v].size() / kChannels));
    };
    startAll();
    std::chrono::nanoseconds mixing{0};
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        VoiceMixer::fillDeviceBuffer(&mixer, buffer.data(), static_cast<int>(buffer.size()));
        mixing += std::chrono::steady_clock::now() - begin;
        benchmark::DoNotOptimize(buffer.data());
        if (mixer.soundingVoiceCount() < kVoices) // 30 s have been mixed: again from the start
            startAll();
    }
    const double periodNs = 1e9 * kBufferFrames / kDeviceRate;
    state.counters["period_percent"] =
        100.0 * static_cast<double>(mixing.count()) / static_cast<double>(state.iterations()) / periodNs;
    state.counters["voices"] = static_cast<double>(mixer.soundingVoiceCount());
}
BENCHMARK(BM_MixingCallback64Voices);

// Start of a 0.5 s note at 44.1 kHz: reading the sound, checking it against
// the prepared frames and sending the event. Manual time counts Start alone.
void BM_StartHalfSecondNote(benchmark::State& state) {
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    InstrumentModel instrument;
    instrument.addSound("note", Sound::make(tone(440.0, 44100, 0.5), 44100, 1, 16, 1.0f));
    SoundOutput output(&instrument, kDeviceRate, kChannels, 16);
    std::size_t sinceDrained = 0;
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        output.Start("note");
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
        output.Release("note", false);
        // Let the audio thread take the events before the queue fills up.
        if (++sinceDrained == 1000) {
            while (!output.isSilent())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            sinceDrained = 0;
        }
    }
}
BENCHMARK(BM_StartHalfSecondNote)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Making the output for 36 generated notes of 2 s at 44.1 kHz: every voice is
// converted for the device up front.
void BM_CreateOutputFor36Notes(benchmark::State& state) {
    ::setenv("SDL_AUDIODRIVER", "dummy", 1);
    InstrumentModel instrument;
    for (int i = 0; i < 36; ++i)
        instrument.addSound(
            "n" + std::to_string(i),
            Sound::make(tone(130.8 * std::pow(2.0, i / 12.0), 44100, 2.0), 44100, 1, 16, 1.0f));
    for (auto _ : state) {
        SoundOutput output(&instrument, kDeviceRate, kChannels, 16);
        benchmark::DoNotOptimize(output.voiceCount());
    }
}
BENCHMARK(BM_CreateOutputFor36Notes)->Unit(benchmark::kMillisecond);

} // namespace
