// Generating the bundled membrane from the window against the generator on
// its own, as kivora-cli generate runs it: the same model and the initial
// settings (24 notes of 500 ms at 44100 Hz). The window's run adds the worker
// thread, one posted event per note and the progress dialog; the two times
// should stay within a few per cent of each other.
#include "GenerationRun.h"

#include <kivora/NoteGenerator.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>

#include <QApplication>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

muntero::ModelSnapshot membrane() {
    return muntero::takeSnapshot(
        InstrumentKit::loadModelFile(KIVORA_SOURCE_DIR "/examples/models/struck-membrane.json"));
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
    for (auto _ : state) {
        kivora::NoteGenerator generator;
        generator.configure(kivora::GenerationSettings{}, snapshot);
        benchmark::DoNotOptimize(generator.run());
    }
}
BENCHMARK(generatorAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

void fromTheWindow(benchmark::State& state) {
    application();
    const muntero::ModelSnapshot snapshot = membrane();
    kivora::GenerationRun run(nullptr, [&] { return snapshot; }, {});
    run.setSettingsQuestion([](QWidget*, kivora::GenerationSettings&) { return true; });
    run.setMessageSink([&](QWidget*, const QString& text) { state.SkipWithError(text.toStdString().c_str()); });
    for (auto _ : state) {
        run.generateNotes();
        while (!run.idle()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        // The worker goes on measuring the notes' tuning; that is not the run.
        state.PauseTiming();
        run.shutdown();
        state.ResumeTiming();
    }
}
BENCHMARK(fromTheWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

} // namespace
