// The main window around its panes: the title, the status bar, the layout at
// the usual screen sizes, the recent files and the folders each kind of file
// dialog starts in.
#include "AppTestSupport.h"
#include "analysis/COscillogrammFrame.h"
#include "common/FileChooser.h"
#include "editor/ModelCanvas.h"
#include "editor/ModelEditorPane.h"
#include "piano/CPianoFrame.h"
#include "session/RecentFiles.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"
#include "window/StatusBarInfo.h"
#include "window/WindowTitle.h"

#include <pellamy/SoundStreamDescription.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScopeGuard>
#include <QSettings>
#include <QSplitter>
#include <QSplitterHandle>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <gtest/gtest.h>
#include <vector>

namespace kivora {
namespace {

using test::CapturedMessages;
using test::duoInstrumentPath;
using test::ScriptedFileChooser;

const QString kPluckedString = QStringLiteral(KIVORA_SOURCE_DIR "/examples/models/plucked-string.json");
const QString kEmDash = QStringLiteral("\u2014");

// Two short notes, as a generation run hands them over.
struct GeneratedNotes {
    GeneratedNotes() {
        for (int i = 0; i < 2; ++i) {
            records[i].name = "note" + std::to_string(i + 1);
            records[i].format = {pellamy::kWaveFormatPcm, 1, 22050, 44100, 2, 16, 0};
            records[i].dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
            records[i].data = samples.data();
        }
    }
    std::vector<std::int16_t> samples = std::vector<std::int16_t>(2205, 1000);
    pellamy::SoundStreamDescription records[2];
};

class WindowUxTest : public ::testing::Test {
protected:
    void SetUp() override {
        QApplication::setQuitOnLastWindowClosed(false);
        instrument().setFileChooser(files_.chooser());
        model().setFileChooser(files_.chooser());
        instrument().setUnsavedPrompt([](QWidget*, const QString&) { return UnsavedAnswer::Discard; });
        model().setUnsavedPrompt([](QWidget*, const QString&) { return UnsavedAnswer::Discard; });
    }
    void showAt(int width, int height) {
        frame().resize(width, height);
        frame().show();
        // A pane that adapts to the new size may ask for a second layout pass.
        for (int pass = 0; pass < 3; ++pass)
            QApplication::processEvents();
    }
    InstrumentSession& instrument() { return window_->instrument(); }
    ModelSession& model() { return window_->model(); }
    CMainFrame& frame() { return window_->frame(); }
    QString statusText(const char* name) { return frame().statusBar()->findChild<QLabel*>(name)->text(); }

