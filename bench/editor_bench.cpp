// The model editor on a 10 000-node model (a 100 × 100 membrane): a full
// repaint of the canvas, and the undo command of a drag of 100 selected nodes
// (done and undone, with the shared representation rewritten each time).
#include "editor/ModelCanvas.h"
#include "editor/ModelEditorPane.h"
#include "session/ModelSession.h"

#include <modelkit/Builders.h>

#include <QApplication>
#include <QImage>
#include <QUndoStack>
#include <benchmark/benchmark.h>
#include <memory>
#include <numeric>

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "editor_bench";
    static char* argv[] = {name, nullptr};
    static std::unique_ptr<QApplication> app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return std::make_unique<QApplication>(argc, argv);
    }();
    return *app;
}

// The editor over a session of its own.
struct MembraneEditor {
    MembraneEditor() {
        editor.resize(960, 1000);
        editor.session().replace(
            kivora::ModelDocument::fromRepresentation(InstrumentKit::makeMembrane(100, 100)),
            QStringLiteral("membrane"));
        editor.canvas()->fitToModel();
    }
    kivora::ModelSession session;
    kivora::ModelEditorPane editor{session};
};

std::unique_ptr<MembraneEditor> membraneEditor() {
    application();
    return std::make_unique<MembraneEditor>();
}

void BM_CanvasRepaint10000Nodes(benchmark::State& state) {
    const auto membrane = membraneEditor();
    kivora::ModelEditorPane* editor = &membrane->editor;
    kivora::ModelCanvas* canvas = editor->canvas();
    QImage image(canvas->size(), QImage::Format_RGB32);
    for (auto _ : state) {
        canvas->render(&image);
        benchmark::DoNotOptimize(image.bits());
    }
    state.counters["nodes"] = static_cast<double>(editor->document().nodes.size());
}
BENCHMARK(BM_CanvasRepaint10000Nodes)->Unit(benchmark::kMillisecond);

void BM_DragOf100NodesDoneAndUndone(benchmark::State& state) {
    const auto membrane = membraneEditor();
    kivora::ModelEditorPane* editor = &membrane->editor;
    std::vector<int> selected(100);
    std::iota(selected.begin(), selected.end(), 4000);
    editor->setSelection(selected);
    for (auto _ : state) {
        editor->session().moveNodes(selected, 0.01, 0.02);
        membrane->session.undoStack()->undo();
    }
}
BENCHMARK(BM_DragOf100NodesDoneAndUndone)->Unit(benchmark::kMillisecond);

} // namespace
