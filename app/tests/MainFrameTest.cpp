#include "AppTestSupport.h"
#include "analysis/CAnalyzatorFrame.h"
#include "analysis/COscillogrammFrame.h"
#include "window/AboutDialog.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/Sound.h>

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSplitterHandle>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace kivora {
namespace {

using test::CapturedMessages;
using test::duoInstrumentPath;

QList<int> listOf(const auto& sizes) {
    return QList<int>(sizes.begin(), sizes.end());
}

// Counts the key events a widget receives.
class KeyCounter : public QObject {
public:
    explicit KeyCounter(QWidget* widget) { widget->installEventFilter(this); }
    int presses = 0;
    int releases = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress)
            ++presses;
        else if (event->type() == QEvent::KeyRelease)
            ++releases;
        return false;
    }
};

class MainFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        frame_.resize(1200, 900);
        frame_.show();
        QApplication::processEvents();
    }
    PaneLayout expectedDefault() const {
        const QSize area = frame_.editorSplitter()->size();
        return defaultPaneLayout(area.width(), area.height(), CMainFrame::kSplitterHandleWidth);
    }
    void doubleClickBar(ExSplitterWnd* splitter, int index) {
        QSplitterHandle* bar = splitter->handle(index);
        QTest::mouseDClick(bar, Qt::LeftButton, {}, bar->rect().center());
    }

    std::unique_ptr<MainWindow> window_ = buildMainWindow();

    CMainFrame& frame_ = window_->frame();
    CapturedMessages messages_;
};

TEST(MainFrameLayout, DefaultLayoutGivesHalfTheWidthAndTheRowsInEighths) {
    const PaneLayout layout = defaultPaneLayout(1280, 960, 4);
    EXPECT_EQ(listOf(layout.columns), QList<int>({640, 1280 - 640 - 4}));
    // The piano takes the rest of its H/4 after the three bars.
    EXPECT_EQ(listOf(layout.rows), QList<int>({480, 120, 120, 960 - 480 - 240 - 12}));
    const PaneLayout small = defaultPaneLayout(10, 5, 4);
    EXPECT_EQ(listOf(small.rows), QList<int>({2, 0, 0, 0}));
    const PaneLayout expanded = expandedPaneLayout(1280, 960, 4);
    EXPECT_EQ(listOf(expanded.columns), QList<int>({0, 1276}));
    EXPECT_EQ(listOf(expanded.rows), QList<int>({948, 0, 0, 0}));
}

TEST_F(MainFrameTest, TheWindowIsKivoraWithItsMenus) {
    EXPECT_EQ(frame_.windowTitle(), "Kivora");
    QStringList titles;
    for (QAction* action : frame_.menuBar()->actions())
        titles << action->text();
    EXPECT_EQ(titles,
              KIVORA_WITH_MIDI
                  ? QStringList({"&File", "&Edit", "&View", "&Instrument", "&Model", "MI&DI Input", "&Help"})
                  : QStringList({"&File", "&Edit", "&View", "&Instrument", "&Model", "&Help"}));
    QStringList edit;
    QGuiApplication::clipboard()->clear(); // nothing to paste
    for (QAction* action : frame_.menuBar()->actions()[1]->menu()->actions()) {
        edit << action->text() + "|" + action->shortcut().toString();
        EXPECT_FALSE(action->isEnabled() && !action->isSeparator());
    }
    // Nothing to undo, to copy or to paste yet.
    EXPECT_EQ(edit, QStringList({"&Undo|Ctrl+Z", "&Redo|Ctrl+Y", "|", "Cu&t|Ctrl+X", "&Copy|Ctrl+C",
                                 "&Paste|Ctrl+V", "&Duplicate|Ctrl+D"}));
    EXPECT_EQ(frame_.instrumentMenu()->actions(), frame_.pianoFrame()->instrumentActions());
}

