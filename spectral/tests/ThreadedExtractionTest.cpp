// A pass split across threads steps each resonator exactly as one thread
// does: the summed amplitudes and the results agree bit for bit with the
// single-thread pass and with the straightforward bank, for every kernel,
// every split, the buffer and the file.
#include "FrequencyExtractionDetail.h"
#include "TestSignals.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace ostrel;
using namespace ostrel::test;

namespace {

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class ThreadedKernel : public ::testing::TestWithParam<detail::KernelKind> {
protected:
    void SetUp() override {
        if (!detail::kernelSupported(GetParam())) {
            GTEST_SKIP() << "this processor lacks " << detail::kernelName(GetParam());
        }
    }
};

// 0 is the automatic count; 200 asks for more threads than a bank has parts.
constexpr unsigned kThreadCounts[] = {0, 2, 3, 4, 7, 200};

} // namespace

TEST_P(ThreadedKernel, SplitBanksSumExactlyAsOneThread) {
    const auto samples = interleave(chirp(60, 1900, 22050, 0.6, 26000), noise(13230, 77), 2);
    const WAVEFORMATEX format = pcmFormat(22050, 2);
    const auto frames = static_cast<unsigned>(samples.size() / 2);
    // Bank sizes that split into unequal parts, and one too small to split.
    for (const auto& [count, lowHz, highHz] : {std::tuple{980u, 40.0, 2000.0}, std::tuple{401u, 434.0, 438.0},
                                               std::tuple{17u, 100.0, 900.0}, std::tuple{3u, 100.0, 300.0}}) {
        const auto reference = detail::accumulatedAmplitudes(detail::referenceStepping(), count, lowHz,
                                                             highHz, format, samples.data(), frames);
        for (const unsigned threads : kThreadCounts) {
            const auto split = detail::accumulatedAmplitudes(detail::fastStepping(GetParam(), threads), count,
                                                             lowHz, highHz, format, samples.data(), frames);
            ASSERT_EQ(split.size(), reference.size());
            for (std::size_t i = 0; i < split.size(); ++i) {
                ASSERT_TRUE(sameBits(split[i], reference[i]))
                    << "bank " << count << ", " << threads << " threads, resonator " << i;
            }
        }
    }
}

TEST_P(ThreadedKernel, BufferAndFileResultsDoNotDependOnTheSplit) {
    TemporaryDirectory directory;
    // Long enough that the automatic count uses every core.
    const auto left = chirp(150, 700, 8000, 1.5, 24000);
    const auto samples = interleave(left, noise(left.size(), 21), 2);
    const WAVEFORMATEX format = pcmFormat(8000, 2);
    const auto frames = static_cast<unsigned>(left.size());
    const std::string path = directory.write("chirp.wav", wavImage(format, Bytes().samples(samples)));

    const double bufferResult =
        detail::extractFrequencyBuffer(detail::referenceStepping(), format, samples.data(), frames);
    const double fileResult = detail::extractFrequencyFile(detail::referenceStepping(), path.c_str());
    EXPECT_GT(fileResult, 140.0);
    for (const unsigned threads : kThreadCounts) {
        const detail::Stepping stepping = detail::fastStepping(GetParam(), threads);
        EXPECT_TRUE(
            sameBits(detail::extractFrequencyBuffer(stepping, format, samples.data(), frames), bufferResult))
            << threads << " threads";
        EXPECT_TRUE(sameBits(detail::extractFrequencyFile(stepping, path.c_str()), fileResult))
            << threads << " threads";
    }
}

TEST(ThreadedExtraction, ThreadCounts) {
    // As asked, but never more parts than groups of kBankLaneMultiple resonators.
    EXPECT_EQ(detail::threadsForPass(4, 984, 10), 4u);
    EXPECT_EQ(detail::threadsForPass(200, 984, 10), 984u / detail::kBankLaneMultiple);
    EXPECT_EQ(detail::threadsForPass(4, 8, 1'000'000), 1u);
    // Automatic: one thread for a short pass, at most one per core for a long one.
    EXPECT_EQ(detail::threadsForPass(0, 984, 1000), 1u);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    EXPECT_EQ(detail::threadsForPass(0, 984, 100'000'000), std::min(cores, 984u / 8));
}

TEST(ThreadedExtraction, UnusableFilesStillGiveMinusOne) {
    TemporaryDirectory directory;
    const detail::Stepping stepping = detail::fastStepping(detail::bestKernel(), 4);
    EXPECT_EQ(detail::extractFrequencyFile(stepping, directory.file("missing.wav").c_str()), -1.0);
    Bytes eightBit;
    eightBit.zeros(1600);
    EXPECT_EQ(detail::extractFrequencyFile(
                  stepping, directory.write("8bit.wav", wavImage(pcmFormat(8000, 1, 8), eightBit)).c_str()),
              -1.0);
}

INSTANTIATE_TEST_SUITE_P(Kernels, ThreadedKernel, ::testing::ValuesIn(detail::kAllKernels),
                         [](const auto& info) { return std::string(detail::kernelName(info.param)); });
