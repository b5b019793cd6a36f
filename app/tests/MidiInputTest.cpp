// The live MIDI keyboard through a fake source: messages decoded, notes
// carried across threads, played on the piano as key presses that the
// recorder takes, ports lost and found again, and no MIDI system at all.
#include "AppTestSupport.h"
#include "FakeMidiInputSource.h"
#include "midi/MidiKeyboard.h"
#include "session/InstrumentSession.h"
#include "window/CMainFrame.h"
#include "window/MainWindow.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/Sound.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace kivora {
namespace {

using test::CapturedMessages;
using test::duoInstrumentPath;
using test::FakeMidiInputSource;
using test::FakeMidiPorts;

// duo.ins: "low" measures as C3 (48) on Q, "high" as E3 (52: its third
// partial, B4, is its strongest) on E, the
// unpitched "drum" takes key 36 and plays on W.
constexpr std::uint8_t kLowKey = 48;
constexpr std::uint8_t kHighKey = 52;
constexpr std::uint8_t kDrumKey = 36;

TEST(MidiMessages, NoteOnAndOffAreDecodedAndEverythingElseIsNot) {
    const unsigned char on[] = {0x93, 60, 100};
    const std::optional<MidiNoteEvent> note = decodeNoteMessage(on, 3);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->channel, 3);
    EXPECT_EQ(note->key, 60);
    EXPECT_EQ(note->velocity, 100);
    EXPECT_TRUE(note->on);
    // A note-on with velocity 0 is a note-off, as is 0x8n with any velocity.
    const unsigned char silentOn[] = {0x90, 61, 0};
    const unsigned char off[] = {0x8F, 62, 64};
    EXPECT_FALSE(decodeNoteMessage(silentOn, 3)->on);
    EXPECT_FALSE(decodeNoteMessage(off, 3)->on);
    EXPECT_EQ(decodeNoteMessage(off, 3)->channel, 15);

    const unsigned char controlChange[] = {0xB0, 64, 127};
    const unsigned char pitchBend[] = {0xE0, 0, 64};
    const unsigned char badData[] = {0x90, 0x80, 10};
    EXPECT_FALSE(decodeNoteMessage(controlChange, 3));
    EXPECT_FALSE(decodeNoteMessage(pitchBend, 3));
    EXPECT_FALSE(decodeNoteMessage(badData, 3));
    EXPECT_FALSE(decodeNoteMessage(on, 2));
    EXPECT_FALSE(decodeNoteMessage(nullptr, 3));
}

TEST(MidiMessages, PortNamesLoseTheSequencerAddressOnly) {
    EXPECT_EQ(portNameWithoutAddress("Midi Through:Midi Through Port-0 14:0"),
              "Midi Through:Midi Through Port-0");
    EXPECT_EQ(portNameWithoutAddress("USB Keys:USB Keys MIDI 1 24:10"), "USB Keys:USB Keys MIDI 1");
    EXPECT_EQ(portNameWithoutAddress("Keys 1"), "Keys 1");
    EXPECT_EQ(portNameWithoutAddress("Keys 1:"), "Keys 1:");
    EXPECT_EQ(portNameWithoutAddress("Keys :5"), "Keys :5");
    EXPECT_EQ(portNameWithoutAddress("14:0"), "14:0");
    EXPECT_EQ(portNameWithoutAddress(""), "");
}

TEST(MidiEventQueue, CarriesNotesInOrderAcrossThreadsAndDropsWhenFull) {
    MidiEventQueue queue;
    constexpr int kNotes = 100000;
    std::vector<int> received;
    received.reserve(kNotes);
    std::thread producer([&] {
        for (int i = 0; i < kNotes; ++i) {
            const MidiNoteEvent note{static_cast<std::uint8_t>(i % 16), static_cast<std::uint8_t>(i % 128),
                                     static_cast<std::uint8_t>((i / 128) % 128), true};
            while (!queue.push(note))
                std::this_thread::yield();
        }
    });
    while (static_cast<int>(received.size()) < kNotes) {
        if (const std::optional<MidiNoteEvent> note = queue.pop())
            received.push_back(note->key + 128 * note->velocity);
        else
            std::this_thread::yield();
    }
    producer.join();
    for (int i = 0; i < kNotes; ++i)
        ASSERT_EQ(received[static_cast<std::size_t>(i)], i % (128 * 128)) << i;

    // Full: the newest notes are dropped and counted, the queued ones kept.
    const std::uint64_t droppedBefore = queue.droppedCount();
    for (std::size_t i = 0; i < MidiEventQueue::kCapacity + 3; ++i)
        queue.push(MidiNoteEvent{0, static_cast<std::uint8_t>(i % 128), 1, true});
    EXPECT_EQ(queue.droppedCount() - droppedBefore, 3u);
    EXPECT_EQ(queue.pop()->key, 0);
}

