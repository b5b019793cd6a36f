#include <modelkit/Builders.h>
#include <modelkit/Representation.h>
#include <muntero/DrawerAnimation.h>

#include <DecimalCommaLocale.h>
#include <clocale>
#include <cmath>
#include <gtest/gtest.h>

namespace {

using InstrumentKit::Node;
using InstrumentKit::Representation;
using muntero::DrawerAnimation;
using muntero::PlaybackControls;

constexpr double kStep = muntero::RungeKuttaIntegrator::kTimeStep;

TEST(PlaybackControls, AccelerateFromTheStartDoublesTheStepsPerTick) {
    PlaybackControls controls;
    EXPECT_EQ(controls.stepsPerTick(), 1);
    EXPECT_EQ(controls.intervalMs(), 16);
    for (int expected : {2, 4, 8, 16}) {
        controls.accelerate();
        EXPECT_EQ(controls.stepsPerTick(), expected);
        EXPECT_EQ(controls.intervalMs(), 16);
    }
    controls.slow();
    EXPECT_EQ(controls.stepsPerTick(), 8);
}

TEST(PlaybackControls, SlowFromTheStartDoublesTheIntervalAndAccelerateHalvesItBackFirst) {
    PlaybackControls controls;
    controls.slow();
    EXPECT_EQ(controls.intervalMs(), 32);
    controls.slow();
    EXPECT_EQ(controls.intervalMs(), 64);
    EXPECT_EQ(controls.stepsPerTick(), 1);
    controls.accelerate();
    EXPECT_EQ(controls.intervalMs(), 32);
    controls.accelerate();
    EXPECT_EQ(controls.intervalMs(), 16);
    EXPECT_EQ(controls.stepsPerTick(), 1);
    controls.accelerate();
    EXPECT_EQ(controls.intervalMs(), 16);
    EXPECT_EQ(controls.stepsPerTick(), 2);
}

// Accel and Slow stop at the ends of their ladder, and each is off there.
TEST(PlaybackControls, AccelStopsAtTheStepLimitAndSlowAtTheLongestInterval) {
    PlaybackControls controls;
    controls.togglePlaying();
    for (int i = 0; i < 40; ++i) {
        controls.accelerate();
    }
    EXPECT_EQ(controls.stepsPerTick(), PlaybackControls::kMaximumStepsPerTick);
    EXPECT_EQ(controls.intervalMs(), PlaybackControls::kMinimumIntervalMs);
    EXPECT_FALSE(controls.accelerateEnabled());
    EXPECT_TRUE(controls.slowEnabled());
    controls.slow();
    EXPECT_TRUE(controls.accelerateEnabled());
    for (int i = 0; i < 40; ++i) {
        controls.slow();
    }
    EXPECT_EQ(controls.stepsPerTick(), 1);
    EXPECT_EQ(controls.intervalMs(), PlaybackControls::kMaximumIntervalMs);
    EXPECT_FALSE(controls.slowEnabled());
    EXPECT_TRUE(controls.accelerateEnabled());
}

TEST(PlaybackControls, StepLimitIsAPowerOfTwoAndBringsTheStepsPerTickDown) {
    PlaybackControls controls;
    controls.togglePlaying();
    for (int i = 0; i < 6; ++i) {
        controls.accelerate();
    }
    ASSERT_EQ(controls.stepsPerTick(), 64);
    controls.setStepLimit(40);
    EXPECT_EQ(controls.stepLimit(), 32);
    EXPECT_EQ(controls.stepsPerTick(), 32);
    EXPECT_FALSE(controls.accelerateEnabled());
    controls.setStepLimit(1 << 20);
    EXPECT_EQ(controls.stepLimit(), PlaybackControls::kMaximumStepsPerTick);
    EXPECT_EQ(controls.stepsPerTick(), 32); // a higher limit only lets Accel go on
    controls.setStepLimit(0);
    EXPECT_EQ(controls.stepLimit(), 1);
    EXPECT_EQ(controls.stepsPerTick(), 1);
    controls.accelerate();
    EXPECT_EQ(controls.stepsPerTick(), 1);
}

TEST(PlaybackControls, TimerPeriodAndUpdateRulesFollowPlaying) {
    PlaybackControls controls;
    controls.slow(); // 32 ms, kept while stopped
    EXPECT_FALSE(controls.playChecked());
    EXPECT_FALSE(controls.accelerateEnabled());
    EXPECT_FALSE(controls.slowEnabled());
    EXPECT_EQ(controls.timerPeriodMs(), 16);
    controls.togglePlaying();
    EXPECT_TRUE(controls.playChecked());
    EXPECT_TRUE(controls.accelerateEnabled());
    EXPECT_TRUE(controls.slowEnabled());
    EXPECT_EQ(controls.timerPeriodMs(), 32);
    controls.togglePlaying(); // Play twice: back to 16 ms
    EXPECT_EQ(controls.timerPeriodMs(), 16);
}

TEST(PlaybackControls, AmplitudeHasAFloorOfZeroPointTwo) {
    PlaybackControls controls;
    EXPECT_TRUE(controls.decreaseAmplitudeEnabled());
    for (int i = 0; i < 4; ++i) {
        controls.decreaseAmplitude();
    }
    EXPECT_NEAR(controls.amplitude(), 0.2, 1e-12);
    EXPECT_FALSE(controls.decreaseAmplitudeEnabled());
    controls.decreaseAmplitude();
    EXPECT_EQ(controls.amplitude(), 0.2);
    controls.increaseAmplitude();
    EXPECT_NEAR(controls.amplitude(), 0.4, 1e-12);
    EXPECT_TRUE(controls.decreaseAmplitudeEnabled());
}

// Two free nodes joined by a spring, x = 0 and x = 1, with a fixed node at
// x = 2 on the same line.
Representation twoMasses() {
    Representation model;
    Node& a = model.createNode("a");
    Node& b = model.createNode("b");
    Node& c = model.createNode("c");
    a.position = {0.0, 0.0, 0.0};
    b.position = {1.0, 0.0, 0.0};
    c.position = {2.0, 0.0, 0.0};
    c.fixed = true;
    a.links = {{&b, 100.0}};
    b.links = {{&a, 100.0}, {&c, 100.0}};
    InstrumentKit::Element element;
    element.nodes = {&a, &b, &c};
    model.elements = {element};
    return model;
}

class DrawerAnimationTest : public ::testing::Test {
protected:
    void SetUp() override {
        animation.resize(400, 300);
        ASSERT_TRUE(animation.refresh(&model));
    }
    // Widget coordinates of vertex i as drawn now.
    std::pair<int, int> widgetPointOf(int i) const {
        const auto& v = animation.geometry().vertices[static_cast<std::size_t>(i)];
        const auto window =
            muntero::projectToWindow(muntero::drawnPoint(v, animation.displacement(i)), animation.modelView(),
                                     animation.projection(), animation.viewport());
        return {static_cast<int>(std::lround(window->x)), 300 - static_cast<int>(std::lround(window->y))};
    }
    double velocity(int i) { return animation.integrator()->velocity(i); }

