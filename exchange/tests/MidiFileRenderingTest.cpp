// MIDI files played through an instrument the one way the window and the
// command-line tool share: which files count as MIDI files, and what a
// rendering says about the notes it left out.
#include <kivora/exchange/MidiFile.h>
#include <kivora/exchange/MidiFileRendering.h>
#include <pellamy/InstrumentModel.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <numbers>
#include <vector>

namespace {

using namespace kivora::exchange;
namespace fs = std::filesystem;

// A format-0 file at 96 ticks a beat: each note a beat long, one after the other.
struct Note {
    int channel;
    int key;
};
std::vector<char> midiBytes(const std::vector<Note>& notes) {
    std::vector<unsigned char> track;
    for (const Note& note : notes) {
        const auto status = static_cast<unsigned char>(note.channel);
        track.insert(track.end(),
                     {0, static_cast<unsigned char>(0x90 | status), static_cast<unsigned char>(note.key), 100,
                      0x60, static_cast<unsigned char>(0x80 | status), static_cast<unsigned char>(note.key),
                      0});
    }
    track.insert(track.end(), {0, 0xFF, 0x2F, 0});
    std::vector<unsigned char> bytes = {'M', 'T', 'h', 'd', 0,  0,   0,   6,   0,
                                        0,   0,   1,   0,   96, 'M', 'T', 'r', 'k'};
    const auto size = static_cast<std::uint32_t>(track.size());
    bytes.insert(bytes.end(), {static_cast<unsigned char>(size >> 24), static_cast<unsigned char>(size >> 16),
                               static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)});
    bytes.insert(bytes.end(), track.begin(), track.end());
    return {bytes.begin(), bytes.end()};
}

class MidiFileRenderingTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("kivora-midi-rendering-" +
                   std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::create_directories(folder_);
        // A generated note's name gives its key without measuring: 1C is 48.
        std::vector<std::int16_t> values(22050);
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] =
                static_cast<std::int16_t>(8000.0 * std::sin(2.0 * std::numbers::pi * 130.81 * i / 44100));
        instrument_.addSound("1C", pellamy::Sound::make(values, 44100, 1, 16, 1.0f));
    }
    void TearDown() override { fs::remove_all(folder_); }
    std::string write(const std::string& name, const std::vector<char>& bytes) const {
        const std::string path = (folder_ / name).string();
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    fs::path folder_;
    pellamy::InstrumentModel instrument_;
};

TEST(MidiFileExtensions, AreRecognisedInAnyLetterCaseAndOnlyAtTheEnd) {
    for (const char* path : {"song.mid", "SONG.MID", "a/b.Midi", "tune.smf", "x.SmF", ".mid"})
        EXPECT_TRUE(isMidiFilePath(path)) << path;
    for (const char* path : {"song.wav", "song.mid.bak", "songmid", "folder.mid/song", "song.mi", ""})
        EXPECT_FALSE(isMidiFilePath(path)) << path;
    EXPECT_EQ(midiFileExtensions(), (std::vector<std::string>{".mid", ".midi", ".smf"}));
}

TEST_F(MidiFileRenderingTest, LeftOutNotesAreCountedAndPutInWords) {
    const std::string path = write("song.mid", midiBytes({{0, 48}, {9, 36}, {9, 38}, {0, 100}, {0, 48}}));
    const MidiFileRendering result = renderMidiFile(path, instrument_, SongRenderOptions{});
    EXPECT_EQ(result.rendering.notesPlayed, 2);
    EXPECT_EQ(result.skippedPercussion, "2 percussion notes (channel 10) skipped");
    EXPECT_EQ(result.uncoveredKeys, "1 note on keys the instrument does not cover: 100 (1)");
    EXPECT_GT(result.rendering.frames(), 0u);

    const MidiFileRendering clean =
        renderMidiFile(write("one.MIDI", midiBytes({{0, 48}, {9, 36}})), instrument_, SongRenderOptions{});
    EXPECT_EQ(clean.skippedPercussion, "1 percussion note (channel 10) skipped");
    EXPECT_EQ(clean.uncoveredKeys, "");
    EXPECT_EQ(describeSkippedPercussion(0), "");
}

TEST_F(MidiFileRenderingTest, NoNoteOnAKeyIsAResultAndUnreadableInputsAreErrors) {
    const MidiFileRendering offKeys =
        renderMidiFile(write("high.mid", midiBytes({{0, 100}})), instrument_, SongRenderOptions{});
    EXPECT_EQ(offKeys.rendering.notesPlayed, 0);
    EXPECT_EQ(offKeys.uncoveredKeys, "1 note on keys the instrument does not cover: 100 (1)");

    // A folder is no file to open, whatever the stream library makes of it.
    const std::string folder = (folder_ / "folder.mid").string();
    fs::create_directories(folder);
    try {
        renderMidiFile(folder, instrument_, SongRenderOptions{});
        ADD_FAILURE() << "a folder rendered";
    } catch (const MidiFileError& failure) {
        EXPECT_EQ(std::string(failure.what()), "Can't open MIDI file " + folder + ": Is a directory");
    }
    EXPECT_THROW(renderMidiFile(write("broken.mid", {'M', 'T', 'h', 'd'}), instrument_, SongRenderOptions{}),
                 MidiFileError);
    const std::string path = write("song.mid", midiBytes({{0, 48}}));
    try {
        renderMidiFile(path, pellamy::InstrumentModel{}, SongRenderOptions{});
        ADD_FAILURE() << "rendered without sounds";
    } catch (const SongRenderError& failure) {
        EXPECT_EQ(std::string(failure.what()), "No instrument to render with");
    }
    // A rendering that cannot be written names the file and why.
    const MidiFileRendering song = renderMidiFile(path, instrument_, SongRenderOptions{});
    const std::string nowhere = (folder_ / "no/such/song.wav").string();
    try {
        writeSongWav(song.rendering, nowhere);
        ADD_FAILURE() << "written into a missing folder";
    } catch (const SongRenderError& failure) {
        EXPECT_EQ(std::string(failure.what()),
                  "Can't write wav file " + nowhere + ": No such file or directory");
    }
}

} // namespace
