#include <modelkit/Builders.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

namespace InstrumentKit {

namespace {

// Untuned lowest mode of the built shapes. Tuning moves it anyway; this keeps
// the stiffest mode of a modest grid well inside the stable range of a
// Runge-Kutta step at 8000 samples per second.
constexpr double kLowestModeHz = 110.0;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

void linkBothWays(Node& a, Node& b, double stiffness) {
    if (!a.fixed)
        a.links.push_back(NodeLink{&b, stiffness});
    if (!b.fixed)
        b.links.push_back(NodeLink{&a, stiffness});
}

} // namespace

Representation makeString(int masses) {
    if (masses < 1)
        throw std::invalid_argument("makeString: at least one mass");
    Representation model;
    Element element;
    const int segments = masses + 1;
    // Unit masses; the lowest mode of a fixed-fixed chain of n masses is
    // 2*sqrt(k/m)*sin(pi/(2(n+1))).
    const double halfSine = std::sin(std::numbers::pi / (2.0 * segments));
    const double rootStiffness = kTwoPi * kLowestModeHz / (2.0 * halfSine);
    const double stiffness = rootStiffness * rootStiffness;

    // Plucked a third of the way along, heard at a sixth: the fundamental
    // stays the loudest partial there.
    const int pluckAt = std::max(1, static_cast<int>(std::lround(segments / 3.0)));
    const int heardAt = std::max(1, static_cast<int>(std::lround(segments / 6.0)));
    constexpr double kPluckHeight = 0.9;

    for (int i = 0; i <= segments; ++i) {
        Node& node = model.createNode("s" + std::to_string(i));
        node.position = Vec3{static_cast<double>(i) / segments, 0.0, 0.0};
        node.fixed = i == 0 || i == segments;
        if (!node.fixed)
            node.parameters[Node::kInitialDisplacement] =
                i <= pluckAt ? kPluckHeight * i / pluckAt
                             : kPluckHeight * (segments - i) / static_cast<double>(segments - pluckAt);
        element.nodes.push_back(&node);
    }
    for (int i = 0; i < segments; ++i)
        linkBothWays(*element.nodes[i], *element.nodes[i + 1], stiffness);
    model.flagged = element.nodes[heardAt];
    model.elements.push_back(std::move(element));
    return model;
}

Representation makeMembrane(int rows, int cols) {
    if (rows < 3 || cols < 3)
        throw std::invalid_argument("makeMembrane: at least 3 rows and 3 columns");
    Representation model;
    Element element;
    // Lowest mode of the fixed-rim grid with unit masses:
    // 2*sqrt(k/m)*sqrt(sin^2(pi/(2(rows-1))) + sin^2(pi/(2(cols-1)))).
    const double rowSine = std::sin(std::numbers::pi / (2.0 * (rows - 1)));
    const double colSine = std::sin(std::numbers::pi / (2.0 * (cols - 1)));
    const double lowestOmega = kTwoPi * kLowestModeHz;
    const double rootStiffness = lowestOmega / (2.0 * std::sqrt(rowSine * rowSine + colSine * colSine));
    const double stiffness = rootStiffness * rootStiffness;

    std::vector<Node*> grid;
    grid.reserve(static_cast<std::size_t>(rows) * cols);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            Node& node = model.createNode("m" + std::to_string(r) + "_" + std::to_string(c));
            node.position =
                Vec3{static_cast<double>(c) / (cols - 1), static_cast<double>(r) / (rows - 1), 0.0};
            node.fixed = r == 0 || c == 0 || r == rows - 1 || c == cols - 1;
            grid.push_back(&node);
            element.nodes.push_back(&node);
        }
    auto at = [&](int r, int c) -> Node& { return *grid[static_cast<std::size_t>(r) * cols + c]; };
    // Own links in the order up, left, right, down, so each spring acts on both ends.
    for (int r = 1; r < rows - 1; ++r)
        for (int c = 1; c < cols - 1; ++c) {
            Node& node = at(r, c);
            for (auto [dr, dc] : {std::pair{-1, 0}, std::pair{0, -1}, std::pair{0, 1}, std::pair{1, 0}})
                node.links.push_back(NodeLink{&at(r + dr, c + dc), stiffness});
        }

