#include "editor/ModelTemplates.h"

#include <modelkit/Builders.h>

#include <algorithm>
#include <string>

namespace kivora {

namespace {

void linkBothWays(InstrumentKit::Node& a, InstrumentKit::Node& b, double stiffness) {
    a.links.push_back({&b, stiffness});
    b.links.push_back({&a, stiffness});
}

} // namespace

InstrumentKit::Representation makeFreeBar(int masses) {
    masses = std::max(masses, 3);
    InstrumentKit::Representation model;
    InstrumentKit::Element element;
    // c sets the pitch only; tuning moves it anyway.
    constexpr double kBending = 646000.0;
    for (int i = 0; i < masses; ++i) {
        InstrumentKit::Node& node = model.createNode("b" + std::to_string(i));
        node.position = {static_cast<double>(i) / (masses - 1), 0.0, 0.0};
        element.nodes.push_back(&node);
    }
    for (int i = 0; i + 1 < masses; ++i)
        linkBothWays(*element.nodes[static_cast<std::size_t>(i)],
                     *element.nodes[static_cast<std::size_t>(i + 1)], 4.0 * kBending);
    for (int i = 0; i + 2 < masses; ++i)
        linkBothWays(*element.nodes[static_cast<std::size_t>(i)],
                     *element.nodes[static_cast<std::size_t>(i + 2)], -kBending);
    element.nodes.front()->parameters[InstrumentKit::Node::kInitialVelocity] = 1.0;
    model.flagged = element.nodes.back();
    model.elements.push_back(std::move(element));
    return model;
}

InstrumentKit::Representation makeCoupledStrings(int massesEach) {
    InstrumentKit::Representation model = InstrumentKit::makeString(massesEach);
    InstrumentKit::Representation second = InstrumentKit::makeString(massesEach);
    // Copy the second string into the first model under new ids, half a unit below.
    InstrumentKit::Element element;
    element.origin = {0.0, -0.5, 0.0};
    std::vector<InstrumentKit::Node*> copies;
    for (const InstrumentKit::Node* node : second.elements[0].nodes) {
        InstrumentKit::Node& copy = model.createNode("t" + node->id().substr(1));
        copy.position = node->position;
        copy.position.y -= 0.5;
        copy.fixed = node->fixed;
        copies.push_back(&copy);
        element.nodes.push_back(&copy);
    }
    const auto& originals = second.elements[0].nodes;
    for (std::size_t i = 0; i < originals.size(); ++i)
        for (const InstrumentKit::NodeLink& link : originals[i]->links) {
            const auto other = std::find(originals.begin(), originals.end(), link.other) - originals.begin();
            copies[i]->links.push_back({copies[static_cast<std::size_t>(other)], link.stiffness});
        }
    const std::size_t middle = originals.size() / 2;
    InstrumentKit::Node* top = model.elements[0].nodes[middle];
    double weak = 0.0;
    for (const InstrumentKit::NodeLink& link : top->links)
        weak = std::max(weak, link.stiffness);
    linkBothWays(*top, *copies[middle], weak * 0.05);
    model.flagged = copies[std::max<std::size_t>(1, middle / 2)];
    model.elements.push_back(std::move(element));
    return model;
}

} // namespace kivora
