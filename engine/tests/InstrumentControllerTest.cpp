#include "LiveOutputSupport.h"
#include "RecordingCanvas.h"
#include "TestFiles.h"

#include <pellamy/InstrumentController.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/SoundOutput.h>
#include <pellamy/WavFile.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <malloc.h>
#include <string>
#include <vector>

using namespace pellamy;
using pellamy::testing::RecordingCanvas;

namespace {

const std::vector<std::string> kNoteNames = {"1C",  "1C#", "1D",  "1D#", "1E",  "1F",
                                             "1F#", "1G",  "1G#", "1A",  "1A#", "1B"};

// Generated notes as the main program hands them over: one octave of 200 ms
// tones, 44.1 kHz mono.
class GeneratedNotes {
public:
    explicit GeneratedNotes(std::size_t count = 12, double durationMs = 200) {
        for (std::size_t i = 0; i < count; ++i)
            values_.push_back(
                pellamy::testing::envelopedTone(261.63 * std::pow(2.0, i / 12.0), 44100, durationMs, 8000));
        for (std::size_t i = 0; i < count; ++i)
            records_.push_back(pellamy::testing::monoDescription(
                i < kNoteNames.size() ? kNoteNames[i] : "n" + std::to_string(i), values_[i], 44100));
    }
    int count() const { return static_cast<int>(records_.size()); }
    const SoundStreamDescription* data() const { return records_.data(); }
    SoundStreamDescription* mutableData() { return records_.data(); }

private:
    std::vector<std::vector<std::int16_t>> values_;
    std::vector<SoundStreamDescription> records_;
};

std::string thrownText(const std::function<void()>& action) {
    try {
        action();
    } catch (const char* text) {
        return text;
    } catch (const std::string& text) {
        return "string: " + text;
    } catch (const InitFailedException& failure) {
        return "InitFailedException: " + failure.message();
    }
    return "nothing thrown";
}

std::string contentsOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// A controller over one generated octave with a hand-driven recorder clock,
// its keyboard painted at (0, 0)-(702, 102): white keys 100 wide, black keys
// 30 wide from x = 85 and 61 high.
class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        controller.CreateInstrumentSuite(notes.count(), notes.data());
        RecordingCanvas canvas;
        controller.VisualUpdate(canvas, {0, 0, 702, 102}, true);
    }
    bool playing(const std::string& alias) const {
        return controller.instrument()->soundFor(alias)->isPlaying();
    }
    // The fill colours the keyboard paints now, in drawing order.
    std::vector<std::string> paintedRects() {
        RecordingCanvas canvas;
        controller.VisualUpdate(canvas, {0, 0, 702, 102}, false);
        return canvas.only("rect");
    }

    GeneratedNotes notes;
    std::int64_t nowMs = 5000;
    InstrumentController controller{[this] { return nowMs; }};
    testfiles::TempFolder folder;
};

} // namespace

