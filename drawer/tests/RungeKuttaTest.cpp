#include "PlainRungeKutta.h"

#include <modelkit/Representation.h>
#include <muntero/RungeKuttaKernel.h>
#include <muntero/StepIntegrator.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>

namespace {

using InstrumentKit::Node;
using InstrumentKit::Representation;
using muntero::RungeKuttaIntegrator;

constexpr double kStep = RungeKuttaIntegrator::kTimeStep;

// One element holding the given nodes.
void putInOneElement(Representation& model, std::vector<Node*> nodes) {
    InstrumentKit::Element element;
    element.nodes = std::move(nodes);
    model.elements = {element};
}

TEST(RungeKuttaIntegrator, InitOnceAndName) {
    Representation model;
    Node& a = model.createNode("a");
    putInOneElement(model, {&a});
    RungeKuttaIntegrator integrator;
    EXPECT_EQ(integrator.name(), "Runge-Kutt's 4 grade");
    EXPECT_EQ(integrator.init(&model), 0);
    Node& b = model.createNode("b");
    putInOneElement(model, {&a, &b});
    EXPECT_EQ(integrator.init(&model), -1);
    EXPECT_EQ(integrator.nodeCount(), 1);
    EXPECT_EQ(RungeKuttaIntegrator().init(nullptr), -1);
}

TEST(RungeKuttaIntegrator, FirstStepOnlyHandsOutTheInitialState) {
    Representation model;
    Node& a = model.createNode("a");
    Node& b = model.createNode("b");
    a.parameters[Node::kInitialDisplacement] = 0.3;
    b.parameters[Node::kInitialDisplacement] = -0.7;
    a.links.push_back({&b, 1000.0});
    b.links.push_back({&a, 1000.0});
    putInOneElement(model, {&a, &b});
    RungeKuttaIntegrator integrator;
    ASSERT_EQ(integrator.init(&model), 0);
    muntero::ValueAccessor* values = integrator.step();
    EXPECT_EQ(*values->at(0), 0.3);
    EXPECT_EQ(*values->at(1), -0.7);
    integrator.step();
    EXPECT_NE(*values->at(0), 0.3); // the accessor reads the state in place
}

TEST(RungeKuttaIntegrator, LonelyNodesAndFixedNodes) {
    Representation model;
    Node& still = model.createNode("still");
    Node& moving = model.createNode("moving");
    Node& fixed = model.createNode("fixed");
    still.parameters[Node::kInitialDisplacement] = 0.2;
    moving.parameters[Node::kInitialVelocity] = 1.0;
    fixed.fixed = true;
    fixed.parameters[Node::kInitialDisplacement] = -0.4;
    putInOneElement(model, {&still, &moving, &fixed});
    RungeKuttaIntegrator integrator;
    ASSERT_EQ(integrator.init(&model), 0);
    muntero::ValueAccessor* values = integrator.step();
    double lastPosition = 0.0;
    for (int i = 1; i <= 8000; ++i) { // one second
        integrator.step();
        EXPECT_EQ(*values->at(0), 0.2);
        EXPECT_EQ(*values->at(2), -0.4);
        ASSERT_GT(*values->at(1), lastPosition); // slows down but never turns back
        lastPosition = *values->at(1);
    }
    // v' = -4v - 0.8v², v(0) = 1: v(t) = 4 / (4.8·e^{4t} - 0.8), x(t) = ln((4.8 - 0.8e^{-4t}) / 4) / 0.8.
    const double expected = std::log((4.8 - 0.8 * std::exp(-4.0)) / 4.0) / 0.8;
    EXPECT_NEAR(lastPosition, expected, 1e-9);
}

TEST(RungeKuttaIntegrator, TwoEqualMassesStayOppositeAndDecay) {
    Representation model;
    Node& a = model.createNode("a");
    Node& b = model.createNode("b");
    a.parameters[Node::kInitialDisplacement] = 0.5;
    b.parameters[Node::kInitialDisplacement] = -0.5;
    a.links.push_back({&b, 4.0e4});
    b.links.push_back({&a, 4.0e4});
    putInOneElement(model, {&a, &b});
    RungeKuttaIntegrator integrator;
    ASSERT_EQ(integrator.init(&model), 0);
    muntero::ValueAccessor* values = integrator.step();
    double peakLate = 0.0;
    for (int i = 0; i < 16000; ++i) {
        integrator.step();
        ASSERT_EQ(*values->at(0), -*values->at(1)) << "step " << i;
        if (i > 8000) {
            peakLate = std::max(peakLate, std::fabs(*values->at(0)));
        }
    }
    EXPECT_GT(peakLate, 0.0);
    EXPECT_LT(peakLate, 0.5 * std::exp(-4.0 * 0.9)); // linear damping alone would leave e^{-2t}
}

TEST(RungeKuttaIntegrator, ExciteActsAsAnImpulseAfterTheNextStep) {
    Representation model;
    Node& light = model.createNode("light");
    Node& heavy = model.createNode("heavy");
    heavy.parameters[Node::kMass] = 4.0;
    putInOneElement(model, {&light, &heavy});
    RungeKuttaIntegrator integrator;
    ASSERT_EQ(integrator.init(&model), 0);
    muntero::ValueAccessor* values = integrator.step();
    integrator.excite(1.0, 0);
    integrator.excite(1.0, 1);
    integrator.excite(1.0, 1);
    integrator.excite(1.0, 7); // outside the model: ignored
    integrator.step();
    EXPECT_EQ(*values->at(0), 0.0); // the impulse changes velocity only
    EXPECT_EQ(integrator.velocity(0), kStep * (1.0 / 1.0));
    EXPECT_EQ(integrator.velocity(1), kStep * (2.0 / 4.0));
    // Forces are used up by one step: afterwards damping only slows the nodes.
    integrator.step();
    EXPECT_GT(*values->at(0), 0.0);
    EXPECT_LT(integrator.velocity(0), kStep);
    EXPECT_GT(integrator.velocity(0), kStep * (1.0 - 4.0 * kStep));
}

// An irregular model: varied link counts (also zero), fixed nodes, masses and
// a node count that is not a multiple of four.
muntero::ModelSnapshot irregularModel(int nodeCount, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    muntero::ModelSnapshot model;
    for (int i = 0; i < nodeCount; ++i) {
        muntero::ModelNode node;
        // Whole groups of four with power-of-two masses take the kernel's
        // reciprocal path; the others divide.
        node.mass = (i / 4) % 2 == 0 ? std::ldexp(1.0, i % 5 - 2) : 0.5 + unit(random);
        node.fixed = i % 7 == 3;
        node.firstConnection = static_cast<int>(model.connections.size());
        const int links = node.fixed ? 0 : static_cast<int>(random() % 6);
        for (int l = 0; l < links; ++l) {
            const int other =
                l == 0 ? (i + 1) % nodeCount : static_cast<int>(random() % static_cast<unsigned>(nodeCount));
            model.connections.push_back({1.0e4 * (0.5 + unit(random)), other});
        }
        node.connectionCount = links;
        model.nodes.push_back(node);
        model.initialDisplacements.push_back(node.fixed ? 0.1 : unit(random) - 0.5);
        model.initialVelocities.push_back(node.fixed ? 0.0 : 20.0 * (unit(random) - 0.5));
    }
    return model;
}

// A grid with a fixed rim and springs to the four neighbours: every kernel
// runs its stages as a wavefront only a few groups deep on it.
muntero::ModelSnapshot gridModel(int rows, int columns) {
    muntero::ModelSnapshot model;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const int i = r * columns + c;
            const bool rim = r == 0 || c == 0 || r == rows - 1 || c == columns - 1;
            muntero::ModelNode node;
            node.mass = r % 2 == 0 || c % 3 == 0 ? 1.0 : 0.75; // even rows: groups of unit masses
            node.fixed = rim;
            node.firstConnection = static_cast<int>(model.connections.size());
            if (!rim) {
                for (int other : {i - columns, i - 1, i + 1, i + columns}) {
                    model.connections.push_back({2.0e5 + 10.0 * i, other});
                }
                node.connectionCount = 4;
            }
            model.nodes.push_back(node);
            model.initialDisplacements.push_back(rim ? 0.0 : 0.001 * ((i * 37) % 11));
            model.initialVelocities.push_back(r == rows / 3 && c == columns / 2 ? 30.0 : 0.0);
        }
    }
    return model;
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Every laid-out kernel this processor can run (one node at a time, four
// or eight at a time, in general or in bands of one spring pattern) against the straightforward
// seven-state form: the same IEEE operations in the same order, so every displacement and velocity agrees bit
// for bit, also after retuning.
class EveryKernel : public ::testing::TestWithParam<muntero::KernelChoice> {};

int expectedWidth(muntero::KernelChoice choice) {
    switch (choice) {
    case muntero::KernelChoice::avx2:
    case muntero::KernelChoice::avx2Banded:
        return 4;
    case muntero::KernelChoice::avx512:
    case muntero::KernelChoice::avx512Banded:
        return 8;
    case muntero::KernelChoice::automatic:
        return muntero::RungeKuttaKernel::wideKernelAvailable()     ? 8
               : muntero::RungeKuttaKernel::vectorKernelAvailable() ? 4
                                                                    : 0;
    default:
        return 0;
    }
}

TEST_P(EveryKernel, MatchesTheStraightforwardFormBitForBit) {
    const muntero::KernelChoice choice = GetParam();
    const bool fourLanes =
        choice == muntero::KernelChoice::avx2 || choice == muntero::KernelChoice::avx2Banded;
    const bool eightLanes =
        choice == muntero::KernelChoice::avx512 || choice == muntero::KernelChoice::avx512Banded;
    if ((fourLanes && !muntero::RungeKuttaKernel::vectorKernelAvailable()) ||
        (eightLanes && !muntero::RungeKuttaKernel::wideKernelAvailable())) {
        GTEST_SKIP() << "this processor cannot run the " << expectedWidth(choice) << "-lane kernel";
    }
    const muntero::StepConstants constants{1.0 / 44100.0, 4.0, 0.08, (1.0 / 44100.0) / 6.0};
    for (int nodeCount : {1, 5, 13, 64, 83, 99, 240, 840}) {
        // The wide grid spans more groups than the kernels' blocks, so their
        // stages overlap as a wavefront.
        const muntero::ModelSnapshot model =
            nodeCount == 99    ? gridModel(9, 11)
            : nodeCount == 240 ? gridModel(15, 16)
            : nodeCount == 840 ? gridModel(12, 70)
                               : irregularModel(nodeCount, 1234u + static_cast<unsigned>(nodeCount));
        muntero::PlainRungeKutta reference(model, constants);
        muntero::RungeKuttaKernel kernel(model, constants, choice);
        ASSERT_EQ(kernel.vectorWidth(), expectedWidth(choice)) << "another kernel than the one asked for ran";
        for (int step = 0; step < 600; ++step) {
            if (step == 300) {
                reference.scaleStiffness(1.122462048309373);
                kernel.scaleStiffness(1.122462048309373);
            }
            reference.advance();
            kernel.advance();
        }
        for (int i = 0; i < nodeCount; ++i) {
            const auto node = static_cast<std::size_t>(i);
            ASSERT_TRUE(sameBits(kernel.displacements()[i], reference.displacements()[node]))
                << nodeCount << " nodes, displacement of node " << i;
            ASSERT_TRUE(sameBits(kernel.velocities()[i], reference.velocities()[node]))
                << nodeCount << " nodes, velocity of node " << i;
        }
        kernel.reset();
        EXPECT_EQ(kernel.displacements()[0], model.initialDisplacements[0]);
    }
}

std::string kernelName(const ::testing::TestParamInfo<muntero::KernelChoice>& info) {
    switch (info.param) {
    case muntero::KernelChoice::plain:
        return "plain";
    case muntero::KernelChoice::avx2:
        return "fourLanes";
    case muntero::KernelChoice::avx2Banded:
        return "fourLanesBanded";
    case muntero::KernelChoice::avx512Banded:
        return "eightLanesBanded";
    case muntero::KernelChoice::automatic:
        return "automatic";
    default:
        return "eightLanes";
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryKernel,
                         ::testing::Values(muntero::KernelChoice::plain, muntero::KernelChoice::avx2,
                                           muntero::KernelChoice::avx2Banded, muntero::KernelChoice::avx512,
                                           muntero::KernelChoice::avx512Banded,
                                           muntero::KernelChoice::automatic),
                         kernelName);

TEST(RungeKuttaKernel, RefusesSnapshotsWhoseArraysDoNotFit) {
    const muntero::StepConstants constants{1.0 / 44100.0, 4.0, 0.08, (1.0 / 44100.0) / 6.0};
    muntero::ModelSnapshot model = irregularModel(6, 7u);
    EXPECT_NO_THROW(muntero::RungeKuttaKernel(model, constants));
    muntero::ModelSnapshot strayLink = model;
    strayLink.connections.front().other = 6;
    EXPECT_THROW(muntero::RungeKuttaKernel(strayLink, constants), std::invalid_argument);
    muntero::ModelSnapshot shortTable = model;
    shortTable.connections.pop_back();
    EXPECT_THROW(muntero::RungeKuttaKernel(shortTable, constants), std::invalid_argument);
    muntero::ModelSnapshot extraState = model;
    extraState.initialVelocities.push_back(0.0);
    EXPECT_THROW(muntero::RungeKuttaKernel(extraState, constants), std::invalid_argument);
}

} // namespace

namespace {

// How the springs of a lattice are set: each its own stiffness, all one,
// one per offset, or all one but a single spring one unit in the last place
// stiffer (a kernel that took the band's springs for equal would go wrong).
enum class Springs { varied, allEqual, equalPerOffset, allEqualButOne };

// A rows × columns lattice whose free nodes hang on springs at the given
// offsets (the rim, as far as the longest offset reaches, is fixed). Rows
// take turns at unit masses, power-of-two masses and other masses, and a few
// nodes inside are fixed too, so bands meet groups with inactive lanes.
muntero::ModelSnapshot latticeModel(int rows, int columns, const std::vector<int>& offsets,
                                    Springs springs = Springs::varied) {
    muntero::ModelSnapshot model;
    const int oddNode = (rows / 2) * columns + columns / 2 + 1;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const int i = r * columns + c;
            bool fixed = r < 2 || c < 2 || r >= rows - 2 || c >= columns - 2 || (r * 7 + c * 3) % 53 == 0;
            for (int offset : offsets) {
                fixed = fixed || i + offset < 0 || i + offset >= rows * columns;
            }
            muntero::ModelNode node;
            node.mass = r % 3 == 0 ? 1.0 : r % 3 == 1 ? 0.5 : 0.75 + 0.01 * c;
            node.fixed = fixed;
            node.firstConnection = static_cast<int>(model.connections.size());
            if (!fixed) {
                for (std::size_t l = 0; l < offsets.size(); ++l) {
                    const int offset = offsets[l];
                    double stiffness = 1.5e5 + 7.0 * ((i * 13 + offset) % 17);
                    if (springs == Springs::allEqual || springs == Springs::allEqualButOne) {
                        stiffness = 1.6e5;
                    } else if (springs == Springs::equalPerOffset) {
                        stiffness = 1.4e5 + 1.0e4 * static_cast<double>(l);
                    }
                    if (springs == Springs::allEqualButOne && i == oddNode && l + 1 == offsets.size()) {
                        stiffness = std::nextafter(stiffness, 1.0e6);
                    }
                    model.connections.push_back({stiffness, i + offset});
                }
                node.connectionCount = static_cast<int>(offsets.size());
            }
            model.nodes.push_back(node);
            model.initialDisplacements.push_back(fixed ? 0.0 : 0.002 * ((i * 31) % 13) - 0.01);
            model.initialVelocities.push_back(r == rows / 2 && c == columns / 3 ? 25.0 : 0.0);
        }
    }
    return model;
}

