#include "LiveOutputSupport.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/SoundOutput.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

using namespace pellamy;
using namespace pellamy::testing;

namespace {

constexpr unsigned kChannels = 2;
constexpr unsigned kDeviceRate = 48000;

std::unique_ptr<SoundOutput> openOutput(InstrumentModel& instrument) {
    return std::make_unique<SoundOutput>(&instrument, kDeviceRate, kChannels, 16);
}

// Waits until the output has applied every event and nothing sounds.
void waitSilent(const SoundOutput& output) {
    waitUntil([&] { return output.isSilent(); });
}

// Waits until `frames` more frames than now have been mixed.
void waitFrames(const SoundOutput& output, std::uint64_t frames) {
    const std::uint64_t until = output.framesMixed() + frames;
    waitUntil([&] { return output.framesMixed() >= until; });
}

// The left and right values of frames [begin, begin + count) equal the mono
// `expected` values, frame by frame.
::testing::AssertionResult framesEqual(const std::vector<std::int16_t>& captured, std::size_t begin,
                                       const std::vector<std::int16_t>& expected, std::size_t count) {
    if ((begin + count) * kChannels > captured.size())
        return ::testing::AssertionFailure() << "capture ends before frame " << begin + count;
    for (std::size_t i = 0; i < count; ++i)
        for (unsigned c = 0; c < kChannels; ++c)
            if (captured[(begin + i) * kChannels + c] != expected[i])
                return ::testing::AssertionFailure()
                       << "frame " << i << " channel " << c << " is " << captured[(begin + i) * kChannels + c]
                       << ", expected " << expected[i];
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult silentBetween(const std::vector<std::int16_t>& captured, std::size_t begin,
                                         std::size_t end) {
    for (std::size_t i = begin * kChannels; i < std::min(end * kChannels, captured.size()); ++i)
        if (captured[i] != 0)
            return ::testing::AssertionFailure() << "sound at frame " << i / kChannels;
    return ::testing::AssertionSuccess();
}

// How many whole device buffers from frame `begin` on hold, in both
// channels, expected(i) for their i-th frame. Events take effect only between
// buffers, so comparing whole buffers cannot be fooled by a single frame that
// happens to match.
template <class Expected>
std::size_t matchingFrames(const std::vector<std::int16_t>& captured, std::size_t begin,
                           std::uint32_t bufferFrames, Expected expected) {
    std::size_t matched = 0;
    for (;;) {
        for (std::size_t i = matched; i < matched + bufferFrames; ++i) {
            const std::size_t at = (begin + i) * kChannels;
            if (at + 1 >= captured.size())
                return matched;
            const std::optional<int> value = expected(i);
            if (!value || captured[at] != *value || captured[at + 1] != *value)
                return matched;
        }
        matched += bufferFrames;
    }
}

std::string thrownText(const std::function<void()>& action) {
    try {
        action();
    } catch (const char* text) {
        return text;
    } catch (const InitFailedException& failure) {
        return "InitFailedException: " + failure.message();
    }
    return {};
}

} // namespace

TEST(SoundOutputFailures, KeepTheirTextsAndKinds) {
    InstrumentModel instrument;
    instrument.addSound("a", monoSound(envelopedTone(300, 48000, 50, 4000), 48000));

    ::setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    // The text of the interface it stands for, then SDL's reason.
    const std::string noDriver = thrownText([&] { openOutput(instrument); });
    EXPECT_EQ(noDriver.rfind("InitFailedException: DirectSoundCreate8 failed: ", 0), 0u) << noDriver;
    EXPECT_GT(noDriver.size(), std::string("InitFailedException: DirectSoundCreate8 failed: \n").size());
    EXPECT_EQ(noDriver.back(), '\n');

    DummyDriver dummy;
    EXPECT_EQ(thrownText([&] { SoundOutput(&instrument, 48000, 2, 8); }), "Can't set primary buffer format");
    EXPECT_EQ(thrownText([&] { SoundOutput(&instrument, 48000, 0, 16); }), "Can't set primary buffer format");
    EXPECT_EQ(thrownText([&] { SoundOutput(&instrument, 0, 2, 16); }), "Can't set primary buffer format");

    // Sounds no device buffer can hold: no values, fewer than 4 bytes, no
    // channels, a rate too far below the device's to convert.
    const std::vector<Sound> unplayable = {
        monoSound({}, 48000),
        monoSound({5}, 48000),
        Sound::make(std::vector<std::int16_t>{1, 2, 3, 4}, 48000, 0, 16, 1.0f),
        monoSound(std::vector<std::int16_t>(100, 1), 100),
    };
    for (const Sound& sound : unplayable) {
        InstrumentModel broken;
        broken.addSound("good", monoSound(envelopedTone(300, 48000, 50, 4000), 48000));
        broken.addSound("bad", sound);
        EXPECT_EQ(thrownText([&] { openOutput(broken); }), "Error creating buffer");
    }
}

// Without a working driver the silent output still plays: notes start, ring
// out in real time and end, and it stands beside an opened device.
TEST(SoundOutput, ASilentOutputPlaysWithoutADriverAndBesideADevice) {
    InstrumentModel instrument;
    instrument.addSound("a", monoSound(envelopedTone(300, 48000, 50, 4000), 48000));
    ::setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    EXPECT_NE(thrownText([&] { openOutput(instrument); }), "");
    {
        SoundOutput silent(&instrument, kDeviceRate, kChannels, 16, OutputDevice::Silent);
        EXPECT_EQ(silent.deviceSampleRate(), static_cast<int>(kDeviceRate));
        silent.Start("a");
        EXPECT_TRUE(instrument.soundFor("a")->isPlaying());
        silent.Release("a", false);
        waitFrames(silent, 1);
        waitSilent(silent);
        EXPECT_GE(silent.framesMixed(), 50u * kDeviceRate / 1000);
        EXPECT_EQ(thrownText([&] { SoundOutput(&instrument, 48000, 2, 8, OutputDevice::Silent); }),
                  "Can't set primary buffer format");
    }
    DummyDriver dummy; // one device at a time: the silent output takes none of them
    auto device = openOutput(instrument);
    SoundOutput silent(&instrument, kDeviceRate, kChannels, 16, OutputDevice::Silent);
    silent.Start("a");
    waitFrames(silent, kDeviceRate / 100);
}

TEST(SoundOutput, AnEmptyInstrumentAndUnknownAliasesPlayNothing) {
    DummyDriver dummy;
    InstrumentModel empty;
    {
        auto output = openOutput(empty);
        EXPECT_EQ(output->voiceCount(), 0u);
        output->Start("a");
        output->Release("a", true);
        output->StopAll();
        waitSilent(*output);
    } // these drivers open one device at a time

    InstrumentModel instrument;
    instrument.addSound("a", monoSound(envelopedTone(300, 48000, 50, 4000), 48000));
    auto second = openOutput(instrument);
    EXPECT_EQ(second->voiceCount(), 1u);
    EXPECT_EQ(second->deviceSampleRate(), 48000);
    EXPECT_EQ(second->deviceChannels(), 2u);
    EXPECT_GT(second->deviceBufferFrames(), 0u);
    second->Start("A"); // aliases are case-sensitive
    second->Release("b", true);
    EXPECT_TRUE(second->isSilent());
    EXPECT_FALSE(instrument.soundFor("a")->isPlaying());
}

// Notes ring out when released without stopping, stop at once otherwise, a
// held note is not started twice, and every start lands at the start of a
// device buffer, in the order and at the times the events were sent.
TEST(SoundOutputCapture, NotesStartRingOutAndStopWhereTheyWereSent) {
    const std::vector<std::int16_t> first = envelopedTone(300, 48000, 100, 8000);
    // Long enough that the test thread, however late, stops it before its end.
    const std::vector<std::int16_t> held = steadyTone(201.3, 48000, 20000, 5000);
    const std::vector<std::int16_t> last = envelopedTone(500, 48000, 60, 6000);
    InstrumentModel instrument;
    instrument.addSound("first", monoSound(first, 48000));
    instrument.addSound("held", monoSound(held, 48000));
    instrument.addSound("last", monoSound(last, 48000));

    // 1 ms per 5 ms buffer: five times real time; the 20 s note lasts 4 s.
    DiskCapture capture("ring-out", "1");
    std::uint64_t sentAt[3][2] = {}; // frames mixed before sending / after it was applied
    std::uint32_t bufferFrames = 0;
    {
        auto output = openOutput(instrument);
        bufferFrames = output->deviceBufferFrames();
        waitFrames(*output, 4 * bufferFrames);

        sentAt[0][0] = output->framesMixed();
        output->Start("first");
        output->Release("first", false); // rings out to its end
        EXPECT_FALSE(instrument.soundFor("first")->isPlaying());
        waitSilent(*output);
        sentAt[0][1] = output->framesMixed();
        waitFrames(*output, 2 * bufferFrames);

        sentAt[1][0] = output->framesMixed();
        output->Start("held");
        EXPECT_TRUE(instrument.soundFor("held")->isPlaying());
        waitUntil([&] { return !output->isSilent(); });
        sentAt[1][1] = output->framesMixed();
        waitFrames(*output, 3 * bufferFrames);
        output->Release("held", true); // stops at once
        waitSilent(*output);
        waitFrames(*output, 2 * bufferFrames);

        sentAt[2][0] = output->framesMixed();
        output->Start("last");
        output->Start("last"); // held: ignored
        output->Release("last", false);
        waitSilent(*output);
        sentAt[2][1] = output->framesMixed();
        waitFrames(*output, 2 * bufferFrames);
    }
    const std::vector<std::int16_t> captured = capture.values();

    const std::size_t firstOnset = firstSoundingFrame(captured, kChannels);
    ASSERT_NE(firstOnset, std::string::npos);
    EXPECT_EQ(firstOnset % bufferFrames, 0u);
    EXPECT_TRUE(framesEqual(captured, firstOnset, first, first.size()));

    const std::size_t heldOnset = firstSoundingFrame(captured, kChannels, firstOnset + first.size());
    ASSERT_NE(heldOnset, std::string::npos);
    EXPECT_EQ(heldOnset % bufferFrames, 0u);
    // Mixer frames and capture frames differ by the silence the driver wrote
    // before the first buffer was mixed; distances between onsets agree.
    EXPECT_GE(heldOnset - firstOnset, sentAt[1][0] - sentAt[0][1]);
    EXPECT_LE(heldOnset - firstOnset, sentAt[1][1] - sentAt[0][0]);
    const std::size_t heldFrames = matchingFrames(captured, heldOnset, bufferFrames, [&](std::size_t i) {
        return i < held.size() ? std::optional<int>(held[i]) : std::nullopt;
    });
    EXPECT_GE(heldFrames, 3u * bufferFrames);
    EXPECT_LT(heldFrames, held.size()) << "the stopped note played to its end";
    EXPECT_TRUE(silentBetween(captured, heldOnset + heldFrames, heldOnset + heldFrames + bufferFrames))
        << "a stop lands at the start of a buffer";

    const std::size_t lastOnset = firstSoundingFrame(captured, kChannels, heldOnset + heldFrames);
    ASSERT_NE(lastOnset, std::string::npos);
    EXPECT_EQ(lastOnset % bufferFrames, 0u);
    EXPECT_GE(lastOnset - firstOnset, sentAt[2][0] - sentAt[0][1]);
    EXPECT_LE(lastOnset - firstOnset, sentAt[2][1] - sentAt[0][0]);
    EXPECT_TRUE(framesEqual(captured, lastOnset, last, last.size()));
    EXPECT_TRUE(silentBetween(captured, lastOnset + last.size(), captured.size() / kChannels))
        << "a held note was started twice";
}

// StopAll silences every voice but leaves held notes held: pressing one again
// starts nothing until it is released. A restart begins at the beginning.
TEST(SoundOutputCapture, StopAllSilencesAndAReleasedNoteRestartsFromItsBeginning) {
    // Periods that no whole number of buffers repeats, so a restart cannot
    // look like the sound going on; 4 s at the driver's pace, far longer than
    // the test thread takes even on a busy machine.
    const std::vector<std::int16_t> low = steadyTone(147.3, 48000, 20000, 4000);
    const std::vector<std::int16_t> high = steadyTone(441.7, 48000, 20000, 4000);
    InstrumentModel instrument;
    instrument.addSound("low", monoSound(low, 48000));
    instrument.addSound("high", monoSound(high, 48000));

    DiskCapture capture("stop-all", "1");
    std::uint32_t bufferFrames = 0;
    {
        auto output = openOutput(instrument);
        bufferFrames = output->deviceBufferFrames();
        output->Start("low");
        waitFrames(*output, 2 * bufferFrames); // a whole buffer began after the start
        output->Start("high");
        waitFrames(*output, 4 * bufferFrames);
        output->StopAll();
        waitSilent(*output);
        EXPECT_TRUE(instrument.soundFor("low")->isPlaying()) << "StopAll changed a held note";
        output->Start("low"); // still held: nothing
        waitFrames(*output, 4 * bufferFrames);
        EXPECT_TRUE(output->isSilent());

        output->Release("low", false);
        output->Start("low");
        waitFrames(*output, 8 * bufferFrames);
        output->Release("low", false);
        output->Start("low"); // restarts the ringing note from its beginning
        waitFrames(*output, 4 * bufferFrames);
        output->StopAll();
        waitSilent(*output);
        waitFrames(*output, 2 * bufferFrames);
    }
    const std::vector<std::int16_t> captured = capture.values();

    // low alone, then low and high together until StopAll.
    const std::size_t lowOnset = firstSoundingFrame(captured, kChannels);
    ASSERT_NE(lowOnset, std::string::npos);
    const std::size_t highOnset =
        lowOnset + matchingFrames(captured, lowOnset, bufferFrames, [&](std::size_t i) { return low[i]; });
    EXPECT_GE(highOnset - lowOnset, bufferFrames);
    const std::size_t stopped =
        highOnset + matchingFrames(captured, highOnset, bufferFrames,
                                   [&](std::size_t i) { return low[highOnset - lowOnset + i] + high[i]; });
    EXPECT_GE(stopped - highOnset, 3u * bufferFrames);
    EXPECT_TRUE(silentBetween(captured, stopped, stopped + bufferFrames));

    const std::size_t restart = firstSoundingFrame(captured, kChannels, stopped);
    ASSERT_NE(restart, std::string::npos);
    EXPECT_GE(restart - stopped, 4u * bufferFrames) << "a held note sounded after StopAll";
    EXPECT_EQ((restart - stopped) % bufferFrames, 0u);
    const auto fromItsBeginning = [&](std::size_t i) { return std::optional<int>(low[i]); };
    const std::size_t played = matchingFrames(captured, restart, bufferFrames, fromItsBeginning);
    EXPECT_GE(played, 6u * bufferFrames);
    // The second start begins the sound again rather than adding to it.
    EXPECT_GE(matchingFrames(captured, restart + played, bufferFrames, fromItsBeginning), 3u * bufferFrames);
}

// A 44.1 kHz tone keeps its pitch and length on the 48 kHz device.
TEST(SoundOutputCapture, ConvertsSoundsOfAnotherRateToTheDevicePitch) {
    constexpr double kToneHz = 1000.0;
    const std::vector<std::int16_t> tone = steadyTone(kToneHz, 44100, 1000, 12000);
    InstrumentModel instrument;
    instrument.addSound("tone", monoSound(tone, 44100));

    DiskCapture capture("pitch");
    {
        auto output = openOutput(instrument);
        output->Start("tone");
        waitSilent(*output);
    }
    const std::vector<std::int16_t> captured = capture.values();
    const std::size_t onset = firstSoundingFrame(captured, kChannels);
    ASSERT_NE(onset, std::string::npos);
    std::size_t end = captured.size() / kChannels;
    while (end > onset && captured[(end - 1) * kChannels] == 0)
        --end;
    EXPECT_NEAR(static_cast<double>(end - onset), 48000.0, 48.0);

    const std::size_t middle = onset + 2400; // clear of the converter's edges
    for (unsigned channel = 0; channel < kChannels; ++channel) {
        const double measured =
            zeroCrossingFrequency(captured, kChannels, channel, middle, end - 2400, 48000.0);
        EXPECT_NEAR(measured, kToneHz, kToneHz * 0.001) << "channel " << channel;
    }

    // An independent converter agrees sample by sample in the steady part.
    if (std::system("sox --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "sox is not installed";
    const auto directory = scratchDirectory("pitch-sox");
    const auto rawIn = directory / "tone.raw";
    const auto rawOut = directory / "tone48.raw";
    {
        std::ofstream out(rawIn, std::ios::binary);
        out.write(reinterpret_cast<const char*>(tone.data()), static_cast<std::streamsize>(tone.size() * 2));
    }
    const std::string command = "sox -t raw -r 44100 -e signed -b 16 -c 1 '" + rawIn.string() +
                                "' -t raw -r 48000 -e signed -b 16 -c 1 '" + rawOut.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream in(rawOut, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove_all(directory);
    std::vector<std::int16_t> reference(bytes.size() / 2);
    std::memcpy(reference.data(), bytes.data(), reference.size() * 2);
    ASSERT_GE(reference.size(), 47000u);
    double largestDifference = 0;
    for (std::size_t i = 2400; i < 45600; ++i)
        largestDifference =
            std::max(largestDifference,
                     std::abs(static_cast<double>(captured[(onset + i) * kChannels]) - reference[i]));
    EXPECT_LT(largestDifference, 12000 * 0.01) << "differs from sox's conversion by more than 1 %";
}

// A sound replaced after the output was made is converted again at its next
// start; the frames it replaces stay alive until the audio thread has let
// go of them.
TEST(SoundOutputCapture, ASoundChangedAfterCreationPlaysItsNewValues) {
    const std::vector<std::int16_t> before = envelopedTone(300, 48000, 50, 8000);
    const std::vector<std::int16_t> after = envelopedTone(700, 48000, 80, 7000);
    InstrumentModel instrument;
    instrument.addSound("a", monoSound(before, 48000));

    DiskCapture capture("changed");
    {
        auto output = openOutput(instrument);
        output->Start("a");
        output->Release("a", false);
        waitSilent(*output);
        *instrument.soundFor("a") = monoSound(after, 48000);
        output->Start("a");
        output->Release("a", false);
        waitSilent(*output);
        for (int i = 0; i < 20; ++i) { // restarts while the old frames may be retired
            output->Start("a");
            output->Release("a", true);
        }
        waitSilent(*output);
    }
    const std::vector<std::int16_t> captured = capture.values();
    const std::size_t first = firstSoundingFrame(captured, kChannels);
    ASSERT_NE(first, std::string::npos);
    EXPECT_TRUE(framesEqual(captured, first, before, before.size()));
    const std::size_t second = firstSoundingFrame(captured, kChannels, first + before.size());
    ASSERT_NE(second, std::string::npos);
    EXPECT_TRUE(framesEqual(captured, second, after, after.size()));
}

// Sound rates far from the device's are converted in passes instead of making
// the whole output fail.
TEST(SoundOutput, AcceptsSoundsOfAnyRateFrom1000HzUp) {
    DummyDriver dummy;
    for (const std::uint32_t rateHz : {1000u, 96000u, 20000000u}) {
        InstrumentModel instrument;
        instrument.addSound("good", monoSound(envelopedTone(300, 48000, 50, 4000), 48000));
        instrument.addSound("far",
                            Sound::make(std::vector<std::int16_t>(rateHz / 50, 100), rateHz, 1, 16, 1.0f));
        EXPECT_EQ(thrownText([&] { openOutput(instrument); }), "") << rateHz << " Hz";
    }
}

// A clip (the piano's Play Melody) plays once on the device the instrument
// holds, beside a note, converted to the device's rate and channels; it can
// be stopped, and a clip it cannot play is refused.
TEST(SoundOutputCapture, AClipPlaysOnceBesideTheVoicesOnTheSameDevice) {
    constexpr double kClipHz = 500.0;
    const std::vector<std::int16_t> note = envelopedTone(300, 48000, 100, 6000);
    const std::vector<std::int16_t> clip = steadyTone(kClipHz, 24000, 400, 9000);
    InstrumentModel instrument;
    instrument.addSound("note", monoSound(note, 48000));

    DiskCapture capture("clip");
    {
        auto output = openOutput(instrument);
        EXPECT_EQ(output->voiceCount(), 1u);
        EXPECT_FALSE(output->isClipPlaying());
        output->PlayClip(clip, 1, 24000);
        EXPECT_TRUE(output->isClipPlaying()) << "playing from the call on";
        output->Start("note");
        output->Release("note", false);
        waitUntil([&] { return !output->isClipPlaying(); });
        waitSilent(*output);

        // A long clip stopped: it ends at once, not after its 20 s.
        const std::vector<std::int16_t> longClip = steadyTone(kClipHz, 48000, 20000, 100);
        output->PlayClip(longClip, 1, 48000);
        waitFrames(*output, 2 * output->deviceBufferFrames());
        output->StopClip();
        waitUntil([&] { return !output->isClipPlaying(); });
        EXPECT_TRUE(output->isSilent());

        EXPECT_EQ(thrownText([&] { output->PlayClip(clip, 0, 24000); }), "Error creating buffer");
        EXPECT_EQ(thrownText([&] { output->PlayClip(std::vector<std::int16_t>{1}, 2, 24000); }),
                  "Error creating buffer");
        EXPECT_FALSE(output->isClipPlaying());
    }
    const std::vector<std::int16_t> captured = capture.values();
    const std::size_t onset = firstSoundingFrame(captured, kChannels);
    ASSERT_NE(onset, std::string::npos);
    // The note's 100 ms lie within the clip's first buffers; past them the
    // clip alone sounds, at its own pitch in both channels.
    const std::size_t from = onset + 9600;
    const std::size_t to = onset + 19200 - 960;
    for (unsigned channel = 0; channel < kChannels; ++channel)
        EXPECT_NEAR(zeroCrossingFrequency(captured, kChannels, channel, from, to, 48000.0), kClipHz,
                    kClipHz * 0.001)
            << "channel " << channel;
    // Once: after its 400 ms (19200 device frames) only the stopped quiet clip follows.
    std::size_t loud = 0;
    for (std::size_t frame = onset; frame < captured.size() / kChannels; ++frame)
        loud += std::abs(captured[frame * kChannels]) > 1000 ? 1 : 0;
    EXPECT_GT(loud, 19200u / 2);
    EXPECT_LT(loud, 19200u + 4800u);
}