TEST(InstrumentControllerGuards, EveryGuardedMemberThrowsWithoutASuite) {
    const auto expectGuarded = [](InstrumentController& controller) {
        RecordingCanvas canvas;
        const std::string notReady = "Using not-initialized object";
        EXPECT_EQ(thrownText([&] { controller.KeyPress('Q'); }), notReady);
        EXPECT_EQ(thrownText([&] { controller.KeyRelease('Q', true); }), notReady);
        EXPECT_EQ(thrownText([&] { controller.SoundPress("1C"); }), notReady);
        EXPECT_EQ(thrownText([&] { controller.SoundRelease("1C", false); }), notReady);
        EXPECT_EQ(thrownText([&] { controller.MouseDown(1, 1); }), notReady);
        EXPECT_EQ(thrownText([&] { controller.MouseUp(1, 1, false); }), notReady);
        EXPECT_EQ(thrownText([&] { controller.MouseMove(1, 1, false); }), notReady);
        EXPECT_EQ(thrownText([&] { controller.VisualUpdate(canvas, {0, 0, 10, 10}, true); }), notReady);
        EXPECT_EQ(thrownText([&] { controller.getActiveArea(); }), notReady);
        EXPECT_EQ(thrownText([&] { controller.SaveInstrument("x.ins", true); }), notReady);
        EXPECT_EQ(thrownText([&] { controller.RenderToFile("x.snc", "", false); }),
                  "Using non-initialized object");
        EXPECT_EQ(thrownText([&] { controller.RenderFileUsingCurrentInstrument("x.snc", "x.wav", false); }),
                  "Using non-initialized object");
        EXPECT_FALSE(controller.IsRendering());
        EXPECT_EQ(thrownText([&] { controller.RenderStop(); }), "nothing thrown");
        EXPECT_TRUE(canvas.operations.empty());
    };

    InstrumentController fresh;
    expectGuarded(fresh);
    EXPECT_EQ(fresh.instrument(), nullptr);

    // An unreadable file: the std::string failure drops the instrument.
    InstrumentController missingFile;
    EXPECT_EQ(thrownText([&] { missingFile.CreateInstrumentSuite("/nonexistent/x.ins"); }),
              "string: Can't open instrument file /nonexistent/x.ins: No such file or directory");
    EXPECT_EQ(missingFile.instrument(), nullptr);
    expectGuarded(missingFile);

    // A duplicate name: the instrument built so far stays with the controller.
    GeneratedNotes notes(2);
    notes.mutableData()[1].name = notes.data()[0].name;
    InstrumentController duplicate;
    EXPECT_EQ(thrownText([&] { duplicate.CreateInstrumentSuite(notes.count(), notes.data()); }).substr(0, 15),
              "Error occured:\n");
    ASSERT_NE(duplicate.instrument(), nullptr);
    EXPECT_EQ(duplicate.instrument()->soundCount(), 1u);
    expectGuarded(duplicate);

    // A stream of no values: the sound output refuses it.
    GeneratedNotes empty(2);
    empty.mutableData()[1].dataBytes = 0;
    InstrumentController noBuffer;
    EXPECT_EQ(thrownText([&] { noBuffer.CreateInstrumentSuite(empty.count(), empty.data()); }),
              "Error creating buffer");
    expectGuarded(noBuffer);
}

TEST_F(ControllerTest, AHeldKeyRepeatsUntilReleasedAndThenRestarts) {
    EXPECT_FALSE(controller.KeyPress('Q'));
    EXPECT_TRUE(playing("1C"));
    EXPECT_TRUE(controller.KeyPress('Q'));
    EXPECT_TRUE(playing("1C"));
    controller.KeyRelease('Q', false);
    EXPECT_FALSE(playing("1C"));
    EXPECT_FALSE(controller.KeyPress('Q'));
    EXPECT_TRUE(playing("1C"));

    // The on-screen key follows: key 0 painted pressed, then released.
    EXPECT_EQ(paintedRects()[0], "rect 1 1 101 101 fill 255,255,100");
    controller.KeyRelease('Q', true);
    EXPECT_EQ(paintedRects()[0], "rect 1 1 101 101 fill 255,255,255");

    // A key bound to nothing is still held, and sounds nothing.
    EXPECT_FALSE(controller.KeyPress('A'));
    EXPECT_TRUE(controller.KeyPress('A'));
    for (const std::string& name : kNoteNames)
        EXPECT_FALSE(playing(name)) << name;
    // Codes beyond 255 do not occur; they are ignored.
    EXPECT_FALSE(controller.KeyPress(256 + 'Q'));
    EXPECT_FALSE(playing("1C"));
}

TEST_F(ControllerTest, TheSpaceBarStopsEverythingKeepsHeldNotesAndRecordsAClear) {
    const auto script = folder / "take.snc";
    controller.RenderToFile(script.string(), "", false);
    EXPECT_TRUE(controller.IsRendering());
    nowMs += 1000;
    controller.KeyPress('Q');
    nowMs += 500;
    EXPECT_FALSE(controller.KeyPress(' '));
    EXPECT_TRUE(controller.KeyPress(' ')); // auto-repeat: stops again, records nothing
    EXPECT_TRUE(playing("1C")) << "the space bar released a held note";
    EXPECT_TRUE(controller.KeyPress('Q')); // still held: nothing starts
    controller.KeyRelease(' ', false);
    EXPECT_FALSE(controller.KeyPress(' '));

    nowMs += 500;
    controller.RenderStop();
    EXPECT_FALSE(controller.IsRendering());
    const std::string text = contentsOf(script);
    EXPECT_EQ(occurrences(text, "!clear\n"), 2u) << text;
    EXPECT_EQ(occurrences(text, "1C a -1\n"), 1u) << text;
    EXPECT_NE(text.find("!wait 1.0000\n\n1C a -1\n!clear\n"), std::string::npos) << text;
    EXPECT_TRUE(std::filesystem::exists(folder / "take.wav"));
}

