// Every step kernel the processor supports must reproduce the reference
// bank bit for bit: the summed amplitudes of every resonator, and the result.
#include "FrequencyExtractionDetail.h"
#include "TestSignals.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

using namespace ostrel;
using namespace ostrel::test;

namespace {

struct Signal {
    std::string name;
    std::vector<std::int16_t> samples;
    unsigned sampleRate;
    unsigned channels;
};

// Extremes of the sample range, alternating every halfPeriod samples.
std::vector<std::int16_t> square(std::size_t halfPeriod, std::size_t count) {
    std::vector<std::int16_t> samples(count);
    for (std::size_t k = 0; k < count; ++k) {
        samples[k] = (k / halfPeriod) % 2 == 0 ? std::int16_t{32767} : std::int16_t{-32768};
    }
    return samples;
}

std::vector<Signal> signals() {
    return {
        {"tone440", tone(440, 11025, 0.4, 20000), 11025, 1},
        {"tone1995", tone(1995, 11025, 0.3, 32767), 11025, 1},
        {"noise", noise(6000, 1234), 44100, 1},
        {"chirp", chirp(40, 2000, 22050, 0.5, 25000), 22050, 1},
        {"stereo", interleave(tone(97, 8000, 0.5, 9000), noise(4000, 5), 2), 8000, 2},
        {"silence", std::vector<std::int16_t>(3000, 0), 8000, 1},
        {"full-scale square", square(13, 3000), 8000, 1},
        {"one frame", {-32768}, 8000, 1},
    };
}

class EveryKernel : public ::testing::TestWithParam<detail::KernelKind> {
protected:
    void SetUp() override {
        if (!detail::kernelSupported(GetParam())) {
            GTEST_SKIP() << "this processor lacks " << detail::kernelName(GetParam());
        }
    }
};

} // namespace

TEST_P(EveryKernel, MatchesTheReferenceBitForBit) {
    const detail::Stepping fast = detail::fastStepping(GetParam());
    const detail::Stepping reference = detail::referenceStepping();
    for (const Signal& signal : signals()) {
        const WAVEFORMATEX format = pcmFormat(signal.sampleRate, signal.channels);
        const auto frames = static_cast<unsigned>(signal.samples.size() / signal.channels);
        // The coarse bank and a fine bank with a count that is no multiple of the vector width.
        for (const auto& [count, lowHz, highHz] :
             {std::tuple{980u, 40.0, 2000.0}, std::tuple{401u, 436.0, 440.0}, std::tuple{3u, 100.0, 300.0}}) {
            const auto expected = detail::accumulatedAmplitudes(reference, count, lowHz, highHz, format,
                                                                signal.samples.data(), frames);
            const auto actual = detail::accumulatedAmplitudes(fast, count, lowHz, highHz, format,
                                                              signal.samples.data(), frames);
            ASSERT_EQ(expected.size(), actual.size());
            for (std::size_t i = 0; i < expected.size(); ++i) {
                // Bitwise: EXPECT_EQ on doubles compares exactly.
                ASSERT_EQ(expected[i], actual[i]) << signal.name << " bank " << count << " resonator " << i;
            }
        }
        EXPECT_EQ(detail::extractFrequencyBuffer(reference, format, signal.samples.data(), frames),
                  detail::extractFrequencyBuffer(fast, format, signal.samples.data(), frames))
            << signal.name;
    }
}

TEST_P(EveryKernel, FileMeasurementMatchesTheReference) {
    TemporaryDirectory directory;
    const auto samples = interleave(chirp(200, 600, 8000, 0.8, 20000), noise(6400, 9), 2);
    const std::string path =
        directory.write("chirp.wav", wavImage(pcmFormat(8000, 2), Bytes().samples(samples)));
    EXPECT_EQ(detail::extractFrequencyFile(detail::referenceStepping(), path.c_str()),
              detail::extractFrequencyFile(detail::fastStepping(GetParam()), path.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryKernel, ::testing::ValuesIn(detail::kAllKernels),
                         [](const auto& info) { return std::string(detail::kernelName(info.param)); });

TEST(SoftwareSquareRoot, IsTheCorrectlyRoundedRoot) {
    std::mt19937_64 generator(2024);
    std::vector<double> values;
    const auto add = [&values](double value) { values.push_back(value); };
    // Every binade, with random mantissas.
    for (int exponent = -1074; exponent <= 1023; ++exponent) {
        for (int i = 0; i < 64; ++i) {
            add(std::ldexp(1.0 + std::ldexp(static_cast<double>(generator() >> 12), -52), exponent));
        }
        add(std::ldexp(1.0, exponent));
    }
    // Squares of doubles, and of midpoints between neighbouring doubles
    // (formed in long double): roots within a hair of a rounding boundary.
    std::uniform_real_distribution<double> unit(0.5, 2.0);
    for (int i = 0; i < 200000; ++i) {
        const double m = unit(generator);
        add(m * m);
        add(std::nextafter(m * m, 0.0));
        add(std::nextafter(m * m, 4.0));
        const long double midpoint = m + static_cast<long double>(std::nextafter(m, 4.0) - m) / 2;
        const double nearMidpoint = static_cast<double>(midpoint * midpoint);
        add(nearMidpoint);
        add(std::nextafter(nearMidpoint, 0.0));
        add(std::ldexp(nearMidpoint, -600));
    }
    // Just below a power of four: the root lies next to the boundary below a
    // power of two, where the spacing of doubles halves.
    for (int exponent = -900; exponent <= 900; exponent += 2) {
        const double power = std::ldexp(1.0, exponent);
        add(std::nextafter(power, 0.0));
        add(std::nextafter(std::nextafter(power, 0.0), 0.0));
        add(std::nextafter(power, 1e300));
    }
    // Powers of the kind the resonators produce.
    std::uniform_real_distribution<double> state(-0.4, 0.4);
    for (int i = 0; i < 400000; ++i) {
        const double re = std::ldexp(state(generator), -static_cast<int>(generator() % 40));
        const double im = state(generator);
        add(re * re + im * im);
    }
    add(0.0);
    add(std::numeric_limits<double>::denorm_min());
    add(std::numeric_limits<double>::max());
    add(std::numeric_limits<double>::infinity());
    values.resize(values.size() / 8 * 8);

    std::vector<double> roots(values.size());
    if (!detail::softwareSquareRoots(values.data(), roots.data(), values.size())) {
        GTEST_SKIP() << "this processor lacks avx512";
    }
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double expected = std::sqrt(values[i]);
        if (std::memcmp(&roots[i], &expected, sizeof expected) != 0 && wrong++ < 5) {
            ADD_FAILURE() << std::hexfloat << "sqrt(" << values[i] << ") gave " << roots[i];
        }
    }
    EXPECT_EQ(wrong, 0u);
}
