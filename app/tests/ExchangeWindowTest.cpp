// The window's exchange with other music software: File > Export Instrument
// (the bank read back, and played by FluidSynth) and MIDI files in the
// piano's Play Melody (made by Python's mido, or assembled by hand).
#include "AppTestSupport.h"
#include "exchange/InstrumentExportCommand.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"
#include "window/StatusBarInfo.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolBar>
#include <cstring>
#include <gtest/gtest.h>
#include <map>

namespace kivora {
namespace {

using test::CapturedMessages;
using test::duoInstrumentPath;
using test::ScriptedFileChooser;

// The sizes of the sub-chunks of a RIFF file's LIST chunks by their ids,
// after checking the form type.
std::map<std::string, quint32> riffSubchunkSizes(const QByteArray& bytes, const char* form) {
    std::map<std::string, quint32> sizes;
    auto sizeAt = [&](qsizetype at) {
        quint32 size = 0;
        for (int i = 3; i >= 0; --i)
            size = size * 256 + static_cast<unsigned char>(bytes[at + i]);
        return size;
    };
    if (bytes.size() < 12 || bytes.left(4) != "RIFF" || bytes.mid(8, 4) != form ||
        sizeAt(4) + 8 != static_cast<quint32>(bytes.size()))
        return sizes;
    for (qsizetype list = 12; list + 12 <= bytes.size();) {
        const quint32 listSize = sizeAt(list + 4);
        for (qsizetype at = list + 12; at + 8 <= list + 8 + listSize;) {
            const quint32 size = sizeAt(at + 4);
            sizes[bytes.mid(at, 4).toStdString()] = size;
            at += 8 + size + (size & 1);
        }
        list += 8 + listSize + (listSize & 1);
    }
    return sizes;
}

// Runs a shell command; its exit status (-1 when it could not run).
int runShell(const QString& command) {
    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    if (!shell.waitForFinished(120000))
        return -1;
    return shell.exitStatus() == QProcess::NormalExit ? shell.exitCode() : -1;
}

// The frame count and peak of a 16-bit WAV file, read by Python's wave module.
QString describeWav(const QString& path) {
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sys, wave, array\n"
                                 "w = wave.open(sys.argv[1])\n"
                                 "a = array.array('h', w.readframes(w.getnframes()))\n"
                                 "print(w.getnframes(), w.getframerate(), max(abs(v) for v in a))\n"),
                  path});
    python.waitForFinished(60000);
    return QString::fromLatin1(python.readAllStandardOutput()).trimmed();
}

class ExchangeWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        frame_.instrumentSession().setFileChooser(files_.chooser());
    }
    QString path(const QString& name) const { return folder_.filePath(name); }
    void loadDuo() {
        ASSERT_TRUE(frame_.instrumentSession().loadFile(duoInstrumentPath()))
            << messages_.texts.join('\n').toStdString();
    }
    void playMelody(const QString& file) {
        files_.answers = {file};
        frame_.pianoFrame()->playMelodyAction()->trigger();
        test::waitForBackgroundJobs();
    }
    // A MIDI file written by mido: notes on `keys` of channel 1, half a second each.
    void writeMidi(const QString& file, const QString& keys, const QString& extra = {}) {
        const QString script =
            QStringLiteral("import mido\n"
                           "song = mido.MidiFile(ticks_per_beat=480)\n"
                           "track = mido.MidiTrack(); song.tracks.append(track)\n"
                           "for key in [%1]:\n"
                           "    track.append(mido.Message('note_on', note=key, velocity=100, time=0))\n"
                           "    track.append(mido.Message('note_off', note=key, velocity=0, time=480))\n"
                           "%2"
                           "song.save('%3')\n")
                .arg(keys, extra, file);
        QProcess python;
        python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), script});
        ASSERT_TRUE(python.waitForFinished(60000));
        ASSERT_EQ(python.exitCode(), 0)
            << "python3-mido is needed: " << python.readAllStandardError().toStdString();
    }

    QTemporaryDir folder_;
    CapturedMessages messages_;
    std::unique_ptr<MainWindow> window_ = buildMainWindow();
    CMainFrame& frame_ = window_->frame();
    ScriptedFileChooser files_;
};

