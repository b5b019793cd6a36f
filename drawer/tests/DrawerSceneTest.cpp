#include <modelkit/Builders.h>
#include <modelkit/Representation.h>
#include <muntero/DrawerScene.h>
#include <muntero/DrawerTransform.h>
#include <muntero/ModelSnapshot.h>

#include <cmath>
#include <gtest/gtest.h>
#include <set>
#include <utility>

namespace {

using InstrumentKit::Node;
using InstrumentKit::Representation;
using muntero::SceneGeometry;

std::vector<std::pair<int, int>> edgesOf(const SceneGeometry& geometry) {
    std::vector<std::pair<int, int>> result;
    for (const muntero::SceneEdge& edge : geometry.edges) {
        result.emplace_back(edge.first, edge.second);
    }
    return result;
}

void expectVertex(const SceneGeometry& geometry, int index, double x, double y) {
    const muntero::ScenePoint& v = geometry.vertices[static_cast<std::size_t>(index)];
    EXPECT_DOUBLE_EQ(v.x, x) << "vertex " << index;
    EXPECT_DOUBLE_EQ(v.y, y) << "vertex " << index;
}

// Nodes at (x, y) in one element at the origin.
Representation modelAt(std::vector<std::pair<double, double>> points) {
    Representation model;
    InstrumentKit::Element element;
    for (std::size_t i = 0; i < points.size(); ++i) {
        Node& node = model.createNode("n" + std::to_string(i));
        node.position = {points[i].first, points[i].second, 0.0};
        element.nodes.push_back(&node);
    }
    model.elements = {element};
    return model;
}

// Nodes a, b, c, d created in that order but stored in the elements as
// {c, d} then {a, b}; each element's origin is added to its nodes' positions.
TEST(DrawerScene, TwoElementsGiveTheSimulationsOrderOriginsAndOneEdgePerSpring) {
    Representation model;
    Node& a = model.createNode("a");
    Node& b = model.createNode("b");
    Node& c = model.createNode("c");
    Node& d = model.createNode("d");
    a.fixed = true;
    d.fixed = true;
    a.position = {0.0, 0.0, 0.0};
    b.position = {1.0, 0.0, 0.0};
    c.position = {0.0, 0.0, 0.5};
    d.position = {1.0, 0.0, 0.0};
    b.links = {{&a, 10.0}, {&c, 10.0}}; // b-a only on b's side (a is fixed)
    c.links = {{&b, 10.0}};             // the other side of b-c
    InstrumentKit::Element first;
    first.origin = {0.0, 2.0, 0.0};
    first.nodes = {&c, &d};
    first.links = {{&d, &c, 3.0}}; // acts on c only
    InstrumentKit::Element second;
    second.origin = {1.0, 0.0, 0.0};
    second.nodes = {&a, &b};
    second.links = {{&c, &a, 3.0}}; // on a fixed node: drawn, never simulated
    model.elements = {first, second};

    const SceneGeometry geometry = muntero::buildSceneGeometry(model);
    ASSERT_EQ(geometry.vertexCount(), 4);
    EXPECT_EQ(geometry.vertexCount(), muntero::takeSnapshot(model).nodeCount());
    EXPECT_EQ(geometry.fixed, (std::vector<std::uint8_t>{1, 0, 0, 1}));
    // Before fitting: a (1, 0), b (2, 0), c (0, 2, 0.5), d (1, 2). The box is
    // [0, 2] x [0, 2]: scale min(4/2, 2/2) = 1 about the centre (1, 1).
    ASSERT_TRUE(geometry.fitted);
    EXPECT_DOUBLE_EQ(geometry.scale, 1.0);
    expectVertex(geometry, 0, 0.0, -1.0);
    expectVertex(geometry, 1, 1.0, -1.0);
    expectVertex(geometry, 2, -1.0, 1.0);
    expectVertex(geometry, 3, 0.0, 1.0);
    EXPECT_DOUBLE_EQ(geometry.vertices[2].z, 0.5);
    // In vertex order, own links before element links: a's element link from
    // c, b's links to a and c, c's element link from d; c-b only once.
    using Edges = std::vector<std::pair<int, int>>;
    EXPECT_EQ(edgesOf(geometry), (Edges{{0, 2}, {0, 1}, {1, 2}, {2, 3}}));
}

// The bundled membrane carries its springs on the free nodes only: the rim
// springs to fixed nodes that come earlier in the order must be drawn too.
TEST(DrawerScene, EverySpringOfTheMembraneIsDrawnOnce) {
    const Representation model = InstrumentKit::makeMembrane(6, 5);
    const SceneGeometry geometry = muntero::buildSceneGeometry(model);
    std::set<std::pair<int, int>> expected;
    const muntero::ModelSnapshot snapshot = muntero::takeSnapshot(model);
    for (int i = 0; i < snapshot.nodeCount(); ++i) {
        const muntero::ModelNode& node = snapshot.nodes[static_cast<std::size_t>(i)];
        for (int l = 0; l < node.connectionCount; ++l) {
            const int j = snapshot.connections[static_cast<std::size_t>(node.firstConnection + l)].other;
            expected.emplace(std::min(i, j), std::max(i, j));
        }
    }
    const auto edges = edgesOf(geometry);
    const std::set<std::pair<int, int>> drawn(edges.begin(), edges.end());
    EXPECT_EQ(drawn, expected);
    EXPECT_EQ(edges.size(), expected.size()); // none twice
    for (const auto& [i, j] : edges) {
        EXPECT_LT(i, j);
    }
}

TEST(DrawerScene, LinksToStrangersAndToItselfDrawNothing) {
    Representation model = modelAt({{0.0, 0.0}, {1.0, 0.0}});
    Node& stranger = model.createNode("s"); // in no element
    Node* first = model.elements[0].nodes[0];
    first->links = {{&stranger, 1.0}, {first, 1.0}, {model.elements[0].nodes[1], 1.0}};
    using Edges = std::vector<std::pair<int, int>>;
    EXPECT_EQ(edgesOf(muntero::buildSceneGeometry(model)), (Edges{{0, 1}}));
}

TEST(DrawerScene, NoElementsOrNoNodesGiveNothing) {
    Representation model;
    EXPECT_TRUE(muntero::buildSceneGeometry(model).empty());
    model.elements.resize(2);
    EXPECT_TRUE(muntero::buildSceneGeometry(model).empty());
}

// The box's maxima start at 0: a model wholly at negative coordinates is
// centred on a box reaching to x = 0 and y = 0.
TEST(DrawerScene, BoundingBoxAlwaysReachesZeroFromBelow) {
    const SceneGeometry negative = muntero::buildSceneGeometry(modelAt({{-3.0, -1.0}, {-1.0, -2.0}}));
    EXPECT_DOUBLE_EQ(negative.minX, -3.0);
    EXPECT_DOUBLE_EQ(negative.maxX, 0.0);
    EXPECT_DOUBLE_EQ(negative.minY, -2.0);
    EXPECT_DOUBLE_EQ(negative.maxY, 0.0);
    // dx = 3, dy = 2: scale min(4/3, 2/2) = 1 about (-1.5, -1).
    EXPECT_DOUBLE_EQ(negative.scale, 1.0);
    EXPECT_DOUBLE_EQ(negative.centre.x, -1.5);
    EXPECT_DOUBLE_EQ(negative.centre.y, -1.0);
    expectVertex(negative, 0, -1.5, 0.0);
    expectVertex(negative, 1, 0.5, -1.0);

    // At positive coordinates the minima come from the vertices: the model is
    // centred on its own box.
    const SceneGeometry positive = muntero::buildSceneGeometry(modelAt({{3.0, 2.0}, {1.0, 1.0}}));
    EXPECT_DOUBLE_EQ(positive.minX, 1.0);
    EXPECT_DOUBLE_EQ(positive.minY, 1.0);
    EXPECT_DOUBLE_EQ(positive.centre.x, 2.0);
    EXPECT_DOUBLE_EQ(positive.centre.y, 1.5);
    expectVertex(positive, 0, 2.0, 1.0); // scale min(4/2, 2/1) = 2
}

TEST(DrawerScene, ScaleRules) {
    // Only dx is 0 (a vertical line): 2/dy.
    const SceneGeometry vertical = muntero::buildSceneGeometry(modelAt({{0.0, 0.0}, {0.0, 4.0}}));
    EXPECT_DOUBLE_EQ(vertical.scale, 0.5);
    expectVertex(vertical, 0, 0.0, -1.0);
    expectVertex(vertical, 1, 0.0, 1.0);
    // Only dy is 0: 2/dx, so a horizontal line spans [-1, 1].
    const SceneGeometry horizontal = muntero::buildSceneGeometry(modelAt({{0.0, 0.0}, {5.0, 0.0}}));
    EXPECT_DOUBLE_EQ(horizontal.scale, 0.4);
    expectVertex(horizontal, 0, -1.0, 0.0);
    expectVertex(horizontal, 1, 1.0, 0.0);
    // Both: the smaller of 4/dx and 2/dy, so the drawing fits [-2, 2] x [-1, 1].
    const SceneGeometry wide = muntero::buildSceneGeometry(modelAt({{0.0, 0.0}, {8.0, 2.0}}));
    EXPECT_DOUBLE_EQ(wide.scale, 0.5);
    expectVertex(wide, 1, 2.0, 0.5);
    const SceneGeometry tall = muntero::buildSceneGeometry(modelAt({{0.0, 0.0}, {2.0, 8.0}}));
    EXPECT_DOUBLE_EQ(tall.scale, 0.25);
    expectVertex(tall, 1, 0.25, 1.0);
    // One point: the model's own coordinates, not fitted.
    const SceneGeometry point = muntero::buildSceneGeometry(modelAt({{5.0, 5.0}, {5.0, 5.0}}));
    EXPECT_FALSE(point.fitted);
    expectVertex(point, 0, 5.0, 5.0);
}

// The hand computation: cot(22.5°) = 2.414213562; a viewport of 400 x 300
// gives the aspect 4/3; the eye sees the model at z = -4.5.
TEST(DrawerTransform, ProjectsKnownPointsToHandComputedWindowCoordinates) {
    const muntero::Matrix4 projection = muntero::drawerProjection(400, 300);
    const muntero::Matrix4 modelView = muntero::drawerModelView(muntero::ViewOrientation{}, 1.0);
    const muntero::Viewport viewport{0, 0, 400, 300};

    // The origin lands in the middle, at eye depth 4.5: depth
    // ((-2.5·-4.5 - 10.5) / 4.5 + 1) / 2 = 0.58333.
    auto origin = muntero::projectToWindow({0.0, 0.0, 0.0}, modelView, projection, viewport);
    ASSERT_TRUE(origin);
    EXPECT_NEAR(origin->x, 200.0, 1e-9);
    EXPECT_NEAR(origin->y, 150.0, 1e-9);
    EXPECT_NEAR(origin->depth, 0.5833333333, 1e-9);

    // (1, 0, 0) is scaled to x = 1.5 and untouched by the 40° turn about x:
    // x = (2.414213562·1.5/(4/3)/4.5 / 2 + 0.5)·400 = 320.7107, less 3.6e-6
    // because the aspect is the float nearest 4/3.
    auto right = muntero::projectToWindow({1.0, 0.0, 0.0}, modelView, projection, viewport);
    ASSERT_TRUE(right);
    EXPECT_NEAR(right->x, 320.7106781, 1e-5);
    EXPECT_NEAR(right->x, 320.7106745212, 1e-9);
    EXPECT_NEAR(right->y, 150.0, 1e-9);

    // A displacement of 1 turns by 40° towards the eye: (0, cos 40°, sin 40° - 4.5)
    // projects to y = (2.414213562·0.766044/3.857212 / 2 + 0.5)·300 = 221.9196.
    auto up = muntero::projectToWindow({0.0, 1.0, 0.0}, modelView, projection, viewport);
    ASSERT_TRUE(up);
    EXPECT_NEAR(up->x, 200.0, 1e-9);
    EXPECT_NEAR(up->y, 221.9196157, 1e-6);
    EXPECT_NEAR(up->depth, 0.3889134254, 1e-9);

    // The amplitude scales the displacement only.
    auto half =
        muntero::projectToWindow({0.0, 2.0, 0.0}, muntero::drawerModelView({}, 0.5), projection, viewport);
    EXPECT_NEAR(half->y, up->y, 1e-9);

    // A point in the eye's plane has no window position.
    const muntero::Matrix4 atEye = muntero::drawerModelView({0.0f, 0.0f, 0.0f, 4.5f}, 1.0);
    EXPECT_FALSE(muntero::projectToWindow({0.0, 0.0, 3.0}, atEye, projection, viewport));
}

TEST(DrawerTransform, ProjectionOfAZeroHeightWindowUsesAspectOne) {
    const muntero::Matrix4 zero = muntero::drawerProjection(640, 0);
    EXPECT_DOUBLE_EQ(zero.at(0, 0), zero.at(1, 1));
    EXPECT_NEAR(zero.at(1, 1), 2.414213562373095, 1e-12);
    EXPECT_DOUBLE_EQ(zero.at(3, 2), -1.0);
    EXPECT_DOUBLE_EQ(zero.at(2, 3), -10.5);
}

TEST(DrawerTransform, RotationsTurnTheWayTheFixedPipelineDoes) {
    // glRotate(90, 0, 0, 1) takes x to y; glRotate(90, 0, 1, 0) takes z to x.
    const muntero::Matrix4 aboutZ = muntero::Matrix4{}.rotated(90.0, 0.0, 0.0, 2.0);
    EXPECT_NEAR(aboutZ.at(1, 0), 1.0, 1e-15);
    EXPECT_NEAR(aboutZ.at(0, 1), -1.0, 1e-15);
    const muntero::Matrix4 aboutY = muntero::Matrix4{}.rotated(90.0, 0.0, 1.0, 0.0);
    EXPECT_NEAR(aboutY.at(0, 2), 1.0, 1e-15);
    // Transforms apply to the point in the reverse order of the calls.
    const muntero::Matrix4 both = muntero::Matrix4{}.translated(1.0, 0.0, 0.0).scaled(2.0, 2.0, 2.0);
    EXPECT_DOUBLE_EQ(both.at(0, 3), 1.0);
    EXPECT_DOUBLE_EQ(both.at(0, 0), 2.0);
}

// Picking in a 400 x 300 window looking straight down (rotation x 90°) at
// points of the plane: model x = 1 is 1.5·2.414213562/(4/3)/4.5·200 = 120.7 pixels
// right of the middle.
class DrawerPicking : public ::testing::Test {
protected:
    muntero::Viewport viewport{0, 0, 400, 300};
    muntero::Matrix4 projection = muntero::drawerProjection(400, 300);
    muntero::Matrix4 modelView = muntero::drawerModelView({90.0f, 0.0f, 0.0f, 4.5f}, 1.0);