// Giving the device to another output and taking it back: held notes end,
// the instrument, its keys and the recording stay.
TEST_F(ControllerTest, MovingTheOutputReleasesHeldNotesAndKeepsTheRest) {
    const auto script = folder / "take.snc";
    controller.RenderToFile(script.string(), "", false);
    controller.KeyPress('Q');
    for (const OutputDevice device : {OutputDevice::Silent, OutputDevice::Default}) {
        controller.moveOutput(device);
        EXPECT_EQ(controller.outputDevice(), device);
        ASSERT_NE(controller.soundOutput(), nullptr);
        EXPECT_FALSE(playing("1C"));
        EXPECT_EQ(paintedRects()[0], "rect 1 1 101 101 fill 255,255,255");
        EXPECT_TRUE(controller.IsRendering());
        nowMs += 500;
        EXPECT_FALSE(controller.KeyPress('Q')) << "the key stayed held";
        EXPECT_TRUE(playing("1C"));
    }
    controller.RenderStop();
    EXPECT_EQ(occurrences(contentsOf(script), "1C a -1\n"), 3u);
}

TEST_F(ControllerTest, MouseDragsAcrossKeysStartTheNewKeyAndReleaseTheOldOne) {
    controller.KeyPress('Q');      // 1C held from the keyboard
    controller.MouseDown(-10, 50); // outside every key
    controller.MouseUp(-10, 50, true);
    EXPECT_TRUE(playing("1C")) << "a release outside every key released a note";

    controller.MouseDown(200, 30); // black key 3 (1D#)
    EXPECT_TRUE(playing("1D#"));
    controller.MouseMove(205, 40, true); // same key: nothing at all
    EXPECT_TRUE(playing("1D#"));
    controller.MouseMove(250, 80, false); // white key 4 (1E) below the black keys
    EXPECT_TRUE(playing("1E"));
    EXPECT_FALSE(playing("1D#"));
    const auto rects = paintedRects();
    EXPECT_EQ(rects[2], "rect 201 1 301 101 fill 255,255,100"); // key 4 pressed
    EXPECT_EQ(rects[8], "rect 186 1 216 61 fill 0,0,0");        // key 3 released

    controller.MouseMove(900, 50, false); // off the keyboard
    EXPECT_FALSE(playing("1E"));
    controller.KeyRelease('Q', false);
    controller.KeyPress('E');           // 1E from the keyboard
    controller.MouseUp(900, 50, false); // mouseKey is -1: releases nothing
    EXPECT_TRUE(playing("1E"));

    // MouseUp releases the key the mouse went down on, wherever it is now.
    controller.MouseDown(50, 90);
    EXPECT_TRUE(playing("1C"));
    controller.MouseUp(5000, 5000, false);
    EXPECT_FALSE(playing("1C"));
}

TEST_F(ControllerTest, SoundsPlayByAliasAsTheirKeysDoAndAreRecordedTheSame) {
    const auto script = folder / "take.snc";
    controller.RenderToFile(script.string(), "", false);
    nowMs += 250;
    controller.SoundPress("1D");
    EXPECT_TRUE(playing("1D"));
    EXPECT_EQ(paintedRects()[1], "rect 101 1 201 101 fill 255,255,100"); // key 2 pressed
    controller.SoundPress("1D");                                         // held: nothing new
    controller.SoundPress("no such sound");
    nowMs += 250;
    controller.SoundRelease("1D", false);
    EXPECT_FALSE(playing("1D"));
    controller.SoundRelease("no such sound", true);
    controller.KeyPress('W'); // 1D from its key: the same line again
    controller.KeyRelease('W', false);
    controller.RenderStop();
    const std::string text = contentsOf(script);
    EXPECT_EQ(occurrences(text, "1D a -1\n"), 2u) << text;
    EXPECT_EQ(occurrences(text, " a -1\n"), 2u) << text;
}

