// kivora-cli render and play with --model: the model's own voices against the
// generated instrument, read back with Python's wave module and sox, MIDI
// files made by Python's mido.
#include "CliTestSupport.h"
#include "LateBlocks.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

using kivora::cli::testing::CliFixture;
using kivora::cli::testing::CliRun;

const std::string kString = std::string("'") + KIVORA_SOURCE_DIR + "/examples/models/plucked-string.json'";
const std::string kMembrane = std::string("'") + KIVORA_SOURCE_DIR + "/examples/models/struck-membrane.json'";

class VoiceCommand : public CliFixture {
protected:
    std::string path(const std::string& name) const { return "'" + (scratch_ / name).string() + "'"; }

    // Output of a Python program run in the scratch folder.
    std::string python(const std::string& program) const {
        write("check.py", program);
        const std::string command = "cd '" + scratch_.string() + "' && /usr/bin/python3 check.py";
        std::string out;
        if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[256];
            while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
                out += buffer;
            ::pclose(pipe);
        }
        return out;
    }

    // sox's RMS amplitude of the first `seconds` of a WAV file.
    double soxRms(const std::string& name, double seconds) const {
        const std::string command = "cd '" + scratch_.string() + "' && sox '" + name + "' -n trim 0 " +
                                    std::to_string(seconds) + " stat 2>&1 | grep 'RMS     amplitude'";
        std::string out;
        if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[256];
            while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
                out += buffer;
            ::pclose(pipe);
        }
        const std::size_t colon = out.find(':');
        return colon == std::string::npos ? std::nan("") : std::strtod(out.c_str() + colon + 1, nullptr);
    }

    std::string bytesOf(const std::string& name) const {
        std::ifstream in(scratch_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // song.mid: keys one after the other every 0.5 s, each held 0.4 s, velocity 127.
    void writeSong(const std::string& keys) const {
        write("make.py", "import mido\n"
                         "song = mido.MidiFile(ticks_per_beat=480)\n"
                         "track = mido.MidiTrack(); song.tracks.append(track)\n"
                         "for key in [" +
                             keys +
                             "]:\n"
                             "    track.append(mido.Message('note_on', note=key, velocity=127, time=0))\n"
                             "    track.append(mido.Message('note_off', note=key, time=384))\n"
                             "    track.append(mido.Message('note_off', note=key, time=96))\n"
                             "song.save('song.mid')\n");
        ASSERT_EQ(std::system(("cd '" + scratch_.string() + "' && /usr/bin/python3 make.py").c_str()), 0)
            << "python3-mido is needed";
    }
};

} // namespace

// A note held for the note length is the generated note, sample for sample,
// and so exactly as loud.
TEST_F(VoiceCommand, ScriptNotesAreTheGeneratedNotes) {
    const CliRun generated = run("generate " + kString + " --octaves 1 --flat -o " + path("g.ins"));
    ASSERT_EQ(generated.status, 0) << generated.err;
    write("tune.snc", "-- two notes\n1C a -1\n!wait 0.5\n1G a -1\n!wait 0.5\n");
    const CliRun rendered =
        run("render " + path("tune.snc") + " --model " + kString + " -o " + path("v.wav"));
    ASSERT_EQ(rendered.status, 0) << rendered.err;
    EXPECT_NE(rendered.out.find("v.wav: 44100 values at 44100 Hz, 1.000 s"), std::string::npos)
        << rendered.out;
    EXPECT_EQ(
        python("import wave\n"
               "v = wave.open('v.wav').readframes(44100)\n"
               "c = wave.open('1C.wav').readframes(22050)\n"
               "g = wave.open('1G.wav').readframes(22050)\n"
               "fade = 2 * 1323  # the first note's release, in bytes\n"
               "print(wave.open('v.wav').getnchannels(), v[:44100] == c, v[44100 + fade:] == g[fade:])\n"),
        "1 True True\n");
    EXPECT_NEAR(soxRms("v.wav", 0.5), soxRms("1C.wav", 0.5), 1e-6);
}

