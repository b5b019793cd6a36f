// The generator's pitch checked with a spectral estimator of the test's own:
// the magnitude of the Hann-windowed discrete-time Fourier transform,
// searched on a fine grid around the expected frequency.
#include "TestModels.h"

#include <kivora/NoteGenerator.h>
#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <gtest/gtest.h>
#include <numbers>

namespace {

using kivora::GenerationSettings;
using kivora::NoteGenerator;

double windowedMagnitude(const std::vector<double>& windowed, double sampleRate, double hz) {
    const std::complex<double> rotation = std::polar(1.0, -2.0 * std::numbers::pi * hz / sampleRate);
    std::complex<double> phase = 1.0;
    std::complex<double> sum = 0.0;
    for (double sample : windowed) {
        sum += sample * phase;
        phase *= rotation;
    }
    return std::abs(sum);
}

// The frequency of the spectral peak within ±window·expected of expected, or
// NaN when the spectrum there only rises or falls (no peak inside).
double peakNear(const std::int16_t* samples, int count, double sampleRate, double expected, double window) {
    const int points = 100;
    const double stepHz = 2.0 * window * expected / points;
    std::vector<double> windowed(static_cast<std::size_t>(count));
    for (int n = 0; n < count; ++n) {
        windowed[static_cast<std::size_t>(n)] =
            samples[n] * (0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / std::max(1, count - 1)));
    }
    std::vector<double> magnitude(points + 1);
    for (int p = 0; p <= points; ++p) {
        magnitude[static_cast<std::size_t>(p)] =
            windowedMagnitude(windowed, sampleRate, expected * (1.0 - window) + p * stepHz);
    }
    const auto best =
        static_cast<int>(std::max_element(magnitude.begin(), magnitude.end()) - magnitude.begin());
    if (best == 0 || best == points) {
        return std::nan("");
    }
    const double left = magnitude[static_cast<std::size_t>(best - 1)];
    const double centre = magnitude[static_cast<std::size_t>(best)];
    const double right = magnitude[static_cast<std::size_t>(best + 1)];
    const double offset = 0.5 * (left - right) / (left - 2.0 * centre + right);
    return expected * (1.0 - window) + (best + offset) * stepHz;
}

TEST(NotePitch, MassOnSpringSoundsAtItsNaturalFrequency) {
    for (int sampleRate : {44100, 22050, 8000}) {
        for (auto [mass, stiffness] : {std::pair{0.5, 1.0e6}, std::pair{2.0, 3.0e5}}) {
            const double natural = std::sqrt(stiffness / mass) / (2.0 * std::numbers::pi);
            NoteGenerator generator;
            GenerationSettings settings;
            settings.octaves = 0;
            settings.sampleRate = sampleRate;
            generator.configure(settings, kivora::testing::massOnSpring(mass, stiffness, 0.6));
            ASSERT_EQ(generator.run(), 0);
            const double peak =
                peakNear(generator.noteBuffer(0), generator.samplesPerNote(), sampleRate, natural, 0.03);
            EXPECT_NEAR(peak, natural, 0.005 * natural)
                << sampleRate << " Hz, m " << mass << ", k " << stiffness;
        }
    }
}

// A plucked string of equal masses between two fixed ends.
muntero::ModelSnapshot pluckedString(int freeNodes, double stiffness) {
    muntero::ModelSnapshot model;
    const int last = freeNodes + 1;
    for (int i = 0; i <= last; ++i) {
        const bool end = i == 0 || i == last;
        const double pluck = i <= last / 3 ? 0.6 * i / (last / 3) : 0.6 * (last - i) / (last - last / 3);
        kivora::testing::addNode(model, 0.01, end, end ? 0.0 : pluck);
        if (!end) {
            kivora::testing::addLink(model, stiffness, i - 1);
            kivora::testing::addLink(model, stiffness, i + 1);
        }
    }
    model.soundingNode = last / 2;
    return model;
}

