#include <ostrel/Oscillator.h>

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

std::vector<std::uint32_t> listed(const TopResonators& peaks) {
    return std::vector<std::uint32_t>(peaks.indices, peaks.indices + peaks.count);
}

} // namespace

TEST(Oscill, StepIsTheComplexRecurrenceAndSumsItsMagnitudes) {
    Oscill oscillator;
    oscillator.set(MyComplex{0.5, 0.5}, 1000.0); // |c| = 0.707..., 45 degrees
    MyComplex x{3.0, 4.0};
    oscillator.oscillate(x);
    EXPECT_EQ(oscillator.state().re, 3.0);
    EXPECT_EQ(oscillator.state().im, 4.0);
    EXPECT_EQ(oscillator.abs(), 5.0);
    EXPECT_EQ(x.re, 3.0); // the input is only read
    oscillator.oscillate(1.0, -1.0);
    // (0.5 + 0.5i)(3 + 4i) = -0.5 + 3.5i, plus (1 - i)
    EXPECT_EQ(oscillator.state().re, 0.5);
    EXPECT_EQ(oscillator.state().im, 2.5);
    EXPECT_DOUBLE_EQ(oscillator.abs(), std::sqrt(6.5));
    EXPECT_DOUBLE_EQ(oscillator.globAbs(), 5.0 + std::sqrt(6.5));
    EXPECT_DOUBLE_EQ(oscillator.frequency(), 125.0);

    oscillator.clear();
    EXPECT_EQ(oscillator.abs(), 0.0);
    EXPECT_EQ(oscillator.globAbs(), 0.0);
    EXPECT_EQ(oscillator.frequency(), 0.0);
    EXPECT_EQ(oscillator.multiplier().re, 0.0);
}

TEST(Oscill, UndampedResonatorAtZeroFrequencyGrowsByTheInputEachStep) {
    Oscill oscillator;
    oscillator.set(1.0, 0.0, 44100.0);
    for (int step = 1; step <= 10; ++step) {
        oscillator.oscillate(0.6, 0.8);
        EXPECT_NEAR(oscillator.abs(), step * 1.0, 1e-12);
    }
    EXPECT_NEAR(oscillator.globAbs(), 55.0, 1e-12);
    EXPECT_EQ(oscillator.frequency(), 0.0);
}

TEST(Oscill, BothSettersGiveTheSameFrequency) {
    for (const double omega : {-3.0, -1.0, -0.01, 0.0, 0.2, 1.5, 3.14159265358979323846}) {
        Oscill byAngle;
        byAngle.set(1.0, omega, 11025.0);
        Oscill byMultiplier;
        byMultiplier.set(MyComplex{std::cos(omega), std::sin(omega)}, 11025.0);
        EXPECT_NEAR(byAngle.frequency(), byMultiplier.frequency(), 1e-9) << omega;
        EXPECT_EQ(byAngle.multiplier().re, byMultiplier.multiplier().re);
        EXPECT_EQ(byAngle.multiplier().im, byMultiplier.multiplier().im);
    }
}

TEST(OscillSet, GridRunsFromLowToHighWithTheGivenDecay) {
    OscillSet bank(980);
    bank.init(0.9999, 40.0, 2000.0, 44100.0);
    ASSERT_EQ(bank.oscillatorsCount(), 980u);
    const Oscill* oscillators = bank.oscillators();
    EXPECT_NEAR(oscillators[0].frequency(), 40.0, 1e-9);
    EXPECT_NEAR(oscillators[979].frequency(), 2000.0, 1e-9);
    EXPECT_NEAR(oscillators[1].frequency() - oscillators[0].frequency(), 1960.0 / 979.0, 1e-9);
    for (unsigned i = 0; i < 980; ++i) {
        const MyComplex& c = oscillators[i].multiplier();
        EXPECT_NEAR(std::hypot(c.re, c.im), 0.9999, 1e-12);
    }
}

TEST(OscillSet, EqualEndsTuneEveryResonatorAlike) {
    OscillSet bank(5);
    bank.init(0.5, 300.0, 300.0, 8000.0);
    for (unsigned i = 0; i < 5; ++i) {
        EXPECT_EQ(bank.oscillators()[i].multiplier().re, bank.oscillators()[0].multiplier().re);
        EXPECT_NEAR(bank.oscillators()[i].frequency(), 300.0, 1e-9);
    }
}

