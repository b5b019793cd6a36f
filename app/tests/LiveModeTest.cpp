#include "AppTestSupport.h"
#include "FakeMidiInputSource.h"
#include "LateBlocks.h"
#include "analysis/COscillogrammFrame.h"
#include "midi/MidiKeyboard.h"
#include "piano/CPianoFrame.h"
#include "session/InstrumentSession.h"
#include "session/LiveModelSession.h"
#include "session/ModelSession.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"

#include <kivora/voices/VoiceModel.h>
#include <muntero/ModelSnapshot.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/Sound.h>
#include <pellamy/WavFile.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolBar>
#include <algorithm>
#include <gtest/gtest.h>
#include <vector>

namespace kivora {
namespace {

using test::CapturedMessages;
using test::waitUntil;

QString modelPath(const char* name) {
    return QStringLiteral(KIVORA_SOURCE_DIR "/examples/models/") + QLatin1String(name);
}

class LiveModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        frame_.resize(1200, 900);
        frame_.show();
        QApplication::processEvents();
    }
    QAction* toggle() const { return frame_.pianoFrame()->playLiveAction(); }
    bool openModel(const char* name) { return window_->model().openFile(modelPath(name)); }
    bool voicesInUse(int count) {
        return waitUntil([&] { return live_.voicesInUse() == count; }, 5000);
    }

    static MainWindowOptions withMidiPorts(std::shared_ptr<test::FakeMidiPorts> ports) {
        ports->ports = {"USB Keys:USB Keys MIDI 1"};
        MainWindowOptions options;
        options.midiSource = std::make_unique<test::FakeMidiInputSource>(ports);
        return options;
    }

    std::shared_ptr<test::FakeMidiPorts> midiPorts_ = std::make_shared<test::FakeMidiPorts>();
    std::unique_ptr<MainWindow> window_ = buildMainWindow(withMidiPorts(midiPorts_));
    CMainFrame& frame_ = window_->frame();
    InstrumentSession& session_ = window_->instrument();
    LiveModelSession& live_ = window_->live();
    CapturedMessages messages_;
};

TEST_F(LiveModeTest, OneCheckableCommandInTheMenuAndOnTheToolbarTurnsTheModeOnAndOff) {
    ASSERT_TRUE(openModel("plucked-string.json"));
    EXPECT_TRUE(frame_.instrumentMenu()->actions().contains(toggle()));
    EXPECT_TRUE(frame_.pianoFrame()->toolBar()->actions().contains(toggle()));
    EXPECT_EQ(toggle()->text(), "Play the Model Li&ve");
    ASSERT_TRUE(toggle()->isCheckable());
    ASSERT_TRUE(toggle()->isEnabled());

    toggle()->trigger();
    EXPECT_TRUE(session_.isLive());
    EXPECT_TRUE(toggle()->isChecked());
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
    // The keys are a generated instrument's: Q is 1C, W 1D, E 1E.
    const std::pair<char, const char*> keys[] = {{'Q', "1C"}, {'W', "1D"}, {'E', "1E"}, {'M', "2B"}};
    for (const auto& [code, note] : keys) {
        ASSERT_TRUE(session_.pressKey(static_cast<unsigned>(code)));
        EXPECT_EQ(session_.player().soundingNotes(), std::vector<std::string>{note});
        session_.releaseKey(static_cast<unsigned>(code));
    }
    // The status bar's label shows voices and late blocks while live only.
    auto* status = frame_.findChild<QLabel*>(QStringLiteral("liveStatus"));
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(waitUntil([&] { return status->text().startsWith("Live: 0 voices, "); }, 5000))
        << status->text().toStdString();

    toggle()->trigger();
    EXPECT_FALSE(session_.isLive());
    EXPECT_FALSE(toggle()->isChecked());
    EXPECT_TRUE(status->text().isEmpty());
    EXPECT_FALSE(session_.isPlayable()); // no instrument: nothing to play
    EXPECT_FALSE(session_.pressKey('Q'));
}