    muntero::WindowPoint at(const muntero::ScenePoint& p) const {
        return *muntero::projectToWindow(p, modelView, projection, viewport);
    }
    int pick(const std::vector<muntero::ScenePoint>& points, const std::vector<std::uint8_t>& fixed, double x,
             double y) const {
        return muntero::pickFreeVertex(points, fixed, modelView, projection, viewport, x, y);
    }
};

TEST_F(DrawerPicking, NearestFreeVertexWithinTwentyPixels) {
    const std::vector<muntero::ScenePoint> points = {{0.0, 0.0, 0.0}, {0.2, 0.0, 0.0}, {1.0, 0.0, 0.0}};
    const std::vector<std::uint8_t> fixed = {0, 0, 0};
    const muntero::WindowPoint second = at(points[1]);
    EXPECT_NEAR(at(points[2]).x - at(points[0]).x, 120.7106781, 1e-5);
    EXPECT_EQ(pick(points, fixed, second.x + 3.0, second.y - 2.0), 1);
    EXPECT_EQ(pick(points, fixed, at(points[0]).x - 5.0, at(points[0]).y), 0);
    // 19.9 pixels away is close enough; 20 and 25 are not.
    const muntero::WindowPoint third = at(points[2]);
    EXPECT_EQ(pick(points, fixed, third.x, third.y + 19.9), 2);
    EXPECT_EQ(pick(points, fixed, third.x, third.y + 20.0), -1);
    EXPECT_EQ(pick(points, fixed, third.x + 25.0, third.y), -1);
}

TEST_F(DrawerPicking, FixedVerticesAreSkippedAndTiesGoToTheLowerIndex) {
    const std::vector<muntero::ScenePoint> points = {{-0.1, 0.0, 0.0}, {0.1, 0.0, 0.0}, {0.0, 0.0, 0.0}};
    const muntero::WindowPoint middle = at({0.0, 0.0, 0.0});
    // Mouse exactly between vertices 0 and 1 (the mirror image of each other).
    EXPECT_EQ(pick(points, {0, 0, 1}, middle.x, middle.y), 0);
    EXPECT_EQ(pick(points, {1, 0, 1}, middle.x, middle.y), 1);
    EXPECT_EQ(pick(points, {0, 0, 0}, middle.x, middle.y), 2);
    EXPECT_EQ(pick(points, {1, 1, 1}, middle.x, middle.y), -1);
    EXPECT_EQ(pick({}, {}, middle.x, middle.y), -1);
}

TEST_F(DrawerPicking, TheDisplacementMovesWhatThePointerMustHit) {
    // Seen from 40° the height of a point moves its picture up the window.
    modelView = muntero::drawerModelView({}, 1.0);
    const std::vector<muntero::ScenePoint> resting = {{0.0, 0.0, 0.0}};
    const muntero::WindowPoint rest = at(resting[0]);
    const muntero::WindowPoint raised = at({0.0, 0.4, 0.0});
    ASSERT_GT(raised.y - rest.y, 20.0);
    EXPECT_EQ(pick(resting, {0}, raised.x, raised.y), -1);
    EXPECT_EQ(pick({{0.0, 0.4, 0.0}}, {0}, raised.x, raised.y), 0);
}

} // namespace
