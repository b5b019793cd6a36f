// Exported instruments played by programs nobody here wrote: FluidSynth
// renders the SoundFont banks (Debian's fluidsynth), and every note is
// measured with a windowed Fourier transform of the test's own. The SFZ text
// is parsed back and its WAV files compared with the instrument's sounds.
#include "FirstChannel.h"
#include "SpectralPeak.h"

#include <kivora/exchange/InstrumentExport.h>
#include <kivora/exchange/RootKeys.h>
#include <kivora/exchange/SongRenderer.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/WavFile.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <numbers>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using kivora::exchange::RootKey;

constexpr double kC3 = 130.8127826502993;
constexpr unsigned kRate = 44100;

double keyHz(int key) {
    return 440.0 * std::exp2((key - 69) / 12.0);
}

// Interleaved values of a tone at hz (every channel alike) with a short fade.
pellamy::Sound tone(double hz, double seconds, int channels = 1, double amplitude = 12000.0) {
    const auto frames = static_cast<std::size_t>(seconds * kRate);
    std::vector<std::int16_t> values(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const double fade = std::min(1.0, std::min(i, frames - i) / 400.0);
        const auto v =
            static_cast<std::int16_t>(amplitude * fade * std::sin(2.0 * std::numbers::pi * hz * i / kRate));
        for (int c = 0; c < channels; ++c)
            values[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = v;
    }
    return pellamy::Sound::make(values, kRate, static_cast<std::uint8_t>(channels), 16, 1.0f);
}

// Pseudo-random values of a fixed seed: no pitch.
pellamy::Sound noise(double seconds) {
    std::vector<std::int16_t> values(static_cast<std::size_t>(seconds * kRate));
    std::uint32_t state = 12345;
    for (std::int16_t& v : values) {
        state = state * 1664525u + 1013904223u;
        v = static_cast<std::int16_t>((state >> 16) % 16000) - 8000;
    }
    return pellamy::Sound::make(values, kRate, 1, 16, 1.0f);
}

double cents(double hz, double reference) {
    return kivora::testing::centsBetween(hz, reference);
}

class Export : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("kivora-export-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    // A MIDI file (made by python3-mido) playing keys one after the other,
    // each for 0.4 s every 0.5 s, rendered by FluidSynth with the bank; the
    // left channel of the result.
    std::vector<double> playWithFluidSynth(const fs::path& bank, const std::vector<int>& keys) {
        std::string keyList;
        for (int key : keys)
            keyList += std::to_string(key) + ",";
        std::ofstream(folder_ / "make.py")
            << "import mido\n"
               "song = mido.MidiFile(ticks_per_beat=480)\n"
               "track = mido.MidiTrack(); song.tracks.append(track)\n"
               "for key in ["
            << keyList
            << "]:\n"
               "    track.append(mido.Message('note_on', note=key, velocity=100, time=0))\n"
               "    track.append(mido.Message('note_off', note=key, velocity=0, time=384))\n"
               "    track.append(mido.Message('note_off', note=key, velocity=0, time=96))\n"
               "song.save('keys.mid')\n";
        const std::string command =
            "cd '" + folder_.string() +
            "' && /usr/bin/python3 make.py && fluidsynth -ni -q -R 0 -C 0 -g 0.5 -r 44100 "
            "-O s16 -T wav -F played.wav '" +
            bank.string() + "' keys.mid > fluidsynth.log 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << "fluidsynth and python3-mido are needed";
        return kivora::testing::firstChannelOf((folder_ / "played.wav").string());
    }

    // The pitch of the note played in slot i of playWithFluidSynth's sequence.
    static double pitchOfSlot(const std::vector<double>& played, int slot, double expected) {
        const auto begin = static_cast<std::size_t>((slot * 0.5 + 0.05) * kRate);
        const auto end = std::min(played.size(), static_cast<std::size_t>((slot * 0.5 + 0.35) * kRate));
        if (begin >= end)
            return std::nan("");
        return kivora::testing::spectralPeakNear(
            std::vector<double>(played.begin() + static_cast<long>(begin),
                                played.begin() + static_cast<long>(end)),
            kRate, expected);
    }

    fs::path folder_;
};

TEST_F(Export, GeneratedNotesPlayInTuneFromTheSoundFontInFluidSynth) {
    pellamy::InstrumentModel instrument;
    const char* names[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    for (int j = 0; j < 36; ++j)
        instrument.addSound(std::to_string(j / 12 + 1) + names[j % 12],
                            tone(kC3 * std::exp2(j / 12.0), 0.45));
    instrument.markLoaded();
    const std::vector<RootKey> roots = kivora::exchange::assignRootKeys(instrument);
    ASSERT_EQ(roots.size(), 36u);
    for (int j = 0; j < 36; ++j) {
        EXPECT_EQ(roots[static_cast<std::size_t>(j)].key, 48 + j);
        EXPECT_EQ(roots[static_cast<std::size_t>(j)].lowKey, 48 + j);
        EXPECT_EQ(roots[static_cast<std::size_t>(j)].highKey, 48 + j);
    }
    const fs::path bank = folder_ / "scale.sf2";
    kivora::exchange::exportInstrument(instrument, roots, bank.string());

    std::vector<int> keys;
    for (int key = 48; key <= 83; ++key)
        keys.push_back(key);
    const std::vector<double> played = playWithFluidSynth(bank, keys);
    for (int j = 0; j < 36; ++j) {
        const double expected = kC3 * std::exp2(j / 12.0);
        const double measured = pitchOfSlot(played, j, expected);
        EXPECT_NEAR(cents(measured, expected), 0.0, 5.0) << "key " << 48 + j << ": " << measured << " Hz";
    }
}

// Three unrelated sounds get their keys by measurement: 200 Hz lies 35 cents
// above G3 (55), 523.25 Hz is C5 (72), noise has no pitch and goes to 36.
// Keys between the two pitched roots play the nearer one, transposed and in
// tune; a stereo sound becomes a linked pair that plays the same.
TEST_F(Export, MeasuredSoundsAndAStereoSoundPlayInTuneOnTheirKeys) {
    pellamy::InstrumentModel instrument;
    instrument.addSound("low", tone(200.0, 0.5));
    instrument.addSound("hiss", noise(0.5));
    instrument.addSound("wide", tone(523.2511306011972, 0.5, 2));
    instrument.markLoaded();
    const std::vector<RootKey> roots = kivora::exchange::assignRootKeys(instrument);
    ASSERT_EQ(roots.size(), 3u);
    EXPECT_EQ(roots[0].key, 55);
    EXPECT_NEAR(roots[0].centsSharp, cents(200.0, keyHz(55)), 2.0);
    EXPECT_TRUE(roots[0].pitched);
    EXPECT_EQ(roots[0].lowKey, 55);
    EXPECT_EQ(roots[0].highKey, 63); // halfway to 72
    EXPECT_FALSE(roots[1].pitched);
    EXPECT_EQ(roots[1].key, 36);
    EXPECT_EQ(roots[2].key, 72);
    EXPECT_EQ(roots[2].lowKey, 64);
    EXPECT_EQ(roots[2].highKey, 72);

    const fs::path bank = folder_ / "three.sf2";
    kivora::exchange::exportInstrument(instrument, roots, bank.string());
    const std::vector<int> keys = {55, 60, 66, 72};
    const std::vector<double> played = playWithFluidSynth(bank, keys);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const double expected = keyHz(keys[i]);
        EXPECT_NEAR(cents(pitchOfSlot(played, static_cast<int>(i), expected), expected), 0.0, 5.0)
            << "key " << keys[i];
    }
}

std::map<std::string, std::string> opcodesOf(const std::string& line) {
    std::map<std::string, std::string> opcodes;
    std::istringstream words(line);
    std::string word;
    while (words >> word)
        if (const auto equals = word.find('='); equals != std::string::npos)
            opcodes[word.substr(0, equals)] = word.substr(equals + 1);
    return opcodes;
}

// Three sounds measured on key 60 and two on key 45: the two nearest keep
// their keys, the next ones take the neighbours on the other side of their
// pitch, and the third on 60 (both neighbours taken) plays from the nearest
// free key, 59, transposed from its own root 60. Every key of every range
// sounds at its own pitch in FluidSynth.
TEST_F(Export, SoundsSharingAPitchEachSoundAtTheirOwnPitch) {
    pellamy::InstrumentModel instrument;
    instrument.addSound("c-3", tone(keyHz(60) * std::exp2(-3 / 1200.0), 0.5));
    instrument.addSound("c+8", tone(keyHz(60) * std::exp2(8 / 1200.0), 0.5));
    instrument.addSound("c+20", tone(keyHz(60) * std::exp2(20 / 1200.0), 0.5));
    instrument.addSound("a-2", tone(keyHz(45) * std::exp2(-2 / 1200.0), 0.5));
    instrument.addSound("a+10", tone(keyHz(45) * std::exp2(10 / 1200.0), 0.5));
    instrument.markLoaded();
    const std::vector<RootKey> roots = kivora::exchange::assignRootKeys(instrument);
    ASSERT_EQ(roots.size(), 5u);
    const int expectedKeys[] = {60, 61, 60, 45, 46};
    for (std::size_t i = 0; i < roots.size(); ++i) {
        EXPECT_TRUE(roots[i].pitched) << roots[i].alias;
        EXPECT_EQ(roots[i].key, expectedKeys[i]) << roots[i].alias;
    }
    EXPECT_NEAR(roots[2].centsSharp, 20.0, 2.0);
    EXPECT_EQ(roots[2].lowKey, 53); // halfway from 46
    EXPECT_EQ(roots[2].highKey, 59);
    EXPECT_EQ(roots[0].lowKey, 60);
    EXPECT_EQ(roots[0].highKey, 60);
    const std::array<int, 128> playing = kivora::exchange::soundOfEachKey(roots);
    EXPECT_EQ(playing[60], 0);
    EXPECT_EQ(playing[59], 2);

    const fs::path bank = folder_ / "shared.sf2";
    kivora::exchange::exportInstrument(instrument, roots, bank.string());
    const std::vector<int> keys = {45, 46, 52, 53, 59, 60, 61};
    const std::vector<double> played = playWithFluidSynth(bank, keys);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const double expected = keyHz(keys[i]);
        EXPECT_NEAR(cents(pitchOfSlot(played, static_cast<int>(i), expected), expected), 0.0, 5.0)
            << "key " << keys[i];
    }

    const fs::path sfz = folder_ / "shared.sfz";
    kivora::exchange::exportInstrument(instrument, roots, sfz.string());
    std::ifstream text(sfz);
    std::string line;
    bool found = false;
    while (std::getline(text, line))
        if (line.find("c+20") != std::string::npos) {
            const auto opcodes = opcodesOf(line);
            EXPECT_EQ(opcodes.at("pitch_keycenter"), "60") << line;
            EXPECT_EQ(opcodes.at("lokey"), "53") << line;
            EXPECT_EQ(opcodes.at("hikey"), "59") << line;
            found = true;
        }
    EXPECT_TRUE(found);
}

