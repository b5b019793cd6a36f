// The MIDI reader against a hand-assembled file and files made by Python's
// mido (Debian's python3-mido), and the conversion to a melody script
// rendered through the engine, checked to the sample frame.
#include <kivora/exchange/MidiFile.h>
#include <kivora/exchange/MidiMelody.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/MelodyRenderer.h>
#include <pellamy/Sound.h>
#include <pellamy/WavFile.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using kivora::exchange::MidiFileError;
using kivora::exchange::MidiNote;
using kivora::exchange::parseMidi;

std::vector<std::uint8_t> bytesOf(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (int v : values)
        bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

// Format 0, 96 ticks per quarter. At 120 bpm a tick is 1/192 s; after a
// tempo change to 60 bpm at tick 192 it is 1/96 s. Running status, a note-on
// of velocity 0 as note-off, two overlapping notes on one key, a SysEx and
// an unknown chunk before the track.
std::vector<std::uint8_t> handMadeSong() {
    std::vector<std::uint8_t> file = bytesOf({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96});
    const auto junk = bytesOf({'J', 'U', 'N', 'K', 0, 0, 0, 2, 0xAB, 0xCD});
    file.insert(file.end(), junk.begin(), junk.end());
    const auto track = bytesOf({
        0x00, 0xF0, 0x03, 0x7E, 0x7F, 0xF7,       // SysEx
        0x00, 0x90, 60,   100,                    // tick 0: C4 on
        0x60, 64,   90,                           // tick 96 (running status): E4 on
        0x60, 60,   0,                            // tick 192: C4 off (velocity 0)
        0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40, // tick 192: 1 000 000 µs per quarter
        0x00, 0x99, 36,   80,                     // tick 192: percussion channel
        0x30, 0x80, 64,   0,                      // tick 240: E4 off
        0x00, 0x90, 67,   70,                     // tick 240: G4 on
        0x10, 67,   70,                           // tick 256: a second G4 on
        0x20, 0x80, 67,   0,                      // tick 288: first G4 off
        0x81, 0x00, 67,   0,                      // tick 416 (two-byte delta, running status): second G4 off
        0x00, 0xFF, 0x2F, 0x00,
    });
    const auto header = bytesOf({'M', 'T', 'r', 'k', 0, 0, 0, static_cast<int>(track.size())});
    file.insert(file.end(), header.begin(), header.end());
    file.insert(file.end(), track.begin(), track.end());
    return file;
}

void expectNote(const MidiNote& note, double start, double duration, int key, int channel) {
    EXPECT_NEAR(note.startSeconds, start, 1e-12) << "key " << key;
    EXPECT_NEAR(note.durationSeconds, duration, 1e-12) << "key " << key;
    EXPECT_EQ(note.key, key);
    EXPECT_EQ(note.channel, channel);
}

TEST(MidiFile, ReadsAHandAssembledSongWithTempoChangeAndRunningStatus) {
    const kivora::exchange::MidiSong song = parseMidi(handMadeSong());
    EXPECT_EQ(song.format, 0);
    EXPECT_EQ(song.trackCount, 1);
    ASSERT_EQ(song.notes.size(), 5u);
    expectNote(song.notes[0], 0.0, 1.0, 60, 0);
    expectNote(song.notes[1], 0.5, 0.5 + 48 / 96.0, 64, 0);
    expectNote(song.notes[2], 1.0, 1.0 + 224 / 96.0 - 1.0, 36, 9); // ends with the file
    expectNote(song.notes[3], 1.5, 0.5, 67, 0);                    // the first G4 ends first
    expectNote(song.notes[4], 1.5 + 16 / 96.0, 2.0 + 128 / 96.0 - (1.5 + 16 / 96.0), 67, 0);
}

TEST(MidiFile, RefusesWhatIsNotAReadableSong) {
    const std::vector<std::uint8_t> good = handMadeSong();
    for (std::size_t cut : {0u, 10u, 20u, 40u}) {
        const std::vector<std::uint8_t> truncated(good.begin(), good.begin() + static_cast<long>(cut));
        EXPECT_THROW(parseMidi(truncated), MidiFileError) << cut;
    }
    std::vector<std::uint8_t> formatTwo = good;
    formatTwo[9] = 2;
    try {
        parseMidi(formatTwo);
        FAIL();
    } catch (const MidiFileError& error) {
        EXPECT_NE(std::string(error.what()).find("format 2"), std::string::npos);
    }
    std::vector<std::uint8_t> noStatus = good;
    noStatus[14 + 10 + 8 + 6 + 1] = 0x40; // the first note-on's status becomes a data byte
    EXPECT_THROW(parseMidi(noStatus), MidiFileError);
    EXPECT_THROW(kivora::exchange::readMidiFile("/nonexistent/song.mid"), MidiFileError);
}

std::string midiFailure(const std::function<void()>& read) {
    try {
        read();
    } catch (const MidiFileError& error) {
        return error.what();
    }
    return "nothing thrown";
}

TEST(MidiFile, FailuresNameTheFileAndQuoteAForeignHeaderEscaped) {
    EXPECT_EQ(midiFailure([] { kivora::exchange::readMidiFile("/nonexistent/song.mid"); }),
              "Can't open MIDI file /nonexistent/song.mid: No such file or directory");
    EXPECT_EQ(midiFailure([] { kivora::exchange::readMidiFile("/dev/null"); }),
              "Can't open MIDI file /dev/null: not a regular file");
    // A WAV file (or anything else) given as a song: its first bytes, escaped.
    const std::vector<std::uint8_t> riff = {'R', 'I', 'F', 'F', 0x24, 0x08, 0x00, 0x00,
                                            'W', 'A', 'V', 'E', 'f',  'm',  't',  ' '};
    EXPECT_EQ(midiFailure([&] { parseMidi(riff); }),
              "Not a readable MIDI file: no MThd header (it begins \"RIFF\") in the file at byte 0");
    const std::vector<std::uint8_t> binary = {0x7F, 'E',  0x00, 0x1B, 0xFF, 0x00, 0x00, 0x00,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(
        midiFailure([&] { parseMidi(binary); }),
        "Not a readable MIDI file: no MThd header (it begins \"\\x7FE\\x00\\x1B\") in the file at byte 0");
    EXPECT_EQ(midiFailure([&] {
                  parseMidi(std::vector<std::uint8_t>{'M', 'T'});
              }),
              "Not a readable MIDI file: the file ends inside its MThd header (2 bytes; the header takes 14) "
              "in the file at byte 0");
    // A header cut short is not a foreign one.
    EXPECT_EQ(midiFailure([&] {
                  parseMidi(std::vector<std::uint8_t>{'M', 'T', 'h', 'd', 0, 0, 0, 6});
              }),
              "Not a readable MIDI file: the file ends inside its MThd header (8 bytes; the header takes 14) "
              "in the file at byte 0");
    EXPECT_EQ(midiFailure([&] { parseMidi(std::vector<std::uint8_t>{}); }),
              "Not a readable MIDI file: the file is empty in the file at byte 0");
    // Read from a file, the message names it.
    const fs::path wav = fs::temp_directory_path() / ("kivora-midi-" + std::to_string(::getpid()) + ".mid");
    std::ofstream(wav, std::ios::binary).write(reinterpret_cast<const char*>(riff.data()), 16);
    EXPECT_EQ(midiFailure([&] { kivora::exchange::readMidiFile(wav.string()); }),
              "Not a readable MIDI file " + wav.string() +
                  ": no MThd header (it begins \"RIFF\") in the file at byte 0");
    fs::remove(wav);
}

// Runs Debian's Python (where python3-mido lives) on a script.
int runPython(const std::string& script, const fs::path& folder) {
    const fs::path file = folder / "make.py";
    std::ofstream(file) << script;
    const std::string command = "cd '" + folder.string() + "' && /usr/bin/python3 make.py > out.txt 2>&1";
    return std::system(command.c_str());
}

class MidiFromMido : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("kivora-midi-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path folder_;
};

// Format 1: the tempo map in the first track (120, then 90, then 150 bpm),
// notes in two more tracks, overlapping; mido prints every note's start and
// end in seconds as it plays the file.
TEST_F(MidiFromMido, NotesStartAndEndWhereMidoPlaysThem) {
    const int status = runPython(R"(
import mido
song = mido.MidiFile(type=1, ticks_per_beat=480)
tempo = mido.MidiTrack(); song.tracks.append(tempo)
tempo.append(mido.MetaMessage('set_tempo', tempo=500000, time=0))
tempo.append(mido.MetaMessage('set_tempo', tempo=666667, time=960))
tempo.append(mido.MetaMessage('set_tempo', tempo=400000, time=1000))
for channel, keys, step in ((0, (60, 64, 67, 72), 300), (3, (48, 55), 700)):
    track = mido.MidiTrack(); song.tracks.append(track)
    events = []
    for i, key in enumerate(keys):
        events.append((i * step, 'note_on', key)); events.append((i * step + step + 250, 'note_off', key))
    events.sort()
    now = 0
    for tick, kind, key in events:
        track.append(mido.Message(kind, note=key, velocity=64 if kind == 'note_on' else 0, channel=channel, time=tick - now))
        now = tick
song.save('song.mid')
now = 0.0
started = {}
for message in song:
    now += message.time
    if message.type == 'note_on':
        started[(message.channel, message.note)] = now
    elif message.type == 'note_off':
        print('%d %d %.9f %.9f' % (message.channel, message.note, started[(message.channel, message.note)], now))
)",
                                 folder_);
    ASSERT_EQ(status, 0) << "python3-mido is needed";
    const kivora::exchange::MidiSong song = kivora::exchange::readMidiFile((folder_ / "song.mid").string());
    EXPECT_EQ(song.format, 1);
    EXPECT_EQ(song.trackCount, 3);
    std::ifstream expected(folder_ / "out.txt");
    int channel = 0, key = 0, count = 0;
    double start = 0.0, end = 0.0;
    while (expected >> channel >> key >> start >> end) {
        ++count;
        const auto match = std::find_if(song.notes.begin(), song.notes.end(), [&](const MidiNote& note) {
            return note.channel == channel && note.key == key;
        });
        ASSERT_NE(match, song.notes.end()) << key;
        EXPECT_NEAR(match->startSeconds, start, 1e-6) << key;
        EXPECT_NEAR(match->startSeconds + match->durationSeconds, end, 1e-6) << key;
    }
    EXPECT_EQ(count, 6);
    EXPECT_EQ(song.notes.size(), 6u);
}

// A sound that is one impulse: where it lands in the rendering shows the frame
// at which its play line started.
pellamy::Sound impulse(std::int16_t height) {
    std::vector<std::int16_t> values(64, 0);
    values[0] = height;
    return pellamy::Sound::make(values, 22050, 1, 16, 1.0f);
}

std::vector<std::int16_t> readValues(const std::string& path) {
    std::unique_ptr<pellamy::WavFile> wav;
    EXPECT_EQ(pellamy::openWavForRead(path, wav), pellamy::kWavOk);
    if (!wav)
        return {};
    std::vector<std::int16_t> values(wav->size() / 2);
    std::uint32_t delivered = 0;
    wav->read(reinterpret_cast<std::uint8_t*>(values.data()), wav->size(), &delivered);
    values.resize(delivered / 2);
    return values;
}

TEST_F(MidiFromMido, ConvertedNotesRenderAtTheirSampleFrame) {
    const kivora::exchange::MidiSong song = parseMidi(handMadeSong());
    pellamy::InstrumentModel instrument;
    // Generated-note names put the sounds on keys 60 (2C), 64 (2E) and 67 (2G).
    instrument.addSound("2C", impulse(1000));
    instrument.addSound("2E", impulse(2000));
    instrument.addSound("2G", impulse(3000));
    instrument.markLoaded();
    const unsigned rate = 22050;
    const auto roots = kivora::exchange::assignRootKeys(instrument);
    const kivora::exchange::MidiConversion conversion =
        kivora::exchange::convertMidi(song, roots, rate, -1, "hand-made.mid");
    EXPECT_EQ(conversion.notesPlayed, 4);
    EXPECT_EQ(conversion.notesOfOtherChannels, 1); // the percussion note
    EXPECT_TRUE(conversion.uncoveredKeys.empty());

    const fs::path script = folder_ / "song.snc";
    std::ofstream(script) << conversion.script;
    pellamy::MelodyRenderer renderer;
    renderer.setInstrument(&instrument);
    renderer.render(script.string(), (folder_ / "song.wav").string());
    const std::vector<std::int16_t> values = readValues((folder_ / "song.wav").string());

    std::vector<std::pair<std::size_t, int>> onsets;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (values[i] != 0)
            onsets.emplace_back(i, values[i]);
    const std::vector<std::pair<std::size_t, int>> expected = {
        {0, 1000},
        {static_cast<std::size_t>(std::llround(0.5 * rate)), 2000},
        {static_cast<std::size_t>(std::llround(1.5 * rate)), 3000},
        {static_cast<std::size_t>(std::llround((1.5 + 16 / 96.0) * rate)), 3000}};
    EXPECT_EQ(onsets, expected) << conversion.script;

    const auto other = kivora::exchange::convertMidi(song, roots, rate, 9, "hand-made.mid");
    EXPECT_EQ(other.notesPlayed, 0);
    EXPECT_EQ(kivora::exchange::describeUncovered(other),
              "1 note on keys the instrument does not cover: 36 (1)");
}

TEST(MidiMelody, WaitsGiveExactlyTheirFramesInShortForm) {
    EXPECT_EQ(kivora::exchange::secondsForFrames(11025, 44100), "0.25");
    for (unsigned rate : {8000u, 22050u, 44100u, 48000u, 96000u})
        for (std::uint64_t frames : {1ull, 7ull, 441ull, 13230ull, 44099ull, 1234567ull}) {
            const std::string text = kivora::exchange::secondsForFrames(frames, rate);
            const double seconds = std::strtod(text.c_str(), nullptr);
            EXPECT_EQ(static_cast<std::uint64_t>(std::trunc(rate * seconds)), frames)
                << text << " at " << rate;
        }
    EXPECT_EQ(kivora::exchange::secondsForFrames(22050, 44100), "0.5");
}

} // namespace

TEST(MidiMelody, TheRenderingRateIsTheFirstSoundsAndCdRateWithoutOne) {
    pellamy::InstrumentModel instrument;
    EXPECT_EQ(kivora::exchange::renderingSampleRate(instrument), 44100u);
    const std::vector<std::int16_t> values(64, 100);
    instrument.addSound("second", pellamy::Sound::make(values, 22050, 1, 16, 1.0f));
    instrument.addSound("first", pellamy::Sound::make(values, 8000, 2, 16, 1.0f));
    EXPECT_EQ(kivora::exchange::renderingSampleRate(instrument), 22050u); // definition order, not names
}
