// A generation run through the real main frame: a model file opened, the
// piano's toolbar command, the settings dialog, and the piano, oscillogram
// and analyzer at the end.

#include "GenerationTestSupport.h"
#include "analysis/CAnalyzatorFrame.h"
#include "common/EngineGuard.h"
#include "common/FileChooser.h"
#include "generation/GenerationRun.h"
#include "generation/RunProvenance.h"
#include "generation/SoundPropertiesDialog.h"
#include "piano/CPianoFrame.h"
#include "session/InstrumentSession.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"

#include <kivora/GenerationReport.h>
#include <kivora/NoteTuning.h>
#include <modelkit/ModelFile.h>
#include <pellamy/InstrumentModel.h>

#include <QAbstractButton>
#include <QAction>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <atomic>
#include <thread>

namespace kivora {
namespace {

const QString kPluckedString = QStringLiteral(KIVORA_SOURCE_DIR "/examples/models/plucked-string.json");

// Answers the next "Create Razuviv" with one octave of 100 ms notes at 8000 Hz.
void answerOneShortOctave(const char* durationMs = "100") {
    testing::answerNextModal([durationMs](QWidget* shown) {
        auto* dialog = qobject_cast<SoundPropertiesDialog*>(shown);
        ASSERT_NE(dialog, nullptr);
        static_cast<QAbstractButton*>(dialog->control(SoundPropertiesDialog::kOctaves1))->click();
        static_cast<QAbstractButton*>(dialog->control(SoundPropertiesDialog::kRate8000))->click();
        static_cast<QLineEdit*>(dialog->control(SoundPropertiesDialog::kDurationEdit))->setText(durationMs);
        static_cast<QAbstractButton*>(dialog->control(SoundPropertiesDialog::kGenerateButton))->click();
    });
}

TEST(MainFrameGeneration, AModelFileGeneratedFromTheToolbarBecomesTheInstrument) {
    const std::unique_ptr<MainWindow> window = buildMainWindow();
    CMainFrame& frame = window->frame();
    ASSERT_TRUE(frame.openFile(kPluckedString));
    GenerationRun& run = frame.generationRun();

    answerOneShortOctave();
    frame.pianoFrame()->generateNotesAction()->trigger();
    ASSERT_TRUE(testing::processEventsUntil([&] { return !run.idle(); }));
    EXPECT_FALSE(frame.pianoFrame()->commandsEnabled()) << "the piano's commands wait for the run";
    ASSERT_TRUE(testing::processEventsUntil([&] { return run.idle() && !run.finishing(); }));

    EXPECT_EQ(run.notesDone(), 12);
    EXPECT_TRUE(frame.instrumentSession().isLoaded());
    EXPECT_TRUE(frame.pianoFrame()->commandsEnabled());
    EXPECT_TRUE(frame.pianoFrame()->generateNotesAction()->isEnabled());
    EXPECT_EQ(run.generator().settings().sampleRate, 8000);
    ASSERT_TRUE(testing::processEventsUntil([&] { return !frame.analyzerFrame()->toolTip().isEmpty(); }));
    EXPECT_TRUE(frame.analyzerFrame()->toolTip().startsWith("Tuning: at most "));
}

// After the last note the instrument is made and the notes are measured off
// the interface thread, and the progress dialog says which is being done.
TEST(MainFrameGeneration, TheWorkAfterTheLastNoteLeavesTheWindowLiveAndShowsWhatItDoes) {
    const std::unique_ptr<MainWindow> window = buildMainWindow();
    CMainFrame& frame = window->frame();
    ASSERT_TRUE(frame.openFile(kPluckedString));
    GenerationRun& run = frame.generationRun();
    const CProgressDialogNonModal& progress = run.progressDialog();
    // The window at the first event it handles after the records went out.
    struct {
        bool handled = false;
        bool loaded = true;
        bool commandsEnabled = true;
        bool dialogShown = false;
        QString status;
    } next;
    QObject::connect(&run, &GenerationRun::instrumentReady, &run, [&] {
        QMetaObject::invokeMethod(
            &run,
            [&] {
                next = {true, frame.instrumentSession().isLoaded(), frame.pianoFrame()->commandsEnabled(),
                        progress.isVisible(), progress.statusText()};
            },
            Qt::QueuedConnection);
    });
    QStringList statuses;
    QObject::connect(progress.findChild<QLineEdit*>(), &QLineEdit::textChanged,
                     [&](const QString& text) { statuses << text; });

    answerOneShortOctave("1500");
    frame.pianoFrame()->generateNotesAction()->trigger();
    ASSERT_TRUE(testing::processEventsUntil([&] { return next.handled; }));
    EXPECT_FALSE(next.loaded) << "the instrument was made before the window handled another event";
    EXPECT_FALSE(next.commandsEnabled);
    EXPECT_TRUE(next.dialogShown);
    EXPECT_TRUE(next.status.startsWith("Preparing the instrument...")) << next.status.toStdString();

    ASSERT_TRUE(testing::processEventsUntil([&] { return !run.finishing(); }));
    EXPECT_TRUE(frame.instrumentSession().isLoaded());
    EXPECT_TRUE(frame.pianoFrame()->commandsEnabled());
    EXPECT_FALSE(progress.isVisible());
    EXPECT_TRUE(frame.analyzerFrame()->toolTip().startsWith("Tuning: at most "));
    // Each note measured is counted.
    for (int note = 1; note <= 12; ++note) {
        const QRegularExpression counted(QStringLiteral("\\.\\.\\. %1/12 notes measured$").arg(note));
        EXPECT_FALSE(statuses.filter(counted).isEmpty()) << note << "\n" << statuses.join('\n').toStdString();
    }
}

TEST(MainFrameGeneration, CancelBeforeTheFirstNoteKeepsThePreviousInstrument) {
    const std::unique_ptr<MainWindow> window = buildMainWindow();
    CMainFrame& frame = window->frame();
    ASSERT_TRUE(frame.openFile(kPluckedString));
    ASSERT_TRUE(frame.openFile(QStringLiteral(KIVORA_SOURCE_DIR "/examples/instruments/duo.ins")));
    GenerationRun& run = frame.generationRun();
    std::atomic<bool> measuring{false};
    NoteGenerator& generator = run.generator();
    generator.setFrequencyMeter([&](const pellamy::WAVEFORMATEX&, const std::int16_t*, unsigned) {
        measuring = true;
        while (generator.stopRequested.load() == 0) {
            std::this_thread::yield();
        }
        return 100.0;
    });

    answerOneShortOctave();
    frame.pianoFrame()->generateNotesAction()->trigger();
    ASSERT_TRUE(testing::processEventsUntil([&] { return measuring.load(); }));
    run.progressDialog().cancelButton()->click();
    EXPECT_TRUE(run.idle());
    EXPECT_EQ(frame.instrumentSession().firstAlias(), "low") << "the instrument loaded before the run";
    EXPECT_TRUE(frame.pianoFrame()->commandsEnabled());
}

// The run's instrument replaces the piano's when it ends: nothing else is
// loaded meanwhile, whichever way is tried.
TEST(MainFrameGeneration, NoWayLoadsAnInstrumentWhileARunGenerates) {
    const std::unique_ptr<MainWindow> window = buildMainWindow();
    CMainFrame& frame = window->frame();
    const QString duo = QStringLiteral(KIVORA_SOURCE_DIR "/examples/instruments/duo.ins");
    ASSERT_TRUE(frame.openFile(kPluckedString));
    ASSERT_TRUE(frame.openFile(duo));
    QMenu* recent = frame.recentInstrumentsMenu();
    ASSERT_FALSE(recent->actions().isEmpty());
    ASSERT_TRUE(recent->isEnabled());
    GenerationRun& run = frame.generationRun();
    std::atomic<bool> measuring{false};
    NoteGenerator& generator = run.generator();
    generator.setFrequencyMeter([&](const pellamy::WAVEFORMATEX&, const std::int16_t*, unsigned) {
        measuring = true;
        while (generator.stopRequested.load() == 0) {
            std::this_thread::yield();
        }
        return 100.0;
    });
    answerOneShortOctave();
    frame.pianoFrame()->generateNotesAction()->trigger();
    ASSERT_TRUE(testing::processEventsUntil([&] { return measuring.load(); }));

    QSignalSpy loads(&frame.instrumentSession(), &InstrumentSession::instrumentChanged);
    EXPECT_FALSE(frame.pianoFrame()->loadInstrumentAction()->isEnabled());
    EXPECT_FALSE(recent->isEnabled());
    for (QAction* entry : recent->actions()) {
        EXPECT_FALSE(entry->isEnabled());
        entry->trigger(); // as a key would, were it not disabled
    }
    QStringList shown;
    const MessageHandler previous = setMessageHandler([&](QWidget*, const QString& text) { shown << text; });
    EXPECT_FALSE(frame.openFile(duo));
    setMessageHandler(previous);
    EXPECT_EQ(loads.size(), 0);
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].contains("duo.ins")) << shown[0].toStdString();

