#include "TestSignals.h"

#include <ostrel/FrequencyExtraction.h>
#include <ostrel/SoundSynthesisWavReader.h>

#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

using namespace ostrel;
using namespace ostrel::test;

namespace {

std::vector<std::int16_t> ramp(std::size_t count) {
    std::vector<std::int16_t> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = static_cast<std::int16_t>(i * 3 - 100);
    }
    return values;
}

std::string notOpenedText(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no exception";
}

class WavReader : public ::testing::Test {
protected:
    int open(const Bytes& image) { return reader.openWav(directory.write("in.wav", image).c_str()); }

    TemporaryDirectory directory;
    SoundSynthesisWavReader reader;
};

} // namespace

TEST_F(WavReader, CanonicalFileReadsFramesFromTheFirstSample) {
    const WAVEFORMATEX format = pcmFormat(22050, 2);
    ASSERT_EQ(open(wavImage(format, Bytes().samples(ramp(10)))), 0);
    const WAVEFORMATEX stored = reader.getWAVEFORMATEX();
    EXPECT_EQ(stored.wFormatTag, 1);
    EXPECT_EQ(stored.nChannels, 2);
    EXPECT_EQ(stored.nSamplesPerSec, 22050u);
    EXPECT_EQ(stored.nAvgBytesPerSec, 88200u);
    EXPECT_EQ(stored.nBlockAlign, 4);
    EXPECT_EQ(stored.wBitsPerSample, 16);
    EXPECT_EQ(stored.cbSize, 18);

    std::int16_t frames[16] = {};
    EXPECT_EQ(reader.readWavBuffer(frames, 3), 3);
    EXPECT_EQ(frames[0], -100);
    EXPECT_EQ(frames[5], -85);
    EXPECT_EQ(reader.readWavBuffer(frames, 8), 2);
    EXPECT_EQ(frames[0], -82);
    EXPECT_EQ(reader.readWavBuffer(frames, 8), 0);

    reader.resetPos();
    EXPECT_EQ(reader.readWavBuffer(frames, 1), 1);
    EXPECT_EQ(frames[0], -100);
}

TEST_F(WavReader, PartialLastFrameIsConsumedButNotCounted) {
    // Block align 4: 1280 frames ask for 5120 bytes; 10 bytes left give 2 frames.
    Bytes data;
    data.zeros(5120 + 10);
    ASSERT_EQ(open(wavImage(pcmFormat(8000, 2), data)), 0);
    std::vector<char> buffer(5120);
    EXPECT_EQ(reader.readWavBuffer(buffer.data(), 1280), 1280);
    EXPECT_EQ(reader.readWavBuffer(buffer.data(), 1280), 2);
    EXPECT_EQ(reader.readWavBuffer(buffer.data(), 1280), 0);
}

TEST_F(WavReader, OtherLayoutsRewindToTheirOwnFirstSampleAndStopAtTheDataEnd) {
    // An 18-byte format body and a chunk after the data.
    Bytes image;
    image.text("RIFF").u32(0).text("WAVEfmt ").u32(18).fmtBody(pcmFormat(8000, 1)).u16(0);
    image.text("data").u32(6).samples({11, 22, 33});
    image.text("LIST").u32(4).text("INFO");
    const std::uint32_t riffSize = static_cast<std::uint32_t>(image.data.size() - 8);
    for (int i = 0; i < 4; ++i) {
        image.data[4 + i] = static_cast<char>(riffSize >> (8 * i));
    }
    ASSERT_EQ(open(image), 0);
    std::int16_t samples[8] = {};
    EXPECT_EQ(reader.readWavBuffer(samples, 8), 3);
    EXPECT_EQ(samples[0], 11);
    EXPECT_EQ(samples[2], 33);
    EXPECT_EQ(reader.readWavBuffer(samples, 8), 0);
    reader.resetPos();
    EXPECT_EQ(reader.readWavBuffer(samples, 1), 1);
    EXPECT_EQ(samples[0], 11);
}

TEST_F(WavReader, DeclaredDataSizeBeyondTheFileIsCutToTheFile) {
    Bytes image = wavImage(pcmFormat(8000, 1), Bytes().samples({1, 2, 3}));
    for (int i = 40; i < 44; ++i) {
        image.data[i] = '\xFF';
    }
    ASSERT_EQ(open(image), 0);
    std::int16_t samples[8] = {};
    EXPECT_EQ(reader.readWavBuffer(samples, 8), 3);
    EXPECT_EQ(reader.readWavBuffer(samples, 8), 0);
}

TEST_F(WavReader, DataIdWithoutRoomForItsSizeOpensAsEmpty) {
    Bytes image = wavImage(pcmFormat(8000, 1), Bytes());
    image.data.resize(42); // "data" and half of its size field
    image.data[4] = 34;    // the RIFF size still matches the file
    image.data[5] = image.data[6] = image.data[7] = 0;
    ASSERT_EQ(open(image), 0);
    std::int16_t samples[4] = {};
    EXPECT_EQ(reader.readWavBuffer(samples, 4), 0);
    reader.closeWav();
    EXPECT_DOUBLE_EQ(extractFrequency(directory.write("cut.wav", image).c_str()), 38.0);
}