TEST_F(VoiceCommand, MidiRendersTheSameBytesOnEveryThreadCountAndAsLoudAsTheInstrument) {
    writeSong("48, 55, 60, 64, 67");
    const CliRun generated = run("generate " + kMembrane + " --octaves 2 --flat -o " + path("g.ins"));
    ASSERT_EQ(generated.status, 0) << generated.err;
    for (const char* threads : {"1", "2", "0"}) {
        const CliRun rendered = run("render " + path("song.mid") + " --model " + kMembrane + " --threads " +
                                    threads + " -o " + path(std::string("t") + threads + ".wav"));
        ASSERT_EQ(rendered.status, 0) << rendered.err;
    }
    EXPECT_EQ(bytesOf("t1.wav"), bytesOf("t2.wav"));
    EXPECT_EQ(bytesOf("t1.wav"), bytesOf("t0.wav"));
    // The first note (key 48) against the generated 1C over its first 0.4 s.
    const double ratioDb = 20.0 * std::log10(soxRms("t1.wav", 0.4) / soxRms("1C.wav", 0.4));
    EXPECT_LT(std::fabs(ratioDb), 3.0);
}

TEST_F(VoiceCommand, PlaysLiveThroughTheDiskDriverInTime) {
    write("tune.snc", "1C a -1\n1E a -1\n!wait 0.3\n1G a 0.2\n!wait 0.4\n");
    const CliRun played = run("play " + path("tune.snc") + " --model " + kMembrane,
                              "SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=" + path("device.raw") + " ");
    ASSERT_EQ(played.status, 0) << played.err;
    unsigned long long lateBlocks = 0, blocks = 0;
    const std::size_t report = played.out.find("late blocks: ");
    ASSERT_NE(report, std::string::npos) << played.out;
    ASSERT_EQ(std::sscanf(played.out.c_str() + report, "late blocks: %llu of %llu", &lateBlocks, &blocks), 2);
#if !KIVORA_SANITIZED_TIMING // a sanitizer's slowness makes late blocks
    EXPECT_TRUE(kivora::testing::fewLateBlocks(lateBlocks, blocks)) << played.out;
#endif
    // 0.7 s of stereo 16-bit frames at least, and not silent.
    const std::string device = bytesOf("device.raw");
    EXPECT_GE(device.size(), static_cast<std::size_t>(0.7 * 44100) * 4);
    EXPECT_NE(device.find_first_not_of('\0'), std::string::npos);
}

TEST_F(VoiceCommand, RefusesBadInputWithOneLineAndKeepsTheOutput) {
    write("out.wav", "previous");
    write("bad.snc", "1C a -1\n!wait 0.1\nnobody a 1\n");
    CliRun run = this->run("render " + path("bad.snc") + " --model " + kString + " -o " + path("out.wav"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Sorry, unknown alias nobody\n");
    EXPECT_EQ(bytesOf("out.wav"), "previous");

    write("syntax.snc", "1C a\n");
    run = this->run("render " + path("syntax.snc") + " --model " + kString + " -o " + path("out.wav"));
    EXPECT_EQ(run.err, "Incorrect syntax at line:1, need to be : alias flag duration\n");

    run = this->run("render " + path("none.snc") + " --model " + kString + " -o " + path("out.wav"));
    EXPECT_EQ(run.err,
              "Can't open snc file! " + (scratch_ / "none.snc").string() + ": No such file or directory\n");
    write("binary.snc", std::string("\xFF\xFE\x01 a 1\n"));
    run = this->run("render " + path("binary.snc") + " --model " + kString + " -o " + path("out.wav"));
    EXPECT_EQ(run.err, "Sorry, unknown alias \\xFF\\xFE\\x01\n");

    run = this->run("render " + path("bad.snc") + " --model " + kString);
    EXPECT_EQ(run.status, 2);
    run = this->run("render " + path("bad.snc") + " --model " + path("missing.json") + " -o " +
                    path("out.wav"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(bytesOf("out.wav"), "previous");
}
