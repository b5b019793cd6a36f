// Bad input and abuse while playing: nothing crashes and the captured stream
// has no discontinuity except where a note starts or stops, which happens
// only between device buffers.
#include "LiveOutputSupport.h"
#include "RecordingCanvas.h"

#include <pellamy/InstrumentController.h>
#include <pellamy/SoundOutput.h>

#include <cmath>
#include <gtest/gtest.h>

using namespace pellamy;
using namespace pellamy::testing;

namespace {

constexpr unsigned kChannels = 2;

// 64 tones of 300 ms, small enough that all of them together change by less
// than kJump from one frame to the next (64 × 2π × 289 Hz × 1500 / 48 kHz
// is about 3600); half at 44.1 kHz, half at the device's 48 kHz.
constexpr int kJump = 4500;

class SixtyFourSounds {
public:
    SixtyFourSounds() {
        for (std::size_t i = 0; i < 64; ++i) {
            const unsigned rate = i % 2 == 0 ? 44100 : 48000;
            values_.push_back(envelopedTone(100.0 + 3.0 * static_cast<double>(i), rate, 300, 1500));
            SoundStreamDescription description;
            description.name = "s" + std::to_string(i);
            description.format.nChannels = 1;
            description.format.nSamplesPerSec = rate;
            description.format.wBitsPerSample = 16;
            description.dataBytes = static_cast<std::uint32_t>(values_.back().size() * 2);
            records_.push_back(description);
        }
        for (std::size_t i = 0; i < 64; ++i)
            records_[i].data = values_[i].data();
    }
    const SoundStreamDescription* data() const { return records_.data(); }

private:
    std::vector<std::vector<std::int16_t>> values_;
    std::vector<SoundStreamDescription> records_;
};

// Frames where the capture jumps by more than kJump inside a device buffer.
std::vector<std::size_t> glitches(const std::vector<std::int16_t>& captured) {
    std::vector<std::size_t> found;
    for (std::size_t frame : jumps(captured, kChannels, kJump))
        if (frame % SoundOutput::kRequestedBufferFrames != 0)
            found.push_back(frame);
    return found;
}

} // namespace

TEST(LiveFaults, SixtyFourSoundsSurviveRepeatsStormsAndUnknownKeysWithoutGlitches) {
    const SixtyFourSounds sounds;
    DiskCapture capture("faults");
    {
        InstrumentController controller;
        controller.CreateInstrumentSuite(64, sounds.data());
        RecordingCanvas canvas;
        controller.VisualUpdate(canvas, {0, 0, 3802, 100}, true); // 38 white keys of 100

        // Every sound at once: 24 from the keyboard, the rest dragged across
        // with the mouse while the keys ring out.
        for (const char key : DefaultKeyOrder)
            controller.KeyPress(static_cast<unsigned>(key));
        controller.MouseDown(1450, 90);
        for (int x = 1450; x < 3800; x += 10)
            controller.MouseMove(x, 90, false);
        controller.MouseUp(3800, 90, false);

        // 1000 auto-repeats of a held key, 1000 quick presses of another.
        for (int i = 0; i < 1000; ++i)
            EXPECT_TRUE(controller.KeyPress('Q'));
        for (int i = 0; i < 1000; ++i) {
            controller.KeyRelease('W', false);
            controller.KeyPress('W');
        }
        // A stop-all storm with every voice restarted in between.
        for (int round = 0; round < 50; ++round) {
            for (const char key : DefaultKeyOrder) {
                controller.KeyRelease(static_cast<unsigned>(key), false);
                controller.KeyPress(static_cast<unsigned>(key));
            }
            controller.KeyPress(' ');
            controller.KeyRelease(' ', false);
        }
        // Keys bound to nothing, codes beyond the table.
        for (unsigned key = 0; key < 300; ++key)
            if (DefaultKeyOrder.find(static_cast<char>(key)) == std::string_view::npos && key != ' ') {
                controller.KeyPress(key);
                controller.KeyRelease(key, true);
            }
        for (const char key : DefaultKeyOrder)
            controller.KeyPress(static_cast<unsigned>(key)); // held ones stay silent
        // Destroyed while notes sound, once the device has taken every event:
        // a start costs next to nothing, so all of the above may come before
        // the device's first buffer.
        const SoundOutput& output = *controller.soundOutput();
        ASSERT_TRUE(waitUntil([&] {
            const auto latest = output.frameOfLatestEvent();
            return latest && output.framesMixed() > *latest + 4 * SoundOutput::kRequestedBufferFrames;
        }));
    }
    const std::vector<std::int16_t> captured = capture.values();
    ASSERT_NE(firstSoundingFrame(captured, kChannels), std::string::npos);
    EXPECT_EQ(glitches(captured), std::vector<std::size_t>{});
}

TEST(LiveFaults, AllSixtyFourVoicesMixWithClippingInsteadOfWrappingAround) {
    // 64 tones of 2 s whose sum leaves the 16-bit range: each reaches 12 000.
    InstrumentModel loud;
    for (std::size_t i = 0; i < 64; ++i) {
        const unsigned rate = i % 2 == 0 ? 44100 : 48000;
        loud.addSound("s" + std::to_string(i),
                      Sound::make(envelopedTone(100.0 + 3.0 * static_cast<double>(i), rate, 2000, 1500), rate,
                                  1, 16, 8.0f));
    }
    // At the driver's real-time pace voices started one after another overlap
    // even when the test thread is held up for a second.
    DiskCapture capture("clipping", "");
    {
        SoundOutput output(&loud, 48000, kChannels, 16);
        for (std::size_t i = 0; i < 64; ++i)
            output.Start(loud.aliasAt(i));
        waitUntil([&] { return output.isSilent(); });
    }
    const std::vector<std::int16_t> captured = capture.values();
    std::size_t clipped = 0;
    for (const std::int16_t value : captured)
        clipped += value == 32767 || value == -32768 ? 1 : 0;
    EXPECT_GT(clipped, 0u) << "the test did not drive the mix beyond 16 bits";
    // 64 voices change by at most 8 × 3600 between frames, and their starts
    // are nearly silent: far less than a wrap-around of 65 536 would jump.
    EXPECT_EQ(jumps(captured, kChannels, 40000), std::vector<std::size_t>{});
}