TEST_F(WavReader, RefusesFilesItCannotUse) {
    const WAVEFORMATEX format = pcmFormat(8000, 1);
    const Bytes good = wavImage(format, Bytes().samples(ramp(8)));
    ASSERT_EQ(open(good), 0);

    Bytes shortSize = good;
    shortSize.data[4] = static_cast<char>(shortSize.data[4] - 1); // one byte short of the real length
    EXPECT_LT(open(shortSize), 0);

    Bytes trailing = good;
    trailing.zeros(1);
    EXPECT_LT(open(trailing), 0);

    Bytes notRiff = good;
    notRiff.data[0] = 'X';
    EXPECT_LT(open(notRiff), 0);

    Bytes listFirst; // a chunk between the form type and "fmt "
    listFirst.text("RIFF")
        .u32(36 + 12 + 16)
        .text("WAVE")
        .text("LIST")
        .u32(4)
        .text("INFO")
        .text("fmt ")
        .u32(16);
    listFirst.fmtBody(format).text("data").u32(16).samples(ramp(8));
    EXPECT_LT(open(listFirst), 0);

    WAVEFORMATEX floating = format;
    floating.wFormatTag = 3;
    EXPECT_LT(open(wavImage(floating, Bytes().samples(ramp(8)))), 0);

    WAVEFORMATEX noBlockAlign = format;
    noBlockAlign.nBlockAlign = 0;
    EXPECT_LT(open(wavImage(noBlockAlign, Bytes().samples(ramp(8)))), 0);

    Bytes noData; // "dat" only
    noData.text("RIFF").u32(4 + 8 + 16 + 4 + 3).text("WAVEfmt ").u32(16).fmtBody(format).u32(0).text("dat");
    EXPECT_LT(open(noData), 0);

    Bytes shortFormat = good; // a 14-byte "fmt " chunk, as old wave formats have
    shortFormat.data[16] = 14;
    EXPECT_LT(open(shortFormat), 0);

    Bytes truncatedHeader;
    truncatedHeader.text("RIFF").u32(8).text("WAVEfmt ");
    EXPECT_LT(open(truncatedHeader), 0);

    EXPECT_LT(reader.openWav(directory.file("missing.wav").c_str()), 0);
    EXPECT_LT(reader.openWav(directory.file("").c_str()), 0); // a directory
}

TEST_F(WavReader, DataChunkIsFoundByWalkingTheChunksAfterTheFormat) {
    // A list chunk whose text holds the word "data", an odd-sized chunk and
    // its pad byte, a fact chunk, and filler that puts the data past 4 KiB.
    Bytes image;
    image.text("RIFF").u32(0).text("WAVEfmt ").u32(18).fmtBody(pcmFormat(8000, 1)).u16(0);
    image.text("LIST").u32(12).text("INFOdata").u32(2);
    image.text("note").u32(3).text("odd").zeros(1);
    image.text("fact").u32(4).u32(3);
    image.text("PAD ").u32(5000).zeros(5000);
    image.text("data").u32(6).samples({11, 22, 33});
    const auto riffSize = static_cast<std::uint32_t>(image.data.size() - 8);
    for (int i = 0; i < 4; ++i) {
        image.data[4 + i] = static_cast<char>(riffSize >> (8 * i));
    }
    ASSERT_EQ(open(image), 0);
    std::int16_t samples[4] = {};
    EXPECT_EQ(reader.readWavBuffer(samples, 4), 3);
    EXPECT_EQ(samples[0], 11);
    EXPECT_EQ(samples[2], 33);

    // Without its pad byte the odd chunk leads the walk astray: no data chunk.
    Bytes unpadded;
    unpadded.text("RIFF").u32(4 + 24 + 11 + 14).text("WAVEfmt ").u32(16).fmtBody(pcmFormat(8000, 1));
    unpadded.text("note").u32(3).text("odd").text("data").u32(6).samples({11, 22, 33});
    EXPECT_LT(open(unpadded), 0);
}

TEST_F(WavReader, ReadingOrRewindingAClosedReaderThrows) {
    std::int16_t samples[2];
    EXPECT_EQ(notOpenedText([&] { reader.readWavBuffer(samples, 1); }), "File not opened yet\n");
    ASSERT_EQ(open(wavImage(pcmFormat(8000, 1), Bytes().samples({1, 2}))), 0);
    reader.closeWav();
    EXPECT_EQ(notOpenedText([&] { reader.readWavBuffer(samples, 1); }), "File not opened yet\n");
    EXPECT_EQ(notOpenedText([&] { reader.resetPos(); }), "File not opened yet\n");
    reader.closeWav(); // closing twice is harmless
    // A failed open leaves the reader unopened.
    EXPECT_LT(open(Bytes().text("RIFF")), 0);
    EXPECT_EQ(notOpenedText([&] { reader.readWavBuffer(samples, 1); }), "File not opened yet\n");
}
