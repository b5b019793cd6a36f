// kivora-cli export, convert and render of MIDI files, end to end: a
// generated instrument exported and played by FluidSynth, MIDI files made by
// Python's mido (Debian's python3-mido).
#include "CliTestSupport.h"
#include "FirstChannel.h"
#include "SpectralPeak.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

namespace {

using kivora::cli::testing::CliFixture;

class Exchange : public CliFixture {
protected:
    // Writes song.mid with mido: each key for noteTicks, one after the other
    // every 480 ticks at 120 bpm (0.5 s), all on channel `channel`.
    void writeSong(const std::string& keys, int noteTicks, int channel = 0) const {
        write("make.py", "import mido\n"
                         "song = mido.MidiFile(ticks_per_beat=480)\n"
                         "track = mido.MidiTrack(); song.tracks.append(track)\n"
                         "for key in [" +
                             keys +
                             "]:\n"
                             "    track.append(mido.Message('note_on', note=key, velocity=100, channel=" +
                             std::to_string(channel) +
                             ", time=0))\n"
                             "    track.append(mido.Message('note_off', note=key, channel=" +
                             std::to_string(channel) + ", time=" + std::to_string(noteTicks) +
                             "))\n"
                             "    track.append(mido.Message('note_off', note=key, channel=" +
                             std::to_string(channel) + ", time=" + std::to_string(480 - noteTicks) +
                             "))\n"
                             "song.save('song.mid')\n");
        ASSERT_EQ(std::system(("cd '" + scratch_.string() + "' && /usr/bin/python3 make.py").c_str()), 0)
            << "python3-mido is needed";
    }

    std::vector<double> leftChannel(const std::string& name) const {
        return kivora::testing::firstChannelOf((scratch_ / name).string());
    }

