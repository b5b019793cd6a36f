#include "FrequencyExtractionDetail.h"
#include "TestSignals.h"

#include <ostrel/FrequencyExtraction.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace ostrel;
using namespace ostrel::test;

namespace {

std::string twoDecimals(double hz) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", hz);
    return text;
}

double fromBuffer(const std::vector<std::int16_t>& interleaved, unsigned sampleRate, unsigned channels = 1) {
    WAVEFORMATEX format = pcmFormat(sampleRate, channels);
    return extractFrequency(format, const_cast<std::int16_t*>(interleaved.data()),
                            static_cast<unsigned>(interleaved.size() / channels));
}

class Extraction : public ::testing::Test {
protected:
    double fromFile(const std::vector<std::int16_t>& interleaved, unsigned sampleRate,
                    unsigned channels = 1) {
        const std::string path = directory.write(
            "tone.wav", wavImage(pcmFormat(sampleRate, channels), Bytes().samples(interleaved)));
        return extractFrequency(path.c_str());
    }

    TemporaryDirectory directory;
};

} // namespace

TEST_F(Extraction, SteadyTonesReadExactlyThroughBothVariants) {
    for (const double hz : {440.0, 1995.0}) {
        const auto samples = tone(hz, 11025, 1.5, 20000);
        EXPECT_EQ(twoDecimals(fromBuffer(samples, 11025)), twoDecimals(hz));
        EXPECT_EQ(twoDecimals(fromFile(samples, 11025)), twoDecimals(hz));
    }
}

TEST_F(Extraction, FileAndBufferFeedTheSamePairs) {
    // Several 5120-byte chunks, mono and stereo, and a length that ends mid-chunk.
    for (const unsigned channels : {1u, 2u, 3u}) {
        const auto first = chirp(300, 900, 8000, 0.9, 12000);
        const auto samples = interleave(first, noise(first.size(), 7), channels);
        EXPECT_EQ(fromBuffer(samples, 8000, channels), fromFile(samples, 8000, channels)) << channels;
    }
}

TEST_F(Extraction, OnlyTheFirstChannelIsMeasured) {
    const auto left = tone(523.25, 22050, 0.5, 15000);
    const double mono = fromBuffer(left, 22050);
    EXPECT_EQ(twoDecimals(mono), "523.25");
    for (const auto& right : {noise(left.size(), 3), tone(1200, 22050, 0.5, 30000)}) {
        const auto stereo = interleave(left, right, 2);
        EXPECT_EQ(fromBuffer(stereo, 22050, 2), mono);
        EXPECT_EQ(fromFile(stereo, 22050, 2), mono);
    }
}

TEST_F(Extraction, NoInputAlwaysGivesTheLowestFineResonator) {
    // Every resonator ties; the first of a tie is the lowest index: 40 - 2 Hz.
    const std::vector<std::int16_t> silence(5000, 0);
    EXPECT_EQ(fromBuffer({}, 8000), 38.0);
    EXPECT_EQ(fromBuffer({1234}, 8000), 38.0);
    EXPECT_EQ(fromBuffer(silence, 8000), 38.0);
    EXPECT_EQ(fromFile(silence, 8000), 38.0);
    EXPECT_EQ(fromFile({}, 8000), 38.0);
}

TEST_F(Extraction, TopOfTheGridStaysInsideItsRange) {
    // A tone at the top resonator: coarse estimate 1998 Hz, fine window 1996-2000 Hz.
    const double hz = fromBuffer(tone(2000, 11025, 1.0, 20000), 11025);
    EXPECT_GE(hz, 1996.0);
    EXPECT_LE(hz, 2000.0);
    const double fromNoise = fromBuffer(noise(20000, 11), 44100);
    EXPECT_GE(fromNoise, 38.0);
    EXPECT_LE(fromNoise, 2000.0);
}