    run.progressDialog().cancelButton()->click();
    EXPECT_TRUE(recent->isEnabled()) << "the run ended";
    EXPECT_TRUE(recent->actions().value(0)->isEnabled());
}

// A run's end clears the analyzer to white until the new note's spectrum
// arrives: the one shown belongs to the instrument the run replaced.
TEST(MainFrameGeneration, TheAnalyzerIsWhiteFromARunsEndUntilTheNewSpectrum) {
    const std::unique_ptr<MainWindow> window = buildMainWindow();
    CMainFrame& frame = window->frame();
    ASSERT_TRUE(frame.openFile(kPluckedString));
    CAnalyzatorWnd* analyzer = frame.analyzerFrame()->view();
    analyzer->resize(300, 80);
    answerOneShortOctave();
    frame.pianoFrame()->generateNotesAction()->trigger();
    ASSERT_TRUE(testing::processEventsUntil([&] {
        return frame.generationRun().idle() && !frame.generationRun().finishing() &&
               frame.instrumentSession().isLoaded() && analyzer->hasSpectrum();
    }));
    auto nonWhitePixels = [analyzer] {
        const QImage picture = analyzer->grab().toImage();
        int count = 0;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                count += (picture.pixel(x, y) & 0xffffff) != 0xffffff;
        return count;
    };
    ASSERT_GT(nonWhitePixels(), 0) << "the first run's spectrum is drawn";

    // The end of a second run, as the run hands its records over.
    frame.deliverRunResults(12, frame.generationRun().generator().buildDescriptions());
    EXPECT_FALSE(analyzer->hasSpectrum());
    EXPECT_EQ(nonWhitePixels(), 0);
    EXPECT_TRUE(testing::processEventsUntil([&] { return analyzer->hasSpectrum(); }));
}