#if KIVORA_WITH_MIDI
TEST(AlsaMidiInput, WithoutASequencerTheSourceIsUnavailableAndSaysNothing) {
    if (std::filesystem::exists("/dev/snd/seq"))
        GTEST_SKIP() << "this machine has an ALSA sequencer";
    ::testing::internal::CaptureStderr();
    const std::unique_ptr<MidiInputSource> source = makeAlsaMidiInputSource();
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(source->available());
    EXPECT_TRUE(source->portNames().empty());
    EXPECT_FALSE(source->openPort("anything", [](const MidiNoteEvent&) {}));
    source->closePort();
    EXPECT_EQ(printed, "");
}

#endif

class MidiKeyboardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ports_->ports = {"Midi Through:Midi Through Port-0", "USB Keys:USB Keys MIDI 1"};
        keyboard_ =
            std::make_unique<MidiKeyboard>(&session_, &menu_, std::make_unique<FakeMidiInputSource>(ports_));
        ASSERT_TRUE(session_.loadFile(duoInstrumentPath())) << messages_.texts.join('\n').toStdString();
    }
    void TearDown() override {
        EXPECT_TRUE(messages_.texts.isEmpty()) << messages_.texts.join('\n').toStdString();
    }

    bool isPlaying(const std::string& alias) const {
        const pellamy::Sound* sound = session_.instrument()->soundFor(alias);
        return sound != nullptr && sound->isPlaying();
    }
    // The menu's entries: text, with "*" for checked and "-" for disabled.
    QStringList menuEntries() const {
        QStringList entries;
        for (QAction* action : menu_.actions()) {
            if (action->isSeparator())
                continue;
            entries << action->text() + (action->isChecked() ? "*" : "") + (action->isEnabled() ? "" : "-");
        }
        return entries;
    }
    QAction* menuEntry(const QString& text) const {
        for (QAction* action : menu_.actions())
            if (action->text() == text)
                return action;
        return nullptr;
    }
    // What the interface thread does when it gets to its events.
    static void deliverPosted() { QCoreApplication::sendPostedEvents(); }

    CapturedMessages messages_;
    InstrumentSession session_;
    CPianoView piano_{session_};
    QMenu menu_;
    std::shared_ptr<FakeMidiPorts> ports_ = std::make_shared<FakeMidiPorts>();
    std::unique_ptr<MidiKeyboard> keyboard_;
};

TEST_F(MidiKeyboardTest, TheMenuListsNoneAndThePortsAndChoosesOneAtATime) {
    EXPECT_EQ(menuEntries(),
              QStringList({"&None*", "Midi Through:Midi Through Port-0", "USB Keys:USB Keys MIDI 1"}));
    EXPECT_TRUE(keyboard_->pollTimer().isActive());
    EXPECT_EQ(keyboard_->pollTimer().interval(), MidiKeyboard::kPollIntervalMs);

    menuEntry("USB Keys:USB Keys MIDI 1")->trigger();
    EXPECT_EQ(ports_->openPort, "USB Keys:USB Keys MIDI 1");
    EXPECT_TRUE(keyboard_->isConnected());
    EXPECT_EQ(menuEntries(),
              QStringList({"&None", "Midi Through:Midi Through Port-0", "USB Keys:USB Keys MIDI 1*"}));

    menuEntry("Midi Through:Midi Through Port-0")->trigger();
    EXPECT_EQ(ports_->openPort, "Midi Through:Midi Through Port-0");
    EXPECT_EQ(ports_->opens, 2);

    menuEntry("&None")->trigger();
    EXPECT_EQ(ports_->openPort, "");
    EXPECT_FALSE(keyboard_->isConnected());
    EXPECT_EQ(menuEntries().first(), "&None*");
}

