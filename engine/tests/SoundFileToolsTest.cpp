// WAV files checked against tools nobody here wrote: sox, soxi and Python's
// wave module. Each test is skipped when its tool is missing.
#include "TestFiles.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/SoundFile.h>

#include <bit>
#include <cmath>
#include <gtest/gtest.h>
#include <sstream>

using namespace pellamy;
using namespace testfiles;

namespace {

std::vector<std::int16_t> valuesOf(const InstrumentModel& model, const std::string& alias) {
    const Sound* sound = model.soundFor(alias);
    std::vector<std::int16_t> values(sound == nullptr ? 0 : sound->count());
    if (sound != nullptr)
        sound->peek(values.data(), sound->count(), 0);
    return values;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Every multiple of 256 in the 16-bit range: exact in 8 bits and wider.
std::vector<std::int16_t> steps() {
    std::vector<std::int16_t> values;
    for (int k = -128; k < 128; ++k)
        values.push_back(static_cast<std::int16_t>(k * 256));
    return values;
}

InstrumentModel twoSoundModel(std::vector<std::int16_t>& mono, std::vector<std::int16_t>& stereo) {
    mono.resize(1000);
    for (std::size_t i = 0; i < mono.size(); ++i)
        mono[i] = static_cast<std::int16_t>(std::lround(20000 * std::sin(0.05 * static_cast<double>(i))));
    stereo.resize(600);
    for (std::size_t i = 0; i < stereo.size(); ++i)
        stereo[i] = static_cast<std::int16_t>(i % 2 == 0 ? i * 50 : -static_cast<int>(i) * 50);
    InstrumentModel model;
    model.addSound("mono", Sound::make(mono, 22050, 1, 16, 1.0f));
    model.addSound("stereo", Sound::make(stereo, 11025, 2, 16, 1.0f));
    return model;
}

} // namespace

TEST(SoundFileTools, SoxMadeFilesOfEverySampleSizeLoadWithTheirValues) {
    if (!toolAvailable("sox"))
        GTEST_SKIP() << "sox is not installed";
    TempFolder folder;
    const std::vector<std::int16_t> values = steps();
    writeBytes(folder / "steps.raw", pcm16(values));
    struct Case {
        const char* name;
        const char* encoding;
        std::vector<std::int16_t> expected;
    };
    std::vector<std::int16_t> fromFloat;
    for (std::int16_t v : values)
        fromFloat.push_back(static_cast<std::int16_t>(std::trunc(v / 32768.0 * 32767.0)));
    const std::vector<Case> cases = {
        {"u8", "-e unsigned-integer -b 8", values},    {"s16", "-e signed-integer -b 16", values},
        {"s24", "-e signed-integer -b 24", values},    {"s32", "-e signed-integer -b 32", values},
        {"f32", "-e floating-point -b 32", fromFloat},
    };
    std::string definition;
    for (const Case& c : cases) {
        int status = -1;
        runCommand("sox -D -t raw -r 16000 -e signed-integer -b 16 -c 1 -L " + quoted(folder / "steps.raw") +
                       " " + c.encoding + " " + quoted(folder / (std::string(c.name) + ".wav")) + " 2>&1",
                   &status);
        ASSERT_EQ(status, 0) << c.name;
        definition += std::string(c.name) + " 0 " + c.name + ".wav\n";
    }
    writeText(folder / "sox.ins", definition);
    InstrumentModel model;
    model.loadFromFile((folder / "sox.ins").string());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(valuesOf(model, c.name), c.expected);
        EXPECT_EQ(model.soundFor(c.name)->sampleRate(), 16000);
        EXPECT_EQ(model.soundFor(c.name)->bitsPerSample(), 16);
    }
}

TEST(SoundFileTools, SoxiReadsTheRateChannelsAndFramesOfSavedFiles) {
    if (!toolAvailable("soxi") || !toolAvailable("sox"))
        GTEST_SKIP() << "sox is not installed";
    TempFolder folder;
    std::vector<std::int16_t> mono, stereo;
    twoSoundModel(mono, stereo).saveToFile((folder / "pair.ins").string(), true);
    struct Expected {
        const char* file;
        const char* rate;
        const char* channels;
        const char* frames;
        const std::vector<std::int16_t>& values;
    };
    for (const Expected& e : {Expected{"pair/1/mono.wav", "22050", "1", "1000", mono},
                              Expected{"pair/1/stereo.wav", "11025", "2", "300", stereo}}) {
        SCOPED_TRACE(e.file);
        const std::string path = quoted(folder / e.file);
        EXPECT_EQ(trimmed(runCommand("soxi -r " + path)), e.rate);
        EXPECT_EQ(trimmed(runCommand("soxi -c " + path)), e.channels);
        EXPECT_EQ(trimmed(runCommand("soxi -s " + path)), e.frames);
        EXPECT_EQ(trimmed(runCommand("soxi -b " + path)), "16");
        const std::string raw =
            runCommand("sox " + path + " -t raw -e signed-integer -b 16 -L - 2>/dev/null");
        EXPECT_EQ(Bytes(raw.begin(), raw.end()), pcm16(e.values));
    }
}

