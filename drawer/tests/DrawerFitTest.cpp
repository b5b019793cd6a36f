// The drawer fits every bundled model into its window and a held button
// moves a node of each visibly, however stiff or heavy the model.
#include <modelkit/ModelFile.h>
#include <modelkit/Representation.h>
#include <muntero/DrawerAnimation.h>
#include <muntero/DrawerFit.h>
#include <muntero/ModelSnapshot.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

using InstrumentKit::Representation;
using muntero::DrawerAnimation;

constexpr int kWidth = 640;
constexpr int kHeight = 480;

class BundledModel : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        model = InstrumentKit::loadModelFile(std::filesystem::path(KIVORA_SOURCE_DIR) / "examples" /
                                             "models" / GetParam());
        animation.resize(kWidth, kHeight);
        ASSERT_TRUE(animation.refresh(&model));
    }
    // Window point (y up) of vertex i as drawn now.
    muntero::WindowPoint windowPoint(int i) const {
        const auto& v = animation.geometry().vertices[static_cast<std::size_t>(i)];
        return *muntero::projectToWindow(muntero::drawnPoint(v, animation.displacement(i)),
                                         animation.modelView(), animation.projection(), animation.viewport());
    }
    // The drawn size of the model: the larger side of its vertices' box.
    double sceneSize() const {
        double lowX = 1e300, highX = -1e300, lowY = 1e300, highY = -1e300;
        for (const auto& v : animation.geometry().vertices) {
            lowX = std::min(lowX, v.x);
            highX = std::max(highX, v.x);
            lowY = std::min(lowY, v.y);
            highY = std::max(highY, v.y);
        }
        return std::max(highX - lowX, highY - lowY);
    }

    Representation model;
    DrawerAnimation animation;
};

TEST_P(BundledModel, EveryNodeIsInTheWindowAndTheModelFillsMostOfIt) {
    double left = 1e300, right = -1e300, bottom = 1e300, top = -1e300;
    for (int i = 0; i < animation.nodeCount(); ++i) {
        const muntero::WindowPoint p = windowPoint(i);
        EXPECT_GE(p.x, 0.0) << "node " << i;
        EXPECT_LE(p.x, kWidth) << "node " << i;
        EXPECT_GE(p.y, 0.0) << "node " << i;
        EXPECT_LE(p.y, kHeight) << "node " << i;
        EXPECT_GT(p.depth, 0.0) << "node " << i;
        EXPECT_LT(p.depth, 1.0) << "node " << i;
        left = std::min(left, p.x);
        right = std::max(right, p.x);
        bottom = std::min(bottom, p.y);
        top = std::max(top, p.y);
    }
    EXPECT_TRUE(right - left > 0.6 * kWidth || top - bottom > 0.6 * kHeight)
        << "spans " << right - left << " x " << top - bottom << " pixels";
}

TEST_P(BundledModel, HoldingTheLeftButtonOnANodeLiftsItByAboutATenthOfTheModel) {
    // The free node nearest the middle of the picture.
    int node = -1;
    double nearest = 1e300;
    for (int i = 0; i < animation.nodeCount(); ++i) {
        if (animation.geometry().fixed[static_cast<std::size_t>(i)] != 0) {
            continue;
        }
        const muntero::WindowPoint p = windowPoint(i);
        const double distance = std::hypot(p.x - kWidth / 2.0, p.y - kHeight / 2.0);
        if (distance < nearest) {
            nearest = distance;
            node = i;
        }
    }
    ASSERT_NE(node, -1);
    const muntero::WindowPoint at = windowPoint(node);
    animation.controls().togglePlaying();
    for (int i = 0; i < 6; ++i) {
        animation.controls().accelerate(); // 64 steps per tick
    }
    // Nodes already moving (plucked models) move without a push too: compare
    // with the same model left alone.
    DrawerAnimation alone;
    alone.resize(kWidth, kHeight);
    ASSERT_TRUE(alone.refresh(&model));
    alone.controls().togglePlaying();
    for (int i = 0; i < 6; ++i) {
        alone.controls().accelerate();
    }
    animation.pressLeft(static_cast<int>(std::lround(at.x)), kHeight - static_cast<int>(std::lround(at.y)));
    ASSERT_EQ(animation.leftIndex(), node);
    double largest = 0.0;
    for (int tick = 0; tick < 40; ++tick) { // 0.32 s simulated
        animation.tick();
        alone.tick();
        largest = std::max(largest, animation.displacement(node) - alone.displacement(node));
    }
    const double size = sceneSize();
    EXPECT_GT(largest, 0.05 * size) << "size " << size;
    EXPECT_LT(largest, 0.3 * size) << "size " << size;
}

