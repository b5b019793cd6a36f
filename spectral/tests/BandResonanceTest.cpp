// The strongest resonance within a band, on synthetic tones.
#include "TestSignals.h"

#include <ostrel/BandResonance.h>

#include <atomic>
#include <cmath>
#include <gtest/gtest.h>

using namespace ostrel;

TEST(BandResonance, FindsATonesResonanceInsideItsBandOnly) {
    const struct {
        double toneHz;
        double lowHz;
        double highHz;
        bool inside;
    } table[] = {{440.0, 430.0, 450.0, true},
                 {130.81, 125.0, 135.0, true},
                 {1000.0, 990.0, 1003.0, true},
                 {440.0, 445.0, 460.0, false},
                 {440.0, 420.0, 435.0, false}};
    OscillSet bank(201);
    for (const auto& row : table) {
        const std::vector<std::int16_t> samples = test::tone(row.toneHz, 44100, 0.5, 10000.0);
        const int index =
            strongestResonanceInBand(bank, row.lowHz, row.highHz, 44100, samples.data(), samples.size());
        if (!row.inside) {
            EXPECT_EQ(index, -1) << row.toneHz << " Hz in " << row.lowHz << "-" << row.highHz;
            continue;
        }
        ASSERT_GT(index, 0) << row.toneHz;
        const double stepHz = (row.highHz - row.lowHz) / 200;
        EXPECT_NEAR(bank.oscillators()[index].frequency(), row.toneHz, stepHz) << row.toneHz;
    }
}

TEST(BandResonance, AStopEndsTheMeasurementWithoutAResult) {
    const std::vector<std::int16_t> samples = test::tone(440.0, 44100, 0.5, 10000.0);
    OscillSet bank(41);
    const std::atomic<int> stop{1};
    EXPECT_EQ(strongestResonanceInBand(bank, 430.0, 450.0, 44100, samples.data(), samples.size(), &stop), -1);
}
