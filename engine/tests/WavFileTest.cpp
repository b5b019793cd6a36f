#include "InstrumentFileFormat.h"
#include "TestFiles.h"

#include <pellamy/WavFile.h>

#include <bit>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace pellamy;
using namespace testfiles;

namespace {

std::uint32_t le32At(const Bytes& bytes, std::size_t offset) {
    return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

std::optional<detail::DecodedSound> decode(const Bytes& image) {
    WavFile file;
    if (file.openMemory(image) != kWavOk)
        return std::nullopt;
    return detail::decodeSoundData(file);
}

// WAVE_FORMAT_EXTENSIBLE extra bytes for a sub-format tag.
Bytes extensibleExtra(std::uint16_t validBits, std::uint16_t subFormat) {
    Bytes extra;
    put16(extra, validBits);
    put32(extra, 0x4); // front centre
    put16(extra, subFormat);
    const std::uint8_t tail[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    extra.insert(extra.end(), tail, tail + 14);
    return extra;
}

// Writes 16-bit values through WavFile in `format` and returns the file.
Bytes writtenFile(const fs::path& path, const std::vector<std::int16_t>& values, WAVEFORMATEX format) {
    WavFile file;
    EXPECT_EQ(openWavForWrite(path.string(), file, format), kWavOk);
    const Bytes data = pcm16(values);
    std::uint32_t written = 0;
    EXPECT_EQ(file.write(static_cast<std::uint32_t>(data.size()), data.data(), &written), kWavOk);
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(file.close(), kWavOk);
    return readBytes(path);
}

WAVEFORMATEX pcmFormat(std::uint16_t channels, std::uint32_t rate) {
    return {kWaveFormatPcm,
            channels,
            rate,
            rate * channels * 2u,
            static_cast<std::uint16_t>(channels * 2),
            16,
            0};
}

} // namespace

TEST(WavFile, WrittenFilesHaveTheEngineChunkLayout) {
    TempFolder folder;
    std::vector<std::int16_t> values(1000);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<std::int16_t>(i * 37 - 16000);
    const Bytes bytes = writtenFile(folder / "a.wav", values, pcmFormat(1, 22050));
    ASSERT_EQ(bytes.size(), 12u + 24 + 12 + 8 + 2000);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    EXPECT_EQ(le32At(bytes, 4), bytes.size() - 8);
    EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(le32At(bytes, 16), 16u);
    EXPECT_EQ(le32At(bytes, 24), 22050u);
    EXPECT_EQ(std::string(bytes.begin() + 36, bytes.begin() + 40), "fact");
    EXPECT_EQ(le32At(bytes, 40), 4u);
    EXPECT_EQ(le32At(bytes, 44), 0u); // the placeholder is cleared on close
    EXPECT_EQ(std::string(bytes.begin() + 48, bytes.begin() + 52), "data");
    EXPECT_EQ(le32At(bytes, 52), 2000u);
    EXPECT_EQ(Bytes(bytes.begin() + 56, bytes.end()), pcm16(values));

    // Read back: the whole data chunk, in pieces, then nothing more.
    std::unique_ptr<WavFile> reader;
    ASSERT_EQ(openWavForRead((folder / "a.wav").string(), reader), kWavOk);
    EXPECT_EQ(reader->size(), 2000u);
    EXPECT_EQ(reader->format()->nSamplesPerSec, 22050u);
    Bytes data(2100);
    std::uint32_t delivered = 0;
    ASSERT_EQ(reader->read(data.data(), 1500, &delivered), kWavOk);
    EXPECT_EQ(delivered, 1500u);
    ASSERT_EQ(reader->read(data.data() + 1500, 600, &delivered), kWavOk);
    EXPECT_EQ(delivered, 500u);
    data.resize(2000);
    EXPECT_EQ(data, pcm16(values));
    std::uint32_t written = 0;
    EXPECT_EQ(reader->write(2, data.data(), &written), kWavUnexpected);
}

// A song with no wait renders no frame: still a file, with an empty data chunk.
TEST(WavFile, AnEmptyRenderingIsWrittenAsAFileWithoutSamples) {
    TempFolder folder;
    const fs::path path = folder / "empty.wav";
    ASSERT_EQ(writeWavFile(path.string(), pcmFormat(1, 8000), {}), 0);
    const Bytes bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), 12u + 24 + 12 + 8);
    EXPECT_EQ(le32At(bytes, 4), bytes.size() - 8);
    EXPECT_EQ(le32At(bytes, 24), 8000u);
    EXPECT_EQ(std::string(bytes.begin() + 48, bytes.begin() + 52), "data");
    EXPECT_EQ(le32At(bytes, 52), 0u);
}