TEST(OscillSet, ReversedEndsThrowAndKeepTheTuning) {
    OscillSet bank(3);
    bank.init(0.9, 100.0, 200.0, 8000.0);
    try {
        bank.init(0.5, 200.0, 100.0, 8000.0);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()), "Fill: argument's invalid");
    }
    EXPECT_NEAR(bank.oscillators()[2].frequency(), 200.0, 1e-9);
    EXPECT_NEAR(std::hypot(bank.oscillators()[0].multiplier().re, bank.oscillators()[0].multiplier().im), 0.9,
                1e-12);
}

TEST(OscillSet, RetuningKeepsStatesAndSums) {
    OscillSet bank(4);
    bank.init(0.9, 100.0, 400.0, 8000.0);
    for (int k = 0; k < 20; ++k) {
        bank.oscillate(0.25, 0.0);
    }
    std::vector<double> sums;
    for (unsigned i = 0; i < 4; ++i) {
        sums.push_back(bank.oscillators()[i].globAbs());
        EXPECT_GT(sums.back(), 0.0);
    }
    bank.init(0.9, 1000.0, 1300.0, 8000.0);
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(bank.oscillators()[i].globAbs(), sums[i]);
        EXPECT_NEAR(bank.oscillators()[i].frequency(), 1000.0 + 100.0 * i, 1e-9);
    }
}

TEST(OscillSet, SilentBankListsEveryResonatorInIndexOrder) {
    OscillSet bank(401);
    bank.init(0.9999, 438.0, 442.0, 11025.0);
    bank.oscillate(0.0, 0.0);
    std::vector<std::uint32_t> expected(401);
    std::iota(expected.begin(), expected.end(), 0u);
    EXPECT_EQ(listed(bank.sortGlobAmpl()), expected);
    EXPECT_EQ(listed(bank.sortAmpl()), expected);
}

TEST(OscillSet, PeaksAreLocalMaximaStrongestFirst) {
    // Resonators tuned to 0 Hz with r = 1 accumulate exactly what they are fed;
    // each gets its own input through the single-resonator step.
    const auto peaksOf = [](const std::vector<double>& amplitudes) {
        OscillSet bank(static_cast<unsigned>(amplitudes.size()));
        bank.init(1.0, 0.0, 0.0, 8000.0);
        for (std::size_t i = 0; i < amplitudes.size(); ++i) {
            bank.oscillators()[i].oscillate(amplitudes[i], 0.0);
        }
        return std::make_pair(listed(bank.sortAmpl()), listed(bank.sortGlobAmpl()));
    };
    EXPECT_EQ(peaksOf({1, 2, 3, 4}).first, (std::vector<std::uint32_t>{3}));
    EXPECT_EQ(peaksOf({4, 3, 2, 1}).first, (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(peaksOf({1, 5, 2, 7, 3}).first, (std::vector<std::uint32_t>{3, 1}));
    EXPECT_EQ(peaksOf({1, 5, 2, 7, 3}).second, (std::vector<std::uint32_t>{3, 1}));
    // A flat top lists every member; equal peaks come by increasing index.
    EXPECT_EQ(peaksOf({2, 6, 6, 1, 6}).first, (std::vector<std::uint32_t>{1, 2, 4}));
    // Every comparison with a NaN fails: neither it nor its neighbours are peaks.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(peaksOf({1, nan, 3, 2, 4}).first, (std::vector<std::uint32_t>{4}));
    EXPECT_EQ(peaksOf({9}).first, (std::vector<std::uint32_t>{0}));
}

TEST(OscillSet, SearchReusesTheBanksOwnList) {
    OscillSet bank(3);
    bank.init(1.0, 0.0, 0.0, 8000.0);
    bank.oscillators()[1].oscillate(1.0, 0.0);
    const TopResonators& first = bank.sortAmpl();
    const TopResonators copy = first;
    bank.oscillators()[2].oscillate(5.0, 0.0);
    const TopResonators& second = bank.sortAmpl();
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(listed(second), (std::vector<std::uint32_t>{2}));
    // A copy keeps its own indices.
    EXPECT_EQ(listed(copy), (std::vector<std::uint32_t>{1}));
    EXPECT_NE(copy.indices, second.indices);
}

TEST(OscillSet, EmptyBankHasNoPeaks) {
    OscillSet bank(0);
    bank.init(0.9999, 40.0, 2000.0, 8000.0);
    bank.oscillate(1.0, 1.0);
    EXPECT_EQ(bank.sortGlobAmpl().count, 0);
}
