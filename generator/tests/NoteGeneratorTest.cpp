#include "PlainRungeKutta.h"
#include "TestModels.h"

#include <kivora/NoteGenerator.h>

#include <algorithm>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

namespace {

using kivora::GenerationSettings;
using kivora::NoteGenerator;
using kivora::testing::massOnSpring;
using kivora::testing::membrane;

// A stand-in for the pitch measurement, so these tests do not depend on it.
NoteGenerator::FrequencyMeter fixedMeter(double hz, int* calls = nullptr) {
    return [hz, calls](const pellamy::WAVEFORMATEX&, const std::int16_t*, unsigned) {
        if (calls != nullptr) {
            ++*calls;
        }
        return hz;
    };
}

std::vector<std::int16_t> bufferOf(const NoteGenerator& generator, int note) {
    const std::int16_t* data = generator.noteBuffer(note);
    return {data, data + generator.samplesPerNote()};
}

bool isSilent(const NoteGenerator& generator, int note) {
    const std::vector<std::int16_t> samples = bufferOf(generator, note);
    return std::all_of(samples.begin(), samples.end(), [](std::int16_t s) { return s == 0; });
}

TEST(NoteGenerator, InitialSettingsGiveTwentyFourNamedNotes) {
    NoteGenerator generator;
    EXPECT_EQ(generator.buildDescriptions(), nullptr);
    EXPECT_EQ(generator.run(), NoteGenerator::kNotConfigured);
    generator.setFrequencyMeter(fixedMeter(150.0));
    generator.setWorkerCount(1);
    std::vector<int> done;
    generator.setNoteDoneCallback([&](int note) { done.push_back(note); });
    generator.configure(GenerationSettings{}, massOnSpring(1.0, 1.0e6, 0.5));
    EXPECT_EQ(generator.run(), 0);

    const char* names[] = {"1C", "1C#", "1D", "1D#", "1E", "1F", "1F#", "1G", "1G#", "1A", "1A#", "1B",
                           "2C", "2C#", "2D", "2D#", "2E", "2F", "2F#", "2G", "2G#", "2A", "2A#", "2B"};
    ASSERT_EQ(generator.noteCount(), 24);
    EXPECT_EQ(generator.samplesPerNote(), 22050);
    const pellamy::SoundStreamDescription* records = generator.buildDescriptions();
    for (int j = 0; j < 24; ++j) {
        EXPECT_EQ(records[j].name, names[j]);
        EXPECT_EQ(records[j].dataBytes, 44100u);
        EXPECT_EQ(records[j].data, generator.noteBuffer(j));
        EXPECT_EQ(records[j].format.wFormatTag, 1);
        EXPECT_EQ(records[j].format.nChannels, 1);
        EXPECT_EQ(records[j].format.nSamplesPerSec, 44100u);
        EXPECT_EQ(records[j].format.nAvgBytesPerSec, 88200u);
        EXPECT_EQ(records[j].format.nBlockAlign, 2);
        EXPECT_EQ(records[j].format.wBitsPerSample, 16);
        EXPECT_EQ(records[j].format.cbSize, 18);
        EXPECT_FALSE(isSilent(generator, j)) << names[j];
    }
    std::vector<int> expected(24);
    for (int j = 0; j < 24; ++j) {
        expected[static_cast<std::size_t>(j)] = j;
    }
    EXPECT_EQ(done, expected);
    EXPECT_EQ(generator.baseFrequency(), 150.0);
}

// One note, untuned: sample for sample the straightforward integration of the
// model, scaled to 16 bits.
TEST(NoteGenerator, ZeroOctavesGiveOneUntunedSimpleNote) {
    const muntero::ModelSnapshot model = membrane(5, 6, 2.0e5);
    NoteGenerator generator;
    int meterCalls = 0;
    generator.setFrequencyMeter(fixedMeter(100.0, &meterCalls));
    int done = 0;
    generator.setNoteDoneCallback([&](int) { ++done; });
    GenerationSettings settings;
    settings.octaves = 0;
    settings.durationMs = 50;
    settings.sampleRate = 22050;
    generator.configure(settings, model);
    EXPECT_EQ(generator.run(), 0);
    EXPECT_EQ(meterCalls, 0);
    EXPECT_EQ(done, 1);
    ASSERT_EQ(generator.noteCount(), 1);
    const pellamy::SoundStreamDescription* record = generator.buildDescriptions();
    EXPECT_EQ(record->name, "simpleNote");
    EXPECT_EQ(record->dataBytes, 2u * 1102u);

    const double h = 1.0 / 22050;
    muntero::PlainRungeKutta reference(model, {h, 4.0, 0.08, h / 6.0});
    const std::vector<std::int16_t> samples = bufferOf(generator, 0);
    for (std::size_t s = 0; s < samples.size(); ++s) {
        const double x = reference.displacements()[static_cast<std::size_t>(model.soundingNode)];
        ASSERT_EQ(samples[s], static_cast<std::int16_t>(static_cast<int>(x * 32767.0))) << "sample " << s;
        reference.advance();
    }
    EXPECT_FALSE(isSilent(generator, 0));
}

TEST(NoteGenerator, ModelAtRestIsSilentHoweverTuned) {
    NoteGenerator generator; // the real pitch measurement
    GenerationSettings settings;
    settings.octaves = 1;
    settings.durationMs = 100;
    muntero::ModelSnapshot still = membrane(4, 4, 1.0e5);
    std::fill(still.initialVelocities.begin(), still.initialVelocities.end(), 0.0);
    generator.configure(settings, still);
    EXPECT_EQ(generator.run(), 0);
    for (int j = 0; j < generator.noteCount(); ++j) {
        EXPECT_TRUE(isSilent(generator, j)) << "note " << j;
    }
}

TEST(NoteGenerator, NoMeasuredFrequencyGivesSilentNotes) {
    for (double measured : {0.0, -1.0}) {
        NoteGenerator generator;
        generator.setFrequencyMeter(fixedMeter(measured));
        int done = 0;
        generator.setNoteDoneCallback([&](int) { ++done; });
        GenerationSettings settings;
        settings.durationMs = 20;
        settings.octaves = 1;
        generator.configure(settings, massOnSpring(1.0, 1.0e6, 0.5));
        EXPECT_EQ(generator.run(), 0);
        EXPECT_EQ(done, 12);
        for (int j = 0; j < 12; ++j) {
            EXPECT_TRUE(isSilent(generator, j));
        }
    }
}

// Stopping from the note-done callback after the third note, with the notes
// rendered one after the other and in parallel.
TEST(NoteGenerator, StopAfterThreeNotesKeepsThemAndFillsEveryRecord) {
    GenerationSettings settings;
    settings.durationMs = 40;
    const muntero::ModelSnapshot model = membrane(5, 5, 1.0e5);

    NoteGenerator complete;
    complete.setFrequencyMeter(fixedMeter(120.0));
    complete.setWorkerCount(1);
    complete.configure(settings, model);
    ASSERT_EQ(complete.run(), 0);

    for (unsigned workers : {1u, 2u, 4u}) {
        NoteGenerator generator;
        generator.setFrequencyMeter(fixedMeter(120.0));
        generator.setWorkerCount(workers);
        int done = 0;
        generator.setNoteDoneCallback([&](int note) {
            EXPECT_EQ(note, done);
            if (++done == 3) {
                generator.stopRequested = 1;
            }
        });
        generator.configure(settings, model);
        const int result = generator.run();
        EXPECT_EQ(result, generator.notesFinished() < 24 ? 1 : 0);
        EXPECT_EQ(generator.notesFinished(), done);
        if (workers == 1) {
            EXPECT_EQ(done, 3);
            // The interrupted fourth note got its first sample only.
            const std::vector<std::int16_t> fourth = bufferOf(generator, 3);
            EXPECT_TRUE(std::all_of(fourth.begin() + 1, fourth.end(), [](std::int16_t s) { return s == 0; }));
            for (int j = 4; j < 24; ++j) {
                EXPECT_TRUE(isSilent(generator, j));
            }
        } else {
            // Notes that finished before the stop are announced too; the
            // ones in flight are abandoned.
            EXPECT_GE(done, 3);
        }
        for (int j = 0; j < done; ++j) {
            EXPECT_EQ(bufferOf(generator, j), bufferOf(complete, j)) << workers << " workers, note " << j;
        }
        const pellamy::SoundStreamDescription* records = generator.buildDescriptions();
        EXPECT_EQ(records[23].name, "2B");
        EXPECT_EQ(records[23].dataBytes, 2u * 1764u);
        EXPECT_EQ(records[23].data, generator.noteBuffer(23));
    }
}

TEST(NoteGenerator, StopBeforeTheFirstNoteEnds) {
    NoteGenerator generator;
    int meterCalls = 0;
    generator.setFrequencyMeter(fixedMeter(100.0, &meterCalls));
    generator.configure(GenerationSettings{}, massOnSpring(1.0, 1.0e6, 0.5));
    generator.stopRequested = 7;
    EXPECT_EQ(generator.run(), 7);
    EXPECT_EQ(meterCalls, 0);
    EXPECT_EQ(generator.notesFinished(), 0);
    EXPECT_TRUE(generator.allocated());
    EXPECT_NE(generator.buildDescriptions(), nullptr);
}

// The second configure replaces every buffer and record of the first; under
// the sanitizer build a leak of the first run fails the test.
TEST(NoteGenerator, ConfigureAgainReleasesTheFirstRun) {
    NoteGenerator generator;
    generator.setFrequencyMeter(fixedMeter(140.0));
    generator.configure(GenerationSettings{}, massOnSpring(1.0, 1.0e6, 0.5));
    ASSERT_EQ(generator.run(), 0);
    GenerationSettings single;
    single.octaves = 0;
    single.sampleRate = 8000;
    single.durationMs = 250;
    generator.configure(single, massOnSpring(2.0, 1.0e6, 0.25));
    EXPECT_EQ(generator.noteCount(), 1);
    EXPECT_EQ(generator.samplesPerNote(), 2000);
    EXPECT_EQ(generator.noteBuffer(1), nullptr);
    EXPECT_TRUE(isSilent(generator, 0)); // nothing rendered yet
    const pellamy::SoundStreamDescription* record = generator.buildDescriptions();
    EXPECT_EQ(record->name, "simpleNote");
    EXPECT_EQ(record->format.nSamplesPerSec, 8000u);

    // A refused request keeps the previous run.
    muntero::ModelSnapshot unflagged = massOnSpring(1.0, 1.0e6, 0.5);
    unflagged.soundingNode = -1;
    try {
        generator.configure(single, unflagged);
        FAIL() << "configured without a flag";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Put FLAG, to specify dot, which SOUNDs");
    }
    EXPECT_TRUE(generator.allocated());
    EXPECT_EQ(generator.noteCount(), 1);
    ASSERT_NE(generator.buildDescriptions(), nullptr);
    EXPECT_EQ(generator.buildDescriptions()->name, "simpleNote");
    EXPECT_EQ(generator.samplesPerNote(), 2000);
}

TEST(NoteGenerator, RefusalTexts) {
    muntero::ModelSnapshot empty;
    EXPECT_STREQ(kivora::refusalFor(empty), "Draw something first...");
    muntero::ModelSnapshot unflagged = massOnSpring(1.0, 1.0, 0.0);
    unflagged.soundingNode = -1;
    EXPECT_STREQ(kivora::refusalFor(unflagged), "Put FLAG, to specify dot, which SOUNDs");
    EXPECT_EQ(kivora::refusalFor(massOnSpring(1.0, 1.0, 0.0)), nullptr);
    NoteGenerator generator;
    GenerationSettings settings;
    EXPECT_THROW(generator.configure(settings, empty), std::invalid_argument);
    settings.sampleRate = 0;
    EXPECT_THROW(generator.configure(settings, massOnSpring(1.0, 1.0, 0.0)), std::invalid_argument);
    settings.sampleRate = 44100;
    settings.durationMs = 1 << 30;
    EXPECT_THROW(generator.configure(settings, massOnSpring(1.0, 1.0, 0.0)), std::invalid_argument);
    settings.durationMs = 500;
    settings.octaves = 1 << 30; // 12 notes per octave would overflow
    EXPECT_THROW(generator.configure(settings, massOnSpring(1.0, 1.0, 0.0)), std::invalid_argument);
}

// An untuned note at the edge of the measurable range cannot be tuned: the
// run says why and what to change instead of tuning to the edge.
TEST(NoteGenerator, AnUntunedNoteAtTheRangesEdgeIsRefusedWithWhatToChange) {
    struct Case {
        double meterHz;
        muntero::ModelSnapshot model;
        const char* advice;
    };
    const Case cases[] = {
        {38.0, massOnSpring(1.0, 1.0e6, 0.5), "make the springs stiffer or the masses lighter"},
        {2000.0, massOnSpring(1.0, 1.0e6, 0.5), "make the springs softer or the masses heavier"},
        // Scaled from 0.16 Hz first: what sounds is still not the mode.
        {38.0, massOnSpring(1.0, 1.0, 0.5), "although every spring was scaled by 675554"},
    };
    for (const Case& c : cases) {
        NoteGenerator generator;
        generator.setFrequencyMeter(fixedMeter(c.meterHz));
        GenerationSettings settings;
        settings.durationMs = 20;
        generator.configure(settings, c.model);
        std::vector<int> done;
        generator.setNoteDoneCallback([&](int note) { done.push_back(note); });
        try {
            generator.run();
            ADD_FAILURE() << c.meterHz << " Hz was tuned";
        } catch (const kivora::UntunableModel& refusal) {
            const std::string text = refusal.what();
            EXPECT_NE(text.find("The untuned note measures " + std::to_string(static_cast<int>(c.meterHz)) +
                                ".00 Hz, the edge of the measurable range (38-2000 Hz)"),
                      std::string::npos)
                << text;
            EXPECT_NE(text.find(c.advice), std::string::npos) << text;
        }
        EXPECT_TRUE(done.empty());
    }
}

// A linear attenuation whose decay the step cannot follow makes every note
// diverge: it is refused, not blamed on the springs after the run.
TEST(NoteGenerator, AttenuationsTheStepCannotFollowAreRefused) {
    GenerationSettings settings;
    settings.linearDamping = 99999999.0;
    try {
        NoteGenerator().configure(settings, massOnSpring(1.0, 1.0e6, 0.5));
        ADD_FAILURE() << "configured";
    } catch (const std::invalid_argument& refusal) {
        EXPECT_STREQ(refusal.what(), "The linear attenuation 99999999 is too strong for 44100 samples per "
                                     "second: the integration of every note diverges within a few samples, "
                                     "whatever the springs. Keep it below 122831");
    }
    // Just within the limit the decay is followed: nothing diverges.
    settings.linearDamping = 122831.0;
    settings.octaves = 0;
    settings.durationMs = 20;
    NoteGenerator generator;
    generator.configure(settings, massOnSpring(1.0, 1.0e6, 0.5));
    ASSERT_EQ(generator.run(), 0);
    EXPECT_FALSE(generator.noteBlewUp(0));
    settings.linearDamping = 122832.0;
    EXPECT_THROW(generator.configure(settings, massOnSpring(1.0, 1.0e6, 0.5)), std::invalid_argument);

    // The square one depends on the velocity: it is seen when the untuned
    // note diverges with springs well within the step's limit.
    settings.linearDamping = 4.0;
    settings.squareDamping = 99999999.0;
    for (int octaves : {0, 1}) {
        settings.octaves = octaves;
        generator.configure(settings, massOnSpring(1.0, 1.0e6, 0.5));
        try {
            generator.run();
            ADD_FAILURE() << "ran";
        } catch (const kivora::UntunableModel& refusal) {
            EXPECT_EQ(std::string(refusal.what())
                          .rfind("The square attenuation 99999999 is too strong for 44100 "
                                 "samples per second: the untuned note diverges",
                                 0),
                      0u)
                << refusal.what();
        }
    }
}

TEST(NoteGenerator, DurationsWithoutRoomGiveAtLeastOneSample) {
    NoteGenerator generator;
    generator.setFrequencyMeter(fixedMeter(100.0));
    GenerationSettings settings;
    settings.octaves = 1;
    for (auto [durationMs, samples] : {std::pair{0, 1}, std::pair{-5, 1000}, std::pair{1, 44}}) {
        settings.durationMs = durationMs;
        generator.configure(settings, massOnSpring(1.0, 1.0e6, 0.5));
        EXPECT_EQ(generator.samplesPerNote(), samples) << durationMs << " ms";
        EXPECT_EQ(generator.run(), 0);
        EXPECT_EQ(generator.noteBuffer(11)[0], 16383); // every note starts at the initial displacement
    }
}

// A displacement beyond full scale is clamped, not wrapped into noise.
TEST(NoteGenerator, LoudDisplacementsAreClamped) {
    for (double x0 : {2.0, -3.0}) {
        muntero::ModelSnapshot model;
        kivora::testing::addNode(model, 1.0, true, x0);
        model.soundingNode = 0;
        NoteGenerator generator;
        GenerationSettings settings;
        settings.octaves = 0;
        settings.durationMs = 10;
        generator.configure(settings, model);
        ASSERT_EQ(generator.run(), 0);
        const std::vector<std::int16_t> samples = bufferOf(generator, 0);
        const std::int16_t expected = x0 > 0 ? 32767 : -32768;
        EXPECT_TRUE(
            std::all_of(samples.begin(), samples.end(), [&](std::int16_t s) { return s == expected; }));
    }
}

// The tuned notes rendered on several threads, with either kernel, are bit
// for bit those of one thread rendering them in order.
TEST(NoteGenerator, ParallelRenderingEqualsSequential) {
    GenerationSettings settings;
    settings.durationMs = 30;
    settings.octaves = 1;
    muntero::ModelSnapshot model = membrane(6, 7, 3.0e5);
    model.initialDisplacements[10] = 0.3;

    NoteGenerator sequential;
    sequential.setWorkerCount(1);
    sequential.setKernelChoice(muntero::KernelChoice::plain);
    sequential.configure(settings, model);
    ASSERT_EQ(sequential.run(), 0);
    EXPECT_GT(sequential.baseFrequency(), 0.0);

    for (unsigned workers : {0u, 2u, 3u, 5u}) {
        for (auto choice :
             {muntero::KernelChoice::plain, muntero::KernelChoice::avx2, muntero::KernelChoice::avx512,
              muntero::KernelChoice::avx2Banded, muntero::KernelChoice::avx512Banded}) {
            NoteGenerator parallel;
            parallel.setWorkerCount(workers);
            parallel.setKernelChoice(choice);
            std::vector<int> done;
            parallel.setNoteDoneCallback([&](int note) { done.push_back(note); });
            parallel.configure(settings, model);
            ASSERT_EQ(parallel.run(), 0);
            EXPECT_EQ(parallel.baseFrequency(), sequential.baseFrequency());
            EXPECT_EQ(done, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
            for (int j = 0; j < 12; ++j) {
                ASSERT_EQ(bufferOf(parallel, j), bufferOf(sequential, j))
                    << workers << " workers, note " << j;
            }
        }
    }
}

// A long string's highest mode is twenty times its fundamental: two octaves
// up at 8000 Hz the step diverges. The diverging notes are reported, and
// their samples stay clamped (the sanitizer build checks every conversion).
TEST(NoteGenerator, NotesTooStiffForTheRateAreReported) {
    muntero::ModelSnapshot string;
    for (int i = 0; i <= 31; ++i) {
        const bool end = i == 0 || i == 31;
        // Plucked at node 10; the fundamental is near 120 Hz.
        kivora::testing::addNode(string, 0.01, end, end ? 0.0 : (i <= 10 ? 0.05 * i : 0.5 * (31 - i) / 21.0));
        if (!end) {
            kivora::testing::addLink(string, 5.55e5, i - 1);
            kivora::testing::addLink(string, 5.55e5, i + 1);
        }
    }
    string.soundingNode = 7;
    NoteGenerator generator;
    generator.setFrequencyMeter(fixedMeter(120.0));
    GenerationSettings settings;
    settings.sampleRate = 8000;
    generator.configure(settings, string);
    ASSERT_EQ(generator.run(), 0);
    EXPECT_FALSE(generator.noteBlewUp(0));
    EXPECT_TRUE(generator.noteBlewUp(23));
    EXPECT_FALSE(generator.noteBlewUp(24)); // no such note
    EXPECT_EQ(generator.noteBuffer(23)[generator.samplesPerNote() - 1], 0);
}

} // namespace

// The tuned notes stepped together, in batches of any size and in batches
// of one, give the samples and the blow-up reports of notes rendered one
// after the other; a stop in flight abandons the whole batch.
TEST(NoteGenerator, BatchedNotesEqualNotesRenderedAlone) {
    GenerationSettings settings;
    settings.durationMs = 30;
    settings.octaves = 2;
    settings.sampleRate = 8000; // the highest notes pass the step's stability limit
    muntero::ModelSnapshot model = membrane(6, 7, 3.0e6);
    model.initialDisplacements[10] = 0.3;
    NoteGenerator alone;
    alone.setWorkerCount(1);
    alone.setFrequencyMeter(fixedMeter(60.0));
    alone.configure(settings, model);
    ASSERT_EQ(alone.run(), 0);
    int blownUp = 0;
    for (int j = 0; j < 24; ++j)
        blownUp += alone.noteBlewUp(j) ? 1 : 0;
    EXPECT_GT(blownUp, 0);
    EXPECT_LT(blownUp, 24);
    for (int perBatch : {0, 2, 5, 24}) {
        for (unsigned workers : {0u, 3u}) {
            NoteGenerator batched;
            batched.setWorkerCount(workers);
            batched.setNotesPerBatch(perBatch);
            batched.setFrequencyMeter(fixedMeter(60.0));
            batched.configure(settings, model);
            ASSERT_EQ(batched.run(), 0);
            EXPECT_EQ(batched.notesFinished(), 24);
            EXPECT_EQ(batched.noteIndex(), alone.noteIndex());
            for (int j = 0; j < 24; ++j) {
                ASSERT_EQ(bufferOf(batched, j), bufferOf(alone, j)) << perBatch << " a batch, note " << j;
                EXPECT_EQ(batched.noteBlewUp(j), alone.noteBlewUp(j)) << j;
            }
            // The springs are left as the last note's: a note rendered now is that note again.
            batched.setNoteIndex(23);
            ASSERT_EQ(batched.renderNote(), NoteGenerator::kNoteDone);
            EXPECT_EQ(bufferOf(batched, 23), bufferOf(alone, 23));
        }
    }
}