TEST(WavFile, OpeningFailures) {
    TempFolder folder;
    std::unique_ptr<WavFile> file;
    EXPECT_EQ(openWavForRead((folder / "none.wav").string(), file), kWavFail);
    EXPECT_EQ(file, nullptr);
    writeBytes(folder / "empty.wav",
               riffWave({chunk("fmt ", formatRecord(1, 1, 8000, 16)), chunk("data", {})}));
    EXPECT_EQ(openWavForRead((folder / "empty.wav").string(), file), kWavFail);
    EXPECT_EQ(openWavForRead(folder.path().string(), file), kWavFail); // a folder

    WavFile closed;
    std::uint8_t byte = 0;
    std::uint32_t count = 0;
    EXPECT_EQ(closed.read(&byte, 1, &count), kWavNotOpen);
    EXPECT_EQ(closed.write(1, &byte, &count), kWavNotOpen);
    EXPECT_EQ(closed.read(nullptr, 1, &count), kWavInvalidArgument);
    WavFile unwritable;
    EXPECT_EQ(openWavForWrite((folder / "missing/x.wav").string(), unwritable, pcmFormat(1, 8000)), kWavFail);
}

// Headers that lie must be refused or cut to the bytes present: never a
// crash, a hang or an allocation sized by a header field.
TEST(WavFile, MalformedImagesAreRefusedOrCutToTheBytesPresent) {
    const Bytes fmt16 = chunk("fmt ", formatRecord(1, 1, 8000, 16));
    const Bytes good = wav16({1, 2, 3, 4, 5, 6});
    struct Case {
        const char* name;
        Bytes image;
        bool opens;
        std::uint32_t dataBytes;
    };
    Bytes hugeData = riffWave({fmt16, chunk("data", Bytes(1000, 7), 0xFFFFFFF0)});
    Bytes formatTooShort = formatRecord(1, 1, 8000, 16);
    formatTooShort.resize(14);
    Bytes blockAlignZero = formatRecord(1, 1, 8000, 16);
    blockAlignZero[12] = blockAlignZero[13] = 0;
    Bytes riffBeyondFile = good;
    riffBeyondFile[4] = riffBeyondFile[5] = riffBeyondFile[6] = riffBeyondFile[7] = 0xFF;
    Bytes notWave = good;
    notWave[8] = 'A';
    const std::vector<Case> cases = {
        {"nothing", {}, false, 0},
        {"truncated header", Bytes(good.begin(), good.begin() + 10), false, 0},
        {"truncated in the format", Bytes(good.begin(), good.begin() + 30), false, 0},
        {"truncated in the data", Bytes(good.begin(), good.end() - 5), true, 7},
        {"not a WAVE form", notWave, false, 0},
        {"RIFF size beyond the file", riffBeyondFile, true, 12},
        {"4 GiB of data declared in 1 KiB", hugeData, true, 1000},
        {"format chunk of 14 bytes", riffWave({chunk("fmt ", formatTooShort), chunk("data", Bytes(8, 1))}),
         false, 0},
        {"format chunk size beyond the file",
         riffWave({chunk("fmt ", formatRecord(1, 1, 8000, 16), 0xFFFFFFF0)}), false, 0},
        {"block align 0", riffWave({chunk("fmt ", blockAlignZero), chunk("data", Bytes(8, 1))}), true, 8},
        {"no data chunk", riffWave({fmt16}), false, 0},
        {"a chunk size that wraps the step past it", riffWave({chunk("junk", Bytes(4), 0xFFFFFFF8), fmt16}),
         false, 0},
        {"data before the format, odd chunk between",
         riffWave({chunk("data", Bytes(6, 2)), chunk("LIST", Bytes(3, 9)), fmt16}), true, 6},
        {"float with two extra bytes",
         riffWave({chunk("fmt ", formatRecord(3, 1, 8000, 32, Bytes(2, 0))), chunk("data", Bytes(8, 0))}),
         true, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WavFile file;
        const WavStatus status = file.openMemory(c.image);
        EXPECT_EQ(status == kWavOk, c.opens);
        if (status != kWavOk)
            continue;
        EXPECT_EQ(file.size(), c.dataBytes);
        EXPECT_TRUE(detail::decodeSoundData(file).has_value());
    }

    // An extra size larger than the format chunk is refused.
    Bytes lyingExtra = formatRecord(3, 1, 8000, 32, Bytes(2, 0));
    lyingExtra[16] = 0xFF;
    lyingExtra[17] = 0xFF;
    WavFile file;
    EXPECT_NE(file.openMemory(riffWave({chunk("fmt ", lyingExtra), chunk("data", Bytes(8, 0))})), kWavOk);
}

TEST(WavFile, SamplesOfOtherSizesAreConvertedTo16Bits) {
    struct Case {
        const char* name;
        Bytes format;
        Bytes data;
        std::vector<std::int16_t> expected;
    };
    auto floats = [](std::initializer_list<float> values) {
        Bytes out;
        for (float v : values)
            put32(out, std::bit_cast<std::uint32_t>(v));
        return out;
    };
    auto doubles = [](std::initializer_list<double> values) {
        Bytes out;
        for (double v : values) {
            const auto bits = std::bit_cast<std::uint64_t>(v);
            put32(out, static_cast<std::uint32_t>(bits));
            put32(out, static_cast<std::uint32_t>(bits >> 32));
        }
        return out;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<Case> cases = {
        {"8-bit unsigned", formatRecord(1, 1, 8000, 8), {0, 128, 255, 129}, {-32768, 0, 32512, 256}},
        {"16-bit, odd data length",
         formatRecord(1, 1, 8000, 16),
         {0x01, 0x80, 0xFF, 0x7F, 0x12},
         {-32767, 32767}},
        {"24-bit",
         formatRecord(1, 1, 8000, 24),
         {0xAA, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0x00, 0x00},
         {0x1234, -1}},
        {"32-bit",
         formatRecord(1, 1, 8000, 32),
         {0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x7F},
         {-32768, 32767}},
        {"32-bit float, clamped",
         formatRecord(3, 1, 8000, 32, {}, true),
         floats({0.5f, -0.5f, 1.5f, -2.0f, 1e-9f, nan}),
         {16383, -16383, 32767, -32767, 0, 0}},
        {"64-bit float", formatRecord(3, 1, 8000, 64, {}, true), doubles({0.25, -1.0}), {8191, -32767}},
        {"float, 16-byte format chunk", formatRecord(3, 1, 8000, 32), floats({-0.5f}), {-16383}},
        {"extensible 24-bit PCM",
         formatRecord(0xFFFE, 2, 48000, 24, extensibleExtra(24, 1)),
         {0x00, 0x00, 0x40, 0x00, 0x00, 0xC0},
         {0x4000, -0x4000}},
        {"extensible float",
         formatRecord(0xFFFE, 1, 48000, 32, extensibleExtra(32, 3)),
         floats({-0.25f}),
         {-8191}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto sound = decode(riffWave({chunk("fmt ", c.format), chunk("data", c.data)}));
        ASSERT_TRUE(sound.has_value());
        EXPECT_EQ(sound->values, c.expected);
    }

    const auto stereo =
        decode(riffWave({chunk("fmt ", formatRecord(1, 2, 96000, 16)), chunk("data", Bytes(8))}));
    ASSERT_TRUE(stereo.has_value());
    EXPECT_EQ(stereo->channels, 2);
    EXPECT_EQ(stereo->sampleRate, 96000u); // rates above 65535 Hz are kept
}

TEST(WavFile, CompressedAndUnknownFormatsAreRefused) {
    Bytes unknownGuid = extensibleExtra(16, 1);
    unknownGuid.back() ^= 1;
    const std::vector<Bytes> formats = {
        formatRecord(2, 1, 8000, 4, Bytes(32)),     // MS ADPCM
        formatRecord(0x55, 2, 44100, 0, Bytes(12)), // MPEG layer 3
        formatRecord(6, 1, 8000, 8, {}, true),      // A-law
        formatRecord(3, 1, 8000, 16, {}, true),     // 16-bit float does not exist
        formatRecord(1, 1, 8000, 0),                // no bits
        formatRecord(1, 1, 8000, 40),               // 5-byte integers
        formatRecord(0xFFFE, 1, 8000, 16, unknownGuid),
        formatRecord(0xFFFE, 1, 8000, 16, Bytes(4)), // too short for a sub-format
        formatRecord(0xFFFE, 1, 8000, 16, extensibleExtra(16, 2)),
    };
    for (std::size_t i = 0; i < formats.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(decode(riffWave({chunk("fmt ", formats[i]), chunk("data", Bytes(64, 3))})).has_value());
    }
}