    // The pitch of the note in 0.5 s slot `slot`, near expected.
    static double slotPitch(const std::vector<double>& samples, int slot, double expected) {
        const auto begin = static_cast<std::size_t>((slot * 0.5 + 0.05) * 44100);
        const auto end = std::min(samples.size(), static_cast<std::size_t>((slot * 0.5 + 0.3) * 44100));
        if (begin >= end)
            return std::nan("");
        return kivora::testing::spectralPeakNear(
            std::vector<double>(samples.begin() + static_cast<long>(begin),
                                samples.begin() + static_cast<long>(end)),
            44100, expected, 0.03);
    }
};

TEST_F(Exchange, AGeneratedInstrumentPlaysInTuneFromItsSoundFontInFluidSynth) {
    const std::string ins = (scratch_ / "g.ins").string();
    const auto generated = run("generate --octaves 3 --duration 450 -o '" + ins + "'");
    ASSERT_EQ(generated.status, 0) << generated.err;
    const auto exported = run("export '" + ins + "' -o '" + (scratch_ / "g.sf2").string() + "'");
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_NE(exported.out.find("1C: key 48 (48-48)"), std::string::npos) << exported.out;
    EXPECT_NE(exported.out.find("3B: key 83 (83-83)"), std::string::npos) << exported.out;

    std::string keys;
    for (int key = 48; key <= 83; ++key)
        keys += std::to_string(key) + ",";
    writeSong(keys, 384);
    ASSERT_EQ(
        std::system(("cd '" + scratch_.string() +
                     "' && fluidsynth -ni -q -R 0 -C 0 -g 0.5 -r 44100 -O s16 -T wav -F played.wav g.sf2 "
                     "song.mid > fluidsynth.log 2>&1")
                        .c_str()),
        0);
    const std::vector<double> played = leftChannel("played.wav");
    for (int j = 0; j < 36; ++j) {
        const double expected = 130.8127826502993 * std::exp2(j / 12.0);
        EXPECT_NEAR(kivora::testing::centsBetween(slotPitch(played, j, expected), expected), 0.0, 5.0)
            << "key " << 48 + j;
    }
}

TEST_F(Exchange, MidiFilesConvertToScriptsAndRenderThroughTheInstrument) {
    const std::string ins = (scratch_ / "g.ins").string();
    ASSERT_EQ(run("generate --octaves 1 --duration 400 -o '" + ins + "'").status, 0);
    writeSong("48, 52, 55, 30, 60", 360); // 30 and 60 lie outside one octave from 48
    const std::string song = (scratch_ / "song.mid").string();

    const auto converted =
        run("convert '" + song + "' -i '" + ins + "' -o '" + (scratch_ / "song.snc").string() + "'");
    ASSERT_EQ(converted.status, 0) << converted.err;
    EXPECT_EQ(converted.err, "warning: 2 notes on keys the instrument does not cover: 30 (1), 60 (1)\n");
    // The script's own instrument beside it renders the same pitches.
    ASSERT_TRUE(std::filesystem::exists(scratch_ / "song.ins"));
    const auto pair =
        run("render '" + (scratch_ / "song.snc").string() + "' -i '" + (scratch_ / "song.ins").string() +
            "' -o '" + (scratch_ / "pair.wav").string() + "'");
    ASSERT_EQ(pair.status, 0) << pair.err;
    const std::vector<double> fromPair = leftChannel("pair.wav");
    for (auto [slot, semitones] : {std::pair{0, 0}, std::pair{1, 4}, std::pair{2, 7}}) {
        const double expected = 130.8127826502993 * std::exp2(semitones / 12.0);
        EXPECT_NEAR(kivora::testing::centsBetween(slotPitch(fromPair, slot, expected), expected), 0.0, 5.0);
    }
    std::ifstream scriptFile(scratch_ / "song.snc");
    const std::string script((std::istreambuf_iterator<char>(scriptFile)), std::istreambuf_iterator<char>());
    EXPECT_NE(script.find("1C a 0.375\n!wait 0.5\n1E a 0.375\n!wait 0.5\n1G a 0.375\n!wait 0.375\n"),
              std::string::npos)
        << script;

    const auto rendered =
        run("render '" + song + "' -i '" + ins + "' -o '" + (scratch_ / "song.wav").string() + "'");
    ASSERT_EQ(rendered.status, 0) << rendered.err;
    const std::vector<double> samples = leftChannel("song.wav");
    // The last note's 0.375 s and its release, cut where the 0.4 s sound ends.
    EXPECT_EQ(samples.size(), std::size_t{61740}); // 1.4 s
    for (auto [slot, semitones] : {std::pair{0, 0}, std::pair{1, 4}, std::pair{2, 7}}) {
        const double expected = 130.8127826502993 * std::exp2(semitones / 12.0);
        EXPECT_NEAR(kivora::testing::centsBetween(slotPitch(samples, slot, expected), expected), 0.0, 5.0)
            << slot;
    }
    for (const auto& entry : std::filesystem::directory_iterator(scratch_))
        EXPECT_EQ(entry.path().filename().string().find(".kivora-"), std::string::npos) << entry.path();

    EXPECT_EQ(run("render '" + song + "'").status, 2); // a MIDI file needs -i
    EXPECT_EQ(run("convert '" + song + "' -i '" + ins + "' -o x.snc --channel 17").status, 2);
    const auto otherChannel =
        run("convert '" + song + "' -i '" + ins + "' -o '" + (scratch_ / "c.snc").string() + "' --channel 2");
    EXPECT_EQ(otherChannel.status, 1);
    const auto notMidi =
        run("convert " + duo_ + " -i " + duo_ + " -o '" + (scratch_ / "d.snc").string() + "'");
    EXPECT_EQ(notMidi.status, 1);
    EXPECT_NE(notMidi.err.find("Not a readable MIDI file"), std::string::npos) << notMidi.err;
    const std::string nowhere = (scratch_ / "no/such/e.snc").string();
    const auto unwritable = run("convert '" + song + "' -i '" + ins + "' -o '" + nowhere + "'");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_TRUE(unwritable.err.ends_with("\nCan't write " + nowhere + ": No such file or directory\n"))
        << unwritable.err;
}

// "--mix none" scales nothing: a song that does not clip is written as
// "clip" writes it, not as silence. The peaks are read by Python's wave.
TEST_F(Exchange, MidiRenderingWithoutMixingScalesNothing) {
    const std::string ins = (scratch_ / "g.ins").string();
    ASSERT_EQ(run("generate --octaves 1 --duration 300 -o '" + ins + "'").status, 0);
    writeSong("48, 55", 240);
    const std::string song = (scratch_ / "song.mid").string();
    auto peakOf = [&](const std::string& name) {
        write("peak.py", "import array, sys, wave\n"
                         "w = wave.open(sys.argv[1])\n"
                         "a = array.array('h', w.readframes(w.getnframes()))\n"
                         "print(max(abs(v) for v in a))\n");
        EXPECT_EQ(std::system(
                      ("cd '" + scratch_.string() + "' && /usr/bin/python3 peak.py '" + name + "' > peak.txt")
                          .c_str()),
                  0);
        std::ifstream text(scratch_ / "peak.txt");
        std::string peak;
        std::getline(text, peak);
        return peak;
    };
    for (const char* mix : {"none", "clip"}) {
        const auto rendered = run("render '" + song + "' -i '" + ins + "' --mix " + mix + " -o '" +
                                  (scratch_ / mix).string() + ".wav'");
        ASSERT_EQ(rendered.status, 0) << mix << ": " << rendered.err;
    }
    const std::string none = peakOf("none.wav");
    EXPECT_GT(none.empty() ? 0 : std::stoi(none), 1000) << none;
    EXPECT_EQ(none, peakOf("clip.wav"));
    std::ifstream a(scratch_ / "none.wav", std::ios::binary), b(scratch_ / "clip.wav", std::ios::binary);
    EXPECT_TRUE(std::equal(std::istreambuf_iterator<char>(a), {}, std::istreambuf_iterator<char>(b), {}));
}

TEST_F(Exchange, ConvertWritesTheScriptAndItsInstrumentAllOrNothing) {
    const std::string ins = (scratch_ / "g.ins").string();
    ASSERT_EQ(run("generate --octaves 1 --duration 200 -o '" + ins + "'").status, 0);
    writeSong("48, 52", 240);
    const std::string song = (scratch_ / "song.mid").string();
    auto read = [&](const std::string& name) {
        std::ifstream file(scratch_ / name);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    };

    // A script that cannot be put in place: no instrument either.
    std::filesystem::create_directory(scratch_ / "a.snc");
    EXPECT_EQ(
        run("convert '" + song + "' -i '" + ins + "' -o '" + (scratch_ / "a.snc").string() + "'").status, 1);
    EXPECT_FALSE(std::filesystem::exists(scratch_ / "a.ins"));

    // Nor is a previous instrument replaced.
    write("b.ins", "previous instrument\n");
    std::filesystem::create_directory(scratch_ / "b.snc");
    EXPECT_EQ(
        run("convert '" + song + "' -i '" + ins + "' -o '" + (scratch_ / "b.snc").string() + "'").status, 1);
    EXPECT_EQ(read("b.ins"), "previous instrument\n");

    // An instrument that cannot be saved: the previous script comes back.
    write("c.snc", "previous script\n");
    std::filesystem::create_directory(scratch_ / "c.ins");
    EXPECT_EQ(
        run("convert '" + song + "' -i '" + ins + "' -o '" + (scratch_ / "c.snc").string() + "'").status, 1);
    EXPECT_EQ(read("c.snc"), "previous script\n");
    // And without a previous script, none is left.
    std::filesystem::create_directory(scratch_ / "d.ins");
    EXPECT_EQ(
        run("convert '" + song + "' -i '" + ins + "' -o '" + (scratch_ / "d.snc").string() + "'").status, 1);
    EXPECT_FALSE(std::filesystem::exists(scratch_ / "d.snc"));
    for (const auto& entry : std::filesystem::directory_iterator(scratch_))
        EXPECT_EQ(entry.path().filename().string().find(".kivora-"), std::string::npos) << entry.path();
}

// A sound file that cannot be replaced, met after the new script was
// written: the previous script, instrument and sounds stay byte for byte.
TEST_F(Exchange, AConvertThatFailsHalfwayLeavesThePreviousPairAsItWas) {
    const std::string ins = (scratch_ / "g.ins").string();
    ASSERT_EQ(run("generate --octaves 1 --duration 200 -o '" + ins + "'").status, 0);
    const std::string pairFolder = (scratch_ / "pair").string();
    std::filesystem::create_directory(pairFolder);
    const std::string script = pairFolder + "/e.snc";
    writeSong("48, 52, 55", 240);
    const std::string song = (scratch_ / "song.mid").string();
    ASSERT_EQ(run("convert '" + song + "' -i '" + ins + "' -o '" + script + "'").status, 0);
    auto contents = [&] {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(pairFolder)) {
            std::ifstream in(entry.path(), std::ios::binary);
            files[entry.path().filename().string()] = std::string(std::istreambuf_iterator<char>(in), {});
        }
        return files;
    };
    const auto before = contents();
    ASSERT_EQ(before.size(), 5u); // e.snc, e.ins and three sounds
    ASSERT_TRUE(before.count("1E.wav"));
    // Read-only for everyone: refused even to the superuser.
    std::filesystem::permissions(pairFolder + "/1E.wav", std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::group_read |
                                                             std::filesystem::perms::others_read);

