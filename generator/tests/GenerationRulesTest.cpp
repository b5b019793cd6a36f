// The rules of generation settings, the counting rules, the edge of the
// measurable range, a run's report and the digest that names its model.
#include "TestModels.h"

#include <kivora/GenerationReport.h>
#include <kivora/GenerationRules.h>
#include <ostrel/FrequencyExtraction.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <numbers>

namespace {

using kivora::GenerationSettings;

// One row per rule: settings it refuses, with the start of its one message,
// and the nearest settings it accepts ("" expected).
TEST(GenerationRules, EachRuleRefusesWithItsOneMessage) {
    const struct {
        GenerationSettings settings;
        const char* refusal;
    } rows[] = {
        {GenerationSettings{}, ""},
        {GenerationSettings{.octaves = 4}, "The octaves must be 0 (a single note), 1, 2 or 3, not 4"},
        {GenerationSettings{.octaves = -1}, "The octaves must be 0 (a single note), 1, 2 or 3, not -1"},
        {GenerationSettings{.octaves = 0}, ""},
        {GenerationSettings{.sampleRate = 7},
         "The sample rate must be 44100, 22050 or 8000 samples per second, not 7"},
        {GenerationSettings{.sampleRate = 8000}, ""},
        {GenerationSettings{.durationMs = 0},
         "The duration must be at least 1 millisecond: a note of 0 ms has no samples."},
        {GenerationSettings{.durationMs = 1}, ""},
        {GenerationSettings{.durationMs = 60001},
         "The duration must be at most 60000 milliseconds (60001 ms is too long)."},
        {GenerationSettings{.durationMs = 60000}, ""},
        // A negative attenuation feeds the vibration: accepted, as the dialog accepts it.
        {GenerationSettings{.linearDamping = -4.0, .squareDamping = -0.5}, ""},
        {GenerationSettings{.squareDamping = std::nan("")}, "The attenuations must be finite numbers"},
        {GenerationSettings{.linearDamping = INFINITY}, "The attenuations must be finite numbers"},
        {GenerationSettings{.sampleRate = 8000, .linearDamping = 22283.0},
         "The linear attenuation 22283 is too strong for 8000 samples per second"},
        {GenerationSettings{.sampleRate = 8000, .linearDamping = 22282.0}, ""},
    };
    for (const auto& row : rows) {
        const std::string refusal = kivora::settingsRefusal(row.settings);
        EXPECT_EQ(refusal.substr(0, std::string(row.refusal).size()), row.refusal) << refusal;
        EXPECT_EQ(refusal.empty(), *row.refusal == '\0') << refusal;
        EXPECT_EQ(kivora::attenuationsAccepted(row.settings),
                  kivora::attenuationRefusal(row.settings).empty());
    }
}

TEST(GenerationRules, SampleCountNoteCountAndSize) {
    const struct {
        GenerationSettings settings;
        double samples;
        int notes;
        std::uint64_t availableBytes;
        const char* sizeRefusal;
    } rows[] = {
        {GenerationSettings{}, 22050, 24, 2u << 20, ""},
        {GenerationSettings{.durationMs = -5}, 1000, 24, 1u << 20, ""}, // negative: 1000 samples
        {GenerationSettings{.durationMs = 0, .octaves = 0}, 1, 1, 1u << 20, ""},
        {GenerationSettings{.durationMs = 60000, .octaves = 3}, 2646000, 36, 64u << 20,
         "Not enough memory: the 36 notes need 182 MB, and 64 MB are free."},
        {GenerationSettings{.durationMs = 2'000'000'000}, 88'200'000'000.0, 24, UINT64_MAX,
         "The notes are too long: a note may have at most 134217728 samples"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(kivora::samplesPerNoteFor(row.settings), row.samples);
        EXPECT_EQ(kivora::noteCountFor(row.settings), row.notes);
        const std::string refusal = kivora::sizeRefusal(row.settings, row.availableBytes);
        EXPECT_EQ(refusal.rfind(row.sizeRefusal, 0), 0u) << refusal;
        EXPECT_EQ(refusal.empty(), *row.sizeRefusal == '\0') << refusal;
    }
    EXPECT_EQ(kivora::soundName(0, 0), "simpleNote");
    EXPECT_EQ(kivora::soundName(13, 2), "2C#");
}

// The meter's results run from 38 to 2000 Hz: a tone between 38 and 40 Hz is
// measured, one below reads as the edge.
TEST(GenerationRules, TheMeasurableRangeEndsWhereTheMetersResultsDo) {
    const struct {
        double toneHz;
        const char* edge; // null for a measurable tone
    } rows[] = {{30.0, "38.00"}, {39.0, nullptr}, {440.0, nullptr}, {2500.0, "2000.00"}};
    for (const auto& row : rows) {
        std::vector<std::int16_t> samples(44100);
        for (std::size_t n = 0; n < samples.size(); ++n) {
            samples[n] = static_cast<std::int16_t>(
                20000.0 * std::sin(2.0 * std::numbers::pi * row.toneHz * n / 44100.0));
        }
        ostrel::WAVEFORMATEX format;
        format.nChannels = 1;
        format.nSamplesPerSec = 44100;
        format.nBlockAlign = 2;
        format.wBitsPerSample = 16;
        const double hz =
            ostrel::extractFrequency(format, samples.data(), static_cast<unsigned>(samples.size()));
        EXPECT_EQ(kivora::isMeasurable(hz), row.edge == nullptr) << row.toneHz << " Hz measures " << hz;
        if (row.edge == nullptr) {
            EXPECT_NEAR(hz, row.toneHz, 0.05);
        } else {
            EXPECT_EQ(kivora::edgeOfRangeWarning(hz),
                      std::string(row.edge) +
                          " Hz is the edge of the measurable range (38-2000 Hz): the tone lies outside it");
        }
    }
}

TEST(GenerationReport, LinesNameSettingsUntunedNotesAndWarnings) {
    kivora::GenerationReport report;
    report.settings.octaves = 1;
    report.settings.squareDamping = 0.5;
    report.untunedHz = 220.004;
    report.notes = {{"1C", 130.8127826502993, 130.9, 1.15, false}, {"1C#", 138.59, 0.0, 0.0, true}};
    report.unstableNotes = {"1C#"};
    report.mistunedNotes = {"1D (+7.2 cents)"};
    const std::vector<std::string> expected = {
        "settings: octaves 1, rate 44100, duration 500 ms, linear 4, square 0.5",
        "untuned: 220.00 Hz, tuned to 130.81 Hz",
        "note 1C: target 130.81 Hz, measured 130.90 Hz, +1.15 cents",
        "note 1C#: target 138.59 Hz, no resonance within a semitone",
        "unstable: 1C#",
        "mistuned: 1D (+7.2 cents)",
    };
    EXPECT_EQ(kivora::reportLines(report), expected);
    const std::vector<std::string> comments = kivora::provenanceComments("m.json", "ab", report);
    ASSERT_EQ(comments.size(), expected.size() + 2);
    EXPECT_EQ(comments[0], "generated by kivora from m.json");
    EXPECT_EQ(comments[1], "model sha256: ab");
    std::vector<std::string> read = {"written by hand"};
    read.insert(read.end(), comments.begin(), comments.end());
    EXPECT_EQ(kivora::provenanceOf(read), comments);
    EXPECT_TRUE(kivora::provenanceOf({"written by hand"}).empty());

    report.untunedSilent = true;
    EXPECT_EQ(kivora::silenceMessage(report),
              "The untuned note was silent: the flagged node does not move, so "
              "every note is silent and the tuning is meaningless.");
    report.settings.octaves = 0;
    EXPECT_EQ(kivora::silenceMessage(report), "The note is silent: the flagged node does not move.");
}

// Checked against coreutils' sha256sum, across the padding's block boundaries.
TEST(GenerationReport, Sha256AgreesWithSha256sum) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "kivora-sha256-test.bin";
    for (std::size_t length : {0u, 3u, 55u, 56u, 64u, 119u, 1000u}) {
        std::string bytes;
        for (std::size_t i = 0; i < length; ++i) {
            bytes += static_cast<char>((i * 131 + 7) & 0xFF);
        }
        std::ofstream(path, std::ios::binary) << bytes;
        std::FILE* tool = ::popen(("sha256sum '" + path.string() + "'").c_str(), "r");
        ASSERT_NE(tool, nullptr);
        char digest[65] = {};
        ASSERT_EQ(std::fread(digest, 1, 64, tool), 64u);
        ::pclose(tool);
        EXPECT_EQ(kivora::sha256Hex(bytes), digest) << length;
        EXPECT_EQ(kivora::sha256HexOfFile(path.string()), digest) << length;
    }
    std::filesystem::remove(path);
    EXPECT_EQ(kivora::sha256HexOfFile(path.string()), "");
}

} // namespace
