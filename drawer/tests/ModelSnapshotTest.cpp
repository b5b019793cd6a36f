#include <modelkit/Representation.h>
#include <muntero/ModelSnapshot.h>

#include <gtest/gtest.h>

namespace {

using InstrumentKit::Node;
using InstrumentKit::Representation;

TEST(ModelSnapshot, EmptyModelHasNoNodesAndSoundsNodeZero) {
    Representation model;
    const muntero::ModelSnapshot snapshot = muntero::takeSnapshot(model);
    EXPECT_EQ(snapshot.nodeCount(), 0);
    EXPECT_EQ(snapshot.soundingNode, 0);
    EXPECT_TRUE(snapshot.connections.empty());
}

// Three nodes created a, b, c but listed c, a, b across two elements: the
// snapshot orders them by identity and resolves links to that order.
TEST(ModelSnapshot, SortsByIdentityAndGathersOwnLinksBeforeElementLinks) {
    Representation model;
    Node& a = model.createNode("a");
    Node& b = model.createNode("b");
    Node& c = model.createNode("c");
    a.fixed = true;
    a.parameters[Node::kInitialDisplacement] = 0.25;
    a.parameters[Node::kInitialVelocity] = 9.0; // ignored: fixed
    a.links.push_back({&b, 77.0});              // ignored: fixed nodes have no links
    b.parameters[Node::kMass] = 2.0;
    b.parameters[Node::kInitialDisplacement] = 0.5;
    b.parameters[Node::kInitialVelocity] = -1.5;
    b.links.push_back({&c, 10.0});
    c.links.push_back({&b, 10.0});

    InstrumentKit::Element first;
    first.nodes = {&c};
    first.links.push_back({&a, &c, 3.0}); // acts on c only
    InstrumentKit::Element second;
    second.nodes = {&a, &b};
    second.links.push_back({&c, &b, 5.0}); // acts on b only
    second.links.push_back({&a, &b, 7.0});
    model.elements = {first, second};
    model.flagged = &c;

    const muntero::ModelSnapshot snapshot = muntero::takeSnapshot(model);
    ASSERT_EQ(snapshot.nodeCount(), 3);
    EXPECT_EQ(snapshot.soundingNode, 2);
    EXPECT_TRUE(snapshot.nodes[0].fixed);
    EXPECT_EQ(snapshot.nodes[0].connectionCount, 0);
    EXPECT_EQ(snapshot.initialDisplacements[0], 0.25);
    EXPECT_EQ(snapshot.initialVelocities[0], 0.0);
    EXPECT_EQ(snapshot.nodes[1].mass, 2.0);
    EXPECT_EQ(snapshot.initialVelocities[1], -1.5);

    auto links = [&](int node) {
        std::vector<std::pair<double, int>> result;
        const muntero::ModelNode& n = snapshot.nodes[static_cast<std::size_t>(node)];
        for (int l = 0; l < n.connectionCount; ++l) {
            const muntero::Connection& connection =
                snapshot.connections[static_cast<std::size_t>(n.firstConnection + l)];
            result.emplace_back(connection.stiffness, connection.other);
        }
        return result;
    };
    using Links = std::vector<std::pair<double, int>>;
    EXPECT_EQ(links(1), (Links{{10.0, 2}, {5.0, 2}, {7.0, 0}}));
    EXPECT_EQ(links(2), (Links{{10.0, 1}, {3.0, 0}}));
}

TEST(ModelSnapshot, FlaggedNodeOutsideTheElementsIsNotFound) {
    Representation model;
    Node& inElement = model.createNode("a");
    Node& stray = model.createNode("b");
    InstrumentKit::Element element;
    element.nodes = {&inElement};
    model.elements = {element};
    EXPECT_EQ(muntero::takeSnapshot(model).soundingNode, -1); // none flagged
    model.flagged = &stray;
    EXPECT_EQ(muntero::takeSnapshot(model).soundingNode, -1);
    model.flagged = &inElement;
    EXPECT_EQ(muntero::takeSnapshot(model).soundingNode, 0);
}

TEST(ModelSnapshot, NodeInTwoElementsStandsTwiceAndScalingReachesEverySpring) {
    Representation model;
    Node& a = model.createNode("a");
    Node& b = model.createNode("b");
    b.links.push_back({&a, 4.0});
    InstrumentKit::Element first;
    first.nodes = {&a, &b};
    InstrumentKit::Element second;
    second.nodes = {&b};
    model.elements = {first, second};

    muntero::ModelSnapshot snapshot = muntero::takeSnapshot(model);
    ASSERT_EQ(snapshot.nodeCount(), 3);
    EXPECT_EQ(snapshot.nodes[1].connectionCount, 1);
    EXPECT_EQ(snapshot.nodes[2].connectionCount, 1);
    snapshot.scaleStiffness(0.5);
    for (const muntero::Connection& connection : snapshot.connections) {
        EXPECT_EQ(connection.stiffness, 2.0);
        EXPECT_EQ(connection.other, 0);
    }
}

} // namespace
