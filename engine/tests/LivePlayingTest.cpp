// The controller played like a player, heard through SDL's disk driver.
#include "LiveOutputSupport.h"
#include "TestFiles.h"

#include <pellamy/InstrumentController.h>
#include <pellamy/SoundOutput.h>
#include <pellamy/WavFile.h>

#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <thread>

using namespace pellamy;
using namespace pellamy::testing;

namespace {

constexpr unsigned kChannels = 2;

// Streams of `count` distinct tones, `rateHz` mono, named n0, n1, ...
class Tones {
public:
    Tones(std::size_t count, unsigned rateHz, double durationMs, double amplitude,
          double (*frequencyOf)(std::size_t)) {
        for (std::size_t i = 0; i < count; ++i)
            values_.push_back(envelopedTone(frequencyOf(i), rateHz, durationMs, amplitude));
        for (std::size_t i = 0; i < count; ++i)
            records_.push_back(
                pellamy::testing::monoDescription("n" + std::to_string(i), values_[i], rateHz));
    }
    int count() const { return static_cast<int>(records_.size()); }
    const SoundStreamDescription* data() const { return records_.data(); }

private:
    std::vector<std::vector<std::int16_t>> values_;
    std::vector<SoundStreamDescription> records_;
};

struct Note {
    double onsetSeconds;
    double frequencyHz;
};

// Notes separated by silence: each starts where one channel first exceeds
// `threshold` after at least `gapFrames` quiet frames.
std::vector<Note> notesIn(const std::vector<std::int16_t>& values, unsigned channels, double rateHz,
                          std::size_t gapFrames, int threshold = 200) {
    std::vector<Note> notes;
    const std::size_t frames = values.size() / channels;
    std::size_t quiet = gapFrames;
    std::size_t begin = 0;
    bool inNote = false;
    for (std::size_t frame = 0; frame <= frames; ++frame) {
        const bool loud = frame < frames && std::abs(values[frame * channels]) > threshold;
        if (loud) {
            if (!inNote && quiet >= gapFrames) {
                inNote = true;
                begin = frame;
            }
            quiet = 0;
        } else if (++quiet == gapFrames || frame == frames) {
            if (inNote)
                notes.push_back({static_cast<double>(begin) / rateHz,
                                 zeroCrossingFrequency(values, channels, 0, begin, frame, rateHz)});
            inNote = false;
        }
    }
    return notes;
}

std::vector<std::int16_t> wavValues(const std::string& path) {
    std::unique_ptr<WavFile> wav;
    if (openWavForRead(path, wav) != kWavOk)
        return {};
    std::vector<std::int16_t> values(wav->size() / 2);
    std::uint32_t delivered = 0;
    wav->read(reinterpret_cast<std::uint8_t*>(values.data()), wav->size(), &delivered);
    return values;
}

double frequencyOfNote(std::size_t i) {
    return 220.0 * std::pow(2.0, static_cast<double>(i) * 3.0 / 12.0);
}

} // namespace

// Keys pressed with real timing while recording: the script rendered by
// RenderStop holds the notes in the order and at the times the live output
// played them.
TEST(LivePlaying, TheRenderedRecordingMatchesWhatWasHeard) {
    const Tones tones(5, 44100, 150, 10000, frequencyOfNote);
    testfiles::TempFolder folder;
    const auto script = folder / "played.snc";
    DiskCapture capture("player", ""); // the driver's own, roughly real-time pace

    using Clock = std::chrono::steady_clock;
    const auto opened = Clock::now();
    {
        InstrumentController controller;
        controller.CreateInstrumentSuite(tones.count(), tones.data());
        controller.RenderToFile(script.string(), "", false);
        // The first five default keys hold n0 to n4.
        const unsigned keys[] = {'Q', '2', 'W', '3', 'E'};
        const int startsMs[] = {100, 330, 600, 820, 1100};
        const auto recordingStart = Clock::now();
        for (std::size_t i = 0; i < 5; ++i) {
            std::this_thread::sleep_until(recordingStart + std::chrono::milliseconds(startsMs[i]));
            controller.KeyPress(keys[i]);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            controller.KeyRelease(keys[i], false);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        controller.RenderStop();
    }
    const double elapsedSeconds = std::chrono::duration<double>(Clock::now() - opened).count();

    const std::vector<std::int16_t> captured = capture.values();
    // The disk driver runs only roughly at real time: its frames per second
    // over the whole run turn capture positions into seconds.
    const double capturedFramesPerSecond = static_cast<double>(captured.size() / kChannels) / elapsedSeconds;
    EXPECT_NEAR(capturedFramesPerSecond, 48000.0, 48000.0 * 0.15);
    const std::vector<Note> heard = notesIn(captured, kChannels, capturedFramesPerSecond, 2400);
    const std::vector<Note> rendered = notesIn(wavValues((folder / "played.wav").string()), 1, 44100.0, 2205);

    ASSERT_EQ(heard.size(), 5u);
    ASSERT_EQ(rendered.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        // The order: each note's pitch, on the device's time base for the
        // capture.
        EXPECT_NEAR(rendered[i].frequencyHz, frequencyOfNote(i), 5.0) << "rendered note " << i;
        EXPECT_NEAR(heard[i].frequencyHz * 48000.0 / capturedFramesPerSecond, frequencyOfNote(i), 5.0)
            << "heard note " << i;
        EXPECT_NEAR(rendered[i].onsetSeconds - rendered[0].onsetSeconds,
                    heard[i].onsetSeconds - heard[0].onsetSeconds, 0.030)
            << "note " << i;
    }
}
