// The instrument session in the window: unsaved instruments are asked about
// before they would be lost, and a recording ends rendered, never cut off.
#include "session/InstrumentSession.h"

#include "AppTestSupport.h"
#include "generation/GenerationRun.h"
#include "piano/CPianoFrame.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace kivora {
namespace {

using test::CapturedMessages;
using test::duoInstrumentPath;
using test::ScriptedFileChooser;

// Two short generated notes, as a run hands them over.
struct GeneratedNotes {
    GeneratedNotes() {
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<std::int16_t>((i % 50) * 400 - 10000);
        for (int i = 0; i < 2; ++i) {
            records[i].name = "note" + std::to_string(i + 1);
            records[i].format = {pellamy::kWaveFormatPcm, 1, 22050, 44100, 2, 16, 0};
            records[i].dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
            records[i].data = samples.data();
        }
    }
    std::vector<std::int16_t> samples = std::vector<std::int16_t>(2205);
    pellamy::SoundStreamDescription records[2];
};

class InstrumentSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        QApplication::setQuitOnLastWindowClosed(false);
        session().setFileChooser(files_.chooser());
        session().setUnsavedPrompt([this](QWidget*, const QString& question) {
            questions_ << question;
            return answer_;
        });
        frame().generationRun().setSettingsQuestion([this](QWidget*, GenerationSettings&) {
            ++runsAsked_;
            return false;
        });
        ASSERT_TRUE(
            frame().openFile(QStringLiteral(KIVORA_SOURCE_DIR "/examples/models/plucked-string.json")));
    }
    InstrumentSession& session() { return window_->instrument(); }
    CMainFrame& frame() { return window_->frame(); }
    void generateTwoNotes() { ASSERT_TRUE(session().adoptRecords(2, notes_.records)); }

    CapturedMessages messages_;
    // Before the window: an instrument made from them in the background reads
    // them until the window has gone.
    GeneratedNotes notes_;
    std::unique_ptr<MainWindow> window_ = buildMainWindow();
    ScriptedFileChooser files_;
    QStringList questions_;
    UnsavedAnswer answer_ = UnsavedAnswer::Cancel;
    int runsAsked_ = 0;
};

TEST_F(InstrumentSessionTest, AGeneratedInstrumentIsAskedAboutBeforeALoadARunOrExit) {
    generateTwoNotes();
    EXPECT_TRUE(session().isModified());

    // Cancel keeps it, whatever would have replaced it.
    files_.answers = {duoInstrumentPath()};
    frame().pianoFrame()->loadInstrumentAction()->trigger();
    frame().pianoFrame()->generateNotesAction()->trigger();
    EXPECT_FALSE(frame().close());
    EXPECT_EQ(questions_.size(), 3);
    EXPECT_EQ(questions_.front(), "The generated instrument has not been saved. Save it?");
    EXPECT_EQ(session().firstAlias(), "note1");
    EXPECT_EQ(runsAsked_, 0);
    EXPECT_EQ(files_.answers.size(), 1) << "no file was asked for";

    // Save writes it first; then the load goes on.
    QTemporaryDir folder;
    answer_ = UnsavedAnswer::Save;
    files_.answers = {folder.filePath("kept.ins"), duoInstrumentPath()};
    frame().pianoFrame()->loadInstrumentAction()->trigger();
    EXPECT_TRUE(QFile::exists(folder.filePath("kept.ins")));
    EXPECT_EQ(session().firstAlias(), "low");
    EXPECT_FALSE(session().isModified());

    // A loaded (saved) instrument is replaced without a question; Discard lets a run go on.
    questions_.clear();
    frame().pianoFrame()->generateNotesAction()->trigger();
    EXPECT_TRUE(questions_.isEmpty());
    EXPECT_EQ(runsAsked_, 1);
    generateTwoNotes();
    answer_ = UnsavedAnswer::Discard;
    frame().pianoFrame()->generateNotesAction()->trigger();
    EXPECT_EQ(runsAsked_, 2);
    EXPECT_TRUE(frame().close());
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
}

TEST_F(InstrumentSessionTest, ARecordingEndsRenderedWhenItsInstrumentIsReplaced) {
    QTemporaryDir folder;
    QSignalSpy status(&session(), &InstrumentSession::statusMessage);
    ASSERT_TRUE(session().loadFile(duoInstrumentPath()));
    for (const bool byRun : {false, true}) {
        const QString script = folder.filePath(byRun ? "by-run.snc" : "by-load.snc");
        session().setMelodyPath(script);
        session().startRecording();
        ASSERT_TRUE(session().isRecording());
        QTest::keyClick(frame().pianoView(), Qt::Key_Q);
        status.clear();
        if (byRun)
            frame().deliverRunResults(2, notes_.records);
        else
            ASSERT_TRUE(session().loadFile(duoInstrumentPath()));
        EXPECT_FALSE(session().isRecording());
        const QString wav = script.left(script.size() - 4) + ".wav";
        EXPECT_TRUE(QFile::exists(wav)) << wav.toStdString();
        ASSERT_FALSE(status.isEmpty());
        EXPECT_TRUE(status.front().front().toString().contains(wav))
            << status.front().front().toString().toStdString();
        answer_ = UnsavedAnswer::Discard;
    }
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
}

// The hand-over off the interface thread is one of the window's background
// jobs: counted with them, one at a time, and installed at once on demand.
TEST_F(InstrumentSessionTest, AnInstrumentMadeInTheBackgroundIsOneOfTheWindowsJobs) {
    generateTwoNotes();
    session().setComments({"generated by kivora from an untitled model"});
    test::waitForBackgroundJobs(); // the panes' work on the first instrument
    std::vector<bool> done;
    ASSERT_TRUE(
        session().adoptRecordsInBackground(2, notes_.records, [&](bool loaded) { done.push_back(loaded); }));
    EXPECT_TRUE(session().comments().empty()) << "the old instrument's comments go with it";
    EXPECT_EQ(BackgroundJob::runningCount(), 1);
    EXPECT_FALSE(session().adoptRecordsInBackground(2, notes_.records)) << "one hand-over at a time";
    session().finishAdopting();
    EXPECT_EQ(done, (std::vector<bool>{true}));
    EXPECT_TRUE(session().isLoaded() && session().isModified());
}

} // namespace
} // namespace kivora