TEST(MainFrameGeneration, ClosingDuringARunWaitsForTheWorkerBeforeThePanesGo) {
    std::atomic<bool> measuring{false};
    std::atomic<bool> left{false};
    bool pianoWentFirst = false;
    {
        const std::unique_ptr<MainWindow> window = buildMainWindow();
        CMainFrame& frame = window->frame();
        ASSERT_TRUE(frame.openFile(kPluckedString));
        NoteGenerator& generator = frame.generationRun().generator();
        generator.setFrequencyMeter([&](const pellamy::WAVEFORMATEX&, const std::int16_t*, unsigned) {
            measuring = true;
            while (generator.stopRequested.load() == 0) {
                std::this_thread::yield();
            }
            left = true;
            return 100.0;
        });
        QObject::connect(frame.pianoFrame(), &QObject::destroyed, [&] { pianoWentFirst = !left.load(); });
        answerOneShortOctave();
        frame.pianoFrame()->generateNotesAction()->trigger();
        ASSERT_TRUE(testing::processEventsUntil([&] { return measuring.load(); }));
    }
    EXPECT_TRUE(left.load());
    EXPECT_FALSE(pianoWentFirst) << "a pane was destroyed while the worker still ran";
}

// What `kivora-cli generate` writes for the model file and settings, from a
// generator of its own: the window's run shares no state with it.
std::vector<std::string> commentsAsGenerateWrites(const QString& modelPath,
                                                  const GenerationSettings& settings) {
    NoteGenerator generator;
    generator.configure(settings, muntero::takeSnapshot(InstrumentKit::loadModelFile(narrowPath(modelPath))));
    EXPECT_EQ(generator.run(), 0);
    std::vector<NoteTuning> tuning;
    if (settings.octaves > 0 && generator.baseFrequency() > 0.0)
        tuning = measureTuning(generator);
    return provenanceComments("plucked-string.json", sha256HexOfFile(narrowPath(modelPath)),
                              reportOf(generator, std::move(tuning)));
}

