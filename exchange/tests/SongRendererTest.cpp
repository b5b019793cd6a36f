// Songs played through an instrument as a sampler plays it: keys between
// sampled ones sound at their own pitch (measured), velocity and release
// shape the level, loud songs are scaled instead of clipped, and a real song
// (Debian's planetblupi-music-midi) loses only what mido says is percussion
// or outside every key range.
#include <kivora/exchange/Fundamental.h>
#include <kivora/exchange/InstrumentExport.h>
#include <kivora/exchange/SongRenderer.h>
#include <pellamy/InstrumentModel.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <numbers>
#include <string>
#include <vector>

namespace {

using namespace kivora::exchange;

constexpr unsigned kRate = 44100;

double keyHz(int key) {
    return 440.0 * std::exp2((key - 69) / 12.0);
}

pellamy::Sound sine(double hz, double seconds, double amplitude = 12000.0) {
    std::vector<std::int16_t> values(static_cast<std::size_t>(seconds * kRate));
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<std::int16_t>(amplitude * std::sin(2.0 * std::numbers::pi * hz * i / kRate));
    return pellamy::Sound::make(values, kRate, 1, 16, 1.0f);
}

// Generated names lie on their keys without measuring: 1C is 48, 1G is 55.
struct TwoSines {
    TwoSines() {
        instrument.addSound("1C", sine(keyHz(48), 1.0));
        instrument.addSound("1G", sine(keyHz(55), 1.0));
        roots = assignRootKeys(instrument);
    }
    pellamy::InstrumentModel instrument;
    std::vector<RootKey> roots;
};

MidiNote note(double start, double duration, int key, int velocity = 127, int channel = 0) {
    return {start, duration, key, velocity, channel};
}

double rms(const SongRendering& r, double fromSeconds, double toSeconds) {
    const auto begin = static_cast<std::size_t>(fromSeconds * kRate);
    const auto end = std::min(r.values.size(), static_cast<std::size_t>(toSeconds * kRate));
    double sum = 0.0;
    for (std::size_t i = begin; i < end; ++i)
        sum += static_cast<double>(r.values[i]) * r.values[i];
    return end > begin ? std::sqrt(sum / static_cast<double>(end - begin)) : 0.0;
}

TEST(SongRenderer, KeysBetweenSampledOnesSoundAtTheirOwnPitch) {
    const TwoSines sines;
    MidiSong song;
    for (int key : {48, 49, 50, 51, 52, 53, 54, 55})
        song.notes.push_back(note((key - 48) * 0.5, 0.4, key));
    const SongRendering r = renderSong(song, sines.instrument, sines.roots, {});
    ASSERT_EQ(r.notesPlayed, 8);
    EXPECT_TRUE(r.uncoveredKeys.empty());
    for (int key = 48; key <= 55; ++key) {
        const auto begin = static_cast<std::size_t>((key - 48) * 0.5 * kRate);
        const FundamentalReading reading =
            measureFundamental(r.values.data() + begin, static_cast<std::size_t>(0.35 * kRate), kRate);
        EXPECT_NEAR(1200.0 * std::log2(reading.frequencyHz / keyHz(key)), 0.0, 3.0) << "key " << key;
    }
}

TEST(SongRenderer, VelocityReleaseAndLoudSongsShapeTheLevel) {
    const TwoSines sines;
    MidiSong song;
    song.notes = {note(0.0, 0.3, 48, 127), note(0.5, 0.3, 48, 64), note(1.0, 0.3, 48, 127, 9),
                  note(1.0, 0.3, 90, 127)};
    const SongRendering r = renderSong(song, sines.instrument, sines.roots, {});
    EXPECT_EQ(r.notesPlayed, 2);
    EXPECT_EQ(r.percussionNotesSkipped, 1);
    EXPECT_EQ(r.uncoveredKeys, (std::map<int, int>{{90, 1}}));
    // The SoundFont default curve: velocity 64 is 40·log10(64/127) = -11.9 dB.
    EXPECT_NEAR(20.0 * std::log10(rms(r, 0.55, 0.75) / rms(r, 0.05, 0.25)), 40.0 * std::log10(64.0 / 127.0),
                0.1);
    // Linear release from the note-off at 0.8 s: half level 15 ms in, silence after 30 ms.
    EXPECT_NEAR(rms(r, 0.8 + 0.0125, 0.8 + 0.0175) / rms(r, 0.75, 0.8), 0.5, 0.06);
    EXPECT_EQ(r.frames(), static_cast<std::uint64_t>(0.83 * kRate));

    MidiSong chord; // 12 full-level notes at once would reach 4.4 × full scale
    for (int i = 0; i < 12; ++i)
        chord.notes.push_back(note(0.0, 0.5, 48 + (i % 2) * 7));
    const SongRendering loud = renderSong(chord, sines.instrument, sines.roots, {});
    EXPECT_LT(loud.normalisingGain, 0.25);
    const auto [low, high] = std::minmax_element(loud.values.begin(), loud.values.end());
    EXPECT_GT(*high, 32000);
    EXPECT_GT(*low, -32768); // scaled, not clamped
    SongRenderOptions clip;
    clip.normaliseWhenClipping = false;
    EXPECT_EQ(renderSong(chord, sines.instrument, sines.roots, clip).normalisingGain, 1.0);
}

TEST(SongRenderer, ARealSongLosesOnlyPercussionAndKeysOutsideEveryRange) {
    const std::string songPath = "/usr/share/planetblupi/music/music002.mid";
    if (!std::filesystem::exists(songPath))
        GTEST_SKIP() << "planetblupi-music-midi is needed";
    // mido's count of sounding notes: all, and those of channel 10.
    const std::string count = "/usr/bin/python3 -c \"import mido; m = mido.MidiFile('" + songPath +
                              "'); ons = [x for t in m.tracks for x in t if x.type == 'note_on' and "
                              "x.velocity > 0]; print(len(ons), sum(x.channel == 9 for x in ons), "
                              "sum(x.channel != 9 and 49 <= x.note <= 79 for x in ons))\"";
    FILE* pipe = ::popen(count.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    int all = 0, percussion = 0, inRange = 0;
    ASSERT_EQ(std::fscanf(pipe, "%d %d %d", &all, &percussion, &inRange), 3) << "python3-mido is needed";
    ::pclose(pipe);

    // Short sounds keep the rendering small: 1C# (49) ... 2G (79) every third key.
    pellamy::InstrumentModel instrument;
    const char* names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    for (int key = 49; key <= 79; key += 3)
        instrument.addSound(std::to_string((key - 48) / 12 + 1) + names[key % 12], sine(keyHz(key), 0.05));
    const std::vector<RootKey> roots = assignRootKeys(instrument);
    ASSERT_EQ(roots.front().lowKey, 49);
    ASSERT_EQ(roots.back().highKey, 79);
    const SongRendering r = renderSong(readMidiFile(songPath), instrument, roots, {});
    EXPECT_EQ(r.percussionNotesSkipped, percussion);
    EXPECT_EQ(r.notesPlayed, inRange);
    int uncovered = 0;
    for (const auto& [key, notes] : r.uncoveredKeys) {
        EXPECT_TRUE(key < 49 || key > 79) << key;
        uncovered += notes;
    }
    EXPECT_EQ(r.notesPlayed + r.percussionNotesSkipped + uncovered, all);
}

} // namespace

namespace {

TEST(SongRenderer, ExportedBanksCarryTheReleaseSongsAreRenderedWith) {
    const TwoSines sines;
    const std::string sfz = buildSfz(sines.roots, "s", {"a.wav", "b.wav"}, "two", kDefaultReleaseMs);
    EXPECT_NE(sfz.find("ampeg_release=0.03\n"), std::string::npos) << sfz;
    // releaseVolEnv (38) in timecents: 1200·log2(0.25 s) = -2400.
    const std::vector<std::uint8_t> bank = buildSoundFont(sines.instrument, sines.roots, "two", 250.0);
    const std::uint8_t generator[] = {38, 0, 0xA0, 0xF6};
    EXPECT_NE(std::search(bank.begin(), bank.end(), std::begin(generator), std::end(generator)), bank.end());
}

} // namespace