    writeSong("48, 52, 55", 360); // another script
    const auto failed = run("convert '" + song + "' -i '" + ins + "' -o '" + script + "'");
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(failed.err.ends_with("Can't write sound file " + pairFolder + "/1E.wav: Permission denied\n"))
        << failed.err;
    EXPECT_EQ(contents(), before);
}

TEST_F(Exchange, KivoraAndFluidSynthAgreeOnASongsOnsetsPitchesAndReleases) {
    const std::string ins = (scratch_ / "g.ins").string();
    ASSERT_EQ(run("generate --octaves 1 --duration 400 -o '" + ins + "'").status, 0);
    ASSERT_EQ(run("export '" + ins + "' -o '" + (scratch_ / "g.sf2").string() + "'").status, 0);
    writeSong("48, 50, 53, 55, 57, 59, 52", 300, 9); // first all on the percussion channel
    const auto drumsOnly = run("render '" + (scratch_ / "song.mid").string() + "' -i '" + ins + "'");
    EXPECT_EQ(drumsOnly.status, 1);
    EXPECT_NE(drumsOnly.err.find("7 percussion notes (channel 10) skipped"), std::string::npos)
        << drumsOnly.err;

    writeSong("48, 50, 53, 55, 57, 59, 52", 300);
    const auto rendered = run("render '" + (scratch_ / "song.mid").string() + "' -i '" + ins + "'");
    ASSERT_EQ(rendered.status, 0) << rendered.err;
    ASSERT_EQ(std::system(("cd '" + scratch_.string() +
                           "' && fluidsynth -ni -q -R 0 -C 0 -r 44100 -O s16 -T wav -F fluid.wav g.sf2 "
                           "song.mid > fluidsynth.log 2>&1")
                              .c_str()),
              0);
    const std::vector<double> ours = leftChannel("song.wav");
    const std::vector<double> theirs = leftChannel("fluid.wav");
    // Onset: the first value above a tenth of the slot's peak; end: the last.
    auto edges = [](const std::vector<double>& x, int slot) {
        const auto begin = static_cast<std::size_t>(slot * 0.5 * 44100);
        const auto end = std::min(x.size(), static_cast<std::size_t>((slot + 1) * 0.5 * 44100));
        double peak = 0.0;
        for (std::size_t i = begin; i < end; ++i)
            peak = std::max(peak, std::abs(x[i]));
        std::size_t first = end, last = begin;
        for (std::size_t i = begin; i < end; ++i)
            if (std::abs(x[i]) > 0.1 * peak) {
                first = std::min(first, i);
                last = i;
            }
        return std::pair{(first - begin) * 1000.0 / 44100, (last - begin) * 1000.0 / 44100};
    };
    const int semitones[] = {0, 2, 5, 7, 9, 11, 4};
    for (int slot = 0; slot < 7; ++slot) {
        const double expected = 130.8127826502993 * std::exp2(semitones[slot] / 12.0);
        EXPECT_NEAR(
            kivora::testing::centsBetween(slotPitch(ours, slot, expected), slotPitch(theirs, slot, expected)),
            0.0, 5.0)
            << slot;
        const auto [ourOnsetMs, ourEndMs] = edges(ours, slot);
        const auto [theirOnsetMs, theirEndMs] = edges(theirs, slot);
        EXPECT_NEAR(ourOnsetMs, theirOnsetMs, 3.0) << slot;
        // The generated notes decay: both fall below a tenth alike.
        EXPECT_NEAR(ourEndMs, theirEndMs, 15.0) << slot;
    }
}

} // namespace
