// Rendering speed of melody scripts: a 60-second melody of 200 play lines over
// 24 sounds of 0.5 s at 44100 Hz. The "realtime" counter is how many times
// faster than real time the melody renders (goal: at least 1000).
#include <pellamy/InstrumentModel.h>
#include <pellamy/MelodyRenderer.h>
#include <pellamy/SoundStreamDescription.h>

#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint32_t kRate = 44100;
constexpr int kSounds = 24;
constexpr int kPlayLines = 200;
constexpr double kMelodySeconds = 60.0;

void buildInstrument(pellamy::InstrumentModel& model) {
    const char* noteNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    std::vector<std::vector<std::int16_t>> samples(kSounds, std::vector<std::int16_t>(kRate / 2));
    std::vector<pellamy::SoundStreamDescription> records(kSounds);
    for (int j = 0; j < kSounds; ++j) {
        const double hz = 130.8127826502993 * std::pow(2.0, j / 12.0);
        for (std::size_t k = 0; k < samples[j].size(); ++k)
            samples[j][k] = static_cast<std::int16_t>(12000.0 * std::sin(2 * M_PI * hz * k / kRate) *
                                                      (1.0 - static_cast<double>(k) / samples[j].size()));
        records[j].name = std::to_string(j / 12 + 1) + noteNames[j % 12];
        records[j].format = {1, 1, kRate, kRate * 2, 2, 16, 0};
        records[j].dataBytes = static_cast<std::uint32_t>(samples[j].size() * 2);
        records[j].data = samples[j].data();
    }
    model.loadFromDescriptions(kSounds, records.data());
}

// 200 play lines, one wait after each: streamed and cut-short notes, chords of two.
std::string melodyScript(const pellamy::InstrumentModel& model) {
    std::string script = "-- benchmark melody\n";
    for (int line = 0; line < kPlayLines; ++line) {
        const std::string& alias = model.aliasAt(static_cast<std::size_t>((line * 7) % kSounds));
        script += alias + (line % 3 == 0 ? " a 0.25\n" : " a -1\n");
        if (line % 4 != 3) // chords: every fourth line joins the next one
            script += "!wait 0.4\n";
    }
    return script;
}

void BM_RenderMelody(benchmark::State& state) {
    pellamy::InstrumentModel model;
    buildInstrument(model);
    // tmpfs when there is one, so the disk's speed does not count.
    const std::filesystem::path folder = ::access("/dev/shm", W_OK) == 0
                                             ? std::filesystem::path("/dev/shm")
                                             : std::filesystem::temp_directory_path();
    const std::string tag = std::to_string(::getpid());
    const std::string scriptPath = (folder / ("kivora-bench-" + tag + ".snc")).string();
    const std::string wavPath = (folder / ("kivora-bench-" + tag + ".wav")).string();
    std::string script = melodyScript(model);
    // Waits: 150 of 0.4 s = 60 s.
    if (std::FILE* file = std::fopen(scriptPath.c_str(), "wb")) {
        std::fwrite(script.data(), 1, script.size(), file);
        std::fclose(file);
    }

    pellamy::MelodyRenderer renderer(pellamy::MixClip);
    renderer.setInstrument(&model);
    for (auto _ : state) {
        renderer.render(scriptPath, wavPath);
        benchmark::DoNotOptimize(renderer.writtenValues());
    }
    if (renderer.writtenValues() != static_cast<std::uint64_t>(kMelodySeconds * kRate))
        state.SkipWithError("the melody is not 60 s long");
    state.counters["realtime"] = benchmark::Counter(kMelodySeconds * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
    std::filesystem::remove(scriptPath);
    std::filesystem::remove(wavPath);
}
BENCHMARK(BM_RenderMelody)->Unit(benchmark::kMillisecond);

} // namespace