TEST_F(MidiKeyboardTest, NotesOnTheSoundsRootKeysPlayAsTheirKeys) {
    EXPECT_EQ(keyboard_->aliasForMidiKey(kLowKey), "low");
    EXPECT_EQ(keyboard_->aliasForMidiKey(kHighKey), "high");
    EXPECT_EQ(keyboard_->aliasForMidiKey(kDrumKey), "drum");
    EXPECT_EQ(keyboard_->aliasForMidiKey(60), "");
    EXPECT_EQ(keyboard_->aliasForMidiKey(200), "");

    keyboard_->choosePort("USB Keys:USB Keys MIDI 1");
    // From the source's thread: nothing plays until the interface thread runs.
    ports_->sendFromThread({{0, kLowKey, 100, true}, {5, kHighKey, 1, true}, {0, 60, 100, true}});
    EXPECT_FALSE(isPlaying("low"));
    QSignalSpy started(&session_, &InstrumentSession::noteStarted);
    deliverPosted();
    EXPECT_TRUE(isPlaying("low"));
    EXPECT_TRUE(isPlaying("high"));
    EXPECT_FALSE(isPlaying("drum"));

    // Off by note-off and by note-on with velocity 0; a key without a sound is ignored.
    ports_->sendFromThread({{0, kLowKey, 0, false}, {5, kHighKey, 64, false}, {0, 60, 0, false}});
    deliverPosted();
    EXPECT_FALSE(isPlaying("low"));
    EXPECT_FALSE(isPlaying("high"));
    QApplication::processEvents();
    EXPECT_EQ(started.count(), 2); // the oscillogram hears of them as of keys
    EXPECT_EQ(keyboard_->droppedNotes(), 0u);
}

TEST_F(MidiKeyboardTest, TheLastNoteOfABurstIsPlayedWithoutWaitingForAnother) {
    // Rounds of a note-on, notes without a sound (quick to take, so the
    // interface thread keeps waking) and the note-off. A wake-up that the
    // note-off misses leaves it in the queue until the next round's note,
    // which never comes: the round stalls.
    keyboard_->choosePort("USB Keys:USB Keys MIDI 1");
    constexpr int kRounds = 5000;
    constexpr std::uint8_t kSilentKey = 60;
    int started = 0;
    QObject::connect(&session_, &InstrumentSession::noteStarted, &piano_, [&] { ++started; });
    std::atomic<int> settledRounds{0};
    std::atomic<int> stalledRound{-1};
    std::atomic<bool> senderDone{false};
    std::thread sender([&] {
        for (int round = 0; round < kRounds && stalledRound < 0; ++round) {
            ports_->send(kLowKey, 100);
            for (int note = 0; note < 16; ++note) {
                ports_->send(kSilentKey, 100);
                for (int spin = (round * 7 + note * 13) % 200; spin > 0; --spin) // gaps of all sizes
                    std::atomic_signal_fence(std::memory_order_seq_cst);
            }
            ports_->send(kLowKey, 0);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (settledRounds <= round && stalledRound < 0) {
                std::this_thread::yield();
                if (std::chrono::steady_clock::now() > deadline)
                    stalledRound = round;
            }
        }
        senderDone = true;
    });
    while (!senderDone) {
        QCoreApplication::sendPostedEvents();
        if (!isPlaying("low"))
            settledRounds = started;
    }
    sender.join();
    EXPECT_EQ(stalledRound, -1) << "a note-off waited in the queue for the next note";
    EXPECT_EQ(keyboard_->droppedNotes(), 0u);
}

TEST_F(MidiKeyboardTest, MidiNotesOutliveTheWindowLosingTheFocus) {
    keyboard_->choosePort("USB Keys:USB Keys MIDI 1");
    ports_->send(kHighKey, 100);
    deliverPosted();
    QTest::keyPress(&piano_, Qt::Key_Q);
    ASSERT_TRUE(isPlaying("high") && isPlaying("low"));
    // The computer key's release would go to another window; the MIDI note's comes here.
    piano_.releaseEverything();
    EXPECT_FALSE(isPlaying("low"));
    EXPECT_TRUE(isPlaying("high"));
    ports_->send(kHighKey, 0);
    deliverPosted();
    EXPECT_FALSE(isPlaying("high"));
}

TEST_F(MidiKeyboardTest, TheRecorderTakesMidiNotesAsItTakesKeyPresses) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString script = folder.filePath("live.snc");
    session_.setMelodyPath(script);
    keyboard_->choosePort("USB Keys:USB Keys MIDI 1");
    session_.startRecording();
    ASSERT_TRUE(session_.isRecording());
    ports_->send(kHighKey, 90);
    deliverPosted();
    ports_->send(kHighKey, 0);
    ports_->send(kDrumKey, 90);
    ports_->send(61, 90); // no sound on 61
    deliverPosted();
    QTest::keyClick(&piano_, Qt::Key_Q); // a key press in between
    ports_->send(kDrumKey, 0, false);
    ports_->send(kLowKey, 30);
    ports_->send(kLowKey, 30); // held: no second note
    deliverPosted();
    ports_->send(kLowKey, 0);
    deliverPosted();
    session_.stopRecording();

    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QStringList playLines;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.contains(" a "))
            playLines << QString::fromLatin1(line.trimmed());
    EXPECT_EQ(playLines, QStringList({"high a -1", "drum a -1", "low a -1", "low a -1"}));
    EXPECT_TRUE(QFile::exists(folder.filePath("live.wav")));
}

