// The modal preview against closed forms of small mechanical systems, and
// against what the generator then measures on the bundled models.
#include "TestModels.h"

#include <kivora/ModalAnalysis.h>
#include <kivora/NoteGenerator.h>
#include <modelkit/ModelFile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <numbers>

namespace {

using kivora::analyseModes;
using kivora::ModalPreview;
using kivora::testing::addLink;
using kivora::testing::addNode;

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// count masses m in a row joined by springs k; with fixedEnds, a fixed node
// at each end. Plucked a third of the way along (a triangle of height 0.5),
// the flag on soundingFree (counted among the free masses from 0).
muntero::ModelSnapshot chain(int count, double mass, double stiffness, bool fixedEnds, int soundingFree) {
    muntero::ModelSnapshot model;
    const int offset = fixedEnds ? 1 : 0;
    const int total = count + 2 * offset;
    for (int i = 0; i < total; ++i) {
        const bool fixed = fixedEnds && (i == 0 || i == total - 1);
        const double along = static_cast<double>(i) / (total - 1);
        addNode(model, mass, fixed, fixed ? 0.0 : 0.5 * std::min(along * 3.0, (1.0 - along) * 1.5));
        if (fixed)
            continue;
        if (i > 0)
            addLink(model, stiffness, i - 1);
        if (i < total - 1)
            addLink(model, stiffness, i + 1);
    }
    model.soundingNode = soundingFree + offset;
    return model;
}

TEST(ModalPreview, SingleMassOnASpringRingsAtItsNaturalFrequency) {
    const ModalPreview preview = analyseModes(kivora::testing::massOnSpring(2.5, 4.0e5, 0.3));
    ASSERT_TRUE(preview.unavailable.empty()) << preview.unavailable;
    ASSERT_EQ(preview.modes.size(), 1u);
    const double expected = std::sqrt(4.0e5 / 2.5) / kTwoPi;
    EXPECT_NEAR(preview.modes[0].frequencyHz, expected, 1e-9 * expected);
    EXPECT_NEAR(preview.highestFrequencyHz, expected, 1e-9 * expected);
    EXPECT_DOUBLE_EQ(preview.modes[0].shapeAtSound, 1.0);
    EXPECT_DOUBLE_EQ(preview.modes[0].loudness, 1.0);
    EXPECT_EQ(preview.loudestMode, 0);
}

// ω_r = 2·sqrt(k/m)·sin(rπ / (2(N+1))) for N masses between fixed ends; the
// dense solver takes the small string, Lanczos iterations the long one.
TEST(ModalPreview, FixedStringMatchesTheClosedFormOnBothSolvers) {
    for (int count : {12, 900}) {
        const double mass = 0.01;
        const double stiffness = 2.0e5;
        const ModalPreview preview = analyseModes(chain(count, mass, stiffness, true, count / 3));
        ASSERT_TRUE(preview.unavailable.empty()) << preview.unavailable;
        ASSERT_EQ(preview.modes.size(), 8u) << count;
        EXPECT_TRUE(preview.symmetric);
        for (int r = 1; r <= 8; ++r) {
            const double expected = 2.0 * std::sqrt(stiffness / mass) *
                                    std::sin(r * std::numbers::pi / (2.0 * (count + 1))) / kTwoPi;
            EXPECT_NEAR(preview.modes[static_cast<std::size_t>(r - 1)].frequencyHz, expected, 1e-7 * expected)
                << count << " masses, mode " << r;
        }
        const double highest = 2.0 * std::sqrt(stiffness / mass) *
                               std::sin(count * std::numbers::pi / (2.0 * (count + 1))) / kTwoPi;
        EXPECT_NEAR(preview.highestFrequencyHz, highest, 1e-6 * highest) << count;
    }
}

// A chain free at both ends may drift as a whole (ω = 0): that mode is left
// out and the rest follow ω_r = 2·sqrt(k/m)·sin(rπ / 2N).
TEST(ModalPreview, FreeChainLeavesOutItsDriftOnBothSolvers) {
    for (int count : {10, 600}) {
        const ModalPreview preview = analyseModes(chain(count, 1.0, 1.0e4, false, 0));
        ASSERT_TRUE(preview.unavailable.empty()) << preview.unavailable;
        ASSERT_FALSE(preview.modes.empty());
        for (int r = 1; r <= 3; ++r) {
            const double expected =
                2.0 * std::sqrt(1.0e4) * std::sin(r * std::numbers::pi / (2.0 * count)) / kTwoPi;
            EXPECT_NEAR(preview.modes[static_cast<std::size_t>(r - 1)].frequencyHz, expected, 1e-6 * expected)
                << count << " masses, mode " << r;
        }
    }
}

TEST(ModalPreview, FlagAtTheCentreOfAStringSitsOnTheSecondModesNode) {
    const ModalPreview centre = analyseModes(chain(9, 1.0, 1.0e4, true, 4));
    ASSERT_GE(centre.modes.size(), 3u);
    EXPECT_NEAR(centre.modes[1].shapeAtSound, 0.0, 1e-9);
    EXPECT_EQ(centre.nodalModes, std::vector<int>{1});
    EXPECT_NEAR(centre.modes[0].shapeAtSound, 1.0, 1e-9);

    const ModalPreview offCentre = analyseModes(chain(9, 1.0, 1.0e4, true, 2));
    EXPECT_TRUE(offCentre.nodalModes.empty());
}

TEST(ModalPreview, SaysWhyNothingIsHeard) {
    muntero::ModelSnapshot fixedFlag = kivora::testing::massOnSpring(1.0, 1.0e4, 0.5);
    fixedFlag.soundingNode = 0;
    const ModalPreview silent = analyseModes(fixedFlag);
    ASSERT_EQ(silent.modes.size(), 1u);
    EXPECT_EQ(silent.loudestMode, -1);

    const ModalPreview atRest = analyseModes(kivora::testing::massOnSpring(1.0, 1.0e4, 0.0));
    EXPECT_EQ(atRest.loudestMode, -1);

    muntero::ModelSnapshot allFixed;
    addNode(allFixed, 1.0, true, 0.0);
    EXPECT_FALSE(analyseModes(allFixed).unavailable.empty());
}

// What an editor shows after the first click: free masses and no spring yet.
TEST(ModalPreview, FreeMassesWithoutSpringsHaveNoModes) {
    for (int count : {1, 3}) {
        muntero::ModelSnapshot loose;
        for (int i = 0; i < count; ++i)
            addNode(loose, 1.0, false, 0.0);
        const ModalPreview preview = analyseModes(loose);
        EXPECT_TRUE(preview.modes.empty());
        EXPECT_EQ(preview.highestFrequencyHz, 0.0);
    }
}

// A mass tied to a fixed node, and a second mass pulled towards the first by
// a one-way spring: M⁻¹K is triangular, its modes are k1/m1 and k2/m2.
TEST(ModalPreview, OneWaySpringsUseTheGeneralSolver) {
    muntero::ModelSnapshot model;
    addNode(model, 1.0, true, 0.0);
    addNode(model, 2.0, false, 0.1);
    addLink(model, 8.0e4, 0);
    addNode(model, 1.0, false, 0.0);
    addLink(model, 1.0e4, 1);
    model.soundingNode = 2;
    const ModalPreview preview = analyseModes(model);
    ASSERT_TRUE(preview.unavailable.empty()) << preview.unavailable;
    EXPECT_FALSE(preview.symmetric);
    ASSERT_EQ(preview.modes.size(), 2u);
    EXPECT_NEAR(preview.modes[0].frequencyHz, std::sqrt(1.0e4) / kTwoPi, 1e-6);
    EXPECT_NEAR(preview.modes[1].frequencyHz, std::sqrt(4.0e4) / kTwoPi, 1e-6);
}

TEST(StabilityForecast, FlagsTheNotesAboveTheRungeKuttaLimit) {
    kivora::GenerationSettings settings;
    settings.sampleRate = 8000;
    settings.octaves = 3;
    // ω·h = 2π·1000·2^(j/12)/8000 passes 2√2 from j = 23 on.
    const kivora::StabilityForecast forecast =
        kivora::forecastStability(1000.0, kivora::NoteGenerator::kFirstNoteHz, settings);
    ASSERT_EQ(forecast.stepProducts.size(), 36u);
    ASSERT_FALSE(forecast.unstableNotes.empty());
    EXPECT_EQ(forecast.unstableNotes.front(), 23);
    EXPECT_EQ(forecast.unstableNotes.size(), 13u);

    settings.octaves = 0; // the untuned note keeps the model's own stiffness
    const kivora::StabilityForecast untuned = kivora::forecastStability(1000.0, 50.0, settings);
    EXPECT_EQ(untuned.stepProducts.size(), 1u);
    EXPECT_TRUE(untuned.unstableNotes.empty());
}

// The untuned note the generator renders and measures sounds at one of the
// predicted modes, within 1 %.
TEST(ModalPreview, PredictsTheMeasuredBaseOfEveryBundledModel) {
    int models = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KIVORA_SOURCE_DIR "/examples/models")) {
        if (entry.path().extension() != ".json")
            continue;
        const muntero::ModelSnapshot snapshot =
            muntero::takeSnapshot(InstrumentKit::loadModelFile(entry.path()));
        const ModalPreview preview = analyseModes(snapshot, 16);
        ASSERT_TRUE(preview.unavailable.empty()) << entry.path() << ": " << preview.unavailable;

        kivora::NoteGenerator generator;
        kivora::GenerationSettings settings;
        settings.octaves = 0;
        generator.configure(settings, snapshot);
        ASSERT_EQ(generator.run(), 0);
        const double measured = generator.baseFrequency();
        double nearest = 0.0;
        for (const kivora::NormalMode& mode : preview.modes)
            if (std::abs(mode.frequencyHz - measured) < std::abs(nearest - measured))
                nearest = mode.frequencyHz;
        EXPECT_NEAR(nearest, measured, 0.01 * measured) << entry.path().filename();
        ++models;
    }
    EXPECT_GE(models, 4);
}

