// The tuning check of generated notes: the tuned partial of synthetic tones
// over a grid of rates and frequencies, the tuning of whole runs, notes whose
// step is unstable, and the causes of a silent model.
#include "TestModels.h"

#include <kivora/NoteGenerator.h>
#include <kivora/NoteTuning.h>
#include <modelkit/ModelFile.h>
#include <muntero/ModelSnapshot.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <gtest/gtest.h>
#include <numbers>
#include <thread>
#include <vector>

namespace {

using kivora::GenerationSettings;
using kivora::NoteGenerator;

// A decaying sine, as a struck model sounds, plus an optional second partial.
std::vector<std::int16_t> tone(unsigned rate, double hz, double seconds, double otherHz = 0.0,
                               double otherAmplitude = 0.0) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(rate * seconds));
    for (std::size_t n = 0; n < samples.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        const double value =
            std::exp(-3.0 * t) * (12000.0 * std::sin(2.0 * std::numbers::pi * hz * t) +
                                  otherAmplitude * std::sin(2.0 * std::numbers::pi * otherHz * t));
        samples[n] = static_cast<std::int16_t>(std::lround(value));
    }
    return samples;
}

double cents(double measured, double target) {
    return 1200.0 * std::log2(measured / target);
}

TEST(TunedPartial, FindsATonesFrequencyWithinATenthOfACentAcrossRatesAndNotes) {
    for (unsigned rate : {44100u, 22050u, 8000u}) {
        for (int note : {0, 7, 19, 35}) {
            const double target = kivora::noteTargetHz(note);
            for (double offsetCents : {-60.0, -3.0, 0.0, 4.5, 80.0}) {
                const double hz = target * std::exp2(offsetCents / 1200.0);
                const std::vector<std::int16_t> samples = tone(rate, hz, 0.5);
                const double measured = kivora::tunedPartialHz(
                    samples.data(), static_cast<unsigned>(samples.size()), rate, target);
                EXPECT_NEAR(cents(measured, hz), 0.0, 0.1)
                    << rate << " Hz, note " << note << ", " << offsetCents << " cents";
            }
        }
    }
}

TEST(TunedPartial, TakesTheStrongestResonanceWithinASemitoneOnly) {
    const double target = kivora::noteTargetHz(9); // 220 Hz
    // A louder partial a fifth up does not count; the one near the target does.
    std::vector<std::int16_t> samples = tone(44100, target * 1.001, 0.5, target * 1.5, 20000.0);
    double measured =
        kivora::tunedPartialHz(samples.data(), static_cast<unsigned>(samples.size()), 44100, target);
    // The louder partial's skirt pulls the peak by a fraction of a cent.
    EXPECT_NEAR(cents(measured, target * 1.001), 0.0, 0.5);
    // Nothing within a semitone: the response only rises towards the partial above.
    samples = tone(44100, target * std::exp2(3.0 / 12.0), 0.5);
    measured = kivora::tunedPartialHz(samples.data(), static_cast<unsigned>(samples.size()), 44100, target);
    EXPECT_EQ(measured, 0.0);
    const std::vector<std::int16_t> silence(22050, 7);
    EXPECT_EQ(kivora::tunedPartialHz(silence.data(), 22050, 44100, target), 0.0);
}

TEST(NoteTuning, EveryNoteOfABundledModelIsWithinACentOfItsTarget) {
    NoteGenerator generator;
    GenerationSettings settings;
    settings.octaves = 3;
    settings.durationMs = 300;
    generator.configure(settings, muntero::takeSnapshot(InstrumentKit::loadModelFile(
                                      KIVORA_SOURCE_DIR "/examples/models/plucked-string.json")));
    ASSERT_EQ(generator.run(), 0);
    const std::vector<kivora::NoteTuning> tuning = kivora::measureTuning(generator, 2);
    ASSERT_EQ(tuning.size(), 36u);
    EXPECT_EQ(tuning[0].name, "1C");
    EXPECT_EQ(tuning[35].name, "3B");
    for (int note = 0; note < 36; ++note) {
        const kivora::NoteTuning& result = tuning[static_cast<std::size_t>(note)];
        EXPECT_DOUBLE_EQ(result.targetHz, NoteGenerator::kFirstNoteHz * std::exp2(note / 12.0));
        EXPECT_NEAR(result.centsOff, 0.0, 1.0) << result.name;
        EXPECT_NEAR(cents(result.measuredHz, result.targetHz), result.centsOff, 1e-9);
        EXPECT_FALSE(result.unstable) << result.name;
    }
    // One thread or several: the same measurement.
    const std::vector<kivora::NoteTuning> alone = kivora::measureTuning(generator, 1);
    for (std::size_t note = 0; note < 36; ++note) {
        EXPECT_EQ(alone[note].measuredHz, tuning[note].measuredHz);
    }
    settings.octaves = 0;
    generator.configure(settings, kivora::testing::massOnSpring(1.0, 1.0e6, 0.5));
    ASSERT_EQ(generator.run(), 0);
    EXPECT_TRUE(kivora::measureTuning(generator).empty());
}