// SDL's dummy and disk drivers open one device at a time, so the tests below
// make one controller at a time.
TEST(InstrumentController, TheActiveAreaIsTheRectangleOfTheLastFullRedraw) {
    GeneratedNotes notes;
    InstrumentController fresh;
    fresh.CreateInstrumentSuite(notes.count(), notes.data());
    EXPECT_EQ(fresh.getActiveArea(), (Rect{-1, -1, -1, -1}));
    fresh.MouseDown(50, 50); // nothing is hit before the first redraw
    EXPECT_FALSE(fresh.instrument()->soundFor("1C")->isPlaying());
    RecordingCanvas canvas;
    fresh.VisualUpdate(canvas, {0, 0, 400, 90}, true);
    EXPECT_EQ(fresh.getActiveArea(), (Rect{0, 0, 400, 90}));
}

TEST_F(ControllerTest, RenderStopRendersTheRecordingBesideTheScript) {
    controller.RenderStop(); // not recording: nothing
    const auto script = folder / "tune.snc";
    controller.RenderToFile(script.string(), "", false);
    nowMs += 250;
    controller.KeyPress('W'); // 1D at 0.25 s
    controller.KeyRelease('W', false);
    controller.RenderStop();
    controller.RenderStop();

    std::unique_ptr<WavFile> wav;
    ASSERT_EQ(openWavForRead((folder / "tune.wav").string(), wav), kWavOk);
    EXPECT_EQ(wav->format()->nSamplesPerSec, 44100u);
    std::vector<std::int16_t> values(wav->size() / 2);
    std::uint32_t delivered = 0;
    ASSERT_EQ(wav->read(reinterpret_cast<std::uint8_t*>(values.data()), wav->size(), &delivered), kWavOk);
    // 0.25 s of silence, the note, silence to the end of the closing wait.
    const auto onset = static_cast<std::size_t>(
        std::find_if(values.begin(), values.end(), [](std::int16_t v) { return v != 0; }) - values.begin());
    EXPECT_EQ(onset, 11025u);
    EXPECT_EQ(values.size(), 11025u + 2 * 44100u);

    // An explicit WAV path is used as given.
    controller.RenderToFile((folder / "again.snc").string(), (folder / "elsewhere.wav").string(), true);
    controller.RenderStop();
    EXPECT_TRUE(std::filesystem::exists(folder / "elsewhere.wav"));
    EXPECT_FALSE(std::filesystem::exists(folder / "again.wav"));
}

TEST_F(ControllerTest, RendersScriptsAndSavesTheInstrument) {
    const auto script = folder / "melody.snc";
    std::ofstream(script) << "1C a -1\n!wait 0.5\n1E a 0.1\n!wait 0.25\n";
    controller.RenderFileUsingCurrentInstrument(script.string(), (folder / "melody.wav").string(), false);
    std::unique_ptr<WavFile> wav;
    ASSERT_EQ(openWavForRead((folder / "melody.wav").string(), wav), kWavOk);
    EXPECT_EQ(wav->size(), 2u * (22050 + 11025));

    controller.SaveInstrument((folder / "octave.ins").string(), false);
    EXPECT_EQ(occurrences(contentsOf(folder / "octave.ins"), " 0 "), 12u);
}