TEST_F(LiveModeTest, AModelWithoutDrawingOrFlagIsRefusedWithTheGeneratorsWords) {
    toggle()->trigger(); // the new, empty model
    ASSERT_EQ(messages_.texts, QStringList{"Draw something first..."});
    EXPECT_FALSE(session_.isLive());
    EXPECT_FALSE(toggle()->isChecked());

    QFile original(modelPath("plucked-string.json"));
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    QByteArray json = original.readAll();
    ASSERT_TRUE(json.contains("\"flag\": \"s2\","));
    json.replace("\"flag\": \"s2\",", "");
    QTemporaryDir folder;
    QFile flagless(folder.filePath("flagless.json"));
    ASSERT_TRUE(flagless.open(QIODevice::WriteOnly));
    flagless.write(json);
    flagless.close();
    ASSERT_TRUE(window_->model().openFile(flagless.fileName()));
    toggle()->trigger();
    EXPECT_EQ(messages_.texts.value(1), "Put FLAG, to specify dot, which SOUNDs");
    EXPECT_FALSE(session_.isLive());
    EXPECT_FALSE(toggle()->isChecked());
}

TEST_F(LiveModeTest, KeysMidiNotesAndTheMouseStartAndEndVoicesAndTheLastIsShown) {
    ASSERT_TRUE(openModel("plucked-string.json"));
    ASSERT_TRUE(session_.setLiveMode(true));
    QSignalSpy started(&session_, &InstrumentSession::noteStarted);

    ASSERT_TRUE(session_.pressKey('Q'));
    EXPECT_TRUE(voicesInUse(1));
    ASSERT_TRUE(waitUntil([&] { return started.count() == 1; }, 5000));
    EXPECT_EQ(started.at(0).at(0).toString(), "1C");
    // The oscillogram shows the voice rendered for a note's length.
    const NoteSamples note = session_.samplesOf("1C");
    EXPECT_EQ(note.sampleRate, 44100);
    EXPECT_EQ(note.samples.size(), 22050u);
    EXPECT_GT(*std::max_element(note.samples.begin(), note.samples.end()), 1000);
    EXPECT_EQ(frame_.oscillogramFrame()->view()->sampleCount(), 22050);
    session_.releaseKey('Q');
    EXPECT_TRUE(voicesInUse(0));

    // As the MIDI keyboard plays a note.
    ASSERT_TRUE(session_.pressSound("1E"));
    EXPECT_TRUE(voicesInUse(1));
    session_.releaseSound("1E");
    EXPECT_TRUE(voicesInUse(0));

    // The mouse on the drawn keyboard.
    CPianoView* piano = frame_.pianoView();
    piano->repaint();
    const QPoint key(piano->width() / 20, piano->height() * 3 / 4);
    ASSERT_TRUE(session_.mouseDown(key.x(), key.y()));
    EXPECT_TRUE(voicesInUse(1));
    session_.mouseUp(key.x(), key.y());
    EXPECT_TRUE(voicesInUse(0));
    EXPECT_TRUE(kivora::testing::fewLateBlocks(live_.lateBlocks(), live_.blocksRendered()));
}

TEST_F(LiveModeTest, TheSpaceBarSilencesTheVoicesAndAMouseDragMovesTheNote) {
    ASSERT_TRUE(openModel("plucked-string.json"));
    ASSERT_TRUE(session_.setLiveMode(true));
    ASSERT_TRUE(session_.pressKey('Q'));
    EXPECT_TRUE(voicesInUse(1));
    ASSERT_TRUE(session_.pressKey(' '));
    EXPECT_TRUE(voicesInUse(0));
    EXPECT_EQ(session_.player().soundingNotes(), std::vector<std::string>{"1C"}) << "the note stays held";
    session_.releaseKey(' ');
    session_.releaseKey('Q');

    CPianoView* piano = frame_.pianoView();
    piano->repaint();
    const int y = piano->height() * 3 / 4; // below the black keys
    const int whiteKey = piano->width() / 14;
    ASSERT_TRUE(session_.mouseDown(whiteKey / 2, y));
    session_.mouseMove(whiteKey * 3 / 2, y);
    EXPECT_EQ(session_.player().soundingNotes(), std::vector<std::string>{"1D"});
    session_.mouseUp(whiteKey * 3 / 2, y);
    EXPECT_TRUE(session_.player().soundingNotes().empty());
}

