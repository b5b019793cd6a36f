// Every mixing kernel this processor runs against the plain loops, bit for
// bit, on seeded random values that include the saturation edges.
#include "MixKernels.h"
#include "Mixer.h"

#include <cstdint>
#include <deque>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <vector>

using namespace pellamy;
using namespace pellamy::detail;

namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

// Accumulator values: ordinary sums, values next to both limits and the limits.
std::vector<std::int32_t> accumulatorValues(std::mt19937& random, std::size_t n) {
    std::vector<std::int32_t> values(n);
    std::uniform_int_distribution<int> kind(0, 5);
    std::uniform_int_distribution<std::int32_t> any(kMin, kMax);
    std::uniform_int_distribution<std::int32_t> near(0, 40000);
    std::uniform_int_distribution<std::int32_t> pcm(-70000, 70000);
    for (auto& value : values) {
        switch (kind(random)) {
        case 0:
            value = any(random);
            break;
        case 1:
            value = kMax - near(random);
            break;
        case 2:
            value = kMin + near(random);
            break;
        case 3:
            value = random() % 2 ? kMax : kMin;
            break;
        default:
            value = pcm(random);
            break;
        }
    }
    return values;
}

std::vector<std::int16_t> pcmValues(std::mt19937& random, std::size_t n) {
    std::vector<std::int16_t> values(n);
    std::uniform_int_distribution<int> any(-32768, 32767);
    for (auto& value : values)
        value = static_cast<std::int16_t>(random() % 8 == 0 ? (random() % 2 ? 32767 : -32768) : any(random));
    return values;
}

class MixKernels : public ::testing::TestWithParam<MixKernel> {
protected:
    const MixKernelTable& plain = mixKernelTable(MixKernel::kPlain);
    const MixKernelTable& tested = mixKernelTable(GetParam());
};

} // namespace

TEST_P(MixKernels, GiveTheBitsOfThePlainLoops) {
    ASSERT_EQ(tested.kind, GetParam());
    std::mt19937 random(20260408);
    const float gains[] = {0.5f,
                           0.7f,
                           -1.3f,
                           1e-7f,
                           65537.0f,
                           1e6f,
                           -1e9f,
                           3.4e38f,
                           std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN()};
    // Lengths around the vector widths, so the tails are covered too.
    for (const std::uint32_t n : {0u, 1u, 7u, 8u, 15u, 16u, 17u, 31u, 33u, 1000u, 4099u}) {
        SCOPED_TRACE(n);
        const std::vector<std::int32_t> acc = accumulatorValues(random, n);
        const std::vector<std::int16_t> values = pcmValues(random, n);

        std::vector<std::int32_t> expected = acc, actual = acc;
        plain.add(expected.data(), values.data(), n);
        tested.add(actual.data(), values.data(), n);
        EXPECT_EQ(actual, expected);
        for (const float gain : gains) {
            expected = acc, actual = acc;
            plain.addScaled(expected.data(), values.data(), n, gain);
            tested.addScaled(actual.data(), values.data(), n, gain);
            EXPECT_EQ(actual, expected) << "gain " << gain;
        }

        std::vector<std::int16_t> expected16(n), actual16(n);
        plain.clampTo16(expected16.data(), acc.data(), n);
        tested.clampTo16(actual16.data(), acc.data(), n);
        EXPECT_EQ(actual16, expected16);
        for (const double scale : {1.0, 28000.0 / 56000.0, 28000.0 / 2147483648.0, 0.9999999}) {
            plain.scaleTo16(expected16.data(), acc.data(), n, scale);
            tested.scaleTo16(actual16.data(), acc.data(), n, scale);
            EXPECT_EQ(actual16, expected16) << "scale " << scale;
        }
        EXPECT_EQ(tested.peak(acc.data(), n), plain.peak(acc.data(), n));
    }
}

INSTANTIATE_TEST_SUITE_P(Supported, MixKernels, ::testing::ValuesIn(supportedMixKernels()),
                         [](const auto& info) { return std::string(mixKernelTable(info.param).name); });

TEST(MixKernels, TheFastestSupportedKernelIsActive) {
    EXPECT_EQ(activeMixKernels().kind, supportedMixKernels().back());
}

// The mixer keeps its values behind a moving front: many mixes, takes and
// consumes of every size must leave what a plain shifting array leaves.
TEST(Mixer, ConsumingFromAMovingFrontKeepsTheValues) {
    std::mt19937 random(7);
    Mixer mixer(MixClip);
    std::deque<std::int32_t> model;
    for (int round = 0; round < 3000; ++round) {
        const std::uint32_t n = random() % 300;
        const std::vector<std::int16_t> values = pcmValues(random, n);
        mixer.mix(values.data(), n, 1.0f);
        if (model.size() < n)
            model.resize(n, 0);
        for (std::uint32_t i = 0; i < n; ++i)
            model[i] = Mixer::addSaturated(model[i], values[i]);
        const std::uint32_t consumed = random() % 200;
        mixer.consume(consumed);
        for (std::uint32_t i = 0; i < consumed && !model.empty(); ++i) {
            model.pop_front();
            model.push_back(0);
        }
        ASSERT_EQ(mixer.size(), model.size());
        ASSERT_TRUE(std::equal(model.begin(), model.end(), mixer.values().begin())) << "round " << round;
    }
}
