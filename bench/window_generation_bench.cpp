// Generating the bundled membrane from the window against the generator on
// its own, as kivora-cli generate runs it: the same model and the initial
// settings (24 notes of 500 ms at 44100 Hz). The window's run adds the worker
// thread, one posted event per note and the progress dialog; the two times
// should stay within a few per cent of each other. On a shared machine run
// them interleaved:
//   window_generation_bench --benchmark_repetitions=6 --benchmark_enable_random_interleaving=true
#include "common/EngineGuard.h"
#include "generation/GenerationRun.h"

#include <kivora/NoteGenerator.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>

#include <QApplication>
#include <benchmark/benchmark.h>
#include <ctime>
#include <memory>

namespace {

muntero::ModelSnapshot membrane() {
    return muntero::takeSnapshot(
        InstrumentKit::loadModelFile(KIVORA_SOURCE_DIR "/examples/models/struck-membrane.json"));
}

// CPU time of every thread of the process: a measure of the work done that
// other programs on a loaded machine disturb far less than the wall clock.
double processCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

QApplication& application() {
    static int argc = 1;
    static char name[] = "window_generation_bench";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static QApplication app(argc, argv);
    return app;
}

void generatorAlone(benchmark::State& state) {
    const muntero::ModelSnapshot snapshot = membrane();
    double cpuMs = 0.0;
    for (auto _ : state) {
        const double before = processCpuMs();
        kivora::NoteGenerator generator;
        generator.configure(kivora::GenerationSettings{}, snapshot);
        benchmark::DoNotOptimize(generator.run());
        cpuMs += processCpuMs() - before;
    }
    state.counters["process_cpu_ms"] = benchmark::Counter(cpuMs, benchmark::Counter::kAvgIterations);
}
BENCHMARK(generatorAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

void fromTheWindow(benchmark::State& state) {
    application();
    const muntero::ModelSnapshot snapshot = membrane();
    kivora::GenerationRun run(nullptr, [&] { return snapshot; }, {});
    run.setSettingsQuestion([](QWidget*, kivora::GenerationSettings&) { return true; });
    const kivora::MessageHandler previous = kivora::setMessageHandler(
        [&](QWidget*, const QString& text) { state.SkipWithError(text.toStdString().c_str()); });
    double cpuMs = 0.0;
    for (auto _ : state) {
        const double before = processCpuMs();
        run.generateNotes();
        while (!run.idle()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        cpuMs += processCpuMs() - before;
        // The worker goes on measuring the notes' tuning; that is not the run.
        state.PauseTiming();
        run.shutdown();
        state.ResumeTiming();
    }
    kivora::setMessageHandler(previous);
    state.counters["process_cpu_ms"] = benchmark::Counter(cpuMs, benchmark::Counter::kAvgIterations);
}
BENCHMARK(fromTheWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

} // namespace