    // The lowest mode's shape at a grid point, and the point nearest a fraction of the span.
    auto lowestModeShape = [&](int r, int c) {
        return std::sin(std::numbers::pi * r / (rows - 1)) * std::sin(std::numbers::pi * c / (cols - 1));
    };
    auto inner = [](int count, double fraction) {
        return std::clamp(static_cast<int>(std::lround((count - 1) * fraction)), 1, count - 2);
    };
    // Near the centre, where the lowest mode outweighs the next ones, yet off
    // the middle lines, so those still colour the sound.
    const int heardRow = inner(rows, 0.55);
    const int heardCol = inner(cols, 0.6);
    const int struckRow = inner(rows, 0.4);
    const int struckCol = inner(cols, 0.45);

    // A soft mallet: the struck node and its free neighbours at half speed,
    // scaled so the lowest mode swings about 0.3 at the heard node.
    constexpr double kLowestModeSwing = 0.3;
    struct Strike {
        int row;
        int col;
        double weight;
    };
    std::vector<Strike> mallet;
    for (int dr = -1; dr <= 1; ++dr)
        for (int dc = -1; dc <= 1; ++dc)
            if (std::abs(dr) + std::abs(dc) <= 1 && !at(struckRow + dr, struckCol + dc).fixed)
                mallet.push_back(Strike{struckRow + dr, struckCol + dc, dr == 0 && dc == 0 ? 1.0 : 0.5});
    // Mass-normalised mode shape: phi = shape * 2 / sqrt((rows-1)(cols-1)).
    const double normSquared = 4.0 / ((rows - 1.0) * (cols - 1.0));
    double projection = 0.0;
    for (const Strike& strike : mallet)
        projection += strike.weight * lowestModeShape(strike.row, strike.col);
    const double swingPerSpeed = normSquared * projection * lowestModeShape(heardRow, heardCol) / lowestOmega;
    const double speed = kLowestModeSwing / swingPerSpeed;
    for (const Strike& strike : mallet)
        at(strike.row, strike.col).parameters[Node::kInitialVelocity] = strike.weight * speed;

    model.flagged = &at(heardRow, heardCol);
    model.elements.push_back(std::move(element));
    return model;
}

Representation makeFreeBar(int masses) {
    if (masses < 3)
        throw std::invalid_argument("makeFreeBar: at least three masses");
    Representation model;
    Element element;
    // c sets the pitch only; tuning moves it anyway.
    constexpr double kBending = 646000.0;
    for (int i = 0; i < masses; ++i) {
        Node& node = model.createNode("b" + std::to_string(i));
        node.position = Vec3{static_cast<double>(i) / (masses - 1), 0.0, 0.0};
        element.nodes.push_back(&node);
    }
    for (int i = 0; i + 1 < masses; ++i)
        linkBothWays(*element.nodes[i], *element.nodes[i + 1], 4.0 * kBending);
    for (int i = 0; i + 2 < masses; ++i)
        linkBothWays(*element.nodes[i], *element.nodes[i + 2], -kBending);
    element.nodes.front()->parameters[Node::kInitialVelocity] = 1.0;
    model.flagged = element.nodes.back();
    model.elements.push_back(std::move(element));
    return model;
}

Representation makeCoupledStrings(int massesEach) {
    Representation model = makeString(massesEach);
    const Representation second = makeString(massesEach);
    // The second string, under new ids and half a unit below the first.
    Element element;
    element.origin = Vec3{0.0, -0.5, 0.0};
    for (const Node* node : second.elements[0].nodes) {
        Node& copy = model.createNode("t" + node->id().substr(1));
        copy.position = node->position;
        copy.position.y -= 0.5;
        copy.fixed = node->fixed;
        element.nodes.push_back(&copy);
    }
    const std::vector<Node*>& originals = second.elements[0].nodes;
    for (std::size_t i = 0; i < originals.size(); ++i)
        for (const NodeLink& link : originals[i]->links) {
            const auto other = std::find(originals.begin(), originals.end(), link.other) - originals.begin();
            element.nodes[i]->links.push_back(
                NodeLink{element.nodes[static_cast<std::size_t>(other)], link.stiffness});
        }
    const std::size_t middle = originals.size() / 2;
    Node& top = *model.elements[0].nodes[middle];
    double weak = 0.0;
    for (const NodeLink& link : top.links)
        weak = std::max(weak, link.stiffness);
    linkBothWays(top, *element.nodes[middle], weak * 0.05);
    model.flagged = element.nodes[std::max<std::size_t>(1, middle / 2)];
    model.elements.push_back(std::move(element));
    return model;
}

Representation defaultModel() {
    return makeString(16);
}

} // namespace InstrumentKit
