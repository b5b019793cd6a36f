// kivora-cli pitch on WAV files made by sox and by Python's wave module, in
// the layouts other programs write: every file the engine reads is measured.
#include "CliTestSupport.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

using namespace kivora::cli::testing;

namespace {

bool toolsAvailable() {
    return std::system("sox --version > /dev/null 2>&1") == 0 &&
           std::system("python3 -c 'import wave' > /dev/null 2>&1") == 0;
}

// Writes a 300 Hz tone with Python's wave module, then rebuilds the file with
// extra chunks or a different format chunk: `python3 layouts.py OUT LAYOUT`.
const char* const kLayoutScript = R"PY(
import math, struct, sys, wave
out, layout = sys.argv[1], sys.argv[2]
rate, channels = 44100, 1
frames = b"".join(struct.pack("<h", int(12000 * math.sin(2 * math.pi * 300 * n / rate)))
                  for n in range(rate))
if layout == "canonical":
    with wave.open(out, "wb") as w:
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate); w.writeframes(frames)
    sys.exit(0)
def chunk(cid, body):
    return cid + struct.pack("<I", len(body)) + body + (b"\0" if len(body) % 2 else b"")
pcm = struct.pack("<HHIIHH", 1, channels, rate, rate * 2, 2, 16)
pcm18 = pcm + struct.pack("<H", 0)
float16 = struct.pack("<HHIIHH", 3, channels, rate, rate * 4, 4, 32)
floats = b"".join(struct.pack("<f", v / 32768) for (v,) in struct.iter_unpack("<h", frames))
extensible = struct.pack("<HHIIHHHHI", 0xFFFE, channels, rate, rate * 2, 2, 16, 22, 16, 4) + \
    struct.pack("<H", 1) + bytes.fromhex("000000001000800000AA00389B71")
info = chunk(b"LIST", b"INFO" + chunk(b"ICMT", b"metadata before the data chunk\0"))
chunks = {
    "list-before-fmt": [info, chunk(b"fmt ", pcm), chunk(b"data", frames)],
    "list-with-data-word": [chunk(b"fmt ", pcm), info, chunk(b"data", frames)],
    "junk-bext-before-fmt": [chunk(b"JUNK", bytes(28)), chunk(b"bext", bytes(602)), chunk(b"fmt ", pcm),
                             chunk(b"data", frames)],
    "extensible-16": [chunk(b"fmt ", extensible), chunk(b"data", frames)],
    "trailing-chunk": [chunk(b"fmt ", pcm), chunk(b"data", frames), info],
    "fact-before-data": [chunk(b"fmt ", pcm18), chunk(b"fact", struct.pack("<I", rate)), chunk(b"data", frames)],
    "odd-chunks": [chunk(b"fmt ", pcm), chunk(b"PAD ", bytes(4095)), chunk(b"note", b"odd"),
                   chunk(b"data", frames), chunk(b"tail", b"x")],
    "float-fmt-16": [chunk(b"fmt ", float16), chunk(b"data", floats)],
}[layout]
body = b"WAVE" + b"".join(chunks)
with open(out, "wb") as f:
    f.write(b"RIFF" + struct.pack("<I", len(body)) + body)
)PY";

class PitchCommand : public CliFixture {
protected:
    void SetUp() override {
        CliFixture::SetUp();
        if (!toolsAvailable()) {
            GTEST_SKIP() << "sox or python3 is not installed";
        }
        std::ofstream(scratch_ / "layouts.py") << kLayoutScript;
    }

    std::string sox(const std::string& name, const std::string& options, const std::string& effect) const {
        const std::string path = (scratch_ / name).string();
        const std::string command = "sox -R -n " + options + " '" + path + "' " + effect;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return path;
    }
    std::string layout(const std::string& name) const {
        const std::string path = (scratch_ / (name + ".wav")).string();
        const std::string command =
            "python3 '" + (scratch_ / "layouts.py").string() + "' '" + path + "' " + name;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return path;
    }
    CliRun pitch(const std::string& path, const std::string& options = {}) const {
        return run("pitch " + options + "'" + path + "'");
    }
};