INSTANTIATE_TEST_SUITE_P(Examples, BundledModel,
                         ::testing::Values("free-bar.json", "plucked-string.json", "string-on-board.json",
                                           "struck-membrane.json"),
                         [](const auto& info) {
                             std::string name = info.param;
                             name = name.substr(0, name.find('.'));
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// Two free nodes a–b and b–c(fixed), 100 each, unit masses, plus the soft tie
// to rest: K = [[100 + s, -100], [-100, 200 + s]] with s = (4π)².
TEST(StaticStiffness, IsTheInverseOfTheDiagonalOfTheInverseStiffness) {
    Representation model;
    auto& a = model.createNode("a");
    auto& b = model.createNode("b");
    auto& c = model.createNode("c");
    c.fixed = true;
    a.links = {{&b, 100.0}};
    b.links = {{&a, 100.0}, {&c, 100.0}};
    InstrumentKit::Element element;
    element.nodes = {&a, &b, &c};
    model.elements = {element};
    muntero::StaticStiffness stiffness(muntero::takeSnapshot(model));
    const double s = std::pow(muntero::StaticStiffness::kFreeModeAngularRate, 2);
    const double determinant = (100 + s) * (200 + s) - 100.0 * 100.0;
    EXPECT_NEAR(stiffness.at(0), determinant / (200 + s), 1e-9);
    EXPECT_NEAR(stiffness.at(1), determinant / (100 + s), 1e-9);
    EXPECT_EQ(stiffness.at(2), 0.0); // fixed
    EXPECT_EQ(stiffness.at(3), 0.0); // no such node
}

TEST(DrawerFit, AFlatLongBoxFillsTheWindowAndAnyTurnKeepsItInside) {
    const muntero::SceneBox box{{-2.0, -0.1, -0.05}, {2.0, 0.1, 0.05}};
    muntero::ViewOrientation orientation;
    for (float turn : {0.0f, 30.0f, 90.0f, 135.0f}) {
        orientation.rotationY = turn;
        const muntero::CameraFit fit = muntero::fitCamera(box, orientation, 1.0, 4.0 / 3.0);
        orientation.distance = static_cast<float>(fit.distance);
        const muntero::Matrix4 view = muntero::drawerModelView(orientation, 1.0);
        const muntero::Matrix4 projection =
            muntero::Matrix4::perspective(45.0, 4.0 / 3.0, fit.nearPlane, fit.farPlane);
        double widest = 0.0;
        for (int corner = 0; corner < 8; ++corner) {
            const muntero::ScenePoint p{(corner & 1) ? box.high.x : box.low.x,
                                        (corner & 2) ? box.high.y : box.low.y,
                                        (corner & 4) ? box.high.z : box.low.z};
            const auto w = muntero::projectToWindow(p, view, projection, {0, 0, 400, 300});
            ASSERT_TRUE(w);
            EXPECT_GE(w->x, 0.0);
            EXPECT_LE(w->x, 400.0);
            EXPECT_GE(w->y, 0.0);
            EXPECT_LE(w->y, 300.0);
            EXPECT_GT(w->depth, 0.0);
            EXPECT_LT(w->depth, 1.0);
            widest = std::max({widest, std::abs(w->x - 200.0) / 200.0, std::abs(w->y - 150.0) / 150.0});
        }
        // Up to the margin on one side, not far inside it.
        EXPECT_GT(widest, 0.85) << "turned " << turn;
    }
}

} // namespace
