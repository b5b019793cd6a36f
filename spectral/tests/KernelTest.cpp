// Every step kernel the processor supports must reproduce the reference
// bank bit for bit: the summed amplitudes of every resonator, and the result.
#include "FrequencyExtractionDetail.h"
#include "TestSignals.h"

#include <gtest/gtest.h>
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
