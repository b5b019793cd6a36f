// The audio thread's half of the live output, driven by hand.
#include "VoiceMixer.h"

#include "FrameConversion.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <vector>

using namespace pellamy;

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

    // Over frames already there (a clip over a stream), clipped as one mix.
    ASSERT_TRUE(mixer.start(0, loud.data(), 5));
    out = {10000, -10000, -10000, 7};
    mixer.render(out.data(), 4, true);
    EXPECT_EQ(out, (std::vector<std::int16_t>{32767, 20000, -32768, -29993}));
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

// A mono sound's frames hold one value each and sound as the stereo copy
// the conversion would make: the same sums, clipped the same, ended mid-buffer.
TEST(VoiceMixer, MonoFramesSoundOnEveryChannelAsTheirStereoCopy) {
    const std::vector<std::int16_t> mono = {30000, -20000, 7, 3};
    const std::vector<std::int16_t> other = {1, 2, 3, 4, 5, 6}; // three stereo frames
    const std::vector<std::int16_t> stereo = convertToDevice(mono, 1, 48000, 2, 48000);
    VoiceMixer asMono(2, 2, 8);
    VoiceMixer asStereo(2, 2, 8);
    asMono.start(0, mono.data(), 4, VoiceMixer::Layout::Mono);
    asStereo.start(0, stereo.data(), 4);
    for (VoiceMixer* mixer : {&asMono, &asStereo})
        mixer->start(1, other.data(), 3);
    std::vector<std::int16_t> monoOut(10, -1);
    std::vector<std::int16_t> stereoOut(10, -1);
    asMono.render(monoOut.data(), 5);
    asStereo.render(stereoOut.data(), 5);
    EXPECT_EQ(monoOut, stereoOut);
    EXPECT_EQ(monoOut, (std::vector<std::int16_t>{30001, 30002, -19997, -19996, 12, 13, 3, 3, 0, 0}));
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

TEST(FrameConversion, RatiosBeyondTheConvertersGoInTwoPasses) {
    // 0.1 s of a 440 Hz tone at 20 MHz, and 0.2 s of a 100 Hz one at 1 kHz.
    const auto tone = [](double hz, std::uint32_t rate, std::size_t n) {
        std::vector<std::int16_t> values(n);
        for (std::size_t k = 0; k < n; ++k)
            values[k] = static_cast<std::int16_t>(std::lround(10000 * std::sin(2 * M_PI * hz * k / rate)));
        return values;
    };
    const auto risingCrossings = [](const std::vector<std::int16_t>& values, std::size_t from,
                                    std::size_t to) {
        int crossings = 0;
        for (std::size_t i = from + 1; i < to; ++i)
            crossings += values[i - 1] < 0 && values[i] >= 0;
        return crossings;
    };
    ASSERT_TRUE(canConvertRate(20000000, 48000));
    const auto fast = convertToDevice(tone(440, 20000000, 2000000), 1, 20000000, 1, 48000);
    EXPECT_NEAR(static_cast<double>(fast.size()), 4800, 4);
    EXPECT_NEAR(risingCrossings(fast, 0, fast.size()), 44, 1); // 440 Hz for 0.1 s

    ASSERT_TRUE(canConvertRate(1000, 384000));
    const auto slow = convertToDevice(tone(100, 1000, 200), 1, 1000, 1, 384000);
    EXPECT_NEAR(static_cast<double>(slow.size()), 76800, 8);
    EXPECT_NEAR(risingCrossings(slow, 0, slow.size()), 20, 1);
    EXPECT_NEAR(*std::max_element(slow.begin() + 20000, slow.end() - 20000), 10000, 300);
}