    Representation model = twoMasses();
    DrawerAnimation animation;
};

TEST_F(DrawerAnimationTest, RefreshBuildsSceneAndIntegratorTogether) {
    EXPECT_EQ(animation.nodeCount(), 3);
    EXPECT_EQ(animation.integrator()->nodeCount(), 3);
    EXPECT_EQ(animation.integrator()->stepCount(), 1); // the initial state handed out
    EXPECT_EQ(animation.simulatedSeconds(), 0.0);
    EXPECT_EQ(animation.geometry().edges.size(), 2u);
}

TEST_F(DrawerAnimationTest, StoppedTicksStepNothingPlayingTicksStepStepsPerTick) {
    animation.tick();
    EXPECT_EQ(animation.integrator()->stepCount(), 1);
    animation.controls().togglePlaying();
    animation.tick();
    EXPECT_EQ(animation.integrator()->stepCount(), 2);
    animation.controls().accelerate();
    animation.controls().accelerate();
    animation.tick();
    EXPECT_EQ(animation.integrator()->stepCount(), 6);
    EXPECT_DOUBLE_EQ(animation.simulatedSeconds(), 5 * kStep);
}

TEST_F(DrawerAnimationTest, LeftPressPushesTheNodeUpAndHoldingKeepsPushing) {
    const auto [x, y] = widgetPointOf(1);
    animation.controls().togglePlaying();
    animation.pressLeft(x + 4, y - 3);
    EXPECT_EQ(animation.leftIndex(), 1);
    EXPECT_TRUE(animation.leftHeld());
    // The press and the tick's force, both applied by its step to the
    // resting model: v = 2·F·h/m.
    const double force = animation.pushForce(1);
    EXPECT_GT(force, 0.0);
    animation.tick();
    EXPECT_NEAR(velocity(1), 2.0 * force * kStep, 1e-12 * force);
    EXPECT_EQ(velocity(0), 0.0);
    // Held without moving: each tick keeps adding force, so the node rises.
    for (int i = 0; i < 50; ++i) {
        animation.tick();
    }
    EXPECT_GT(animation.displacement(1), 0.0);
    animation.releaseLeft();
    EXPECT_EQ(animation.leftIndex(), -1);
    EXPECT_FALSE(animation.leftHeld());
}

TEST_F(DrawerAnimationTest, StoppedPressesAndTicksAddNoForceSoPlayingStartsWithoutAKick) {
    const auto [x, y] = widgetPointOf(0);
    animation.pressRight(x, y);
    EXPECT_EQ(animation.rightIndex(), 0);
    for (int i = 0; i < 100; ++i) {
        animation.tick(); // held for a while, stopped
    }
    animation.move(x + 1, y);
    animation.controls().togglePlaying();
    EXPECT_EQ(velocity(0), 0.0);
    // Only this tick's force acts.
    animation.tick();
    EXPECT_NEAR(velocity(0), -animation.pushForce(0) * kStep, 1e-12 * animation.pushForce(0));
}

TEST_F(DrawerAnimationTest, BothButtonsOnOneNodeCancel) {
    const auto [x, y] = widgetPointOf(1);
    animation.controls().togglePlaying();
    animation.pressLeft(x, y);
    animation.pressRight(x, y);
    animation.tick();
    EXPECT_EQ(velocity(1), 0.0);
    EXPECT_EQ(velocity(0), 0.0);
}

TEST_F(DrawerAnimationTest, MovingWithAButtonHeldRepicksAndPushesWithoutItNothing) {
    const auto first = widgetPointOf(0);
    const auto second = widgetPointOf(1);
    animation.controls().togglePlaying();
    animation.move(first.first, first.second); // no button: nothing
    EXPECT_EQ(animation.leftIndex(), -1);
    animation.pressLeft(first.first, first.second);
    animation.move(second.first, second.second);
    EXPECT_EQ(animation.leftIndex(), 1);
    animation.move(second.first + 200, second.second); // off every node: nothing picked
    EXPECT_EQ(animation.leftIndex(), -1);
    EXPECT_TRUE(animation.leftHeld());
    animation.tick();
    EXPECT_NEAR(velocity(0), animation.pushForce(0) * kStep, 1e-9); // from the press
    EXPECT_NEAR(velocity(1), animation.pushForce(1) * kStep, 1e-9); // from the move over it
}

TEST_F(DrawerAnimationTest, FixedNodesAreNeverPicked) {
    const auto [x, y] = widgetPointOf(2);
    animation.pressLeft(x, y);
    EXPECT_EQ(animation.leftIndex(), -1);
    EXPECT_TRUE(animation.leftHeld());
}

TEST(DrawerAnimation, ButtonsOverAnEmptySceneDoNothing) {
    DrawerAnimation animation;
    animation.resize(400, 300);
    animation.pressLeft(200, 150);
    animation.pressRight(200, 150);
    EXPECT_FALSE(animation.leftHeld());
    EXPECT_FALSE(animation.rightHeld());
    animation.controls().togglePlaying();
    animation.tick(); // no integrator: nothing to step
    EXPECT_FALSE(animation.hasScene());
    muntero::FrameLines lines;
    animation.frameLines(lines);
    EXPECT_EQ(lines.endCount(), 0);
}

TEST_F(DrawerAnimationTest, RefreshKeepsViewSpeedAndPlayingButRereadsTheModel) {
    animation.controls().togglePlaying();
    animation.controls().accelerate();
    animation.turn(muntero::ViewTurn::left);
    animation.tick();
    EXPECT_EQ(animation.integrator()->stepCount(), 3);
    model.elements[0].nodes.pop_back(); // edited after the Refresh: not read yet
    EXPECT_EQ(animation.nodeCount(), 3);
    ASSERT_TRUE(animation.refresh(&model));
    EXPECT_EQ(animation.nodeCount(), 2);
    EXPECT_EQ(animation.integrator()->stepCount(), 1);
    EXPECT_TRUE(animation.controls().playing());
    EXPECT_EQ(animation.controls().stepsPerTick(), 2);
    EXPECT_EQ(animation.orientation().rotationY, -3.0f);
}

TEST_F(DrawerAnimationTest, RefusedRefreshKeepsThePreviousScene) {
    muntero::RungeKuttaIntegrator* before = animation.integrator();
    EXPECT_FALSE(animation.refresh(nullptr));
    Representation empty;
    EXPECT_FALSE(animation.refresh(&empty));
    empty.elements.resize(1); // an element without nodes
    EXPECT_FALSE(animation.refresh(&empty));
    EXPECT_EQ(animation.integrator(), before);
    EXPECT_EQ(animation.nodeCount(), 3);
}

TEST_F(DrawerAnimationTest, LegendNamesNodesStepsAndSimulatedTimeWhateverTheLocale) {
    const bool comma = kivora::testing::useDecimalCommaLocale(::testing::TempDir());
    EXPECT_EQ(DrawerAnimation().legendLine(), "");
    EXPECT_EQ(animation.legendLine(), "3 nodes, 1 step per tick, 0.000 s simulated");
    animation.controls().togglePlaying();
    for (int i = 0; i < 4; ++i) {
        animation.controls().accelerate();
    }
    for (int i = 0; i < 5; ++i) {
        animation.tick(); // 80 steps of 0.125 ms
    }
    EXPECT_EQ(animation.legendLine(), "3 nodes, 16 steps per tick, 0.010 s simulated");
    std::setlocale(LC_NUMERIC, "C");
    if (!comma) {
        GTEST_SKIP() << "no decimal-comma locale to try";
    }
}

TEST_F(DrawerAnimationTest, ArrowKeysTurnByThreeDegrees) {
    animation.turn(muntero::ViewTurn::up);
    animation.turn(muntero::ViewTurn::up);
    animation.turn(muntero::ViewTurn::down);
    animation.turn(muntero::ViewTurn::right);
    EXPECT_EQ(animation.orientation().rotationX, 43.0f);
    EXPECT_EQ(animation.orientation().rotationY, 3.0f);
    EXPECT_EQ(animation.orientation().rotationZ, 0.0f);
}

TEST_F(DrawerAnimationTest, FrameLinesColourTheEndsByKindAndPick) {
    const auto [x, y] = widgetPointOf(1);
    animation.pressLeft(x, y);
    muntero::FrameLines lines;
    animation.frameLines(lines);
    // Edges (0, 1) and (1, 2): ends 0, 1, 1, 2.
    ASSERT_EQ(lines.endCount(), 4);
    auto colourOf = [&](int end) {
        return std::vector<float>(lines.colours.begin() + end * 3, lines.colours.begin() + end * 3 + 3);
    };
    using Colour = std::vector<float>;
    EXPECT_EQ(colourOf(0), (Colour{0.02f, 0.74f, 0.98f}));
    EXPECT_EQ(colourOf(1), (Colour{1.0f, 0.0f, 0.0f}));
    EXPECT_EQ(colourOf(2), (Colour{1.0f, 0.0f, 0.0f}));
    EXPECT_EQ(colourOf(3), (Colour{0.0f, 0.0f, 1.0f}));
    animation.pressRight(x, y); // the right button's colour wins
    animation.frameLines(lines);
    EXPECT_EQ(colourOf(1), (Colour{0.0f, 1.0f, 0.0f}));
    // Positions: (x, displacement, y) of the fitted vertices.
    EXPECT_FLOAT_EQ(lines.positions[0], -1.0f);
    EXPECT_FLOAT_EQ(lines.positions[1], 0.0f);
    EXPECT_FLOAT_EQ(lines.positions[9], 1.0f);
}

TEST(DrawerAnimation, MembraneTickOfSixtyFourStepsMatchesSixtyFourSingleSteps) {
    const Representation model = InstrumentKit::makeMembrane(8, 8);
    DrawerAnimation fast;
    DrawerAnimation slow;
    ASSERT_TRUE(fast.refresh(&model));
    ASSERT_TRUE(slow.refresh(&model));
    fast.controls().togglePlaying();
    slow.controls().togglePlaying();
    for (int i = 0; i < 6; ++i) {
        fast.controls().accelerate();
    }
    ASSERT_EQ(fast.controls().stepsPerTick(), 64);
    fast.tick();
    for (int i = 0; i < 64; ++i) {
        slow.tick();
    }
    for (int i = 0; i < fast.nodeCount(); ++i) {
        EXPECT_EQ(fast.displacement(i), slow.displacement(i));
    }
    EXPECT_DOUBLE_EQ(fast.simulatedSeconds(), 64 * kStep);
}

// A model's step limit keeps its steps per tick within the work budget, and
// the big membrane's Refresh lowers a speed reached on a small model.
TEST(DrawerAnimation, RefreshLimitsTheStepsPerTickByTheModelsSize) {
    const Representation small = InstrumentKit::makeMembrane(8, 8);
    const Representation big = InstrumentKit::makeMembrane(100, 100);
    DrawerAnimation animation;
    ASSERT_TRUE(animation.refresh(&small));
    EXPECT_EQ(animation.controls().stepLimit(), PlaybackControls::kMaximumStepsPerTick);
    animation.controls().togglePlaying();
    for (int i = 0; i < 40 && animation.controls().accelerateEnabled(); ++i) {
        animation.controls().accelerate();
    }
    EXPECT_EQ(animation.controls().stepsPerTick(), PlaybackControls::kMaximumStepsPerTick);
    ASSERT_TRUE(animation.refresh(&big));
    const long long workPerStep =
        animation.nodeCount() + 2LL * static_cast<long long>(animation.geometry().edges.size());
    const int steps = animation.controls().stepsPerTick();
    EXPECT_LE(steps * workPerStep, DrawerAnimation::kStepWorkPerTick);
    EXPECT_GT(2 * steps * workPerStep,
              DrawerAnimation::kStepWorkPerTick); // the highest power of two within it
    EXPECT_FALSE(animation.controls().accelerateEnabled());
    animation.tick();
    EXPECT_EQ(animation.integrator()->stepCount(), 1 + steps);
}

} // namespace
