// The generation run's side of the main frame: the piano's requests
// (WM_GENERATE_NOTES, WM_GENERATE_SINGLE) start a GenerationRun, whose
// notes (WM_NOTE_DONE) and cancel (WM_CANCEL_GENERATION) reach the run
// itself; at the end of a run the frame delivers the run's records.
#include "window/MainFrameGeneration.h"

#include "analysis/CAnalyzatorFrame.h"
#include "common/EngineGuard.h"
#include "generation/GenerationRun.h"
#include "window/CMainFrame.h"
#include "window/WindowMessages.h"

#include <modelkit/ModelFile.h>
#include <modelkit/Representation.h>
#include <muntero/ModelSnapshot.h>

#include <QAction>
#include <QCoreApplication>
#include <QFileDialog>

namespace kivora {

namespace {

GenerationTargets targetsOf(CMainFrame& frame) {
    GenerationTargets targets;
    targets.started = [&frame] {
        WindowMessageEvent started(WM_GENERATION_STARTED);
        QCoreApplication::sendEvent(frame.pianoFrame(), &started);
    };
    // The piano, the oscillogram and the analyzer in one delivery.
    targets.instrumentReady = [&frame](int count, const pellamy::SoundStreamDescription* records) {
        frame.deliverRunResults(count, records);
    };
    targets.repaint = [&frame] {
        frame.update();
        for (QWidget* child : frame.findChildren<QWidget*>()) {
            child->update();
        }
    };
    targets.showTuning = [&frame](const QString& summary, const QString& perNote) {
        frame.analyzerFrame()->setToolTip(summary + QLatin1Char('\n') + perNote);
    };
    return targets;
}

} // namespace

GenerationRun& generationRunOf(CMainFrame& frame) {
    auto* run = frame.findChild<GenerationRun*>(QString(), Qt::FindDirectChildrenOnly);
    if (run == nullptr) {
        // Every request takes its snapshot of the frame's one model, the one
        // the drawer shows.
        run = new GenerationRun(
            &frame, [&frame] { return muntero::takeSnapshot(frame.model()); }, targetsOf(frame));
    }
    return *run;
}

void installGeneration(CMainFrame& frame) {
    generationRunOf(frame);
    frame.setEditorCommands(
        [&frame] {
            const QString path = QFileDialog::getOpenFileName(&frame, QString(), QString(),
                                                              QStringLiteral("Kivora model (*.json)"));
            if (!path.isEmpty()) {
                frame.openModelFile(path);
            }
        },
        {});
}

bool CMainFrame::handleGenerationMessage(QEvent* event) {
    GenerationRun& run = generationRunOf(*this);
    switch (static_cast<int>(event->type())) {
    case WM_GENERATE_NOTES:
        run.generateNotes();
        return true;
    case WM_GENERATE_SINGLE:
        run.generateSingle();
        return true;
    case WM_CANCEL_GENERATION:
        run.cancel();
        return true;
    default:
        return false;
    }
}

} // namespace kivora
