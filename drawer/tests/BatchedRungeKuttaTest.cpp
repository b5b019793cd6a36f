#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>
#include <muntero/BatchedRungeKuttaKernel.h>
#include <muntero/RungeKuttaKernel.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using muntero::BatchedRungeKuttaKernel;
using muntero::KernelChoice;
using muntero::RungeKuttaKernel;

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct NamedModel {
    std::string name;
    muntero::ModelSnapshot snapshot;
};

// A grid whose inside nodes have eight springs (more than are unrolled),
// springs of many stiffnesses and masses of every kind (1, a power of two, other).
muntero::ModelSnapshot gridWithDiagonals(int rows, int columns) {
    muntero::ModelSnapshot model;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const int i = r * columns + c;
            const bool rim = r == 0 || c == 0 || r == rows - 1 || c == columns - 1;
            muntero::ModelNode node;
            node.mass = c % 3 == 0 ? 1.0 : c % 3 == 1 ? 0.5 : 0.75;
            node.fixed = rim;
            node.firstConnection = static_cast<int>(model.connections.size());
            if (!rim) {
                for (int other : {i - columns - 1, i - columns, i - columns + 1, i - 1, i + 1,
                                  i + columns - 1, i + columns, i + columns + 1}) {
                    model.connections.push_back({1.0e5 + 100.0 * (other % 7), other});
                }
                node.connectionCount = 8;
            }
            model.nodes.push_back(node);
            model.initialDisplacements.push_back(rim ? 0.0 : 0.001 * ((i * 37) % 11));
            model.initialVelocities.push_back(r == rows / 2 && c == columns / 3 ? 20.0 : 0.0);
        }
    }
    model.soundingNode = (rows / 2) * columns + columns / 2;
    return model;
}

// A string whose masses change every three nodes (1, a power of two, other)
// and whose springs are listed left, right in one half and right, left in
// the other: runs of each mass kind, with and without a spring carried.
muntero::ModelSnapshot stringWithMassesOfEveryKind() {
    muntero::ModelSnapshot model;
    constexpr int kNodes = 40;
    for (int i = 0; i < kNodes; ++i) {
        muntero::ModelNode node;
        node.mass = (i / 3) % 3 == 0 ? 1.0 : (i / 3) % 3 == 1 ? 0.5 : 0.75;
        node.fixed = i == 0 || i == kNodes - 1;
        node.firstConnection = static_cast<int>(model.connections.size());
        if (!node.fixed) {
            const int first = i < kNodes / 2 ? i - 1 : i + 1;
            model.connections.push_back({2.0e5, first});
            model.connections.push_back({2.0e5, 2 * i - first});
            node.connectionCount = 2;
        }
        model.nodes.push_back(node);
        model.initialDisplacements.push_back(node.fixed ? 0.0 : 0.001 * ((i * 7) % 5));
        model.initialVelocities.push_back(i == 11 ? 3.0 : 0.0);
    }
    model.soundingNode = kNodes / 3;
    return model;
}

// A membrane with signed zeros where a step may turn them: a rim node at -0
// (a step makes it +0), one pushed off its place, and inside nodes at -0
// beside +0 (springs whose stretch is a zero of either sign).
muntero::ModelSnapshot membraneWithSignedZeros() {
    muntero::ModelSnapshot model = muntero::takeSnapshot(InstrumentKit::makeMembrane(10, 10));
    model.initialDisplacements[0] = -0.0;
    model.initialDisplacements[5] = 0.002;
    for (int i = 11; i < 89; i += 3) {
        model.initialDisplacements[static_cast<std::size_t>(i)] = -0.0;
    }
    return model;
}

// Every bundled model, a membrane with equal springs and a fixed rim, the
// same with signed zeros, the string of masses, and the grid with diagonals.
std::vector<NamedModel> modelsToCompare() {
    std::vector<NamedModel> models;
    for (const auto& entry : std::filesystem::directory_iterator(KIVORA_SOURCE_DIR "/examples/models")) {
        if (entry.path().extension() == ".json") {
            models.push_back({entry.path().stem().string(),
                              muntero::takeSnapshot(InstrumentKit::loadModelFile(entry.path()))});
        }
    }
    models.push_back({"membrane 12x12", muntero::takeSnapshot(InstrumentKit::makeMembrane(12, 12))});
    models.push_back({"membrane with signed zeros", membraneWithSignedZeros()});
    models.push_back({"string with masses of every kind", stringWithMassesOfEveryKind()});
    models.push_back({"grid with diagonals", gridWithDiagonals(9, 14)});
    return models;
}

class BatchedKernel : public ::testing::TestWithParam<KernelChoice> {};