// Every tuned note has a spectral peak at its semitone of 130.81 Hz: the
// partial the pitch measurement found in the untuned note.
void expectTunedScale(const muntero::ModelSnapshot& model, const std::string& what) {
    NoteGenerator generator;
    GenerationSettings settings;
    settings.durationMs = 400;
    generator.configure(settings, model);
    ASSERT_EQ(generator.run(), 0) << what;
    for (int j = 0; j < generator.noteCount(); ++j) {
        const double target = NoteGenerator::kFirstNoteHz * std::pow(2.0, j / 12.0);
        const double peak =
            peakNear(generator.noteBuffer(j), generator.samplesPerNote(), 44100.0, target, 0.01);
        EXPECT_NEAR(peak, target, 0.003 * target) << what << ", note " << j;
    }
}

TEST(NotePitch, TunedNotesOfAStringAndAMembraneRiseBySemitones) {
    expectTunedScale(pluckedString(10, 2.0e4), "string");
    expectTunedScale(kivora::testing::membrane(7, 7, 3.0e6), "membrane");
}

// A chain drawn with the editor's defaults (masses 1, springs 1000, ends
// fixed) sounds at 3.85 Hz, a mass on a stiff spring at 3 kHz: both lie
// outside the 38-2000 Hz the pitch is measured in, so the springs are first
// scaled by the modal preview's guess and the notes still land on their
// semitones.
TEST(NotePitch, ModelsOutsideTheMeasurableRangeAreScaledIntoItAndTuned) {
    muntero::ModelSnapshot chain;
    for (int i = 0; i < 5; ++i) {
        const bool end = i == 0 || i == 4;
        kivora::testing::addNode(chain, 1.0, end, i == 2 ? 0.5 : 0.0);
        if (!end) {
            kivora::testing::addLink(chain, 1000.0, i - 1);
            kivora::testing::addLink(chain, 1000.0, i + 1);
        }
    }
    chain.soundingNode = 2;
    const double chainHz =
        2.0 * std::sqrt(1000.0) * std::sin(std::numbers::pi / 8.0) / (2.0 * std::numbers::pi);
    const double highHz = 3000.0;
    const double highStiffness = std::pow(2.0 * std::numbers::pi * highHz, 2) * 0.01;
    for (auto [model, naturalHz] :
         {std::pair{chain, chainHz},
          std::pair{kivora::testing::massOnSpring(0.01, highStiffness, 0.5), highHz}}) {
        const std::string what = std::to_string(naturalHz) + " Hz";
        expectTunedScale(model, what);
        NoteGenerator generator;
        GenerationSettings settings;
        settings.octaves = 1;
        settings.durationMs = 300;
        generator.configure(settings, model);
        ASSERT_EQ(generator.run(), 0);
        const double expectedScale = std::pow(NoteGenerator::kFirstNoteHz / naturalHz, 2);
        EXPECT_NEAR(generator.untunedStiffnessScale(), expectedScale, 1e-6 * expectedScale) << what;
        // The loudest mode now sounds at 130.81 Hz; the chain's third mode,
        // as loud at the flagged centre, may measure stronger (315.86 Hz).
        EXPECT_GE(generator.baseFrequency(), NoteGenerator::kFirstNoteHz - 1.0) << what;
        EXPECT_LE(generator.baseFrequency(), 2.5 * NoteGenerator::kFirstNoteHz) << what;

        // The live voices start from the same scaled springs.
        const kivora::UntunedMeasurement measured = kivora::measureUntuned(settings, model);
        EXPECT_EQ(measured.stiffnessScale, generator.untunedStiffnessScale()) << what;
        EXPECT_EQ(measured.baseFrequency, generator.baseFrequency()) << what;
    }
}

TEST(NotePitch, EveryBundledModelPlaysItsScale) {
    expectTunedScale(muntero::takeSnapshot(InstrumentKit::defaultModel()), "built-in string");
    int models = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KIVORA_SOURCE_DIR "/examples/models")) {
        if (entry.path().extension() == ".json") {
            expectTunedScale(muntero::takeSnapshot(InstrumentKit::loadModelFile(entry.path())),
                             entry.path().filename().string());
            ++models;
        }
    }
    EXPECT_GE(models, 4);
}

} // namespace