// Past the limit a note blows up, or settles into a loud oscillation of the
// stiffest mode near the Nyquist frequency, held by the quadratic damping (its
// samples change sign almost every step); below it the pluck decays as played.
TEST(StabilityForecast, AgreesWithTheGeneratorOnAStringAtALowRate) {
    const muntero::ModelSnapshot snapshot = chain(12, 0.01, 2.0e5, true, 3);
    const ModalPreview preview = analyseModes(snapshot);
    kivora::GenerationSettings settings;
    settings.sampleRate = 8000;
    settings.octaves = 3;
    settings.durationMs = 200;
    kivora::NoteGenerator generator;
    generator.setWorkerCount(1);
    generator.configure(settings, snapshot);
    ASSERT_EQ(generator.run(), 0);
    const kivora::StabilityForecast forecast =
        kivora::forecastStability(preview.highestFrequencyHz, generator.baseFrequency(), settings);
    ASSERT_FALSE(forecast.unstableNotes.empty())
        << "base " << generator.baseFrequency() << " Hz, highest " << preview.highestFrequencyHz << " Hz";
    ASSERT_GT(forecast.unstableNotes.front(), 0);
    for (int note = 0; note < generator.noteCount(); ++note) {
        const std::int16_t* samples = generator.noteBuffer(note);
        const int count = generator.samplesPerNote();
        int signChanges = 0;
        for (int s = count - count / 4; s < count; ++s)
            signChanges += (samples[s] < 0) != (samples[s - 1] < 0);
        const double signChangeRate = static_cast<double>(signChanges) / (count / 4);
        const bool unstable = std::find(forecast.unstableNotes.begin(), forecast.unstableNotes.end(), note) !=
                              forecast.unstableNotes.end();
        const bool misbehaved = generator.noteBlewUp(note) || signChangeRate > 0.5;
        EXPECT_EQ(misbehaved, unstable) << "note " << note << ", ω·h " << forecast.stepProducts[note]
                                        << ", sign changes per sample " << signChangeRate;
    }
}

} // namespace