TEST_F(MainFrameTest, TheAboutBoxNamesTheProgramAndClosesWithOk) {
    QString caption;
    QString text;
    QTimer::singleShot(5, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        const auto close = qScopeGuard([dialog] {
            if (dialog != nullptr)
                dialog->close();
        });
        ASSERT_NE(dialog, nullptr);
        caption = dialog->windowTitle();
        text = dialog->findChild<QLabel*>()->text();
        dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    frame_.showAbout();
    EXPECT_EQ(caption, "About Kivora");
    EXPECT_EQ(text, "Kivora v2.0");
}

TEST_F(MainFrameTest, ResizesRestoreTheDefaultLayout) {
    EXPECT_EQ(frame_.editorSplitter()->size().height(),
              900 - frame_.menuBar()->height() - frame_.statusBar()->height());
    EXPECT_EQ(frame_.editorSplitter()->sizes(), listOf(expectedDefault().columns));
    EXPECT_EQ(frame_.paneSplitter()->sizes(), listOf(expectedDefault().rows));
    EXPECT_EQ(frame_.editorPane()->width(), 600);

    frame_.resize(1000, 700);
    QApplication::processEvents();
    EXPECT_EQ(frame_.editorSplitter()->sizes(), listOf(expectedDefault().columns));
    EXPECT_EQ(frame_.paneSplitter()->sizes(), listOf(expectedDefault().rows));
    EXPECT_EQ(frame_.drawerPane()->height(), frame_.editorSplitter()->height() / 2);
}

TEST_F(MainFrameTest, BarsCannotBeDragged) {
    QSplitterHandle* bar = frame_.editorSplitter()->handle(1);
    const QList<int> before = frame_.editorSplitter()->sizes();
    QTest::mousePress(bar, Qt::LeftButton, {}, QPoint(2, 100));
    QTest::mouseMove(bar, QPoint(-200, 100));
    QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(-200, 100));
    EXPECT_EQ(frame_.editorSplitter()->sizes(), before);
}

TEST_F(MainFrameTest, ADoubleClickOnABarOfTheRightColumnTogglesTheDrawer) {
    const QSize area = frame_.editorSplitter()->size();
    doubleClickBar(frame_.paneSplitter(), 2);
    const PaneLayout expanded =
        expandedPaneLayout(area.width(), area.height(), CMainFrame::kSplitterHandleWidth);
    EXPECT_TRUE(frame_.drawerExpanded());
    EXPECT_EQ(frame_.editorSplitter()->sizes(), listOf(expanded.columns));
    EXPECT_EQ(frame_.paneSplitter()->sizes(), listOf(expanded.rows));
    EXPECT_EQ(frame_.drawerPane()->width(), area.width() - CMainFrame::kSplitterHandleWidth);

    doubleClickBar(frame_.paneSplitter(), 1);
    EXPECT_FALSE(frame_.drawerExpanded());
    EXPECT_EQ(frame_.paneSplitter()->sizes(), listOf(expectedDefault().rows));

    // The bar between the editor and the column does nothing.
    doubleClickBar(frame_.editorSplitter(), 1);
    EXPECT_FALSE(frame_.drawerExpanded());
    EXPECT_EQ(frame_.editorSplitter()->sizes(), listOf(expectedDefault().columns));
}

TEST_F(MainFrameTest, AResizeWhileExpandedRestoresTheLayoutAndTheNextToggleKeepsIt) {
    doubleClickBar(frame_.paneSplitter(), 1);
    ASSERT_TRUE(frame_.drawerExpanded());
    frame_.resize(1100, 800);
    QApplication::processEvents();
    EXPECT_EQ(frame_.paneSplitter()->sizes(), listOf(expectedDefault().rows));
    EXPECT_TRUE(frame_.drawerExpanded());
    doubleClickBar(frame_.paneSplitter(), 1); // the restoring branch: no visible change
    EXPECT_FALSE(frame_.drawerExpanded());
    EXPECT_EQ(frame_.paneSplitter()->sizes(), listOf(expectedDefault().rows));
    EXPECT_EQ(frame_.editorSplitter()->sizes(), listOf(expectedDefault().columns));
}