TEST_F(Export, SfzRegionsNameWavFilesEqualToTheSounds) {
    pellamy::InstrumentModel instrument;
    instrument.addSound("1C", tone(kC3, 0.2));
    instrument.addSound("1C#", tone(kC3 * std::exp2(1 / 12.0), 0.2, 2));
    instrument.addSound("odd/name", tone(440.0, 0.2));
    instrument.markLoaded();
    const std::vector<RootKey> roots = kivora::exchange::assignRootKeys(instrument);
    const fs::path sfz = folder_ / "my bank.sfz";
    kivora::exchange::exportInstrument(instrument, roots, sfz.string());

    std::ifstream text(sfz);
    std::string line;
    std::vector<std::map<std::string, std::string>> regions;
    while (std::getline(text, line))
        if (line.rfind("<region>", 0) == 0)
            regions.push_back(opcodesOf(line));
    ASSERT_EQ(regions.size(), 3u);
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const RootKey& root = roots[i];
        EXPECT_EQ(regions[i]["lokey"], std::to_string(root.lowKey));
        EXPECT_EQ(regions[i]["hikey"], std::to_string(root.highKey));
        EXPECT_EQ(regions[i]["pitch_keycenter"], std::to_string(root.key));
        EXPECT_EQ(regions[i]["tune"], std::to_string(-std::lround(root.centsSharp)));
        const std::string sample = regions[i]["sample"];
        EXPECT_EQ(sample.rfind("my_bank/", 0), 0u) << sample;
        std::unique_ptr<pellamy::WavFile> wav;
        ASSERT_EQ(pellamy::openWavForRead((folder_ / sample).string(), wav), pellamy::kWavOk) << sample;
        const pellamy::Sound& sound = *instrument.soundFor(root.alias);
        EXPECT_EQ(wav->format()->nChannels, sound.channels());
        EXPECT_EQ(wav->format()->nSamplesPerSec, sound.sampleRate());
        std::vector<std::int16_t> values(wav->size() / 2), expected(sound.count());
        std::uint32_t delivered = 0;
        wav->read(reinterpret_cast<std::uint8_t*>(values.data()), wav->size(), &delivered);
        sound.peek(expected.data(), sound.count(), 0);
        EXPECT_EQ(values, expected) << root.alias;
    }
    EXPECT_EQ(regions[2]["sample"], "my_bank/odd_name.wav");
    EXPECT_EQ(regions[0]["pitch_keycenter"], "48");
    EXPECT_EQ(regions[2]["pitch_keycenter"], "69");
}