// At 8000 samples per second the plucked string's highest mode passes the
// step's limit from 2G on (h·omega 2.76 for 2F#, 2.93 for 2G). In 2G the
// square attenuation holds the growing mode as a steady false tone, so the
// note never reaches a non-number; it is reported all the same.
TEST(NoteTuning, NotesBeyondTheStepLimitAreUnstableAlsoWithoutBlowingUp) {
    NoteGenerator generator;
    GenerationSettings settings;
    settings.octaves = 3;
    settings.sampleRate = 8000;
    const muntero::ModelSnapshot string = muntero::takeSnapshot(
        InstrumentKit::loadModelFile(KIVORA_SOURCE_DIR "/examples/models/plucked-string.json"));
    // 14 masses of 0.002 between fixed ends, springs of 17350: the highest
    // angular frequency is 2·sqrt(k/m)·sin(14π/30).
    const double highest = 2.0 * std::sqrt(17350.0 / 0.002) * std::sin(14.0 * std::numbers::pi / 30.0);
    generator.configure(settings, string);
    ASSERT_EQ(generator.run(), 0);
    EXPECT_NEAR(generator.highestAngularFrequency(), highest, 1e-6 * highest);
    const int twoG = 19;
    EXPECT_FALSE(generator.noteUnstable(twoG - 1));
    EXPECT_FALSE(generator.noteBlewUp(twoG));
    EXPECT_TRUE(generator.noteUnstable(twoG));
    for (int note = twoG; note < 36; ++note) {
        EXPECT_TRUE(generator.noteUnstable(note)) << note;
    }
    EXPECT_FALSE(generator.noteUnstable(36)); // no such note
    // Its last tenth still rings at full strength instead of dying away.
    const std::int16_t* samples = generator.noteBuffer(twoG);
    int loudest = 0;
    for (int s = generator.samplesPerNote() * 9 / 10; s < generator.samplesPerNote(); ++s) {
        loudest = std::max(loudest, std::abs(static_cast<int>(samples[s])));
    }
    EXPECT_GT(loudest, 8000);
    EXPECT_TRUE(kivora::measureTuning(generator)[twoG].unstable);
}

TEST(NoteTuning, TheUntunedMassOnASpringIsUnstableOnlyPastTheLimit) {
    for (auto [stiffness, unstable] : {std::pair{1.0e6, false}, std::pair{1.0e9, true}}) {
        NoteGenerator generator;
        GenerationSettings settings;
        settings.octaves = 0;
        settings.durationMs = 10;
        settings.sampleRate = 8000;
        generator.configure(settings, kivora::testing::massOnSpring(1.0, stiffness, 0.5));
        ASSERT_EQ(generator.run(), 0);
        EXPECT_NEAR(generator.highestAngularFrequency(), std::sqrt(stiffness), 1e-9 * std::sqrt(stiffness));
        EXPECT_EQ(generator.noteUnstable(0), unstable) << stiffness;
    }
}

TEST(NoteTuning, SilenceHasNoPitchAndItsCausesAreNamed) {
    std::vector<std::int16_t> samples(100, 0);
    EXPECT_TRUE(kivora::isSilent(samples.data(), 100));
    samples[50] = 1;
    EXPECT_FALSE(kivora::isSilent(samples.data(), 100));
    EXPECT_TRUE(kivora::isSilent(samples.data(), 100, 1, 2)); // dither
    samples[50] = 0;
    samples[51] = 9000;
    EXPECT_TRUE(kivora::isSilent(samples.data(), 50, 2)); // only the first channel counts
    EXPECT_TRUE(kivora::isSilent(samples.data(), 1));

    muntero::ModelSnapshot model = kivora::testing::massOnSpring(1.0, 1.0e6, 0.5);
    EXPECT_EQ(kivora::silenceCauseFor(model), kivora::SilenceCause::none);
    model.soundingNode = 0;
    EXPECT_EQ(kivora::silenceCauseFor(model), kivora::SilenceCause::flaggedNodeFixed);
    EXPECT_STREQ(kivora::describe(kivora::SilenceCause::flaggedNodeFixed), "the flagged node is fixed");
    kivora::testing::addNode(model, 1.0, false, 0.2);
    model.soundingNode = 2;
    EXPECT_EQ(kivora::silenceCauseFor(model), kivora::SilenceCause::flaggedNodeUnlinked);
    muntero::ModelSnapshot still = kivora::testing::massOnSpring(1.0, 1.0e6, 0.0);
    EXPECT_EQ(kivora::silenceCauseFor(still), kivora::SilenceCause::modelAtRest);
    EXPECT_EQ(kivora::describe(kivora::SilenceCause::none), nullptr);

    // The measured frequency of a silent untuned note is none, so the run
    // gives silent notes rather than notes tuned to a tie of the resonators.
    NoteGenerator generator;
    GenerationSettings settings;
    settings.octaves = 1;
    settings.durationMs = 50;
    generator.configure(settings, still);
    ASSERT_EQ(generator.run(), 0);
    EXPECT_EQ(generator.baseFrequency(), 0.0);

    EXPECT_TRUE(kivora::isMeasurable(40.0));
    EXPECT_TRUE(kivora::isMeasurable(1999.99));
    EXPECT_FALSE(kivora::isMeasurable(38.0));
    EXPECT_FALSE(kivora::isMeasurable(2000.0));
}

} // namespace