TEST_F(PitchCommand, MeasuresEverySampleFormatTheEngineReads) {
    const struct {
        const char* name;
        const char* options;
    } formats[] = {
        {"8bit.wav", "-r 44100 -b 8"},
        {"16bit.wav", "-r 44100 -b 16"},
        {"24bit.wav", "-r 44100 -b 24"},
        {"32bit.wav", "-r 44100 -b 32"},
        {"float.wav", "-r 44100 -e float -b 32"},
        {"stereo.wav", "-r 44100 -b 16 -c 2"},
        {"96k.wav", "-r 96000 -b 16"},
        {"96k-24bit-stereo.wav", "-r 96000 -b 24 -c 2"},
    };
    for (const auto& format : formats) {
        const CliRun measured = pitch(sox(format.name, format.options, "synth 1 sine 300 vol 0.5"));
        EXPECT_EQ(measured.status, 0) << format.name << ": " << measured.err;
        EXPECT_EQ(measured.out, "300.00\n") << format.name;
        EXPECT_EQ(measured.err, "") << format.name;
    }
}

TEST_F(PitchCommand, MeasuresEveryChunkLayoutTheEngineReads) {
    for (const char* name :
         {"canonical", "list-before-fmt", "list-with-data-word", "junk-bext-before-fmt", "extensible-16",
          "trailing-chunk", "fact-before-data", "odd-chunks", "float-fmt-16"}) {
        const CliRun measured = pitch(layout(name));
        EXPECT_EQ(measured.status, 0) << name << ": " << measured.err;
        EXPECT_EQ(measured.out, "300.00\n") << name;
    }
}

TEST_F(PitchCommand, FileReaderMeasuresEveryLayoutItWalksAndRefusesOthersSayingWhy) {
    for (const char* name :
         {"canonical", "list-with-data-word", "trailing-chunk", "fact-before-data", "odd-chunks"}) {
        const CliRun measured = pitch(layout(name), "--file ");
        EXPECT_EQ(measured.status, 0) << name << ": " << measured.err;
        EXPECT_EQ(measured.out, "300.00\n") << name;
    }

    // A chunk before "fmt ", a format tag other than PCM, 24-bit values.
    const std::string refusal = "--file reads only 16-bit PCM WAV files";
    for (const std::string& path :
         {layout("list-before-fmt"), layout("junk-bext-before-fmt"), layout("extensible-16"),
          sox("24bit.wav", "-r 44100 -b 24", "synth 1 sine 300")}) {
        const CliRun refused = pitch(path, "--file ");
        EXPECT_EQ(refused.status, 1) << path;
        EXPECT_EQ(refused.out, "") << path;
        EXPECT_NE(refused.err.find(refusal), std::string::npos) << path << ": " << refused.err;
    }
    for (const char* options : {"", "--file "}) {
        const CliRun missing = pitch((scratch_ / "none.wav").string(), options);
        EXPECT_EQ(missing.status, 1);
        EXPECT_EQ(missing.err, "cannot measure \"" + (scratch_ / "none.wav").string() + "\": no such file\n");
        const CliRun device = pitch("/dev/zero", options);
        EXPECT_EQ(device.status, 1);
        EXPECT_EQ(device.err, "cannot measure \"/dev/zero\": not a regular file\n");
    }
}

TEST_F(PitchCommand, CompressedFilesAreRefusedNamingTheirFormat) {
    for (const char* options : {"", "--file "}) {
        const std::string path = sox("alaw.wav", "-r 8000 -e a-law", "synth 0.5 sine 300");
        const CliRun refused = pitch(path, options);
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.err,
                  "cannot measure \"" + path + "\": compressed WAV (format 6) is not supported\n");
    }
}

TEST_F(PitchCommand, SilenceHasNoPitch) {
    // sox dithers its silence by one step either way.
    for (const std::string& path :
         {sox("silent16.wav", "-r 44100 -b 16", "trim 0 1"), sox("silent8.wav", "-r 8000 -b 8", "trim 0 1"),
          sox("silent-float.wav", "-r 8000 -e float -b 32", "trim 0 1")}) {
        for (const char* options : {"", "--file "}) {
            if (*options != '\0' && path.find("silent16") == std::string::npos) {
                continue; // the file reader refuses the other two for their format
            }
            const CliRun silent = pitch(path, options);
            EXPECT_EQ(silent.status, 1) << path;
            EXPECT_EQ(silent.out, "") << path;
            EXPECT_EQ(silent.err, "silent: no pitch\n") << path;
        }
    }
}

