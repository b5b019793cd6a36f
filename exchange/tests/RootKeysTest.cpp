// Root keys of measured sounds: real sampled notes (FluidR3 through
// FluidSynth, keys known from the MIDI file) land on the keys they were
// played on, drums on free keys; two sounds measured on one key share out
// the neighbouring keys.
#include "RealSampledNotes.h"

#include <kivora/exchange/RootKeys.h>
#include <pellamy/InstrumentModel.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <numbers>
#include <string>
#include <vector>

namespace {

using kivora::exchange::RootKey;

pellamy::Sound soundOf(const std::vector<std::int16_t>& values, unsigned rate = 44100) {
    return pellamy::Sound::make(values, rate, 1, 16, 1.0f);
}

// A tone with a weak fundamental and a strong second partial, as low
// sampled notes often are.
pellamy::Sound bassyTone(double hz) {
    std::vector<std::int16_t> values(44100 / 2);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double phase = 2.0 * std::numbers::pi * hz * static_cast<double>(i) / 44100.0;
        values[i] = static_cast<std::int16_t>(3000.0 * std::sin(phase) + 9000.0 * std::sin(2.0 * phase) +
                                              4000.0 * std::sin(3.0 * phase));
    }
    return soundOf(values);
}

double centsBetween(double hz, int key) {
    return 1200.0 * std::log2(hz / (440.0 * std::exp2((key - 69) / 12.0)));
}

// The real set as one instrument per sampled instrument (the piano plays
// every key from 36 to 84), the drums added to the piano.
TEST(RootKeys, RealSampledInstrumentsLieOnThePlayedKeys) {
    const auto& set = kivora::testing::RealNoteSet::get();
    if (set.notes().empty())
        GTEST_SKIP() << "needs " << set.missing();
    std::vector<std::string> names;
    for (const auto& note : set.notes())
        if (note.instrument != "drums" && (names.empty() || names.back() != note.instrument))
            names.push_back(note.instrument);
    std::vector<double> centsOff; // of the sounds on their keys
    std::string wrong;
    int total = 0;
    for (const std::string& name : names) {
        pellamy::InstrumentModel instrument;
        for (const auto* note : set.of(name))
            instrument.addSound(name + std::to_string(note->key), soundOf(note->values));
        if (name == "piano")
            for (const auto* drum : set.of("drums"))
                instrument.addSound("drum" + std::to_string(drum->key), soundOf(drum->values));
        instrument.markLoaded();
        const std::vector<RootKey> roots = kivora::exchange::assignRootKeys(instrument);
        for (const RootKey& root : roots) {
            if (root.alias.rfind("drum", 0) == 0) {
                EXPECT_FALSE(root.pitched) << root.alias;
                EXPECT_GT(root.key, 84) << root.alias << ": the piano holds 36-84";
                continue;
            }
            const int played = std::stoi(root.alias.substr(name.size()));
            ++total;
            if (root.pitched && root.key == played)
                centsOff.push_back(std::abs(root.centsSharp));
            else
                wrong += " " + root.alias + " on " + std::to_string(root.key);
        }
        if (name == "piano") {
            const RootKey& middleC = roots[60 - 36];
            EXPECT_EQ(middleC.key, 60);
            EXPECT_NEAR(centsBetween(middleC.fundamentalHz, 60), middleC.centsSharp, 1e-6);
            EXPECT_EQ(middleC.lowKey, 60);
            EXPECT_EQ(middleC.highKey, 60);
        }
    }
    // The church organ's two highest notes repeat an octave below their key
    // (a rank sounding an octave down) and push its C4 aside.
    EXPECT_GE(static_cast<double>(centsOff.size()), 0.97 * total) << "wrong:" << wrong;
    std::sort(centsOff.begin(), centsOff.end());
    ASSERT_FALSE(centsOff.empty());
    const double median = centsOff[centsOff.size() / 2];
    EXPECT_LT(median, 3.0);
    std::printf("%zu of %d real notes on their keys, median %.2f cents off (wrong:%s)\n", centsOff.size(),
                total, median, wrong.c_str());
}

TEST(RootKeys, OfTwoSoundsOnOneKeyTheFartherMovesToTheOtherNeighbour) {
    pellamy::InstrumentModel instrument;
    instrument.addSound("sharpest", bassyTone(263.5)); // key 60 + 12 cents: 59 to 61 are taken
    instrument.addSound("near", bassyTone(261.0));     // key 60 - 4 cents: keeps 60
    instrument.addSound("sharp", bassyTone(262.5));    // key 60 + 6 cents: moves to 61
    instrument.addSound("flat", bassyTone(255.0));     // key 60 - 44 cents: 59
    instrument.markLoaded();
    const std::vector<RootKey> roots = kivora::exchange::assignRootKeys(instrument);
    ASSERT_EQ(roots.size(), 4u);
    EXPECT_EQ(roots[1].key, 60);
    EXPECT_NEAR(roots[1].centsSharp, centsBetween(261.0, 60), 0.5);
    EXPECT_TRUE(roots[2].pitched);
    EXPECT_EQ(roots[2].key, 61);
    EXPECT_NEAR(roots[2].centsSharp, centsBetween(262.5, 61), 0.5); // played from 61, 94 cents down
    EXPECT_EQ(roots[3].key, 59);
    // Still played at its own pitch: from its root 60 on the nearest free key.
    EXPECT_TRUE(roots[0].pitched);
    EXPECT_EQ(roots[0].key, 60);
    EXPECT_NEAR(roots[0].centsSharp, centsBetween(263.5, 60), 0.5);
    EXPECT_EQ(roots[0].lowKey, 62);
    EXPECT_EQ(roots[0].highKey, 62);
    EXPECT_EQ(roots[3].lowKey, 59);
    EXPECT_EQ(roots[1].lowKey, 60);
    EXPECT_EQ(roots[1].highKey, 60);
    EXPECT_EQ(roots[2].highKey, 61);

    // Measured again (from the readings kept), the same keys.
    const std::vector<RootKey> again = kivora::exchange::assignRootKeys(instrument);
    for (std::size_t i = 0; i < roots.size(); ++i) {
        EXPECT_EQ(again[i].key, roots[i].key);
        EXPECT_EQ(again[i].centsSharp, roots[i].centsSharp);
    }
}

} // namespace