namespace {

// A mass on a spring at 159 Hz renders in moments, and measuring its long notes takes seconds.
GenerationSettings longNotes(int durationMs) {
    GenerationSettings settings;
    settings.octaves = 1;
    settings.sampleRate = 44100;
    settings.durationMs = durationMs;
    return settings;
}

muntero::ModelSnapshot quickToRender() {
    return kivora::testing::massOnSpring(1.0e-3, 1000.0, 0.5);
}

} // namespace

TEST(StoppedMeasuring, TheUntunedNotesPitchStopsWithTheRun) {
    NoteGenerator generator;
    generator.configure(longNotes(60'000), quickToRender());
    std::atomic<bool> measuring{false};
    generator.setFrequencyMeter(
        [&measuring, meter = generator.frequencyMeter()](const pellamy::WAVEFORMATEX& format,
                                                         const std::int16_t* samples, unsigned count) {
            measuring = true;
            return meter(format, samples, count);
        });
    auto run = std::async(std::launch::async, [&] { return generator.run(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!measuring.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(measuring.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    generator.stopRequested = 7;
    EXPECT_EQ(run.wait_for(std::chrono::milliseconds(100)), std::future_status::ready);
    EXPECT_EQ(run.get(), 7);
    EXPECT_EQ(generator.notesFinished(), 0);
}

TEST(StoppedMeasuring, TheTuningStopsWithItsFlagAndGivesNothing) {
    NoteGenerator generator;
    generator.configure(longNotes(20'000), quickToRender());
    ASSERT_EQ(generator.run(), 0);
    std::atomic<int> stop{0};
    const std::int16_t* note = generator.noteBuffer(3);
    const double target = kivora::noteTargetHz(3);
    EXPECT_EQ(kivora::tunedPartialHz(note, 44100, 44100, target, &stop),
              kivora::tunedPartialHz(note, 44100, 44100, target));

    auto tuning = std::async(std::launch::async, [&] { return kivora::measureTuning(generator, 0, &stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // twelve notes of 20 s take seconds
    stop = 1;
    EXPECT_EQ(tuning.wait_for(std::chrono::milliseconds(100)), std::future_status::ready);
    EXPECT_TRUE(tuning.get().empty());
}

TEST(NoteTuning, TheWarningsNameUnstableNotesAndNotesMoreThanFiveCentsOff) {
    const std::vector<kivora::NoteTuning> tuning = {
        {"1C", 130.81, 131.0, 2.5, false},  {"1C#", 138.59, 0.0, 0.0, false},
        {"1D", 146.83, 148.0, 7.26, false}, {"1D#", 155.56, 155.0, -5.04, false},
        {"1E", 164.81, 170.0, 40.0, true},  {"1F", 174.61, 175.0, 5.0, false},
        {"1F#", 185.0, 0.0, 0.0, true},
    };
    const kivora::MistunedNotes found = kivora::findMistunedNotes(tuning);
    EXPECT_EQ(found.unstable, (std::vector<std::string>{"1E", "1F#"}));
    EXPECT_EQ(found.mistuned, (std::vector<std::string>{"1C# (no resonance within a semitone)",
                                                        "1D (+7.3 cents)", "1D# (-5.0 cents)"}));
    EXPECT_EQ(kivora::tooStiffWarning(8000, found.unstable),
              "the model is too stiff for 8000 samples per second in the notes 1E 1F#: their integration is "
              "unstable, so they ring at a false pitch or end in silence");
    EXPECT_EQ(kivora::mistuningWarning(found.mistuned),
              "notes more than 5 cents off their targets: 1C# (no resonance within a semitone), 1D (+7.3 "
              "cents), 1D# (-5.0 cents)");

    const kivora::MistunedNotes none = kivora::findMistunedNotes({tuning[0], tuning[5]});
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(kivora::tooStiffWarning(8000, {}), "");
    EXPECT_EQ(kivora::mistuningWarning({}), "");
}