// Live playing and rendering keep their own cursors and playing flags: a
// rendering while a note is held renders as without it (also when the script
// plays that very note) and leaves the note held, its cursor where it was.
TEST_F(ControllerTest, RenderingWhileANoteIsHeldNeitherHearsNorReleasesIt) {
    const auto script = folder / "melody.snc";
    std::ofstream(script) << "1C a -1\n!wait 0.1\n1E a -1\n!wait 0.3\n1D a -1\n!wait 0.05\n";
    controller.RenderFileUsingCurrentInstrument(script.string(), (folder / "alone.wav").string(), false);

    controller.KeyPress('Q'); // 1C
    controller.KeyPress('W'); // 1D
    controller.KeyRelease('W', false);
    const Sound& held = *controller.instrument()->soundFor("1C");
    const std::uint32_t heldPosition = held.position();
    controller.RenderFileUsingCurrentInstrument(script.string(), (folder / "held.wav").string(), false);
    EXPECT_EQ(contentsOf(folder / "held.wav"), contentsOf(folder / "alone.wav"));
    EXPECT_TRUE(playing("1C")) << "the rendering released a held note";
    EXPECT_EQ(held.position(), heldPosition);
    EXPECT_FALSE(playing("1D"));
    EXPECT_FALSE(playing("1E")) << "a sound the script left streaming stayed on";

    // Recorded and rendered on RenderStop while the note is still held.
    controller.RenderToFile((folder / "take.snc").string(), "", false);
    nowMs += 100;
    controller.KeyPress('E'); // 1E
    controller.RenderStop();
    EXPECT_TRUE(playing("1C"));
    EXPECT_TRUE(playing("1E"));
    EXPECT_EQ(held.position(), heldPosition);
    controller.KeyRelease('Q', false);
    EXPECT_FALSE(playing("1C"));
}

TEST(InstrumentController, DestroyingWhileNotesSoundFinishesTheScriptWithoutRenderingIt) {
    GeneratedNotes notes;
    testfiles::TempFolder folder;
    std::int64_t nowMs = 0;
    const auto script = folder / "unfinished.snc";
    {
        InstrumentController playing{[&] { return nowMs; }};
        playing.CreateInstrumentSuite(notes.count(), notes.data());
        playing.RenderToFile(script.string(), "", false);
        nowMs += 100;
        for (const char key : std::string("Q2W3ER5T6Y7U"))
            playing.KeyPress(static_cast<unsigned>(key));
    }
    const std::string text = contentsOf(script);
    EXPECT_EQ(occurrences(text, " a -1\n"), 12u);
    EXPECT_EQ(text.substr(text.size() - 25), "\n--Finishing wait\n!wait 2");
    EXPECT_FALSE(std::filesystem::exists(folder / "unfinished.wav"));
}

TEST_F(ControllerTest, ASecondSuiteReplacesTheFirst) {
    controller.KeyPress('Q');
    GeneratedNotes two(2);
    controller.CreateInstrumentSuite(two.count(), two.data());
    EXPECT_EQ(controller.instrument()->soundCount(), 2u);
    EXPECT_EQ(controller.getActiveArea(), (Rect{-1, -1, -1, -1}));
    EXPECT_FALSE(controller.KeyPress('Q')) << "the held key of the old suite carried over";
    EXPECT_TRUE(playing("1C"));
}

// A generated instrument of long notes stays near the size of the notes: each
// sound holds its 16-bit values once, and its live voice one value per
// device frame (48 kHz, mono as the sound is), not a stereo copy, a copy of
// the values it was made from and doubles.
TEST(ControllerMemory, AnInstrumentCostsAboutTwiceItsNotesOnceLoaded) {
    const GeneratedNotes notes(12, 2000);
    std::size_t notesBytes = 0;
    for (int i = 0; i < notes.count(); ++i)
        notesBytes += notes.data()[i].dataBytes;
    const auto inUseBytes = [] {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    const std::size_t before = inUseBytes();
    InstrumentController controller;
    controller.setOutputDevice(OutputDevice::Silent);
    controller.CreateInstrumentSuite(notes.count(), notes.data());
    ASSERT_NE(controller.soundOutput(), nullptr);
    const std::size_t after = inUseBytes();
    if (after <= before)
        GTEST_SKIP() << "this allocator does not report the bytes in use";
    // The sounds (1x) and their voices at 48 kHz (48/44.1 x), with room for
    // the suite's small parts.
    EXPECT_LT(static_cast<double>(after - before), 2.4 * static_cast<double>(notesBytes));
}
