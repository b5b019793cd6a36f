// The generation run's side of the main frame: the piano's requests
// (WM_GENERATE_NOTES, WM_GENERATE_SINGLE) start a GenerationRun, whose
// notes (WM_NOTE_DONE) and cancel (WM_CANCEL_GENERATION) reach the run
// itself; at the end of a run the frame delivers the run's records.
#include "MainFrameGeneration.h"

#include "AnalyzerFrame.h"
#include "EngineGuard.h"
#include "GenerationRun.h"
#include "MainFrame.h"
#include "WindowMessages.h"

#include <modelkit/ModelFile.h>
#include <modelkit/Representation.h>
#include <muntero/ModelSnapshot.h>

#include <QAction>
#include <QCoreApplication>
#include <QFileDialog>

namespace kivora {

namespace {

// Holds the model as a child of the frame, found by its name (it has no
// meta-object of its own for findChild to tell it apart by).
class FrameModel : public QObject {
public:
    explicit FrameModel(QObject* parent) : QObject(parent) { setObjectName(QStringLiteral("generationModel")); }
    InstrumentKit::Representation model;
};

FrameModel& frameModel(CMainFrame& frame) {
    auto* holder = dynamic_cast<FrameModel*>(
        frame.findChild<QObject*>(QStringLiteral("generationModel"), Qt::FindDirectChildrenOnly));
    if (holder == nullptr) {
        holder = new FrameModel(&frame);
    }
    return *holder;
}

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
        FrameModel& holder = frameModel(frame);
        run = new GenerationRun(
            &frame, [&holder] { return muntero::takeSnapshot(holder.model); }, targetsOf(frame));
    }
    return *run;
}

InstrumentKit::Representation& modelOf(CMainFrame& frame) {
    return frameModel(frame).model;
}

bool openModelFile(CMainFrame& frame, const QString& path) {
    try {
        modelOf(frame) = InstrumentKit::loadModelFile(path.toStdString());
        return true;
    } catch (const std::exception& failure) {
        showMessage(&frame, QString::fromLocal8Bit(failure.what()));
        return false;
    }
}

void installGeneration(CMainFrame& frame) {
    generationRunOf(frame);
    frame.setEditorCommands(
        [&frame] {
            const QString path = QFileDialog::getOpenFileName(&frame, QString(), QString(),
                                                              QStringLiteral("Kivora model (*.json)"));
            if (!path.isEmpty()) {
                openModelFile(frame, path);
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