TEST_F(MidiKeyboardTest, ALostPortIsMarkedAndReconnectedWhenItReturns) {
    keyboard_->choosePort("USB Keys:USB Keys MIDI 1");
    ports_->send(kLowKey, 100);
    deliverPosted();
    ASSERT_TRUE(isPlaying("low"));
    QSignalSpy changed(keyboard_.get(), &MidiKeyboard::portsChanged);

    ports_->unplug("USB Keys:USB Keys MIDI 1");
    keyboard_->refreshPorts();
    EXPECT_FALSE(keyboard_->isConnected());
    EXPECT_EQ(keyboard_->chosenPort(), "USB Keys:USB Keys MIDI 1");
    EXPECT_FALSE(isPlaying("low")); // its held note would never get its note-off
    EXPECT_EQ(menuEntries(), QStringList({"&None", "Midi Through:Midi Through Port-0",
                                          "USB Keys:USB Keys MIDI 1 (disconnected)*-"}));
    EXPECT_EQ(changed.count(), 1);
    keyboard_->refreshPorts(); // nothing new: no change
    EXPECT_EQ(changed.count(), 1);

    // Back under the same name (with other sequencer numbers, which the name has lost).
    ports_->ports.push_back("USB Keys:USB Keys MIDI 1");
    keyboard_->refreshPorts();
    EXPECT_TRUE(keyboard_->isConnected());
    EXPECT_EQ(ports_->openPort, "USB Keys:USB Keys MIDI 1");
    EXPECT_EQ(ports_->opens, 2);
    EXPECT_EQ(menuEntries(),
              QStringList({"&None", "Midi Through:Midi Through Port-0", "USB Keys:USB Keys MIDI 1*"}));
    ports_->send(kHighKey, 100);
    deliverPosted();
    EXPECT_TRUE(isPlaying("high"));

    // A new port appears in the menu at the timer's next poll.
    ports_->ports.push_back("Piano:Piano MIDI 1");
    QSignalSpy polled(keyboard_.get(), &MidiKeyboard::portsChanged);
    keyboard_->pollTimer().setInterval(0);
    for (int round = 0; round < 1000 && polled.isEmpty(); ++round)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(polled.count(), 1);
    EXPECT_EQ(menuEntries().last(), "Piano:Piano MIDI 1");
}

TEST_F(MidiKeyboardTest, AnotherInstrumentGetsItsOwnKeysAndNotesWithoutOneAreIgnored) {
    keyboard_->choosePort("USB Keys:USB Keys MIDI 1");
    std::vector<std::int16_t> samples(2205);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>((i % 50) * 400 - 10000);
    pellamy::SoundStreamDescription records[2];
    for (int i = 0; i < 2; ++i) {
        records[i].name = i == 0 ? "1C" : "1D";
        records[i].format = {pellamy::kWaveFormatPcm, 1, 22050, 44100, 2, 16, 0};
        records[i].dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
        records[i].data = samples.data();
    }
    // Generated notes lie on their names' keys: 1C on 48, 1D on 50.
    session_.adoptRecords(2, records);
    ASSERT_TRUE(session_.isLoaded());
    EXPECT_EQ(keyboard_->aliasForMidiKey(48), "1C");
    EXPECT_EQ(keyboard_->aliasForMidiKey(50), "1D");
    EXPECT_EQ(keyboard_->aliasForMidiKey(kHighKey), "");
    ports_->send(50, 100);
    deliverPosted();
    EXPECT_TRUE(isPlaying("1D"));

    // A failed load keeps the instrument and its keys.
    session_.loadFile(QStringLiteral("/nonexistent.ins"));
    EXPECT_EQ(keyboard_->aliasForMidiKey(48), "1C");
    messages_.texts.clear();
}