// The kernels with bands (runs of groups with one spring pattern unrolled),
// four and eight lanes.
class BandedKernel : public ::testing::TestWithParam<muntero::KernelChoice> {};

} // namespace

// A banded kernel against the straightforward form, bit for bit, on strings,
// grids, lattices with diagonals and three-dimensional neighbourhoods, with
// every kind of mass, inactive lanes, springs that are all equal or not, and
// retuning half-way.
TEST_P(BandedKernel, MatchesTheStraightforwardFormBitForBit) {
    const muntero::KernelChoice choice = GetParam();
    const int lanes = choice == muntero::KernelChoice::avx512Banded ? 8 : 4;
    if (!muntero::RungeKuttaKernel::vectorKernelAvailable() ||
        (lanes == 8 && !muntero::RungeKuttaKernel::wideKernelAvailable())) {
        GTEST_SKIP() << "this processor cannot run the banded " << lanes << "-lane kernel";
    }
    const muntero::StepConstants constants{1.0 / 44100.0, 4.0, 0.08, (1.0 / 44100.0) / 6.0};
    struct Case {
        const char* name;
        int rows;
        int columns;
        std::vector<int> offsets;
        Springs springs = Springs::varied;
    };
    const std::vector<Case> cases = {
        {"string", 5, 61, {-1, 1}},
        {"one-sided", 6, 40, {1}},
        {"grid 23 wide", 14, 23, {-23, -1, 1, 23}},
        {"grid 36 wide", 12, 36, {-36, -1, 1, 36}},
        {"three links", 9, 30, {-30, -1, 30}},
        {"five links", 9, 30, {-30, -1, 1, 30, 31}},
        {"three-dimensional", 10, 48, {-48, -12, -1, 1, 12, 48}},
        {"with diagonals", 10, 28, {-29, -28, -27, -1, 1, 27, 28, 29}},
        {"string of equal springs", 5, 61, {-1, 1}, Springs::allEqual},
        {"grid of equal springs", 14, 52, {-52, -1, 1, 52}, Springs::allEqual},
        {"grid, equal springs per direction", 14, 52, {-52, -1, 1, 52}, Springs::equalPerOffset},
        {"grid, equal springs but one", 14, 52, {-52, -1, 1, 52}, Springs::allEqualButOne},
        {"three-dimensional, equal springs but one",
         10,
         48,
         {-48, -12, -1, 1, 12, 48},
         Springs::allEqualButOne},
    };
    for (const Case& c : cases) {
        const muntero::ModelSnapshot model = latticeModel(c.rows, c.columns, c.offsets, c.springs);
        muntero::PlainRungeKutta reference(model, constants);
        muntero::RungeKuttaKernel banded(model, constants, choice);
        EXPECT_EQ(banded.vectorWidth(), lanes) << c.name;
        // Up to six links a node is unrolled; the diagonals take the general path.
        if (c.offsets.size() <= 6) {
            EXPECT_GT(banded.bandedGroupCount(), 0) << c.name;
        } else {
            EXPECT_EQ(banded.bandedGroupCount(), 0) << c.name;
        }
        for (int step = 0; step < 500; ++step) {
            if (step == 250) {
                reference.scaleStiffness(1.122462048309373);
                banded.scaleStiffness(1.122462048309373);
            }
            reference.advance();
            banded.advance();
        }
        for (int i = 0; i < model.nodeCount(); ++i) {
            const auto node = static_cast<std::size_t>(i);
            ASSERT_TRUE(sameBits(banded.displacements()[i], reference.displacements()[node]))
                << c.name << ", node " << i;
            ASSERT_TRUE(sameBits(banded.velocities()[i], reference.velocities()[node]))
                << c.name << ", node " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, BandedKernel,
    ::testing::Values(muntero::KernelChoice::avx2Banded, muntero::KernelChoice::avx512Banded),
    [](const ::testing::TestParamInfo<muntero::KernelChoice>& info) {
        return std::string(info.param == muntero::KernelChoice::avx512Banded ? "eightLanes" : "fourLanes");
    });

// The automatic choice is the banded kernel of the widest vectors the
// processor has: eight lanes with AVX-512, four with AVX2 only, else plain.
TEST(RungeKuttaKernel, AutomaticChoiceTakesTheWidestBandedKernel) {
    const muntero::StepConstants constants{1.0 / 44100.0, 4.0, 0.08, (1.0 / 44100.0) / 6.0};
    const muntero::ModelSnapshot model = latticeModel(14, 52, {-52, -1, 1, 52}, Springs::allEqual);
    muntero::RungeKuttaKernel automatic(model, constants);
    const muntero::KernelChoice expected = muntero::RungeKuttaKernel::wideKernelAvailable()
                                               ? muntero::KernelChoice::avx512Banded
                                               : muntero::KernelChoice::avx2Banded;
    muntero::RungeKuttaKernel banded(model, constants, expected);
    EXPECT_EQ(automatic.vectorWidth(), banded.vectorWidth());
    EXPECT_EQ(automatic.bandedGroupCount(), banded.bandedGroupCount());
    if (!muntero::RungeKuttaKernel::vectorKernelAvailable()) {
        EXPECT_EQ(automatic.vectorWidth(), 0);
    } else {
        EXPECT_GT(automatic.bandedGroupCount(), 0);
    }
}