// A folder where the bank's file should go fails the export and leaves
// nothing behind; an export into a folder that does not exist says so; a
// text that cannot be replaced, met after the new sample folder was written,
// leaves the previous text and folder byte for byte.
TEST_F(Export, AFailedExportLeavesThePreviousFilesAlone) {
    pellamy::InstrumentModel instrument;
    instrument.addSound("1C", tone(kC3, 0.1));
    instrument.addSound("1E", tone(kC3 * std::exp2(4 / 12.0), 0.1));
    instrument.markLoaded();
    const auto roots = kivora::exchange::assignRootKeys(instrument);
    const fs::path sfz = folder_ / "bank.sfz";
    kivora::exchange::exportInstrument(instrument, roots, sfz.string());
    auto contents = [&] {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(folder_)) {
            std::ifstream in(entry.path(), std::ios::binary);
            files[fs::relative(entry.path(), folder_).string()] =
                entry.is_directory() ? "<folder>" : std::string(std::istreambuf_iterator<char>(in), {});
        }
        return files;
    };
    const auto before = contents();
    ASSERT_EQ(before.size(), 4u); // bank.sfz, bank/, bank/1C.wav, bank/1E.wav

    EXPECT_THROW(
        kivora::exchange::exportInstrument(instrument, roots, (folder_ / "missing" / "x.sfz").string()),
        kivora::exchange::ExportError);
    EXPECT_THROW(kivora::exchange::exportInstrument(instrument, roots, (folder_ / "x.wav").string()),
                 kivora::exchange::ExportError);
    fs::create_directory(folder_ / "taken.sf2");
    EXPECT_THROW(kivora::exchange::exportInstrument(instrument, roots, (folder_ / "taken.sf2").string()),
                 kivora::exchange::ExportError);
    fs::remove(folder_ / "taken.sf2");

    // Read-only for everyone: refused even to the superuser.
    fs::permissions(sfz, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    pellamy::InstrumentModel second;
    second.addSound("1G", tone(kC3 * std::exp2(7 / 12.0), 0.1));
    second.markLoaded();
    try {
        kivora::exchange::exportInstrument(second, kivora::exchange::assignRootKeys(second), sfz.string());
        ADD_FAILURE() << "a read-only text was replaced";
    } catch (const kivora::exchange::ExportError& failure) {
        EXPECT_EQ(std::string(failure.what()), "Can't write " + sfz.string() + ": Permission denied");
    }
    EXPECT_EQ(contents(), before) << "no temporary is left, nothing replaced";
}

} // namespace