TEST_F(Extraction, UnusableFilesGiveMinusOne) {
    const auto samples = tone(440, 8000, 0.2, 10000);
    EXPECT_EQ(extractFrequency(directory.file("missing.wav").c_str()), -1.0);

    Bytes eightBit;
    eightBit.zeros(1600);
    EXPECT_EQ(
        extractFrequency(directory.write("8bit.wav", wavImage(pcmFormat(8000, 1, 8), eightBit)).c_str()),
        -1.0);

    WAVEFORMATEX noBlockAlign = pcmFormat(8000, 1);
    noBlockAlign.nBlockAlign = 0;
    EXPECT_EQ(extractFrequency(
                  directory.write("ba0.wav", wavImage(noBlockAlign, Bytes().samples(samples))).c_str()),
              -1.0);

    // More channels than the block holds: the first-channel samples would lie
    // beyond the frames that were read.
    WAVEFORMATEX lying = pcmFormat(8000, 1);
    lying.nChannels = 8;
    EXPECT_EQ(
        extractFrequency(directory.write("lying.wav", wavImage(lying, Bytes().samples(samples))).c_str()),
        -1.0);

    // A block wider than the 5120-byte chunk reads no frames at all.
    WAVEFORMATEX wide = pcmFormat(8000, 1);
    wide.nBlockAlign = 6000;
    EXPECT_EQ(extractFrequency(directory.write("wide.wav", wavImage(wide, Bytes().samples(samples))).c_str()),
              38.0);
}

TEST(ExtractionSet, ReturnsTheCoarseBankAfterOnePass) {
    const auto samples = tone(700, 8000, 0.5, 20000);
    WAVEFORMATEX format = pcmFormat(8000, 1);
    const std::vector<Oscill> bank = extractFrequencySet(format, const_cast<std::int16_t*>(samples.data()),
                                                         static_cast<unsigned>(samples.size()));
    ASSERT_EQ(bank.size(), 980u);
    EXPECT_NEAR(bank.front().frequency(), 40.0, 1e-9);
    EXPECT_NEAR(bank.back().frequency(), 2000.0, 1e-9);
    std::size_t strongest = 0;
    for (std::size_t i = 0; i < bank.size(); ++i) {
        if (bank[i].globAbs() > bank[strongest].globAbs()) {
            strongest = i;
        }
    }
    EXPECT_NEAR(bank[strongest].frequency(), 700.0, 1960.0 / 979.0);
    // The sums are those the extraction itself searches.
    const auto sums = detail::accumulatedAmplitudes(detail::referenceStepping(), 980, 40.0, 2000.0, format,
                                                    samples.data(), static_cast<unsigned>(samples.size()));
    for (std::size_t i = 0; i < bank.size(); ++i) {
        ASSERT_EQ(bank[i].globAbs(), sums[i]) << i;
    }
}

// The window's Cancel stops a long measurement through the flag.
TEST(StoppableExtraction, NeverStoppedItGivesTheSameBitsAndStoppedItGivesMinusOne) {
    const auto samples = chirp(100.0, 900.0, 44100, 2.0, 15000);
    WAVEFORMATEX format = pcmFormat(44100, 1);
    auto* data = const_cast<std::int16_t*>(samples.data());
    const auto frames = static_cast<unsigned>(samples.size());
    std::atomic<int> stop{0};
    EXPECT_EQ(extractFrequency(format, data, frames, stop), extractFrequency(format, data, frames));
    stop = 1;
    EXPECT_EQ(extractFrequency(format, data, frames, stop), -1.0);
    detail::Stepping reference = detail::referenceStepping();
    reference.stop = &stop;
    EXPECT_EQ(detail::extractFrequencyBuffer(reference, format, data, frames), -1.0);
}

TEST(StoppableExtraction, TwoMinutesOfSoundStopWithinATenthOfASecond) {
    const auto samples = tone(440.0, 48000, 120.0, 15000); // seconds of resonators on every core
    WAVEFORMATEX format = pcmFormat(48000, 1);
    std::atomic<int> stop{0};
    auto measuring = std::async(std::launch::async, [&] {
        return extractFrequency(format, const_cast<std::int16_t*>(samples.data()),
                                static_cast<unsigned>(samples.size()), stop);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = 1;
    EXPECT_EQ(measuring.wait_for(std::chrono::milliseconds(100)), std::future_status::ready);
    EXPECT_EQ(measuring.get(), -1.0);
}