    CapturedMessages messages_;
    std::unique_ptr<MainWindow> window_ = buildMainWindow();
    ScriptedFileChooser files_;
};

// ------------------------------------------------------------------ title

TEST(WindowTitle, NamesTheModelThenTheInstrumentThenTheProgram) {
    EXPECT_EQ(composeWindowTitle({}, {}), "Kivora");
    EXPECT_EQ(composeWindowTitle({}, "duo.ins"), "duo.ins " + kEmDash + " Kivora");
    EXPECT_EQ(composeWindowTitle("a.json[*]", {}), "a.json[*] " + kEmDash + " Kivora");
    EXPECT_EQ(composeWindowTitle("a.json[*]", "duo.ins*"), "a.json[*], duo.ins* " + kEmDash + " Kivora");
}

TEST_F(WindowUxTest, TheTitleFollowsWhatIsOpenAndWhatIsUnsaved) {
    EXPECT_EQ(frame().windowTitle(), "Kivora");
    ASSERT_TRUE(frame().openFile(duoInstrumentPath()));
    EXPECT_EQ(frame().windowTitle(), "duo.ins " + kEmDash + " Kivora");
    ASSERT_TRUE(frame().openFile(kPluckedString));
    EXPECT_EQ(frame().windowTitle(), "plucked-string.json[*], duo.ins " + kEmDash + " Kivora");
    EXPECT_FALSE(frame().isWindowModified());
    frame().modelEditor()->addNode(0.0, 0.0);
    EXPECT_TRUE(frame().isWindowModified());

    // A generated instrument has no name yet and is unsaved until it is saved.
    GeneratedNotes notes;
    ASSERT_TRUE(instrument().adoptRecords(2, notes.records));
    EXPECT_EQ(frame().windowTitle(), "plucked-string.json[*], Generated instrument* " + kEmDash + " Kivora");
    QTemporaryDir folder;
    ASSERT_TRUE(instrument().saveToFile(folder.filePath("two.ins")));
    EXPECT_EQ(frame().windowTitle(), "plucked-string.json[*], two.ins " + kEmDash + " Kivora");

    // An edited model without a file is named too, so that its mark shows.
    model().newModel();
    EXPECT_EQ(frame().windowTitle(), "two.ins " + kEmDash + " Kivora");
    frame().modelEditor()->addNode(0.0, 0.0);
    EXPECT_EQ(frame().windowTitle(), "Untitled model[*], two.ins " + kEmDash + " Kivora");
}

// ------------------------------------------------------------- status bar

TEST_F(WindowUxTest, TheStatusBarShowsFromTheStartWithAHintThenTheInstrument) {
    showAt(1200, 900);
    QStatusBar* bar = frame().findChild<QStatusBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_TRUE(bar->isVisible());
    EXPECT_GT(bar->height(), 0);
    EXPECT_EQ(statusText("statusHint"), "Open a model (Ctrl+O) or an instrument to begin");
    EXPECT_FALSE(frame().statusInfo()->instrumentInfo()->isVisible());

    const int panesHeight = frame().editorSplitter()->height();
    ASSERT_TRUE(frame().openFile(duoInstrumentPath()));
    QApplication::processEvents();
    EXPECT_EQ(statusText("statusInstrument"),
              QString("duo.ins: %1 sounds").arg(instrument().instrument()->soundCount()));
    EXPECT_TRUE(frame().statusInfo()->instrumentInfo()->isVisible());
    EXPECT_EQ(statusText("statusHint"), "");
    // A message does not change the panes' size.
    bar->showMessage("a transient text");
    QApplication::processEvents();
    EXPECT_EQ(frame().editorSplitter()->height(), panesHeight);
}

TEST_F(WindowUxTest, RecordingShowsWhileItLasts) {
    showAt(1200, 900);
    ASSERT_TRUE(frame().openFile(duoInstrumentPath()));
    QTemporaryDir folder;
    instrument().setMelodyPath(folder.filePath("take.snc"));
    QLabel* recording = frame().statusInfo()->recording();
    EXPECT_FALSE(recording->isVisible());
    instrument().startRecording();
    ASSERT_TRUE(instrument().isRecording());
    EXPECT_TRUE(recording->isVisible());
    EXPECT_EQ(recording->text(), "Recording\u2026");
    instrument().stopRecording();
    EXPECT_FALSE(recording->isVisible());
}

TEST_F(WindowUxTest, ToolbarStatusTipsReachTheStatusBar) {
    showAt(1200, 900);
    QAction* load = frame().pianoFrame()->instrumentActions().value(2);
    ASSERT_NE(load, nullptr);
    ASSERT_FALSE(load->statusTip().isEmpty());
    load->showStatusText(frame().pianoFrame());
    EXPECT_EQ(frame().statusBar()->currentMessage(), load->statusTip());
}

// A warning outlives the status tips of the buttons the pointer crosses and
// goes with the next command.
TEST_F(WindowUxTest, AStatusWarningStaysUntilTheNextCommand) {
    showAt(1200, 900);
    const QString warning = QStringLiteral("song.mid: 1 note on keys the instrument does not cover: 60 (1)");
    emit instrument().statusMessage(warning);
    QToolBar* toolBar = frame().pianoFrame()->toolBar();
    QAction* load = frame().pianoFrame()->loadInstrumentAction();
    QWidget* button = toolBar->widgetForAction(load);
    ASSERT_NE(button, nullptr);
    auto shown = [this, &warning] {
        const auto* note = frame().statusBar()->findChild<QLabel*>(QStringLiteral("statusNote"));
        return frame().statusBar()->currentMessage() == warning ||
               (note != nullptr && note->isVisible() && note->text() == warning);
    };
    ASSERT_TRUE(shown());
    for (int crossing = 0; crossing < 2; ++crossing) {
        QStatusTipEvent enter(load->statusTip());
        QApplication::sendEvent(button, &enter);
        EXPECT_EQ(frame().statusBar()->currentMessage(), load->statusTip())
            << "the tip shows while pointed at";
        QStatusTipEvent leave{QString()};
        QApplication::sendEvent(button, &leave);
        EXPECT_TRUE(shown()) << "crossing " << crossing;
    }
    // Load Instrument, its dialog cancelled: a command all the same.
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_FALSE(shown());
    EXPECT_TRUE(statusText("statusNote").isEmpty());
}

TEST_F(WindowUxTest, ViewStatusBarShowsAndHidesIt) {
    showAt(1200, 900);
    QAction* action = frame().statusBarAction();
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(action->isEnabled());
    EXPECT_TRUE(action->isCheckable());
    EXPECT_TRUE(action->isChecked());
    const int panesHeight = frame().editorSplitter()->height();
    action->trigger();
    QApplication::processEvents();
    EXPECT_FALSE(frame().statusBar()->isVisible());
    EXPECT_GT(frame().editorSplitter()->height(), panesHeight);
    action->trigger();
    QApplication::processEvents();
    EXPECT_TRUE(frame().statusBar()->isVisible());
    EXPECT_EQ(frame().editorSplitter()->height(), panesHeight);
}

// ------------------------------------------------------------------ layout

TEST_F(WindowUxTest, TheCanvasKeepsHalfTheEditorAndNoToolbarOverflows) {
    ASSERT_TRUE(frame().openFile(kPluckedString));
    for (const QSize size : {QSize(1024, 768), QSize(1152, 864), QSize(1280, 1024), QSize(1920, 1080)}) {
        SCOPED_TRACE(QString("%1x%2").arg(size.width()).arg(size.height()).toStdString());
        showAt(size.width(), size.height());
        const int editorWidth = frame().editorPane()->width();
        ModelCanvas* canvas = frame().modelEditor()->canvas();
        EXPECT_GE(canvas->width(), editorWidth / 2);
        // With room to spare the property column is not left squeezed from a smaller size.
        auto* split = qobject_cast<QSplitter*>(canvas->parentWidget());
        ASSERT_NE(split, nullptr);
        if (size.width() >= 1280) {
            EXPECT_GE(split->sizes().value(1), 300);
        }
        for (QToolBar* toolbar : {frame().modelEditor()->findChild<QToolBar*>("editorTools"),
                                  frame().pianoFrame()->findChild<QToolBar*>("pianoToolbar"),
                                  frame().oscillogramFrame()->toolBar()}) {
            ASSERT_NE(toolbar, nullptr);
            SCOPED_TRACE(toolbar->objectName().toStdString());
            // A toolbar too narrow for its buttons hides some behind its extension button.
            auto* extension = toolbar->findChild<QToolButton*>("qt_toolbar_ext_button");
            EXPECT_TRUE(extension == nullptr || !extension->isVisible())
                << toolbar->width() << " wide, wants " << toolbar->sizeHint().width();
        }
    }
}

TEST_F(WindowUxTest, FixedBarsAreFlat) {
    showAt(1200, 900);
    for (QSplitterHandle* bar : {frame().editorSplitter()->handle(1), frame().paneSplitter()->handle(1),
                                 frame().paneSplitter()->handle(3)}) {
        const QImage image = bar->grab().toImage();
        ASSERT_FALSE(image.isNull());
        const QRgb first = image.pixel(0, 0);
        int others = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                others += image.pixel(x, y) != first ? 1 : 0;
        EXPECT_EQ(others, 0) << "a bar shows a grip";
    }
}

// ------------------------------------------------------ files remembered

TEST(RecentFilesList, KeepsTheNewestFirstEachOnceAndAtMostItsCount) {
    RecentFiles recent(QStringLiteral("test/recent"), 3);
    for (const char* name : {"/a/1", "/a/2", "/a/3", "/a/2", "/a/4"})
        recent.add(QString::fromLatin1(name));
    EXPECT_EQ(recent.paths(), QStringList({"/a/4", "/a/2", "/a/3"}));
    // Another object over the same settings sees the same list, as the next run of the program does.
    EXPECT_EQ(RecentFiles(QStringLiteral("test/recent"), 3).paths(), recent.paths());
    recent.remove("/a/2");
    EXPECT_EQ(recent.paths(), QStringList({"/a/4", "/a/3"}));
}

TEST(SettingsLocation, TestsNeverTouchTheUsersSettings) {
    const QString file = QSettings().fileName();
    EXPECT_FALSE(file.startsWith(QDir::homePath() + "/.config")) << file.toStdString();
}

TEST_F(WindowUxTest, RecentModelsAndInstrumentsOutliveTheWindow) {
    ASSERT_TRUE(frame().openFile(duoInstrumentPath()));
    ASSERT_TRUE(frame().openFile(kPluckedString));
    window_.reset();

    // The next run of the program.
    window_ = buildMainWindow();
    EXPECT_EQ(model().recentFiles(), QStringList({kPluckedString}));
    EXPECT_EQ(instrument().recentFiles(), QStringList({duoInstrumentPath()}));
    QMenu* instruments = frame().recentInstrumentsMenu();
    ASSERT_TRUE(instruments->isEnabled());
    ASSERT_EQ(instruments->actions().size(), 1);
    EXPECT_EQ(instruments->actions().front()->text(), "&1 " + QDir::toNativeSeparators(duoInstrumentPath()));
    instruments->actions().front()->trigger();
    EXPECT_EQ(instrument().filePath(), duoInstrumentPath());
    ASSERT_EQ(frame().recentModelsMenu()->actions().size(), 1);
    frame().recentModelsMenu()->actions().front()->trigger();
    EXPECT_EQ(model().filePath(), kPluckedString);
}

TEST_F(WindowUxTest, ARecentFileThatFailsLeavesTheList) {
    QTemporaryDir folder;
    const QString copy = folder.filePath("gone.ins");
    ASSERT_TRUE(frame().openFile(duoInstrumentPath()));
    ASSERT_TRUE(instrument().saveToFile(copy));
    ASSERT_EQ(instrument().recentFiles().front(), copy);
    QFile::remove(copy);
    EXPECT_FALSE(instrument().loadRecentFile(copy));
    EXPECT_EQ(instrument().recentFiles(), QStringList({duoInstrumentPath()}));
    EXPECT_EQ(frame().recentInstrumentsMenu()->actions().size(), 1);
    messages_.texts.clear();
}

TEST(FileKinds, FiltersTellTheKindOfFile) {
    EXPECT_EQ(fileKindOf("Kivora model (*.json)"), FileKind::Model);
    EXPECT_EQ(fileKindOf("insturment file (*.ins)"), FileKind::Instrument);
    EXPECT_EQ(fileKindOf("Melody file(WAV, SNC or MIDI) (*.wav *.snc *.mid *.midi);;All files (*)"),
              FileKind::Melody);
    EXPECT_EQ(fileKindOf("Melody script file (*.snc)"), FileKind::Melody);
    EXPECT_EQ(fileKindOf("SoundFont 2 (*.sf2);;SFZ (*.sfz)"), FileKind::Export);
    EXPECT_EQ(fileKindOf("All files (*)"), FileKind::Other);
}

TEST_F(WindowUxTest, EachKindOfDialogStartsInItsOwnLastFolder) {
    QTemporaryDir models;
    QTemporaryDir instruments;
    const QString savedModel = models.filePath("mine.json");
    const QString savedInstrument = instruments.filePath("mine.ins");
    ASSERT_TRUE(frame().openFile(kPluckedString));
    ASSERT_TRUE(frame().openFile(duoInstrumentPath()));

    // Save As starts with the current name; the first instrument dialog has no folder yet.
    files_.answers = {savedModel, savedInstrument};
    ASSERT_TRUE(model().saveAs());
    ASSERT_TRUE(instrument().save());
    EXPECT_EQ(files_.startPaths, QStringList({kPluckedString, duoInstrumentPath()}));

    // A chooser without a start goes to the folder last used for its kind.
    files_.startPaths.clear();
    files_.answers = {QString(), QString(), QString()};
    model().open();
    instrument().load();
    instrument().fileChooser().saveFile(nullptr, "SoundFont 2 (*.sf2);;SFZ (*.sfz)", "sf2");
    EXPECT_EQ(files_.startPaths, QStringList({models.path(), instruments.path(), QString()}));
    // A cancelled dialog changes nothing.
    EXPECT_EQ(lastFolder(FileKind::Model), models.path());
}

// The real dialogs: Save As proposes the current name in its folder, a dialog
// without a start opens in the folder remembered for its kind.
TEST(FileDialogs, StartWhereTheyAreTold) {
    QTemporaryDir models;
    const QString current = models.filePath("mine.json");
    QString shownFolder;
    QString shownFile;
    const auto look = [&] {
        QTimer::singleShot(5, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            const auto close = qScopeGuard([dialog] {
                if (dialog != nullptr)
                    dialog->reject();
            });
            ASSERT_NE(dialog, nullptr);
            shownFolder = dialog->directory().absolutePath();
            shownFile = dialog->selectedFiles().value(0);
        });
    };
    look();
    EXPECT_EQ(FileChooser::dialogs().saveFile(nullptr, "Kivora model (*.json)", "json", current), QString());
    EXPECT_EQ(shownFolder, models.path());
    EXPECT_EQ(shownFile, current);

    rememberFolder(FileKind::Model, current);
    look();
    FileChooser::dialogs().openFile(nullptr, "Kivora model (*.json)", "json");
    EXPECT_EQ(shownFolder, models.path());
}

} // namespace
} // namespace kivora
