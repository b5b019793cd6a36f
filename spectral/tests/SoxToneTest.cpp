// Tones made by sox, an outside tool, measured through the file variant.
#include "TestSignals.h"

#include <ostrel/FrequencyExtraction.h>

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

using namespace ostrel;

namespace {

bool soxAvailable() {
    return std::system("sox --version > /dev/null 2>&1") == 0;
}

} // namespace

TEST(SoxTones, MeasureWithinTwoHundredthsOfAHertz) {
    if (!soxAvailable()) {
        GTEST_SKIP() << "sox is not installed";
    }
    test::TemporaryDirectory directory;
    // Up to 1000 Hz, where the coarse estimate's 2 Hz per index keeps the
    // tone inside the fine window.
    const double frequencies[] = {40.0, 61.7, 130.81, 261.63, 440.0, 587.33, 811.1, 1000.0};
    const unsigned sampleRates[] = {8000, 22050, 44100};
    const char* const durations[] = {"0.5", "1"};
    for (const unsigned rate : sampleRates) {
        for (const char* duration : durations) {
            for (const double hz : frequencies) {
                const std::string path = directory.file("tone.wav");
                char command[512];
                // -D: no dither, so the file is the same on every run.
                std::snprintf(command, sizeof command, "sox -D -n -r %u -b 16 '%s' synth %s sine %.2f", rate,
                              path.c_str(), duration, hz);
                ASSERT_EQ(std::system(command), 0) << command;
                EXPECT_NEAR(extractFrequency(path.c_str()), hz, 0.02)
                    << hz << " Hz at " << rate << " Hz, " << duration << " s";
            }
        }
    }
}