TEST_F(LiveModeTest, AnEditedModelReachesTheNextNote) {
    ASSERT_TRUE(openModel("plucked-string.json"));
    ASSERT_TRUE(session_.setLiveMode(true));
    const std::vector<std::int16_t> before = session_.samplesOf("1C").samples;
    ASSERT_TRUE(openModel("string-on-board.json"));
    EXPECT_TRUE(waitUntil([&] { return session_.samplesOf("1C").samples != before; }, 30000));
}

TEST_F(LiveModeTest, TheInstrumentGivesUpTheDeviceWhileLiveAndKeepsEverythingElse) {
    ASSERT_TRUE(session_.loadFile(test::duoInstrumentPath()));
    ASSERT_TRUE(openModel("plucked-string.json"));
    const std::size_t sounds = session_.instrument()->soundCount();
    ASSERT_FALSE(session_.isSilent());

    ASSERT_TRUE(session_.setLiveMode(true));
    EXPECT_TRUE(session_.isLoaded());
    EXPECT_TRUE(session_.isSilent());
    EXPECT_EQ(session_.instrument()->soundCount(), sounds);
    EXPECT_EQ(session_.filePath(), test::duoInstrumentPath());
    EXPECT_FALSE(session_.isModified());
    // The keys play voices, not the instrument.
    ASSERT_TRUE(session_.pressKey('Q'));
    EXPECT_TRUE(voicesInUse(1));
    const std::string instrumentAlias = session_.instrument()->aliasForKey('Q');
    if (!instrumentAlias.empty()) {
        EXPECT_FALSE(session_.instrument()->soundFor(instrumentAlias)->isPlaying());
    }
    session_.releaseKey('Q');

    ASSERT_TRUE(session_.setLiveMode(false));
    EXPECT_FALSE(session_.isSilent());
    EXPECT_EQ(session_.instrument()->soundCount(), sounds);
    EXPECT_EQ(session_.filePath(), test::duoInstrumentPath());
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
}

TEST_F(LiveModeTest, AnInstrumentLoadedWhileLiveWaitsSilentlyAndLeavesTheRecordingAlone) {
    QTemporaryDir folder;
    session_.setMelodyPath(folder.filePath("tune.snc"));
    ASSERT_TRUE(openModel("plucked-string.json"));
    ASSERT_TRUE(session_.setLiveMode(true));
    session_.startRecording();
    ASSERT_TRUE(session_.loadFile(test::duoInstrumentPath()));
    EXPECT_TRUE(session_.isSilent());
    EXPECT_TRUE(session_.isRecording());
    ASSERT_TRUE(session_.setLiveMode(false));
    EXPECT_FALSE(session_.isSilent());
}

TEST_F(LiveModeTest, ARecordingWritesTheNoteNamesAndRendersThemThroughTheVoices) {
    QTemporaryDir folder;
    const QString script = folder.filePath("tune.snc");
    session_.setMelodyPath(script);
    ASSERT_TRUE(openModel("plucked-string.json"));
    ASSERT_TRUE(session_.setLiveMode(true));
    session_.startRecording();
    ASSERT_TRUE(session_.isRecording());
    ASSERT_TRUE(session_.pressKey('Q'));
    session_.releaseKey('Q');
    session_.stopRecording();
    EXPECT_FALSE(session_.isRecording());
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();

    QFile written(script);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().contains("1C a -1\n"));
    pellamy::WavFile wav;
    ASSERT_EQ(wav.open(narrowPath(folder.filePath("tune.wav")), nullptr, pellamy::WavFile::kRead),
              pellamy::kWavOk);
    EXPECT_EQ(wav.format()->nChannels, 1);
    EXPECT_EQ(wav.format()->nSamplesPerSec, 44100u);
    // The recording's closing wait of 2 s, the note at its start.
    ASSERT_EQ(wav.size(), 2u * 44100u * 2u);
    std::vector<std::int16_t> samples(wav.size() / 2);
    std::uint32_t delivered = 0;
    ASSERT_EQ(wav.read(reinterpret_cast<std::uint8_t*>(samples.data()), wav.size(), &delivered),
              pellamy::kWavOk);
    const auto loudest = *std::max_element(samples.begin(), samples.begin() + 22050);
    EXPECT_GT(loudest, 1000);
}

