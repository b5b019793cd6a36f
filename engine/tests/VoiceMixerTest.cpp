// The audio thread's half of the live output, driven by hand.
#include "VoiceMixer.h"

#include "FrameConversion.h"
#include "SpscQueue.h"

#include <gtest/gtest.h>
#include <vector>

using namespace pellamy;

TEST(SpscQueue, KeepsOrderAcrossTheWrapAndRefusesWhenFull) {
    SpscQueue<int> queue(3);
    int next = 0;
    int expected = 0;
    for (int round = 0; round < 5; ++round) {
        while (queue.tryPush(next))
            ++next;
        EXPECT_EQ(next - expected, 3) << "a full queue took another value";
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(queue.tryPop(), expected++);
    }
    while (const auto value = queue.tryPop())
        EXPECT_EQ(*value, expected++);
    EXPECT_EQ(expected, next);
}

TEST(VoiceMixer, SumsVoicesClipsAndEndsThemMidBuffer) {
    VoiceMixer mixer(3, 1, 4);
    const std::vector<std::int16_t> loud = {30000, 30000, -30000, -30000, 1000};
    const std::vector<std::int16_t> short_ = {5000, -5000};
    std::vector<std::int16_t> out(4, 7);

    mixer.render(out.data(), 4); // nothing sounds yet
    EXPECT_EQ(out, (std::vector<std::int16_t>{0, 0, 0, 0}));

    ASSERT_TRUE(mixer.start(0, loud.data(), 5));
    ASSERT_TRUE(mixer.start(1, short_.data(), 2));
    ASSERT_TRUE(mixer.stop(2));
    ASSERT_TRUE(mixer.stop(2));
    EXPECT_FALSE(mixer.stop(2)) << "the queue of four took a fifth event";
    EXPECT_EQ(mixer.eventsSent(), 4u);
    EXPECT_EQ(mixer.eventsApplied(), 0u);
    mixer.render(out.data(), 4);
    EXPECT_EQ(out, (std::vector<std::int16_t>{32767, 25000, -30000, -30000}));
    EXPECT_EQ(mixer.eventsApplied(), mixer.eventsSent());
    EXPECT_EQ(mixer.soundingVoiceCount(), 1u); // voice 0 has one frame left

    mixer.render(out.data(), 4);
    EXPECT_EQ(out, (std::vector<std::int16_t>{1000, 0, 0, 0}));
    EXPECT_EQ(mixer.soundingVoiceCount(), 0u);
    EXPECT_EQ(mixer.framesRendered(), 12u);
}

TEST(VoiceMixer, StopsTakeEffectBetweenBuffersAndAStartBeginsAgain) {
    VoiceMixer mixer(2, 2, 16);
    const std::vector<std::int16_t> a = {1, 2, 3, 4, 5, 6, 7, 8}; // four stereo frames
    std::vector<std::int16_t> out(4);
    mixer.render(out.data(), 2);
    mixer.start(0, a.data(), 4);
    mixer.start(1, a.data(), 4);
    mixer.render(out.data(), 2);
    EXPECT_EQ(out, (std::vector<std::int16_t>{2, 4, 6, 8}));
    EXPECT_EQ(mixer.frameOfLatestEvent(), 2u) << "the buffer that applied the starts began at frame 2";
    mixer.stop(1);
    mixer.start(0, a.data(), 4); // restart from the first frame
    mixer.render(out.data(), 2);
    EXPECT_EQ(out, (std::vector<std::int16_t>{1, 2, 3, 4}));
    mixer.render(out.data(), 2);
    EXPECT_EQ(mixer.frameOfLatestEvent(), 4u) << "a buffer without events keeps the stamp";
    mixer.stopAll();
    mixer.render(out.data(), 2);
    EXPECT_EQ(out, (std::vector<std::int16_t>{0, 0, 0, 0}));
    EXPECT_TRUE(mixer.start(7, a.data(), 4)); // no such voice: ignored
    mixer.render(out.data(), 2);
    EXPECT_EQ(out, (std::vector<std::int16_t>{0, 0, 0, 0}));
}

TEST(FrameConversion, MapsChannelsAndCopiesEqualRatesExactly) {
    const std::vector<std::int16_t> stereo = {100, 300, -5, 5, 7, 8, 9}; // a partial last frame
    EXPECT_EQ(convertToDevice(stereo, 2, 48000, 2, 48000),
              (std::vector<std::int16_t>{100, 300, -5, 5, 7, 8}));
    EXPECT_EQ(convertToDevice(stereo, 2, 48000, 1, 48000), (std::vector<std::int16_t>{200, 0, 7}));
    const std::vector<std::int16_t> mono = {1, -2};
    EXPECT_EQ(convertToDevice(mono, 1, 48000, 2, 48000), (std::vector<std::int16_t>{1, 1, -2, -2}));
    const std::vector<std::int16_t> four = {1, 2, 3, 4};
    EXPECT_EQ(convertToDevice(four, 4, 48000, 2, 48000), (std::vector<std::int16_t>{1, 2}));
    EXPECT_EQ(convertToDevice(mono, 1, 48000, 3, 48000), (std::vector<std::int16_t>{1, 1, 1, -2, -2, -2}));
    EXPECT_TRUE(convertToDevice(mono, 0, 48000, 2, 48000).empty());

    // Rates: a second at 22 050 Hz becomes a second at 48 kHz.
    const std::vector<std::int16_t> second(22050, 1000);
    const auto converted = convertToDevice(second, 1, 22050, 2, 48000);
    EXPECT_NEAR(static_cast<double>(converted.size()) / 2.0, 48000.0, 4.0);
    EXPECT_NEAR(converted[2 * 24000], 1000, 2); // a constant stays constant
    EXPECT_FALSE(canConvertRate(100, 48000));   // beyond the converter's ratio of 256
    EXPECT_TRUE(canConvertRate(8000, 48000));
    EXPECT_FALSE(canConvertRate(0, 48000));
}
