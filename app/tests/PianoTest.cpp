#include "AppTestSupport.h"
#include "piano/CPianoFrame.h"
#include "session/InstrumentSession.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/Sound.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <gtest/gtest.h>

namespace kivora {
namespace {

using test::CapturedMessages;
using test::duoInstrumentPath;
using test::ScriptedFileChooser;

bool isPlaying(const InstrumentSession& session, const std::string& alias) {
    const pellamy::Sound* sound = session.instrument()->soundFor(alias);
    return sound != nullptr && sound->isPlaying();
}

class PianoTest : public ::testing::Test {
protected:
    void SetUp() override {
        frame_.resize(400, 260);
        frame_.show();
        session_.setFileChooser(files_.chooser());
    }
    CPianoView* view() { return frame_.view(); }

    InstrumentSession session_;
    CPianoFrame frame_{session_};
    ScriptedFileChooser files_;
    CapturedMessages messages_;
};

TEST_F(PianoTest, TheToolbarHoldsTheNineCommandsInOrderWithTheirPrompts) {
    QStringList toolTips;
    QStringList statusTips;
    int separators = 0;
    for (QAction* action : frame_.toolBar()->actions()) {
        if (action->isSeparator()) {
            ++separators;
            continue;
        }
        toolTips << action->toolTip();
        statusTips << action->statusTip();
    }
    EXPECT_EQ(separators, 4);
    EXPECT_EQ(toolTips, QStringList({"Generate Single Sound", " Generate Number of Notes",
                                     "Start recording the melody", " STOP RECORDING", "Save Instrument",
                                     "Load Instrument", "Save your melody to file",
                                     " Play Melody from file, WAV, SNC, MIDI", "Play the Model Live"}));
    EXPECT_EQ(statusTips, QStringList({"Single Sound", "Generate Number of Notes",
                                       "Start recording the melody", "STOP RECORDING", "Save Instrument",
                                       "Load Instrument", "Save your melody to file", "Play Melody from file",
                                       "Play the model itself: every key simulates it, retuned"}));
    QStringList menuTexts;
    for (QAction* action : frame_.instrumentActions())
        menuTexts << action->text();
    EXPECT_EQ(menuTexts, QStringList({"&Generate Notes...", "S&ingle Sound", "&Load Instrument...",
                                      "&Save Instrument...", "Choose &Melody File...", "Start &Recording",
                                      "S&top Recording", "&Play Melody...", "Play the Model Li&ve"}));
}

TEST_F(PianoTest, GenerateCommandsAskTheWindowForARun) {
    QSignalSpy notes(&frame_, &CPianoFrame::generateNotesRequested);
    QSignalSpy single(&frame_, &CPianoFrame::singleSoundRequested);
    frame_.generateNotesAction()->trigger();
    frame_.singleSoundAction()->trigger();
    EXPECT_EQ(notes.count(), 1);
    EXPECT_EQ(single.count(), 1);
}

TEST_F(PianoTest, CommandsFollowTheirEnablingRulesThroughALoadAndRecordCycle) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    // No instrument, no melody: generate, load, choose melody and play only.
    EXPECT_TRUE(frame_.generateNotesAction()->isEnabled());
    EXPECT_TRUE(frame_.loadInstrumentAction()->isEnabled());
    EXPECT_FALSE(frame_.saveInstrumentAction()->isEnabled());
    EXPECT_FALSE(frame_.startRecordingAction()->isEnabled());
    EXPECT_FALSE(frame_.stopRecordingAction()->isEnabled());
    EXPECT_TRUE(frame_.chooseMelodyAction()->isEnabled());
    EXPECT_TRUE(frame_.playMelodyAction()->isEnabled());

    files_.answers = {duoInstrumentPath()};
    frame_.loadInstrumentAction()->trigger();
    ASSERT_TRUE(session_.isLoaded()) << messages_.texts.join('\n').toStdString();
    EXPECT_EQ(files_.filters.last(), "insturment file (*.ins)");
    EXPECT_TRUE(frame_.saveInstrumentAction()->isEnabled());
    EXPECT_FALSE(frame_.startRecordingAction()->isEnabled()); // no melody chosen yet

    const QString script = folder.filePath("tune.snc");
    files_.answers = {script};
    frame_.chooseMelodyAction()->trigger();
    EXPECT_EQ(files_.filters.last(), "Melody script file (*.snc)");
    EXPECT_TRUE(frame_.startRecordingAction()->isEnabled());
    EXPECT_FALSE(frame_.stopRecordingAction()->isEnabled());

    frame_.startRecordingAction()->trigger();
    EXPECT_TRUE(session_.isRecording());
    EXPECT_FALSE(frame_.startRecordingAction()->isEnabled());
    EXPECT_TRUE(frame_.stopRecordingAction()->isEnabled());
    QTest::keyClick(view(), Qt::Key_Q);