// A batch of lanes at different keys (stiffness scaled a different number of
// times, up and down), started at different steps, and one lane restarted
// half-way, and one lane's first node set moving for a while (on a
// membrane, a rim node the batch no longer leaves out): each lane's every
// displacement and velocity equals, bit for bit, that of a single-voice
// kernel of the same model stepped alone. Eleven lanes (not a whole number
// of vectors) take the kernels' wide form, one vector of lanes the unrolled
// one, and eight lanes of four-lane vectors the unrolled one in pairs.
TEST_P(BatchedKernel, EveryLaneStepsAsASingleVoiceKernel) {
    const KernelChoice choice = GetParam();
    const int width = choice == KernelChoice::avx512 ? 8 : choice == KernelChoice::avx2 ? 4 : 0;
    if ((width == 4 && !RungeKuttaKernel::vectorKernelAvailable()) ||
        (width == 8 && !RungeKuttaKernel::wideKernelAvailable())) {
        GTEST_SKIP() << "this processor cannot run the " << width << "-lane kernel";
    }
    const muntero::StepConstants constants{1.0 / 44100.0, 4.0, 0.08, (1.0 / 44100.0) / 6.0};
    constexpr int kSteps = 400;
    const double firstFactor = 0.8123;
    std::vector<int> laneCounts{11};
    if (width > 0) {
        laneCounts.push_back(width);
    }
    if (width == 4) {
        laneCounts.push_back(8);
    }
    for (const int kLanes : laneCounts) {
        for (const NamedModel& model : modelsToCompare()) {
            BatchedRungeKuttaKernel batch(model.snapshot, constants, kLanes, choice);
            ASSERT_EQ(batch.vectorWidth(), width) << "another kernel than the one asked for ran";
            ASSERT_EQ(batch.laneStride() % std::max(width, 1), 0);
            std::vector<std::unique_ptr<RungeKuttaKernel>> single;
            std::vector<int> startStep;
            for (int lane = 0; lane < kLanes; ++lane) {
                // The single voices run the automatic kernel: every kernel gives the same bits.
                single.push_back(std::make_unique<RungeKuttaKernel>(model.snapshot, constants));
                single.back()->scaleStiffness(firstFactor);
                batch.scaleLaneStiffness(lane, firstFactor);
                const int semitones = lane - 3;
                const double factor = semitones >= 0 ? 1.122462048309373 : 1.0 / 1.122462048309373;
                for (int j = 0; j < std::abs(semitones); ++j) {
                    single.back()->scaleStiffness(factor);
                    batch.scaleLaneStiffness(lane, factor);
                }
                startStep.push_back(lane % 4 == 0 ? 0 : 13 * lane);
                batch.clearLane(lane);
            }
            for (int step = 0; step < kSteps; ++step) {
                for (int lane = 0; lane < kLanes; ++lane) {
                    if (step == startStep[static_cast<std::size_t>(lane)] ||
                        (lane == 5 && step == kSteps / 2)) {
                        batch.resetLane(lane);
                        single[static_cast<std::size_t>(lane)]->reset();
                    }
                }
                if (step == kSteps / 3 || step == kSteps / 3 + 40) {
                    const double push = step == kSteps / 3 ? 0.5 : 0.0;
                    batch.velocities()[2] = push;
                    single[2]->velocities()[0] = push;
                }
                batch.advance();
                for (int lane = 0; lane < kLanes; ++lane) {
                    if (step >= startStep[static_cast<std::size_t>(lane)]) {
                        single[static_cast<std::size_t>(lane)]->advance();
                    }
                }
            }
            for (int lane = 0; lane < kLanes; ++lane) {
                const RungeKuttaKernel& voice = *single[static_cast<std::size_t>(lane)];
                RungeKuttaKernel& mutableVoice = *single[static_cast<std::size_t>(lane)];
                for (int i = 0; i < model.snapshot.nodeCount(); ++i) {
                    const std::ptrdiff_t at = std::ptrdiff_t{i} * batch.laneStride() + lane;
                    ASSERT_TRUE(sameBits(batch.displacements()[at], voice.displacements()[i]))
                        << model.name << ", " << kLanes << " lanes, lane " << lane
                        << ", displacement of node " << i;
                    ASSERT_TRUE(sameBits(batch.velocities()[at], mutableVoice.velocities()[i]))
                        << model.name << ", " << kLanes << " lanes, lane " << lane << ", velocity of node "
                        << i;
                }
            }
            // The moving lanes did move, or the comparison above says little.
            EXPECT_NE(
                batch.displacement(model.snapshot.soundingNode, 0),
                model.snapshot.initialDisplacements[static_cast<std::size_t>(model.snapshot.soundingNode)])
                << model.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, BatchedKernel,
                         ::testing::Values(KernelChoice::plain, KernelChoice::avx2, KernelChoice::avx512),
                         [](const ::testing::TestParamInfo<KernelChoice>& info) {
                             return std::string(info.param == KernelChoice::plain  ? "plain"
                                                : info.param == KernelChoice::avx2 ? "fourLanes"
                                                                                   : "eightLanes");
                         });

// A lane that blows up leaves its neighbours' bits alone, a cleared lane
// rests, and a batch without lanes is refused.
TEST(BatchedKernel, LanesStayApart) {
    const muntero::StepConstants constants{1.0 / 8000.0, 4.0, 0.08, (1.0 / 8000.0) / 6.0};
    const muntero::ModelSnapshot model = muntero::takeSnapshot(InstrumentKit::makeMembrane(8, 8));
    BatchedRungeKuttaKernel batch(model, constants, 3);
    RungeKuttaKernel alone(model, constants);
    batch.scaleLaneStiffness(0, 1.0e6); // far past the step's stability limit
    batch.clearLane(2);
    for (int step = 0; step < 2000; ++step) {
        batch.advance();
        alone.advance();
    }
    EXPECT_FALSE(std::isfinite(batch.displacement(model.soundingNode, 0)));
    for (int i = 0; i < model.nodeCount(); ++i) {
        ASSERT_TRUE(sameBits(batch.displacement(i, 1), alone.displacements()[i])) << "node " << i;
        ASSERT_TRUE(sameBits(batch.displacement(i, 2), 0.0)) << "node " << i;
    }
    EXPECT_THROW(BatchedRungeKuttaKernel(model, constants, 0), std::invalid_argument);
    muntero::ModelSnapshot broken = model;
    broken.initialVelocities.pop_back();
    EXPECT_THROW(BatchedRungeKuttaKernel(broken, constants, 2), std::invalid_argument);
}

} // namespace