TEST_F(MainFrameTest, AReplacedDrawerTakesItsPlace) {
    auto* drawer = new QWidget;
    frame_.setDrawerPane(drawer);
    EXPECT_EQ(frame_.drawerPane(), drawer);
    EXPECT_EQ(frame_.paneSplitter()->sizes(), listOf(expectedDefault().rows));
}

TEST_F(MainFrameTest, APressReachesTheEditorAndThePianoAReleaseOnlyThePiano) {
    KeyCounter editor(frame_.editorPane());
    KeyCounter piano(frame_.pianoView());
    // Wherever the focus is in the window: the frame, the oscillogram.
    for (QWidget* target :
         {static_cast<QWidget*>(&frame_), static_cast<QWidget*>(frame_.oscillogramFrame())}) {
        QTest::keyPress(target, Qt::Key_Q);
        QTest::keyRelease(target, Qt::Key_Q);
    }
    QTest::keyPress(frame_.pianoView(), Qt::Key_W);
    QTest::keyRelease(frame_.pianoView(), Qt::Key_W);
    EXPECT_EQ(editor.presses, 3);
    EXPECT_EQ(editor.releases, 0);
    EXPECT_EQ(piano.presses, 3);
    EXPECT_EQ(piano.releases, 3);
}

TEST_F(MainFrameTest, ATextFieldKeepsItsKeys) {
    auto* field = new QLineEdit(frame_.editorPane());
    field->show();
    KeyCounter piano(frame_.pianoView());
    frame_.activateWindow();
    field->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame_));
    QTest::keyClicks(field, "qwe");
    EXPECT_EQ(field->text(), "qwe");
    EXPECT_EQ(piano.presses, 0);
    EXPECT_EQ(piano.releases, 0);
}

TEST_F(MainFrameTest, KeysPlayTheLoadedInstrumentAndShowTheNote) {
    ASSERT_TRUE(frame_.openFile(duoInstrumentPath())) << messages_.texts.join('\n').toStdString();
    // The first sound is shown as a run's first note would be.
    COscillogrammWnd* oscillogram = frame_.oscillogramFrame()->view();
    ASSERT_TRUE(oscillogram->hasWaveform());
    EXPECT_EQ(oscillogram->sampleCount(), 11025);

    QTest::keyPress(&frame_, Qt::Key_E);
    const pellamy::Sound* high = frame_.instrumentSession().instrument()->soundFor("high");
    EXPECT_TRUE(high->isPlaying());
    EXPECT_EQ(oscillogram->samples(), frame_.instrumentSession().samplesOf("low").samples);
    QApplication::processEvents(); // the note is shown after the key's handling
    EXPECT_EQ(oscillogram->samples(), frame_.instrumentSession().samplesOf("high").samples);
    EXPECT_NE(frame_.instrumentSession().samplesOf("high").samples,
              frame_.instrumentSession().samplesOf("low").samples);
    QTest::keyRelease(&frame_, Qt::Key_E);
    EXPECT_FALSE(high->isPlaying());
}

