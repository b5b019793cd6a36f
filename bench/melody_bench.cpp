// Rendering speed of melody scripts: a 60-second melody of 200 play lines over
// 24 sounds of 0.5 s at 44100 Hz. The "realtime" counter is how many times
// faster than real time the melody renders (goal: at least 1000).
//
// Mixing speed: many overlapping notes, rendered by the renderer of before the
// vector kernels (bench/baseline, "Baseline") and by today's with each kernel
// this processor runs; "mixed" counts values of notes mixed per second of the
// thread's CPU time (goal: at least 2·10^9 on one core; CPU time, so a busy
// machine does not count). Both write the same bytes, checked once.
#include "MixKernels.h"
#include "baseline/BaselineMelodyRenderer.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/MelodyRenderer.h>
#include <pellamy/SoundStreamDescription.h>

#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

std::filesystem::path scratchFolder() {
    return ::access("/dev/shm", W_OK) == 0 ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
}

std::string scratchPath(const std::string& name) {
    return (scratchFolder() / ("kivora-bench-" + std::to_string(::getpid()) + "-" + name)).string();
}

// `notes` notes of `noteSeconds` each, one every millisecond, over the 24 sounds.
std::string overlappingNotes(const pellamy::InstrumentModel& model, int notes, double noteSeconds) {
    std::string script;
    const std::string duration = " a " + std::to_string(noteSeconds) + "\n";
    for (int note = 0; note < notes; ++note) {
        script += model.aliasAt(static_cast<std::size_t>((note * 7) % kSounds));
        script += duration;
        script += "!wait 0.001\n";
    }
    return script;
}

struct NotesCase {
    int notes;
    double noteSeconds;
};
constexpr NotesCase kNotesCases[] = {{100000, 0.05}, {20000, 0.5}};

std::string writeNotesScript(const pellamy::InstrumentModel& model, const NotesCase& notes) {
    const std::string path = scratchPath("notes-" + std::to_string(notes.notes) + ".snc");
    std::ofstream(path, std::ios::binary) << overlappingNotes(model, notes.notes, notes.noteSeconds);
    return path;
}

std::string contentsOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void setMixedCounter(benchmark::State& state, const NotesCase& notes) {
    const double perRender = notes.notes * std::trunc(kRate * notes.noteSeconds);
    state.counters["mixed"] =
        benchmark::Counter(perRender * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// range(0): the notes case; range(1): -1 for the baseline renderer, else a MixKernel.
void BM_OverlappingNotes(benchmark::State& state) {
    const NotesCase& notes = kNotesCases[state.range(0)];
    const auto kernel = static_cast<pellamy::detail::MixKernel>(state.range(1));
    const bool baseline = state.range(1) < 0;
    if (!baseline && !pellamy::detail::mixKernelSupported(kernel)) {
        state.SkipWithError("this processor lacks the kernel");
        return;
    }
    pellamy::InstrumentModel model;
    buildInstrument(model);
    const std::string scriptPath = writeNotesScript(model, notes);
    const std::string wavPath = scratchPath(baseline ? "baseline.wav" : "today.wav");
    const pellamy::detail::MixKernel previous = pellamy::detail::activeMixKernels().kind;
    if (!baseline)
        pellamy::detail::selectMixKernel(kernel);

    pellamy::baseline::MelodyRenderer old(pellamy::baseline::MixClip);
    pellamy::MelodyRenderer today(pellamy::MixClip);
    old.setInstrument(&model);
    today.setInstrument(&model);
    for (auto _ : state) {
        if (baseline)
            old.render(scriptPath, wavPath);
        else
            today.render(scriptPath, wavPath);
    }
    setMixedCounter(state, notes);

    // The same bytes as the baseline writes.
    if (!baseline) {
        const std::string reference = scratchPath("reference.wav");
        old.render(scriptPath, reference);
        if (contentsOf(reference) != contentsOf(wavPath))
            state.SkipWithError("the output differs from the baseline's");
        std::filesystem::remove(reference);
    }
    pellamy::detail::selectMixKernel(previous);
    std::filesystem::remove(scriptPath);
    std::filesystem::remove(wavPath);
}
BENCHMARK(BM_OverlappingNotes)
    ->ArgNames({"case", "kernel"})
    ->ArgsProduct({{0, 1},
                   {-1, static_cast<int>(pellamy::detail::MixKernel::kPlain),
                    static_cast<int>(pellamy::detail::MixKernel::kAvx2)}})
    ->Unit(benchmark::kMillisecond);

// The kernel alone: one note's 2205 values added into the accumulator.
void BM_MixKernelAdd(benchmark::State& state) {
    const auto kernel = static_cast<pellamy::detail::MixKernel>(state.range(0));
    if (!pellamy::detail::mixKernelSupported(kernel)) {
        state.SkipWithError("this processor lacks the kernel");
        return;
    }
    const pellamy::detail::MixKernelTable& table = pellamy::detail::mixKernelTable(kernel);
    std::vector<std::int16_t> values(2205);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<std::int16_t>(i * 37);
    std::vector<std::int32_t> acc(values.size());
    for (auto _ : state) {
        table.add(acc.data(), values.data(), static_cast<std::uint32_t>(values.size()));
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(acc.data());
    state.counters["mixed"] = benchmark::Counter(static_cast<double>(values.size() * state.iterations()),
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MixKernelAdd)
    ->ArgName("kernel")
    ->Arg(static_cast<int>(pellamy::detail::MixKernel::kPlain))
    ->Arg(static_cast<int>(pellamy::detail::MixKernel::kAvx2));

} // namespace