    frame_.stopRecordingAction()->trigger();
    EXPECT_FALSE(session_.isRecording());
    EXPECT_TRUE(frame_.startRecordingAction()->isEnabled());
    EXPECT_FALSE(frame_.stopRecordingAction()->isEnabled());
    EXPECT_TRUE(QFile::exists(folder.filePath("tune.wav"))) << messages_.texts.join('\n').toStdString();

    // A run in progress disables generating, loading and saving only.
    frame_.setCommandsEnabled(false);
    EXPECT_FALSE(frame_.generateNotesAction()->isEnabled());
    EXPECT_FALSE(frame_.singleSoundAction()->isEnabled());
    EXPECT_FALSE(frame_.loadInstrumentAction()->isEnabled());
    EXPECT_FALSE(frame_.saveInstrumentAction()->isEnabled());
    EXPECT_TRUE(frame_.startRecordingAction()->isEnabled());
    EXPECT_TRUE(frame_.playMelodyAction()->isEnabled());
    // A run cancelled before its first note keeps the instrument.
    EXPECT_FALSE(session_.adoptRecords(0, nullptr));
    frame_.setCommandsEnabled(true);
    EXPECT_TRUE(frame_.generateNotesAction()->isEnabled());
    EXPECT_TRUE(session_.isLoaded());
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
}

TEST_F(PianoTest, AFailedLoadKeepsTheInstrumentThatWasPlaying) {
    ASSERT_TRUE(session_.loadFile(duoInstrumentPath()));
    files_.answers = {QStringLiteral("/nonexistent/none.ins")};
    frame_.loadInstrumentAction()->trigger();
    ASSERT_EQ(messages_.texts.size(), 1);
    EXPECT_EQ(messages_.texts.front(),
              "Can't open instrument file /nonexistent/none.ins: No such file or directory");
    EXPECT_TRUE(session_.isLoaded());
    EXPECT_EQ(session_.filePath(), duoInstrumentPath());
    QTest::keyPress(view(), Qt::Key_Q);
    EXPECT_TRUE(isPlaying(session_, "low"));
}

TEST_F(PianoTest, WithoutAnInstrumentKeysAndClicksDoNothing) {
    QTest::keyClick(view(), Qt::Key_Q);
    QTest::mouseClick(view(), Qt::LeftButton, {}, QPoint(20, view()->height() - 10));
    const QImage picture = view()->grab().toImage();
    EXPECT_EQ(picture.pixelColor(20, view()->height() - 10), view()->palette().window().color());
    EXPECT_TRUE(messages_.texts.isEmpty());
}

TEST_F(PianoTest, ACancelledDialogChangesNothing) {
    ASSERT_TRUE(session_.loadFile(duoInstrumentPath()));
    frame_.loadInstrumentAction()->trigger(); // no answer: cancelled
    EXPECT_TRUE(session_.isLoaded());
    frame_.chooseMelodyAction()->trigger();
    EXPECT_FALSE(frame_.melodyChosen());
}

TEST_F(PianoTest, AnInstrumentFileWithoutSoundsIsRefusedAndTheInstrumentStays) {
    ASSERT_TRUE(session_.loadFile(duoInstrumentPath()));
    const std::string firstAlias = session_.firstAlias();
    QTemporaryDir folder;
    QFile file(folder.filePath("empty.ins"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("-- only a comment\n!begin\n!end\n");
    file.close();
    files_.answers = {file.fileName()};
    frame_.loadInstrumentAction()->trigger();
    ASSERT_EQ(messages_.texts.size(), 1);
    EXPECT_EQ(messages_.texts.front(), file.fileName() + " has no sounds; the current instrument is kept");
    EXPECT_TRUE(session_.isLoaded());
    EXPECT_EQ(session_.firstAlias(), firstAlias);
}

TEST_F(PianoTest, KeysAndTheMouseStartAndReleaseNotes) {
    ASSERT_TRUE(session_.loadFile(duoInstrumentPath()));
    QSignalSpy started(&session_, &InstrumentSession::noteStarted);
    QTest::keyPress(view(), Qt::Key_Q);
    EXPECT_TRUE(isPlaying(session_, "low"));
    QTest::keyPress(view(), Qt::Key_Q, {}, -1); // auto-repeat: still held, nothing new
    QTest::keyRelease(view(), Qt::Key_Q);
    EXPECT_FALSE(isPlaying(session_, "low"));
    QApplication::processEvents();
    ASSERT_EQ(started.count(), 1);
    EXPECT_EQ(started.front().front().toString(), "low");

    // Three keys: white keys 0 and 2, black key 1 between them, over the
    // upper 60 %.
    view()->grab(); // the first paint lays the keyboard out
    const int low = view()->height() - 10;
    QTest::mousePress(view(), Qt::LeftButton, {}, QPoint(30, low));
    EXPECT_TRUE(isPlaying(session_, "low"));
    QTest::mouseMove(view(), QPoint(view()->width() - 30, low));
    EXPECT_FALSE(isPlaying(session_, "low"));
    EXPECT_TRUE(isPlaying(session_, "drum"));
    QTest::mouseRelease(view(), Qt::LeftButton, {}, QPoint(view()->width() - 30, low));
    EXPECT_FALSE(isPlaying(session_, "drum"));
    QApplication::processEvents();
    EXPECT_EQ(started.count(), 3);
}

TEST_F(PianoTest, ReleasingEverythingEndsHeldKeysAndTheMouseNote) {
    ASSERT_TRUE(session_.loadFile(duoInstrumentPath()));
    view()->grab();
    QTest::keyPress(view(), Qt::Key_Q);
    QTest::keyPress(view(), Qt::Key_E);
    QTest::mousePress(view(), Qt::LeftButton, {}, QPoint(view()->width() - 30, view()->height() - 10));
    ASSERT_TRUE(isPlaying(session_, "low") && isPlaying(session_, "high") && isPlaying(session_, "drum"));
    view()->releaseEverything();
    EXPECT_FALSE(isPlaying(session_, "low"));
    EXPECT_FALSE(isPlaying(session_, "high"));
    EXPECT_FALSE(isPlaying(session_, "drum"));
    // The next press is a new note, not a repeat.
    QTest::keyPress(view(), Qt::Key_Q);
    EXPECT_TRUE(isPlaying(session_, "low"));
}

TEST(PianoView, TheKeyboardIsPaintedWithPressedKeysInTheirColour) {
    CapturedMessages messages;
    InstrumentSession session;
    CPianoView piano(session);
    CPianoView* const view = &piano;
    ASSERT_TRUE(session.loadFile(duoInstrumentPath()));
    view->resize(302, 100);
    QImage picture = view->grab().toImage();
    // Inner width 300 over two white keys: 150 each; black key 45 wide from 128, 60 high.
    EXPECT_EQ(picture.pixelColor(60, 80), QColor(255, 255, 255));
    EXPECT_EQ(picture.pixelColor(150, 30), QColor(0, 0, 0));
    EXPECT_EQ(picture.pixelColor(250, 80), QColor(255, 255, 255));
    QTest::keyPress(view, Qt::Key_Q);
    picture = view->grab().toImage();
    EXPECT_EQ(picture.pixelColor(60, 80), QColor(255, 255, 100));
    QTest::keyPress(view, Qt::Key_E);
    picture = view->grab().toImage();
    EXPECT_EQ(picture.pixelColor(150, 30), QColor(200, 150, 60));
}

TEST_F(PianoTest, SavingWritesTheInstrumentAndReportsFailures) {
    ASSERT_TRUE(session_.loadFile(duoInstrumentPath()));
    QTemporaryDir folder;
    files_.answers = {folder.filePath("copy.ins")};
    frame_.saveInstrumentAction()->trigger();
    EXPECT_TRUE(QFile::exists(folder.filePath("copy.ins")));
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
    files_.answers = {QStringLiteral("/nonexistent/folder/copy.ins")};
    frame_.saveInstrumentAction()->trigger();
    EXPECT_EQ(messages_.texts.size(), 1);
    EXPECT_TRUE(session_.isLoaded());
}

TEST_F(PianoTest, PlayingAScriptWithoutAnInstrumentIsRefusedByTheEngine) {
    QTemporaryDir folder;
    const QString script = folder.filePath("tune.snc");
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("low a 0.1\n!wait 0.1\n");
    file.close();
    files_.answers = {script};
    frame_.playMelodyAction()->trigger();
    test::waitForBackgroundJobs();
    EXPECT_EQ(files_.filters.last(),
              "Melody file(WAV, SNC or MIDI) (*.wav *.snc *.mid *.midi);;All files (*)");
    EXPECT_EQ(messages_.texts, QStringList({"No instrument to render with"}));

    // With the instrument the script renders beside itself and plays
    // through the piano's output: SDL's dummy driver opens one device only,
    // which the piano holds.
    messages_.texts.clear();
    ASSERT_TRUE(session_.loadFile(duoInstrumentPath()));
    files_.answers = {script};
    frame_.playMelodyAction()->trigger();
    test::waitForBackgroundJobs();
    EXPECT_TRUE(QFile::exists(folder.filePath("tune.wav")));
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
    EXPECT_TRUE(view()->melodyPlayer().isPlaying());
    EXPECT_FALSE(view()->melodyPlayer().ownsDevice());
    // An ending in capitals renders and plays the same; any other ending,
    // or a name too short to have one, is refused with a message.
    ASSERT_TRUE(QFile::copy(script, folder.filePath("LOUD.SNC")));
    messages_.texts.clear();
    files_.answers = {folder.filePath("LOUD.SNC")};
    frame_.playMelodyAction()->trigger();
    test::waitForBackgroundJobs();
    EXPECT_TRUE(QFile::exists(folder.filePath("LOUD.wav")));
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
    messages_.texts.clear();
    files_.answers = {folder.filePath("tune.txt"), QStringLiteral("a.sn")};
    frame_.playMelodyAction()->trigger();
    test::waitForBackgroundJobs();
    frame_.playMelodyAction()->trigger();
    test::waitForBackgroundJobs();
    EXPECT_EQ(messages_.texts,
              QStringList({"tune.txt is not a melody: Play Melody takes .wav, .snc and .mid files",
                           "a.sn is not a melody: Play Melody takes .wav, .snc and .mid files"}));

    // A script that fails leaves the melody rendered before, and plays nothing.
    QFile melody(folder.filePath("tune.wav"));
    ASSERT_TRUE(melody.open(QIODevice::ReadOnly));
    const QByteArray rendered = melody.readAll();
    melody.close();
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("low a 0.1\nnobody a 0.1\n!wait 0.1\n");
    file.close();
    messages_.texts.clear();
    files_.answers = {script};
    frame_.playMelodyAction()->trigger();
    test::waitForBackgroundJobs();
    ASSERT_EQ(messages_.texts.size(), 1);
    EXPECT_FALSE(messages_.texts.first().startsWith("DirectSoundCreate8"))
        << messages_.texts.first().toStdString();
    ASSERT_TRUE(melody.open(QIODevice::ReadOnly));
    EXPECT_EQ(melody.readAll(), rendered);
}

QByteArray contentsOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Beside a script, Play Melody replaces only its own earlier rendering; any
// other file of that name is asked about, and kept unless the user says.
TEST_F(PianoTest, PlayMelodyReplacesOnlyTheScriptsOwnRendering) {
    ASSERT_TRUE(session_.loadFile(duoInstrumentPath()));
    QTemporaryDir folder;
    const QString script = folder.filePath("tune.snc"), wav = folder.filePath("tune.wav");
    const QString drum = QStringLiteral(KIVORA_SOURCE_DIR "/examples/instruments/drum.wav");
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("low a 0.1\n!wait 0.1\n");
    file.close();
    QStringList questions;
    using Answer = MelodyCommand::ReplaceAnswer;
    // Each round: the answer given if asked, then whether a question came and the file stayed the drum.
    const struct {
        Answer answer;
        bool asked, kept;
    } rounds[] = {{Answer::RenderElsewhere, true, true},
                  {Answer::Cancel, true, true},
                  {Answer::Replace, true, false},
                  {Answer::Cancel, false, false}};
    ASSERT_TRUE(QFile::copy(drum, wav));
    for (const auto& round : rounds) {
        view()->melodyCommand().setReplaceQuestion(
            [&questions, answer = round.answer](QWidget*, const QString& question) {
                questions << question;
                return answer;
            });
        const qsizetype asked = questions.size();
        view()->melodyPlayer().stop();
        files_.answers = {script};
        frame_.playMelodyAction()->trigger();
        test::waitForBackgroundJobs();
        EXPECT_EQ(questions.size() > asked, round.asked) << static_cast<int>(round.answer);
        EXPECT_EQ(contentsOf(wav) == contentsOf(drum), round.kept) << static_cast<int>(round.answer);
        EXPECT_EQ(view()->melodyPlayer().isPlaying(), round.answer != Answer::Cancel || !round.asked);
    }
    ASSERT_EQ(questions.size(), 3);
    EXPECT_TRUE(questions[0].contains("tune.wav") && questions[0].contains("tune.snc"));
    // Changed since it was rendered: no longer the script's own.
    ASSERT_TRUE(QFile::remove(wav) && QFile::copy(drum, wav));
    files_.answers = {script};
    frame_.playMelodyAction()->trigger();
    test::waitForBackgroundJobs();
    EXPECT_EQ(questions.size(), 4);
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
}

TEST_F(PianoTest, AGeneratedInstrumentArrivesAsRecords) {
    std::vector<std::int16_t> samples(2205);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>((i % 50) * 400 - 10000);
    pellamy::SoundStreamDescription records[2];
    for (int i = 0; i < 2; ++i) {
        records[i].name = "note" + std::to_string(i + 1);
        records[i].format = {pellamy::kWaveFormatPcm, 1, 22050, 44100, 2, 16, 0};
        records[i].dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
        records[i].data = samples.data();
    }
    ASSERT_TRUE(session_.adoptRecords(2, records));
    QTest::keyPress(view(), Qt::Key_2); // the second default key
    EXPECT_TRUE(isPlaying(session_, "note2"));
}

} // namespace
} // namespace kivora