TEST_F(MainFrameTest, EditAndMenuKeysPlayNoNoteAndTabMovesTheFocus) {
    // 24 notes: every piano key, Z, X, C and V among them, plays one.
    std::vector<std::int16_t> samples(2205, 1000);
    std::vector<pellamy::SoundStreamDescription> records(24);
    for (std::size_t i = 0; i < records.size(); ++i) {
        records[i].name = "n" + std::to_string(i);
        records[i].format = {pellamy::kWaveFormatPcm, 1, 22050, 44100, 2, 16, 0};
        records[i].dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
        records[i].data = samples.data();
    }
    CPianoView* piano = frame_.pianoView();
    InstrumentSession& session = frame_.instrumentSession();
    ASSERT_TRUE(session.adoptRecords(static_cast<int>(records.size()), records.data()));
    const auto anyPlaying = [&session] {
        const pellamy::InstrumentModel& model = *session.instrument();
        for (std::size_t i = 0; i < model.soundCount(); ++i)
            if (model.soundFor(model.aliasAt(i))->isPlaying())
                return true;
        return false;
    };
    frame_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame_));

    // Through the window and straight at the piano; Copy, Cut and Paste are disabled.
    for (QWidget* target : {static_cast<QWidget*>(&frame_), static_cast<QWidget*>(piano)}) {
        for (const Qt::Key key : {Qt::Key_C, Qt::Key_X, Qt::Key_V, Qt::Key_Z})
            QTest::keyPress(target, key, Qt::ControlModifier);
        QTest::keyPress(target, Qt::Key_Q, Qt::AltModifier);
        QTest::keyPress(target, Qt::Key_Tab);
        EXPECT_FALSE(anyPlaying()) << target->metaObject()->className();
    }
    QTest::keyPress(&frame_, Qt::Key_C);
    EXPECT_TRUE(anyPlaying()); // the key itself still plays

    auto* field = new QLineEdit(frame_.editorPane()); // a widget that takes the focus by Tab
    field->show();
    piano->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), piano);
    QTest::keyClick(piano, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), field);
}

TEST_F(MainFrameTest, LosingTheFocusReleasesHeldNotes) {
    ASSERT_TRUE(frame_.openFile(duoInstrumentPath()));
    frame_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame_));
    QTest::keyPress(&frame_, Qt::Key_Q);
    const pellamy::Sound* low = frame_.instrumentSession().instrument()->soundFor("low");
    ASSERT_TRUE(low->isPlaying());
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    EXPECT_FALSE(low->isPlaying());
}

TEST_F(MainFrameTest, RunResultsReachThePianoTheOscillogramAndTheAnalyzer) {
    // Stereo, the right channel silent: the panes show the first channel.
    std::vector<std::int16_t> samples(2 * 4410);
    for (std::size_t i = 0; i < samples.size(); i += 2)
        samples[i] =
            static_cast<std::int16_t>(10000.0 * std::sin(2 * M_PI * 220.0 * double(i / 2) / 22050.0));
    pellamy::SoundStreamDescription record;
    record.name = "C3";
    record.format = {pellamy::kWaveFormatPcm, 2, 22050, 88200, 4, 16, 0};
    record.dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    record.data = samples.data();
    frame_.pianoFrame()->setCommandsEnabled(false);
    bool handedOver = false;
    frame_.deliverRunResults(1, &record, [&] { handedOver = true; });
    // The instrument is made off the interface thread: the piano waits for it.
    EXPECT_FALSE(frame_.pianoFrame()->commandsEnabled());
    EXPECT_TRUE(QTest::qWaitFor([&] { return handedOver; }, 20000));
    EXPECT_TRUE(frame_.instrumentSession().isLoaded());
    EXPECT_TRUE(frame_.pianoFrame()->commandsEnabled());
    EXPECT_EQ(frame_.oscillogramFrame()->view()->sampleCount(), 4410);
    CAnalyzatorWnd* analyzer = frame_.analyzerFrame()->view();
    EXPECT_TRUE(QTest::qWaitFor([analyzer] { return analyzer->hasSpectrum(); }, 20000));
    EXPECT_NEAR(analyzer->spectrum().dominantHz, 220.0, 0.5);
}

TEST_F(MainFrameTest, OnlyInstrumentAndModelFilesOpenFromTheCommandLine) {
    EXPECT_FALSE(frame_.openFile("notes.txt"));
    EXPECT_EQ(messages_.texts.size(), 1);
    EXPECT_FALSE(frame_.openFile("/nonexistent.ins"));
    EXPECT_EQ(messages_.texts.last(),
              "Can't open instrument file /nonexistent.ins: No such file or directory");
}

} // namespace
} // namespace kivora
