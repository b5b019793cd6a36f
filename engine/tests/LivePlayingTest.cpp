// The controller played like a player, heard through SDL's disk driver.
#include "LiveOutputSupport.h"
#include "TestFiles.h"

#include <pellamy/InstrumentController.h>
#include <pellamy/SoundOutput.h>
#include <pellamy/WavFile.h>

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <optional>

using namespace pellamy;
using namespace pellamy::testing;

namespace {

constexpr unsigned kChannels = 2;
constexpr unsigned kDeviceRate = 48000; // the controller's device

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

// Keys pressed while recording: the script rendered by RenderStop holds the
// notes in the order and at the times the live output played them. Time is
// the device's: the recorder's clock reads the frame at which the audio
// thread applied the latest event, and the keys wait for device frames, so
// neither side depends on how fast the machine or the driver runs.
TEST(LivePlaying, TheRenderedRecordingMatchesWhatWasHeard) {
    const Tones tones(5, 44100, 150, 10000, frequencyOfNote);
    testfiles::TempFolder folder;
    const auto script = folder / "played.snc";
    DiskCapture capture("player", "1"); // five times real time

    {
        const SoundOutput* output = nullptr;
        const auto deviceClockMs = [&output]() -> std::int64_t {
            std::optional<std::uint64_t> frame;
            waitUntil([&] { return (frame = output->frameOfLatestEvent()).has_value(); });
            return static_cast<std::int64_t>(*frame * 1000 / kDeviceRate);
        };
        InstrumentController controller(deviceClockMs);
        controller.CreateInstrumentSuite(tones.count(), tones.data());
        output = controller.soundOutput();
        controller.RenderToFile(script.string(), "", false);
        // The first five default keys hold n0 to n4, pressed these many
        // milliseconds after the previous note began.
        const unsigned keys[] = {'Q', '2', 'W', '3', 'E'};
        const int afterMs[] = {100, 230, 270, 220, 280};
        std::uint64_t previousStart = output->framesMixed();
        for (std::size_t i = 0; i < 5; ++i) {
            const std::uint64_t due =
                previousStart + static_cast<std::uint64_t>(afterMs[i]) * kDeviceRate / 1000;
            waitUntil([&] { return output->framesMixed() >= due; });
            controller.KeyPress(keys[i]); // the clock waited for the start to be applied
            previousStart = output->frameOfLatestEvent().value();
            controller.KeyRelease(keys[i], false);
        }
        waitUntil([&] { return output->isSilent(); });
        controller.RenderStop();
    }

    const std::vector<Note> heard = notesIn(capture.values(), kChannels, kDeviceRate, 2400);
    const std::vector<Note> rendered = notesIn(wavValues((folder / "played.wav").string()), 1, 44100.0, 2205);

    ASSERT_EQ(heard.size(), 5u);
    ASSERT_EQ(rendered.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_NEAR(rendered[i].frequencyHz, frequencyOfNote(i), 5.0) << "rendered note " << i;
        EXPECT_NEAR(heard[i].frequencyHz, frequencyOfNote(i), 5.0) << "heard note " << i;
        // The script holds whole milliseconds: up to 1 ms off, and each
        // onset is found to within a fraction of one.
        EXPECT_NEAR(rendered[i].onsetSeconds - rendered[0].onsetSeconds,
                    heard[i].onsetSeconds - heard[0].onsetSeconds, 0.002)
            << "note " << i;
    }
}