TEST_F(ExchangeWindowTest, ExportIsInTheFileMenuAndNeedsAnInstrument) {
    QAction* action = frame_.exportInstrumentAction();
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->text(), "&Export Instrument...");
    EXPECT_TRUE(frame_.menuBar()->actions().front()->menu()->actions().contains(action));
    EXPECT_FALSE(action->isEnabled());
    loadDuo();
    EXPECT_TRUE(action->isEnabled());
    frame_.instrumentSession().loadFile(QStringLiteral("/nonexistent.ins"));
    EXPECT_TRUE(action->isEnabled()) << "a failed load keeps the instrument";
    // The piano's toolbar keeps its nine commands and four separators.
    EXPECT_EQ(frame_.pianoFrame()->toolBar()->actions().size(), 9 + 4);
}

TEST_F(ExchangeWindowTest, ASoundFontExportedFromTheWindowReadsBackAndPlaysInFluidSynth) {
    loadDuo();
    const QString bank = path("duo.sf2");
    files_.answers = {bank};
    frame_.exportInstrumentAction()->trigger();
    test::waitForBackgroundJobs();
    ASSERT_EQ(files_.filters.last(), "SoundFont 2 (*.sf2);;SFZ (*.sfz)");
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
    EXPECT_EQ(frame_.statusBar()->currentMessage(), "Exported 3 sounds to " + bank);

    QFile file(bank);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const std::map<std::string, quint32> chunks = riffSubchunkSizes(file.readAll(), "sfbk");
    ASSERT_FALSE(chunks.empty()) << "not a RIFF sfbk file";
    // One zone per sound, one sample per mono sound, each list with its terminal record.
    EXPECT_EQ(chunks.at("ibag") / 4, 3u + 1);
    EXPECT_EQ(chunks.at("shdr") / 46, 3u + 1);
    EXPECT_EQ(chunks.at("phdr") / 38, 1u + 1);

    // FluidSynth plays "high" (E3, key 52) from the bank.
    writeMidi(path("e3.mid"), "52");
    ASSERT_EQ(runShell(QStringLiteral("cd '%1' && fluidsynth -ni -q -R 0 -C 0 -g 0.5 -r 44100 -O s16 -T wav "
                                      "-F played.wav duo.sf2 e3.mid > fluidsynth.log 2>&1")
                           .arg(folder_.path())),
              0);
    const QStringList played = describeWav(path("played.wav")).split(' ');
    ASSERT_EQ(played.size(), 3);
    EXPECT_GE(played[0].toInt(), 44100 / 2);
    EXPECT_GT(played[2].toInt(), 1000) << "FluidSynth played silence";
}