TEST_F(PitchCommand, ATonePastEitherEndOfTheRangeIsMeasuredAtTheEdgeWithAWarning) {
    const struct {
        double hz;
        const char* printed;
    } tones[] = {{30.0, "38.00\n"}, {2500.0, "2000.00\n"}};
    for (const auto& tone : tones) {
        const std::string path =
            sox("edge.wav", "-D -r 44100 -b 16", "synth 1 sine " + std::to_string(tone.hz) + " vol 0.5");
        const CliRun measured = pitch(path);
        EXPECT_EQ(measured.status, 0) << measured.err;
        EXPECT_EQ(measured.out, tone.printed);
        EXPECT_NE(measured.err.find("lies outside"), std::string::npos) << measured.err;
    }
    // Inside, near either end: measured, no warning.
    for (const char* hz : {"39", "1995"}) {
        const CliRun inside =
            pitch(sox("inside.wav", "-D -r 44100 -b 16", std::string("synth 1 sine ") + hz + " vol 0.5"));
        EXPECT_EQ(inside.out, std::string(hz) + ".00\n");
        EXPECT_EQ(inside.err, "");
    }
}

// Noise has no pitch to name: the dominant frequency comes with a warning,
// the fundamental is refused.
TEST_F(PitchCommand, NoiseIsMeasuredWithAWarningAndHasNoFundamental) {
    const std::string noise = sox("noise.wav", "-R -r 44100 -b 16", "synth 1 pinknoise vol 0.5");
    const CliRun dominant = pitch(noise);
    EXPECT_EQ(dominant.status, 0);
    EXPECT_NE(dominant.err.find("warning: no clear pitch"), std::string::npos) << dominant.err;
    const CliRun fundamental = pitch(noise, "--fundamental ");
    EXPECT_EQ(fundamental.status, 1);
    EXPECT_EQ(fundamental.out, "");
    EXPECT_NE(fundamental.err.find("no clear pitch"), std::string::npos) << fundamental.err;
}

// Real piano notes (FluidR3 through FluidSynth): C2 is loudest at a higher
// partial, C7 lies above the dominant frequency's range. The fundamental
// names both keys; the dominant frequency of C7 comes with a warning.
TEST_F(PitchCommand, TheFundamentalOfRealPianoNotesNamesTheirKeys) {
    const char* bank = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
    if (!std::filesystem::exists(bank) || std::system("command -v fluidsynth > /dev/null 2>&1") != 0 ||
        std::system("/usr/bin/python3 -c 'import mido' > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs fluidsynth, python3-mido and fluid-soundfont-gm";
    for (const int key : {36, 96}) {
        const std::string name = "key" + std::to_string(key);
        write(name + ".py", "import mido\n"
                            "song = mido.MidiFile(ticks_per_beat=480)\n"
                            "track = mido.MidiTrack(); song.tracks.append(track)\n"
                            "track.append(mido.Message('note_on', note=" +
                                std::to_string(key) +
                                ", velocity=100, time=0))\n"
                                "track.append(mido.Message('note_off', note=" +
                                std::to_string(key) +
                                ", velocity=0, time=960))\n"
                                "song.save('" +
                                name + ".mid')\n");
        const std::string command = "cd '" + scratch_.string() + "' && /usr/bin/python3 " + name +
                                    ".py && fluidsynth -ni -q -R 0 -C 0 -g 0.5 -r 44100 -O s16 -T wav -F " +
                                    name + ".wav " + bank + " " + name + ".mid > /dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
        const std::string path = (scratch_ / (name + ".wav")).string();
        const CliRun fundamental = pitch(path, "--fundamental ");
        ASSERT_EQ(fundamental.status, 0) << fundamental.err;
        const double hz = std::stod(fundamental.out);
        EXPECT_EQ(std::lround(69.0 + 12.0 * std::log2(hz / 440.0)), key) << hz << " Hz";
        const CliRun dominant = pitch(path);
        EXPECT_EQ(dominant.status, 0);
        EXPECT_EQ(dominant.err.find("above 2000 Hz") != std::string::npos, key == 96) << dominant.err;
    }
}

} // namespace
