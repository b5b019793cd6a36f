// The fundamental estimator on synthetic harmonic tones (a grid of keys and
// spectra whose strongest partial is not the fundamental, or that lack it)
// and on noise that sox makes. Real sampled notes: RootKeysTest.cpp.
#include <kivora/exchange/Fundamental.h>
#include <pellamy/WavFile.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <numbers>
#include <unistd.h>
#include <vector>

namespace {

using kivora::exchange::FundamentalEstimator;
using kivora::exchange::FundamentalReading;

constexpr unsigned kRate = 44100;

double keyHz(int key) {
    return 440.0 * std::exp2((key - 69) / 12.0);
}

double centsFrom(double hz, double referenceHz) {
    return 1200.0 * std::log2(hz / referenceHz);
}

// A decaying harmonic tone: partial n (from 1) has amplitude weights[n - 1].
std::vector<std::int16_t> harmonicTone(double hz, const std::vector<double>& weights, unsigned rate) {
    std::vector<std::int16_t> values(rate);
    double total = 0.0;
    for (double w : weights)
        total += w;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        double v = 0.0;
        for (std::size_t n = 0; n < weights.size(); ++n)
            if ((n + 1) * hz < rate / 2.0)
                v += weights[n] * std::sin(2.0 * std::numbers::pi * static_cast<double>(n + 1) * hz * t);
        values[i] = static_cast<std::int16_t>(20000.0 * std::exp(-1.5 * t) * v / total);
    }
    return values;
}

TEST(Fundamental, HarmonicTonesAcrossTheKeyboardWithinACent) {
    // A sine; strongest at the second, then the third partial; a fundamental
    // at 5 % of the strongest partial; none at all.
    const std::vector<std::vector<double>> spectra = {{1.0},
                                                      {0.5, 1.0, 0.6, 0.3},
                                                      {0.3, 0.6, 1.0, 0.5, 0.4},
                                                      {0.05, 1.0, 0.8, 0.5, 0.3},
                                                      {0.0, 1.0, 0.9, 0.7, 0.5}};
    for (unsigned rate : {22050u, 44100u}) {
        FundamentalEstimator estimator(rate);   // one estimator for every tone: nothing carries over
        for (int key = 31; key <= 91; key += 6) // G1 to G6
            for (std::size_t s = 0; s < spectra.size(); ++s) {
                const double hz = keyHz(key) * std::exp2(13.0 / 1200.0); // off the key's pitch
                const std::vector<std::int16_t> tone = harmonicTone(hz, spectra[s], rate);
                const FundamentalReading reading = estimator.measure(tone.data(), tone.size());
                EXPECT_NEAR(centsFrom(reading.frequencyHz, hz), 0.0, 1.0)
                    << "key " << key << ", spectrum " << s << ", " << rate << " Hz";
                EXPECT_GT(reading.clarity, 0.9);
            }
    }
}

TEST(Fundamental, SilenceAndShortInputHaveNoPitch) {
    const std::vector<std::int16_t> silence(kRate, 0);
    EXPECT_FALSE(kivora::exchange::measureFundamental(silence.data(), silence.size(), kRate).pitched());
    const std::vector<std::int16_t> click = {0, 20000, -20000, 0};
    EXPECT_FALSE(kivora::exchange::measureFundamental(click.data(), click.size(), kRate).pitched());
    EXPECT_FALSE(kivora::exchange::measureFundamental(nullptr, 0, kRate).pitched());
}

// sox's white and pink noise.
TEST(Fundamental, NoiseFromSoxHasNoClearPitch) {
    if (std::system("command -v sox > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs sox";
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("kivora-noise-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    for (const char* colour : {"whitenoise", "pinknoise"}) {
        const std::string path = (folder / (std::string(colour) + ".wav")).string();
        const std::string command =
            "sox -R -n -r 44100 -b 16 -c 1 '" + path + "' synth 1 " + colour + " vol 0.5";
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::unique_ptr<pellamy::WavFile> wav;
        ASSERT_EQ(pellamy::openWavForRead(path, wav), pellamy::kWavOk);
        std::vector<std::int16_t> values(wav->size() / 2);
        std::uint32_t delivered = 0;
        wav->read(reinterpret_cast<std::uint8_t*>(values.data()), wav->size(), &delivered);
        const FundamentalReading reading =
            kivora::exchange::measureFundamental(values.data(), values.size(), kRate);
        EXPECT_FALSE(reading.pitched()) << colour << ": " << reading.frequencyHz << " Hz";
        EXPECT_LT(reading.clarity, 0.2) << colour;
    }
    std::filesystem::remove_all(folder);
}

} // namespace