// A generated instrument saved from the window says where it came from as the
// command's does: after a run's report in full, before one (or without, as
// for notes handed over by hand here) its model and settings; an instrument
// loaded afterwards keeps what its file says, and says nothing of the run.
TEST(MainFrameGeneration, AGeneratedInstrumentIsSavedWithTheCommandsProvenance) {
    const std::unique_ptr<MainWindow> window = buildMainWindow();
    CMainFrame& frame = window->frame();
    InstrumentSession& session = frame.instrumentSession();
    ASSERT_TRUE(frame.openFile(kPluckedString));
    GenerationRun& run = frame.generationRun();
    int reports = 0;
    QObject::connect(&run, &GenerationRun::reported, &run, [&] { ++reports; });
    const QTemporaryDir folder;
    auto savedComments = [&](const char* name) {
        EXPECT_TRUE(testing::processEventsUntil([&] { return !run.finishing() && session.isLoaded(); }));
        EXPECT_TRUE(session.saveToFile(folder.filePath(name)));
        return provenanceOf(pellamy::InstrumentModel::leadingCommentsOf(narrowPath(folder.filePath(name))));
    };

    answerOneShortOctave();
    frame.pianoFrame()->generateNotesAction()->trigger();
    ASSERT_TRUE(testing::processEventsUntil([&] { return run.idle() && reports == 1; }));
    const std::vector<std::string> octave =
        commentsAsGenerateWrites(kPluckedString, run.generator().settings());
    ASSERT_EQ(octave.size(), 3u + 1u + 12u) << "model, digest, settings, untuned note, a line a note";
    EXPECT_EQ(savedComments("octave.ins"), octave);

    frame.deliverRunResults(12, run.generator().buildDescriptions());
    EXPECT_EQ(savedComments("unreported.ins"), std::vector<std::string>(octave.begin(), octave.begin() + 3));

    run.generateSingle(); // its report measures the note after the hand-over
    ASSERT_TRUE(testing::processEventsUntil([&] { return run.idle() && reports == 2; }));
    EXPECT_EQ(savedComments("single.ins"),
              commentsAsGenerateWrites(kPluckedString, run.generator().settings()));

    // A generated instrument loaded and saved again keeps where it came from.
    ASSERT_TRUE(session.loadFile(folder.filePath("octave.ins")));
    EXPECT_EQ(savedComments("octave-again.ins"), octave);

    ASSERT_TRUE(session.loadFile(QStringLiteral(KIVORA_SOURCE_DIR "/examples/instruments/duo.ins")));
    EXPECT_TRUE(savedComments("duo.ins").empty());
}

// A model that is not as saved in a file is named without a digest.
TEST(MainFrameGeneration, OnlyAModelAsSavedIsNamedWithItsFilesDigest) {
    const GenerationSettings settings;
    for (const auto& [path, name] : {std::pair{QString(), "an untitled model"},
                                     std::pair{kPluckedString, "plucked-string.json with unsaved changes"}}) {
        const RunProvenance run = runProvenanceOf(path, true, settings);
        EXPECT_EQ(run.modelName, name);
        EXPECT_EQ(run.modelSha256, "");
        EXPECT_EQ(provenanceLines(run, nullptr),
                  (std::vector<std::string>{"generated by kivora from " + run.modelName,
                                            "settings: " + describeSettings(settings)}));
    }
}

TEST(MainFrameGeneration, AnUnreadableModelFileIsReported) {
    const std::unique_ptr<MainWindow> window = buildMainWindow();
    CMainFrame& frame = window->frame();
    QString shown;
    const MessageHandler previous = setMessageHandler([&](QWidget*, const QString& text) { shown = text; });
    EXPECT_FALSE(frame.openFile(QStringLiteral(KIVORA_SOURCE_DIR "/no/such/model.json")));
    setMessageHandler(previous);
    EXPECT_FALSE(shown.isEmpty());
}

} // namespace
} // namespace kivora