TEST(SoundFileTools, PythonWaveReadsSavedFiles) {
    if (!toolAvailable("python3"))
        GTEST_SKIP() << "python3 is not installed";
    TempFolder folder;
    std::vector<std::int16_t> mono, stereo;
    twoSoundModel(mono, stereo).saveToFile((folder / "pair.ins").string(), false);
    const std::string script =
        "import sys, wave\n"
        "for name in sys.argv[1:]:\n"
        "    with wave.open(name, 'rb') as w:\n"
        "        frames = w.readframes(w.getnframes())\n"
        "        print(w.getframerate(), w.getnchannels(), w.getsampwidth(), w.getnframes(),\n"
        "              frames.hex())\n";
    writeText(folder / "check.py", script);
    int status = -1;
    const std::string output =
        runCommand("python3 " + quoted(folder / "check.py") + " " + quoted(folder / "mono.wav") + " " +
                       quoted(folder / "stereo.wav"),
                   &status);
    ASSERT_EQ(status, 0) << output;
    auto hex = [](const Bytes& bytes) {
        static const char digits[] = "0123456789abcdef";
        std::string text;
        for (std::uint8_t b : bytes) {
            text += digits[b >> 4];
            text += digits[b & 15];
        }
        return text;
    };
    EXPECT_EQ(output, "22050 1 2 1000 " + hex(pcm16(mono)) + "\n11025 2 2 300 " + hex(pcm16(stereo)) + "\n");
}

// readSoundFile gives a tool the values an instrument would hold, with the
// file's own rate (beyond 16 bits) and sample size.
TEST(SoundFileTools, ReadSoundFileGivesTheInstrumentsValuesAndTheFilesOwnFormat) {
    if (!toolAvailable("sox"))
        GTEST_SKIP() << "sox is not installed";
    TempFolder folder;
    const std::vector<std::int16_t> values = steps();
    writeBytes(folder / "steps.raw", pcm16(values));
    int status = -1;
    runCommand("sox -D -t raw -r 96000 -e signed-integer -b 16 -c 2 -L " + quoted(folder / "steps.raw") +
                   " -b 24 " + quoted(folder / "wide.wav") + " 2>&1",
               &status);
    ASSERT_EQ(status, 0);
    const std::optional<SoundFileValues> sound = readSoundFile((folder / "wide.wav").string());
    ASSERT_TRUE(sound.has_value());
    EXPECT_EQ(sound->sampleRate, 96000u);
    EXPECT_EQ(sound->channels, 2);
    EXPECT_EQ(sound->bitsPerSample, 24);
    EXPECT_EQ(sound->values, std::vector<std::int16_t>(values.begin(), values.end() - values.size() % 2));

    runCommand("sox -D -t raw -r 8000 -e signed-integer -b 16 -c 1 -L " + quoted(folder / "steps.raw") +
                   " -e a-law " + quoted(folder / "alaw.wav") + " 2>&1",
               &status);
    ASSERT_EQ(status, 0);
    EXPECT_FALSE(readSoundFile((folder / "alaw.wav").string()).has_value()); // compressed
    EXPECT_FALSE(readSoundFile((folder / "none.wav").string()).has_value());
}

// A float file whose "fmt " chunk has no extension-size field (16 bytes),
// read as sox reads it.
TEST(SoundFileTools, AFloatFileWithASixteenByteFormatChunkReadsAsSoxReadsIt) {
    if (!toolAvailable("sox"))
        GTEST_SKIP() << "sox is not installed";
    TempFolder folder;
    Bytes data;
    for (const float value : {0.5f, -0.25f, 0.125f, -1.0f})
        put32(data, std::bit_cast<std::uint32_t>(value));
    writeBytes(folder / "float16.wav",
               riffWave({chunk("fmt ", formatRecord(3, 1, 8000, 32)), chunk("data", data)}));
    const std::optional<SoundFileValues> sound = readSoundFile((folder / "float16.wav").string());
    ASSERT_TRUE(sound.has_value());
    EXPECT_EQ(sound->bitsPerSample, 32);

    int status = -1;
    runCommand("sox -D " + quoted(folder / "float16.wav") + " -t raw -e signed-integer -b 16 -L " +
                   quoted(folder / "sox.raw") + " 2>&1",
               &status);
    ASSERT_EQ(status, 0);
    const Bytes soxBytes = readBytes(folder / "sox.raw");
    ASSERT_EQ(soxBytes.size(), 2 * sound->values.size());
    for (std::size_t i = 0; i < sound->values.size(); ++i) {
        const auto soxValue = static_cast<std::int16_t>(soxBytes[2 * i] | soxBytes[2 * i + 1] << 8);
        EXPECT_NEAR(sound->values[i], soxValue, 1) << i; // sox scales by 32768, the engine by 32767
    }
}

