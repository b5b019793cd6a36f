#include "MelodyTestSupport.h"

#include <pellamy/MelodyRecorder.h>
#include <pellamy/MelodyRenderer.h>

#include <fstream>
#include <gtest/gtest.h>

using namespace pellamy;
using namespace melodytest;

namespace {

std::string contentsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A recorder over a small instrument with a hand-driven millisecond clock.
class MelodyRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        buildInstrument(instrument,
                        {{"1C", constant(10, 1)}, {"1D", constant(10, 2)}, {"1E", constant(10, 3)}}, 1000);
        nowMs = 100000; // the clock's origin is arbitrary
        recorder = std::make_unique<MelodyRecorder>(instrument, [this] { return nowMs; });
        script = folder.file("take.snc");
    }
    // The controller starts or releases the sound, then lets the recorder look.
    void press(const std::string& alias, std::int64_t atMs) {
        nowMs = startMs + atMs;
        instrument.soundFor(alias)->setPlaying(true);
        recorder->look(false);
    }
    void release(const std::string& alias, std::int64_t atMs) {
        nowMs = startMs + atMs;
        instrument.soundFor(alias)->setPlaying(false);
        recorder->look(false);
    }
    void startAt(std::int64_t atMs) {
        nowMs = startMs + atMs;
        recorder->start(script);
    }

    InstrumentModel instrument;
    ScratchFolder folder;
    std::int64_t nowMs = 0;
    const std::int64_t startMs = 100000;
    std::unique_ptr<MelodyRecorder> recorder;
    std::string script;
};

} // namespace

TEST_F(MelodyRecorderTest, WritesTheDocumentedExampleLineByLine) {
    startAt(0);
    EXPECT_TRUE(recorder->recording());
    press("1C", 1250);
    press("1E", 1260);
    nowMs = startMs + 2000;
    recorder->look(true); // the space bar
    release("1C", 2100);
    release("1E", 2200);
    press("1D", 3500);
    nowMs = startMs + 5000;
    recorder->stop();
    EXPECT_FALSE(recorder->recording());
    EXPECT_EQ(contentsOf(script), "\n--Current position: 0:1,250 ms\n!wait 1.2500\n\n"
                                  "1C a -1\n1E a -1\n!clear\n"
                                  "\n--Current position: 0:3,500 ms\n!wait 2.2500\n\n"
                                  "1D a -1\n"
                                  "\n--Finishing wait\n!wait 2");
}

TEST_F(MelodyRecorderTest, EventsCloseTogetherShareAWait) {
    startAt(0);
    press("1C", 10); // within 25 ms of the start: no wait, and the batch keeps the start's time
    press("1D", 1000);
    press("1E", 1010); // 10 ms later: joins the batch
    release("1C", 1500);
    release("1D", 1500);
    press("1C", 61070); // pressed again after its release: written again; 30 ms gaps get their own wait
    press("1D", 61100);
    recorder->stop();
    EXPECT_EQ(contentsOf(script), "1C a -1\n"
                                  "\n--Current position: 0:1,0 ms\n!wait 1.0000\n\n1D a -1\n1E a -1\n"
                                  "\n--Current position: 1:1,70 ms\n!wait 60.0700\n\n1C a -1\n"
                                  "\n--Current position: 1:1,100 ms\n!wait 0.0300\n\n1D a -1\n"
                                  "\n--Finishing wait\n!wait 2");
}

TEST_F(MelodyRecorderTest, StartsStopsAndIdleEvents) {
    recorder->stop(); // no recording: nothing happens
    press("1C", 0);   // not recording: nothing written, seen unchanged
    release("1C", 50);
    startAt(100);
    recorder->stop();
    recorder->stop();
    EXPECT_EQ(contentsOf(script), "\n--Finishing wait\n!wait 2");

    // 1C was seen playing when the last recording looked; released while idle
    // and pressed first in the next recording, it is not written.
    startAt(200);
    press("1E", 300);
    recorder->stop();
    release("1E", 400);
    startAt(1000);
    press("1E", 2000);
    release("1E", 2100);
    press("1E", 2200);
    recorder->stop();
    EXPECT_EQ(contentsOf(script), "\n--Current position: 0:1,200 ms\n!wait 1.2000\n\n1E a -1\n"
                                  "\n--Finishing wait\n!wait 2");

    // A second start finishes the running script first.
    startAt(3000);
    const std::string first = script;
    script = folder.file("second.snc");
    recorder->start(script);
    EXPECT_EQ(contentsOf(first), "\n--Finishing wait\n!wait 2");
    EXPECT_TRUE(recorder->recording());
}

TEST_F(MelodyRecorderTest, ReportsFilesItCannotCreateOrWrite) {
    EXPECT_EQ(failureOf([&] { recorder->start(folder.file("missing/folder/x.snc")); }),
              "Can't create SNC file! " + folder.file("missing/folder/x.snc") +
                  ": No such file or directory");
    EXPECT_FALSE(recorder->recording());

    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    recorder->start("/dev/full");
    press("1C", 500);
    EXPECT_EQ(failureOf([&] { recorder->stop(); }),
              "Can't write SNC file! /dev/full: No space left on device");
    EXPECT_FALSE(recorder->recording());
}

TEST_F(MelodyRecorderTest, PlaybackOfARecordingStartsEachSoundWhereItWasPlayed) {
    InstrumentModel tones;
    buildInstrument(
        tones, {{"1C", constant(40, 1000)}, {"1D", constant(40, 2000)}, {"1E", constant(40, 3000)}}, 8000);
    MelodyRecorder taker(tones, [this] { return nowMs; });
    const std::vector<std::pair<std::string, std::int64_t>> played = {
        {"1C", 130}, {"1E", 377}, {"1D", 1009}, {"1C", 1733}, {"1E", 2041}};
    nowMs = 0;
    taker.start(script);
    for (const auto& [alias, atMs] : played) {
        nowMs = atMs;
        tones.soundFor(alias)->setPlaying(true);
        taker.look(false);
        nowMs = atMs + 3;
        tones.soundFor(alias)->setPlaying(false);
        taker.look(false);
    }
    nowMs = 2500;
    taker.stop();

    MelodyRenderer renderer;
    renderer.setInstrument(&tones);
    renderer.render(script, folder.file("take.wav"));
    const std::vector<std::int16_t> out = readWav(folder.file("take.wav")).values;
    ASSERT_EQ(out.size(), static_cast<std::size_t>(8 * (2041 + 2000)));
    // Each tone lasts 5 ms and none overlap: every onset is a rise from 0.
    std::vector<std::pair<std::int16_t, std::size_t>> onsets;
    for (std::size_t i = 0; i < out.size(); ++i)
        if (out[i] != 0 && (i == 0 || out[i - 1] == 0))
            onsets.emplace_back(out[i], i);
    ASSERT_EQ(onsets.size(), played.size());
    for (std::size_t k = 0; k < played.size(); ++k) {
        EXPECT_EQ(onsets[k].first, played[k].first == "1C" ? 1000 : played[k].first == "1D" ? 2000 : 3000);
        // Waits are written to the millisecond; each adds at most one value of truncation.
        EXPECT_NEAR(static_cast<double>(onsets[k].second), 8.0 * static_cast<double>(played[k].second), 5.0)
            << played[k].first << " at " << played[k].second << " ms";
    }
}