TEST_F(ExchangeWindowTest, AnSfzExportWritesARegionPerSoundWithItsSamples) {
    loadDuo();
    files_.answers = {path("my duo.sfz")};
    frame_.exportInstrumentAction()->trigger();
    test::waitForBackgroundJobs();
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
    QFile file(path("my duo.sfz"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_EQ(text.count("<region>"), 3);
    EXPECT_TRUE(text.contains("pitch_keycenter=52")) << text.toStdString();
    EXPECT_TRUE(text.contains("pitch_keycenter=48")) << text.toStdString();
    EXPECT_EQ(QDir(path("my_duo")).entryList(QDir::Files).size(), 3);
    EXPECT_EQ(frame_.statusBar()->currentMessage(), "Exported 3 sounds to " + path("my duo.sfz"));
}

TEST_F(ExchangeWindowTest, FailedExportsAreShownAndLeaveNothing) {
    loadDuo();
    files_.answers = {QStringLiteral("/nonexistent/folder/duo.sf2"), path("duo.wav"), QString()};
    frame_.exportInstrumentAction()->trigger();
    test::waitForBackgroundJobs();
    ASSERT_EQ(messages_.texts.size(), 1);
    EXPECT_TRUE(messages_.texts.front().contains("/nonexistent/folder/duo.sf2"))
        << messages_.texts.front().toStdString();
    frame_.exportInstrumentAction()->trigger();
    test::waitForBackgroundJobs();
    ASSERT_EQ(messages_.texts.size(), 2);
    EXPECT_EQ(messages_.texts.back(), "An instrument is exported as .sf2 or .sfz, not as duo.wav");
    frame_.exportInstrumentAction()->trigger(); // cancelled
    test::waitForBackgroundJobs();
    EXPECT_EQ(messages_.texts.size(), 2);
    EXPECT_TRUE(frame_.statusBar()->currentMessage().isEmpty());
    EXPECT_TRUE(QDir(folder_.path()).isEmpty());
}

TEST_F(ExchangeWindowTest, AMidiFileRendersThroughTheInstrumentBesideItself) {
    loadDuo();
    EXPECT_TRUE(frame_.pianoFrame()->playMelodyAction()->toolTip().contains("MIDI"));
    // C3 and E3 are the sounds' roots; middle C is not; channel 10 is percussion and left alone.
    writeMidi(path("song.mid"), "48, 60, 52",
              "track.append(mido.Message('note_on', channel=9, note=36, velocity=100, time=0))\n"
              "track.append(mido.Message('note_off', channel=9, note=36, velocity=0, time=480))\n");
    // A script of the same name is the user's: it stays as it was.
    QFile userScript(path("song.snc"));
    ASSERT_TRUE(userScript.open(QIODevice::WriteOnly));
    userScript.write("high a 0.1\n");
    userScript.close();
    const QStringList temporaryBefore =
        QDir::temp().entryList({QStringLiteral("kivora-melody-*")}, QDir::Files | QDir::Hidden);

    playMelody(path("song.mid"));
    // It plays through the piano, which holds the dummy driver's only device.
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
    EXPECT_TRUE(frame_.pianoView()->melodyPlayer().isPlaying());
    EXPECT_TRUE(files_.filters.last().contains("*.mid")) << files_.filters.last().toStdString();
    // E3 starts a second in (after C3 and the gap of the left-out note).
    const QStringList rendered = describeWav(path("song.wav")).split(' ');
    ASSERT_EQ(rendered.size(), 3) << describeWav(path("song.wav")).toStdString();
    EXPECT_GT(rendered[0].toInt(), rendered[1].toInt());
    EXPECT_GT(rendered[2].toInt(), 1000);
    EXPECT_EQ(
        frame_.statusInfo()->note()->text(),
        "song.mid: 1 percussion note (channel 10) skipped; 1 note on keys the instrument does not cover: "
        "60 (1) (left out)");

    ASSERT_TRUE(userScript.open(QIODevice::ReadOnly));
    EXPECT_EQ(userScript.readAll(), "high a 0.1\n");
    EXPECT_EQ(QDir(folder_.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList({"song.mid", "song.snc", "song.wav"}));
    EXPECT_EQ(QDir::temp().entryList({QStringLiteral("kivora-melody-*")}, QDir::Files | QDir::Hidden),
              temporaryBefore);
}

// An unrelated song.wav beside song.mid is asked about and kept unless the
// user says; a folder that takes no file renders to a temporary place.
TEST_F(ExchangeWindowTest, AMidiFileNeverReplacesAnUnrelatedWavAndPlaysFromReadOnlyFolders) {
    loadDuo();
    writeMidi(path("song.mid"), "48");
    writeMidi(path("other.mid"), "48");
    QFile user(path("song.wav"));
    ASSERT_TRUE(user.open(QIODevice::WriteOnly));
    user.write("the user's own recording");
    user.close();
    MelodyCommand& command = frame_.pianoView()->melodyCommand();
    int questions = 0;
    command.setReplaceQuestion([&questions](QWidget*, const QString&) {
        ++questions;
        return MelodyCommand::ReplaceAnswer::RenderElsewhere;
    });
    playMelody(path("song.mid"));
    command.setFolderCheck([](const QString&) { return false; }); // as the installed examples
    const QString keptNote = frame_.statusInfo()->note()->text();
    frame_.pianoView()->melodyPlayer().stop();
    playMelody(path("other.mid"));
    EXPECT_EQ(questions, 1);
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
    ASSERT_TRUE(user.open(QIODevice::ReadOnly));
    EXPECT_EQ(user.readAll(), "the user's own recording");
    EXPECT_TRUE(keptNote.startsWith("song.wav was kept")) << keptNote.toStdString();
    EXPECT_TRUE(frame_.pianoView()->melodyPlayer().isPlaying());
    EXPECT_FALSE(QFile::exists(path("other.wav")));
    EXPECT_TRUE(frame_.statusInfo()->note()->text().contains("temporary file"));
}

TEST_F(ExchangeWindowTest, AMidiFileThatCannotPlaySaysWhy) {
    // Without an instrument.
    writeMidi(path("song.mid"), "48");
    playMelody(path("song.mid"));
    ASSERT_EQ(messages_.texts.size(), 1);
    EXPECT_EQ(messages_.texts.front(),
              "song.mid is a MIDI file: it plays through the piano's instrument. Load or generate an "
              "instrument first.");
    EXPECT_FALSE(QFile::exists(path("song.wav")));

    // Every note off the instrument: a format-0 file assembled by hand, one
    // note on key 100 of channel 1 for a beat.
    loadDuo();
    const unsigned char bytes[] = {'M', 'T', 'h',  'd',  0,   0,   0, 6,    0,    0,  0, 1,
                                   0,   96,  'M',  'T',  'r', 'k', 0, 0,    0,    12, 0, 0x90,
                                   100, 64,  0x60, 0x80, 100, 0,   0, 0xFF, 0x2F, 0};
    QFile high(path("high.mid"));
    ASSERT_TRUE(high.open(QIODevice::WriteOnly));
    high.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
    high.close();
    messages_.texts.clear();
    playMelody(path("high.mid"));
    ASSERT_EQ(messages_.texts.size(), 1);
    EXPECT_EQ(messages_.texts.front(), "No note of high.mid falls on a key of the instrument: 1 note on keys "
                                       "the instrument does not cover: 100 (1)");
    EXPECT_FALSE(QFile::exists(path("high.wav")));

    // Not a MIDI file at all.
    QFile broken(path("broken.MID"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("MThd nonsense");
    broken.close();
    messages_.texts.clear();
    playMelody(path("broken.MID"));
    ASSERT_EQ(messages_.texts.size(), 1);
    EXPECT_FALSE(messages_.texts.front().isEmpty());
    EXPECT_FALSE(QFile::exists(path("broken.wav")));
}

// Measuring and writing run on a worker with copies of the instrument: the
// window may replace its instrument meanwhile, and a second command waits.
TEST_F(ExchangeWindowTest, ExportAndMidiRenderingRunInTheBackgroundOnCopies) {
    loadDuo();
    writeMidi(path("song.mid"), "48, 52");
    files_.answers = {path("duo.sfz")};
    frame_.exportInstrumentAction()->trigger();
    files_.answers = {path("song.mid")};
    frame_.pianoFrame()->playMelodyAction()->trigger();
    // Both run until the interface thread takes their results.
    EXPECT_TRUE(frame_.findChild<InstrumentExportCommand*>()->job().isRunning());
    EXPECT_TRUE(frame_.pianoView()->melodyCommand().job().isRunning());
    files_.answers = {path("other.sfz"), path("song.mid")};
    frame_.exportInstrumentAction()->trigger();
    frame_.pianoFrame()->playMelodyAction()->trigger();
    EXPECT_EQ(files_.answers.size(), 2) << "a command still running asked for a file";
    files_.answers.clear();
    // The instrument is replaced while the work still reads it.
    EXPECT_TRUE(frame_.instrumentSession().loadFile(duoInstrumentPath()));
    test::waitForBackgroundJobs();
    EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
    EXPECT_EQ(frame_.statusBar()->currentMessage(), "Exported 3 sounds to " + path("duo.sfz"));
    EXPECT_TRUE(QFile::exists(path("duo.sfz")));
    EXPECT_FALSE(QFile::exists(path("other.sfz")));
    const QStringList rendered = describeWav(path("song.wav")).split(' ');
    ASSERT_EQ(rendered.size(), 3);
    EXPECT_GT(rendered[2].toInt(), 1000);
}

} // namespace
} // namespace kivora