TEST_F(MidiKeyboardTest, SoundsWithoutAComputerKeyPlayAndRecordToo) {
    // 26 generated notes: the computer keys reach the first 24, a MIDI
    // keyboard every one (3C# is key 73).
    static const char* const kPitchClasses[] = {"C",  "C#", "D",  "D#", "E",  "F",
                                                "F#", "G",  "G#", "A",  "A#", "B"};
    std::vector<std::int16_t> samples(2205);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>((i % 50) * 400 - 10000);
    std::vector<pellamy::SoundStreamDescription> records(26);
    for (std::size_t i = 0; i < records.size(); ++i) {
        records[i].name = std::to_string(1 + i / 12) + kPitchClasses[i % 12];
        records[i].format = {pellamy::kWaveFormatPcm, 1, 22050, 44100, 2, 16, 0};
        records[i].dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
        records[i].data = samples.data();
    }
    session_.adoptRecords(static_cast<int>(records.size()), records.data());
    ASSERT_TRUE(session_.isLoaded());
    ASSERT_EQ(session_.instrument()->keyForAlias("3C#"), 0u) << "3C# has a computer key";
    EXPECT_EQ(keyboard_->aliasForMidiKey(73), "3C#");

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    session_.setMelodyPath(folder.filePath("live.snc"));
    keyboard_->choosePort("USB Keys:USB Keys MIDI 1");
    session_.startRecording();
    ports_->send(73, 100);
    deliverPosted();
    EXPECT_TRUE(isPlaying("3C#"));
    ports_->send(73, 0);
    deliverPosted();
    EXPECT_FALSE(isPlaying("3C#"));
    session_.stopRecording();

    QFile file(folder.filePath("live.snc"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QStringList playLines;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.contains(" a "))
            playLines << QString::fromLatin1(line.trimmed());
    EXPECT_EQ(playLines, QStringList({"3C# a -1"}));
}

TEST(MidiKeyboard, WithoutAMidiSystemTheMenuSaysSoAndNothingElseChanges) {
    CapturedMessages messages;
    InstrumentSession session;
    QMenu menu;
    auto ports = std::make_shared<FakeMidiPorts>();
    ports->available = false;
    MidiKeyboard keyboard(&session, &menu, std::make_unique<FakeMidiInputSource>(ports));
    ASSERT_EQ(menu.actions().size(), 1);
    EXPECT_EQ(menu.actions().front()->text(), "No MIDI system (ALSA sequencer not available)");
    EXPECT_FALSE(menu.actions().front()->isEnabled());
    EXPECT_FALSE(keyboard.pollTimer().isActive());
    keyboard.refreshPorts();
    keyboard.choosePort("anything");
    EXPECT_FALSE(keyboard.isConnected());
    EXPECT_EQ(menu.actions().size(), 1);
    EXPECT_TRUE(messages.texts.isEmpty());

    // A source that has a MIDI system replaces it.
    ports->available = true;
    ports->ports = {"Keys"};
    keyboard.setSource(std::make_unique<FakeMidiInputSource>(ports));
    EXPECT_TRUE(keyboard.pollTimer().isActive());
    EXPECT_EQ(ports->openPort, ""); // "anything" is still chosen, and absent
    ASSERT_EQ(menu.actions().size(), 4);
    EXPECT_EQ(menu.actions().at(3)->text(), "anything (disconnected)");
}

TEST(MidiKeyboard, TheMainWindowHasTheMidiInputMenuWhenBuiltWithMidi) {
    CapturedMessages messages;
    const std::unique_ptr<MainWindow> window = buildMainWindow();
    CMainFrame& frame = window->frame();
    if (!KIVORA_WITH_MIDI) {
        EXPECT_EQ(frame.midiInputMenu(), nullptr);
        return;
    }
    ASSERT_NE(frame.midiInputMenu(), nullptr);
    EXPECT_EQ(frame.midiInputMenu()->title(), "MI&DI Input");
    auto ports = std::make_shared<FakeMidiPorts>();
    ports->ports = {"Keys"};
    frame.midiKeyboard()->setSource(std::make_unique<FakeMidiInputSource>(ports));
    ASSERT_TRUE(frame.instrumentSession().loadFile(duoInstrumentPath()));
    frame.midiInputMenu()->actions().last()->trigger();
    EXPECT_EQ(ports->openPort, "Keys");
    ports->send(kLowKey, 100);
    QCoreApplication::sendPostedEvents();
    const pellamy::Sound* low = frame.instrumentSession().instrument()->soundFor("low");
    EXPECT_TRUE(low->isPlaying());
    EXPECT_TRUE(messages.texts.isEmpty()) << messages.texts.join('\n').toStdString();
}

} // namespace
} // namespace kivora