TEST_F(LiveModeTest, TurningTheModeOffEndsARecordingAsAnotherInstrumentWould) {
    QTemporaryDir folder;
    session_.setMelodyPath(folder.filePath("tune.snc"));
    ASSERT_TRUE(openModel("plucked-string.json"));
    ASSERT_TRUE(session_.setLiveMode(true));
    session_.startRecording();
    ASSERT_TRUE(session_.isRecording());
    ASSERT_TRUE(session_.setLiveMode(false));
    EXPECT_FALSE(session_.isRecording());
    EXPECT_TRUE(QFile::exists(folder.filePath("tune.wav")));
}

TEST_F(LiveModeTest, MidiPlaysEveryKeyTheModelCanPlayAndNoOther) {
    ASSERT_TRUE(openModel("plucked-string.json"));
    ASSERT_TRUE(session_.setLiveMode(true));
    frame_.midiKeyboard()->choosePort("USB Keys:USB Keys MIDI 1");
    ASSERT_TRUE(frame_.midiKeyboard()->isConnected());
    const voices::VoiceModel model(muntero::takeSnapshot(window_->model().representation()), {});
    int playable = 0;
    for (int key = 0; key < voices::kKeyCount; ++key) {
        const std::string note = frame_.midiKeyboard()->aliasForMidiKey(key);
        EXPECT_EQ(note, model.keySounds(key) ? voices::noteNameOfKey(key) : "") << "key " << key;
        playable += note.empty() ? 0 : 1;
    }
    EXPECT_GT(playable, 48); // beyond the two drawn octaves

    // 4C, two octaves above the drawn keys, through the port.
    ASSERT_TRUE(model.keySounds(84));
    midiPorts_->send(84, 100);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(session_.player().soundingNotes(), std::vector<std::string>{"4C"});
    EXPECT_TRUE(voicesInUse(1));
    midiPorts_->send(84, 0, false);
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(voicesInUse(0));
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
}

// Play Melody while live plays on the voices' device: a 440 Hz tone at
// 22 050 Hz, made by sox, is heard at 440 Hz in what SDL's disk driver wrote.
TEST_F(LiveModeTest, PlayMelodySoundsBesideTheVoices) {
    QTemporaryDir folder;
    const QString tone = folder.filePath("22050Hz_440Hz_sine.wav");
    ASSERT_EQ(QProcess::execute("sox", {"-n", "-r", "22050", "-c", "1", "-b", "16", tone, "synth", "0.5",
                                        "sine", "440", "vol", "0.5"}),
              0);
    const QString captured = folder.filePath("captured.raw");
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", captured.toLocal8Bit());
    ASSERT_TRUE(openModel("plucked-string.json"));
    const bool live = session_.setLiveMode(true);
    qputenv("SDL_AUDIODRIVER", "dummy");
    ASSERT_TRUE(live);
    ASSERT_NE(session_.clipOutput(), nullptr) << "the voices have no device";

    MelodyCommand& melody = frame_.pianoView()->melodyCommand();
    ASSERT_TRUE(melody.play(tone));
    EXPECT_TRUE(waitUntil([&] { return melody.player().isPlaying(); }, 10000));
    EXPECT_TRUE(waitUntil([&] { return !melody.player().isPlaying(); }, 10000));
    ASSERT_TRUE(session_.setLiveMode(false)); // closes the device: the file is complete

    QProcess notes;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("CAPTURED_NOTES_RATE", "44100"); // the model's rate, in stereo
    notes.setProcessEnvironment(environment);
    notes.start("python3", {KIVORA_SOURCE_DIR "/app/tests/captured_notes.py", "expect", captured, "A4=440"});
    ASSERT_TRUE(notes.waitForFinished(60000));
    EXPECT_EQ(notes.exitCode(), 0) << notes.readAll().toStdString();
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
}

} // namespace
} // namespace kivora
