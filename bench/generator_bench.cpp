// Rendering speed of the note generator: the 25 renders of a default run (the
// untuned note and two octaves of 500 ms at 44100 Hz) on the built-in string
// and on a 32 x 32 membrane, one note after the other, on every core, and
// with the straightforward seven-state integration. audio_s/s is seconds of
// sound rendered per wall-clock second.
//
// Then the 100 x 100 membrane (10 000 nodes, fixed rim): the 13 renders of
// one octave on every core with the general four-lane kernel beside the
// banded four-lane and eight-lane ones, each note stepped alone (the
// previous default) or the tuned notes stepped together in batches (the
// goal: twice real time, at most 3.25 s, on two cores), and one step with
// each kernel, alone and as a batch of eight.
#include "PlainRungeKutta.h"

#include <kivora/NoteGenerator.h>
#include <kivora/NoteTuning.h>
#include <modelkit/Builders.h>
#include <muntero/BatchedRungeKuttaKernel.h>
#include <muntero/ModelSnapshot.h>
#include <muntero/RungeKuttaKernel.h>
#include <ostrel/FrequencyExtraction.h>

#include <benchmark/benchmark.h>
#include <cstdint>
#include <string>
#include <vector>

namespace {

enum Model { kString, kMembrane };
enum Mode { kReference, kSequential, kParallel, kParallelEightLanes };

muntero::ModelSnapshot snapshotOf(Model model) {
    return muntero::takeSnapshot(model == kString ? InstrumentKit::defaultModel()
                                                  : InstrumentKit::makeMembrane(32, 32));
}

constexpr double kAudioSecondsPerRun = 25 * 0.5;

// The generator's algorithm written the plain way: the seven whole states of
// PlainRungeKutta, the notes one after the other.
double referenceRun(const muntero::ModelSnapshot& model, std::vector<std::int16_t>& samples) {
    const kivora::GenerationSettings settings;
    const int samplesPerNote = settings.sampleRate * settings.durationMs / 1000;
    const double h = 1.0 / settings.sampleRate;
    muntero::PlainRungeKutta integrator(model, {h, settings.linearDamping, settings.squareDamping, h / 6.0});
    auto render = [&](std::int16_t* out) {
        integrator.reset();
        for (int s = 0; s < samplesPerNote; ++s) {
            if (s > 0) {
                integrator.advance();
            }
            out[s] = static_cast<std::int16_t>(static_cast<int>(
                integrator.displacements()[static_cast<std::size_t>(model.soundingNode)] * 32767.0));
        }
    };
    samples.resize(static_cast<std::size_t>(24 * samplesPerNote));
    render(samples.data());
    ostrel::WAVEFORMATEX format;
    format.nChannels = 1;
    format.nSamplesPerSec = static_cast<std::uint32_t>(settings.sampleRate);
    const double base =
        ostrel::extractFrequency(format, samples.data(), static_cast<unsigned>(samplesPerNote));
    const double ratio = kivora::NoteGenerator::kFirstNoteHz / base;
    for (int note = 0; note < 24; ++note) {
        integrator.scaleStiffness(note == 0 ? ratio * ratio
                                            : kivora::NoteGenerator::kSemitoneStiffnessFactor);
        render(samples.data() + static_cast<std::ptrdiff_t>(note) * samplesPerNote);
    }
    return base;
}

void BM_DefaultRun(benchmark::State& state) {
    const auto model = static_cast<Model>(state.range(0));
    const auto mode = static_cast<Mode>(state.range(1));
    const muntero::ModelSnapshot snapshot = snapshotOf(model);
    std::vector<std::int16_t> samples;
    for (auto _ : state) {
        if (mode == kReference) {
            benchmark::DoNotOptimize(referenceRun(snapshot, samples));
        } else {
            kivora::NoteGenerator generator;
            generator.setWorkerCount(mode == kSequential ? 1 : 0);
            if (mode == kParallelEightLanes) {
                generator.setKernelChoice(muntero::KernelChoice::avx512);
            }
            generator.configure(kivora::GenerationSettings{}, snapshot);
            benchmark::DoNotOptimize(generator.run());
        }
    }
    state.counters["audio_s/s"] = benchmark::Counter(
        kAudioSecondsPerRun * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(std::string(model == kString ? "string " : "membrane 32x32 ") +
                   (mode == kReference    ? "reference"
                    : mode == kSequential ? "sequential"
                                          : "parallel"));
}
BENCHMARK(BM_DefaultRun)
    ->ArgsProduct({{kString, kMembrane}, {kReference, kSequential, kParallel, kParallelEightLanes}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

// One octave of the 100 x 100 membrane on every core: 13 renders of 0.5 s.
// Args: kernel choice, notes per batch (1: every note alone; 0: the
// generator's choice, one vector of notes a batch).
void BM_BigMembraneOctave(benchmark::State& state) {
    static const muntero::ModelSnapshot snapshot =
        muntero::takeSnapshot(InstrumentKit::makeMembrane(100, 100));
    const auto choice = static_cast<muntero::KernelChoice>(state.range(0));
    const int notesPerBatch = static_cast<int>(state.range(1));
    kivora::GenerationSettings settings;
    settings.octaves = 1;
    int blewUp = 0;
    for (auto _ : state) {
        kivora::NoteGenerator generator;
        generator.setKernelChoice(choice);
        generator.setNotesPerBatch(notesPerBatch);
        generator.configure(settings, snapshot);
        benchmark::DoNotOptimize(generator.run());
        for (int note = 0; note < generator.noteCount(); ++note) {
            blewUp += generator.noteBlewUp(note) ? 1 : 0;
        }
    }
    if (blewUp > 0) {
        state.SkipWithError("a note diverged");
    }
    state.counters["audio_s/s"] =
        benchmark::Counter(13 * 0.5 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(std::string(choice == muntero::KernelChoice::avx2 ? "membrane 100x100, four-lane kernel"
                               : choice == muntero::KernelChoice::avx2Banded
                                   ? "membrane 100x100, banded four-lane kernel"
                               : choice == muntero::KernelChoice::avx512
                                   ? "membrane 100x100, eight-lane kernel"
                                   : "membrane 100x100, banded eight-lane kernel") +
                   (notesPerBatch == 1 ? ", every note alone" : ", tuned notes in batches"));
}
BENCHMARK(BM_BigMembraneOctave)
    ->Args({static_cast<int>(muntero::KernelChoice::avx2), 1})
    ->Args({static_cast<int>(muntero::KernelChoice::avx512), 1})
    ->ArgsProduct({{static_cast<int>(muntero::KernelChoice::avx2Banded),
                    static_cast<int>(muntero::KernelChoice::avx512Banded)},
                   {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime() // every thread's time: a figure other work on the machine disturbs less
    ->UseRealTime()
    ->Iterations(2);

// One Runge-Kutta step of the 32 x 32 (or 100 x 100) membrane with each kernel.
void BM_MembraneStep(benchmark::State& state) {
    const int side = static_cast<int>(state.range(1));
    const muntero::ModelSnapshot snapshot = muntero::takeSnapshot(InstrumentKit::makeMembrane(side, side));
    const double h = 1.0 / 44100;
    const muntero::StepConstants constants{h, 4.0, 0.08, h / 6.0};
    if (state.range(0) == 0) {
        muntero::PlainRungeKutta integrator(snapshot, constants);
        for (auto _ : state) {
            integrator.advance();
        }
        benchmark::DoNotOptimize(integrator.displacements().data());
        state.SetLabel("reference");
    } else {
        const muntero::KernelChoice choices[] = {
            muntero::KernelChoice::plain, muntero::KernelChoice::avx2, muntero::KernelChoice::avx512,
            muntero::KernelChoice::avx2Banded, muntero::KernelChoice::avx512Banded};
        muntero::RungeKuttaKernel kernel(snapshot, constants, choices[state.range(0) - 1]);
        for (auto _ : state) {
            kernel.advance();
        }
        benchmark::DoNotOptimize(kernel.displacements());
        const bool banded = kernel.bandedGroupCount() > 0;
        state.SetLabel(kernel.vectorWidth() == 8 ? (banded ? "banded eight-lane kernel" : "eight-lane kernel")
                       : kernel.vectorWidth() == 4 ? (banded ? "banded four-lane kernel" : "four-lane kernel")
                                                   : "plain kernel");
    }
    state.counters["audio_s/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * h, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MembraneStep)->ArgsProduct({{0, 1, 2, 3, 4, 5}, {32, 100}});

// One step of eight copies of the 32 x 32 (or 100 x 100) membrane in one
// batch; per_copy_us is what one copy costs, to set beside BM_MembraneStep.
void BM_BatchedMembraneStep(benchmark::State& state) {
    const int side = static_cast<int>(state.range(1));
    const muntero::ModelSnapshot snapshot = muntero::takeSnapshot(InstrumentKit::makeMembrane(side, side));
    const double h = 1.0 / 44100;
    const muntero::StepConstants constants{h, 4.0, 0.08, h / 6.0};
    const muntero::KernelChoice choices[] = {muntero::KernelChoice::plain, muntero::KernelChoice::avx2,
                                             muntero::KernelChoice::avx512};
    constexpr int kCopies = 8;
    muntero::BatchedRungeKuttaKernel batch(snapshot, constants, kCopies, choices[state.range(0)]);
    for (auto _ : state) {
        batch.advance();
    }
    benchmark::DoNotOptimize(batch.displacements());
    state.counters["per_copy_us"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kCopies * 1.0e-6,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel(std::string(batch.vectorWidth() == 8   ? "eight-lane"
                               : batch.vectorWidth() == 4 ? "four-lane"
                                                          : "plain") +
                   " batch of 8");
}
BENCHMARK(BM_BatchedMembraneStep)->ArgsProduct({{0, 1, 2}, {32, 100}});

} // namespace

// The tuning check after a default run of the built-in string: 24 notes of
// 500 ms at 44100 Hz, each through 242 resonators, on one thread and on every
// core. audio_s/s is seconds of notes measured per wall-clock second.
void BM_TuningCheck(benchmark::State& state) {
    kivora::NoteGenerator generator;
    generator.configure(kivora::GenerationSettings{}, snapshotOf(kString));
    generator.run();
    const auto threads = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(kivora::measureTuning(generator, threads));
    }
    state.counters["audio_s/s"] =
        benchmark::Counter(24 * 0.5 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(threads == 1 ? "one thread" : "every core");
}
BENCHMARK(BM_TuningCheck)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