// A-law, µ-law and ADPCM files as sox writes them, and A-law as the
// sub-format of WAVE_FORMAT_EXTENSIBLE, are refused naming their format tag.
TEST(SoundFileTools, CompressedFilesAreRefusedNamingTheirFormatTag) {
    if (!toolAvailable("sox"))
        GTEST_SKIP() << "sox is not installed";
    TempFolder folder;
    const struct {
        const char* encoding;
        const char* message;
    } encodings[] = {
        {"a-law", "compressed WAV (format 6) is not supported"},
        {"u-law", "compressed WAV (format 7) is not supported"},
        {"ms-adpcm", "compressed WAV (format 2) is not supported"},
        {"ima-adpcm", "compressed WAV (format 17) is not supported"},
    };
    for (const auto& encoding : encodings) {
        const fs::path path = folder / (std::string(encoding.encoding) + ".wav");
        int status = -1;
        runCommand("sox -n -r 8000 -e " + std::string(encoding.encoding) + " " + quoted(path) +
                       " synth 0.1 sine 440 2>&1",
                   &status);
        ASSERT_EQ(status, 0) << encoding.encoding;
        EXPECT_FALSE(readSoundFile(path.string()).has_value()) << encoding.encoding;
        EXPECT_EQ(compressedFormatRefusal(path.string()), encoding.message);
    }

    Bytes extensibleALaw;
    put16(extensibleALaw, 8);   // valid bits
    put32(extensibleALaw, 0x4); // front centre
    put16(extensibleALaw, 6);   // the sub-format's tag, then the fixed rest of its GUID
    for (const std::uint8_t byte : {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71})
        extensibleALaw.push_back(byte);
    writeBytes(folder / "extensible.wav",
               riffWave({chunk("fmt ", formatRecord(0xFFFE, 1, 8000, 8, extensibleALaw)),
                         chunk("data", Bytes(80, 0xD5))}));
    EXPECT_EQ(compressedFormatRefusal((folder / "extensible.wav").string()),
              "compressed WAV (format 6) is not supported");

    // Files that are not compressed, or no WAV files at all, are not named so.
    writeBytes(folder / "pcm.wav", wav16({1, 2, 3}));
    writeBytes(folder / "text.wav", Bytes(100, 'x'));
    for (const char* name : {"pcm.wav", "text.wav", "none.wav"})
        EXPECT_EQ(compressedFormatRefusal((folder / name).string()), "") << name;
}

// A file readSoundFile refuses is named with what it holds instead.
TEST(SoundFileTools, RefusedFilesSayWhatTheyHoldInstead) {
    TempFolder folder;
    Bytes riffAvi = riffWave({chunk("fmt ", formatRecord(1, 1, 8000, 16))});
    riffAvi[8] = 'A', riffAvi[9] = 'V', riffAvi[10] = 'I', riffAvi[11] = ' ';
    const Bytes text = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'};
    const struct {
        const char* name;
        Bytes bytes;
        const char* reason;
    } cases[] = {
        {"text.wav", text, "not a WAV file: it begins \"hello wo\""},
        {"empty.wav", {}, "the file is empty"},
        {"short.wav", {'R', 'I', 'F', 'F', 4, 0}, "the file ends inside its RIFF header"},
        {"avi.wav", riffAvi, "a RIFF file of form \"AVI \", not WAVE"},
        {"noformat.wav", riffWave({chunk("data", pcm16({1, 2}))}), "no \"fmt \" chunk"},
        {"oldformat.wav", riffWave({chunk("fmt ", Bytes(14, 1)), chunk("data", pcm16({1, 2}))}),
         "its \"fmt \" chunk holds 14 bytes, not the 16 of a format record"},
        {"nodata.wav", riffWave({chunk("fmt ", formatRecord(1, 1, 8000, 16))}), "no \"data\" chunk"},
        {"silent.wav", riffWave({chunk("fmt ", formatRecord(1, 1, 8000, 16)), chunk("data", {})}),
         "its \"data\" chunk is empty"},
        {"ulaw.wav", riffWave({chunk("fmt ", formatRecord(7, 1, 8000, 8)), chunk("data", Bytes(8, 0xFF))}),
         "compressed WAV (format 7) is not supported"},
    };
    for (const auto& c : cases) {
        const fs::path path = folder / c.name;
        writeBytes(path, c.bytes);
        EXPECT_FALSE(readSoundFile(path.string()).has_value()) << c.name;
        EXPECT_EQ(soundFileFailureText(path.string()),
                  "Can't open WAV file " + path.string() + ": " + c.reason);
    }
    EXPECT_EQ(soundFileProblem((folder / "none.wav").string()), "No such file or directory");
    EXPECT_EQ(soundFileProblem(folder.path().string()), "Is a directory");
}
