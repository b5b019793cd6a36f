#include <modelkit/Representation.h>
#include <muntero/ModelSnapshot.h>

#include <algorithm>

namespace muntero {

namespace {

using InstrumentKit::Node;

// Index of the first node with this identity in the sorted sequence, or -1.
int indexOf(const std::vector<const Node*>& sorted, const Node* node) {
    if (node == nullptr) {
        return -1;
    }
    const auto found =
        std::lower_bound(sorted.begin(), sorted.end(), node->identity(),
                         [](const Node* n, std::uint64_t identity) { return n->identity() < identity; });
    return found != sorted.end() && (*found)->identity() == node->identity()
               ? static_cast<int>(found - sorted.begin())
               : -1;
}

} // namespace

void ModelSnapshot::scaleStiffness(double factor) {
    for (Connection& connection : connections) {
        connection.stiffness = connection.stiffness * factor;
    }
}

ModelSnapshot takeSnapshot(const InstrumentKit::Representation& model) {
    std::vector<const Node*> sorted;
    for (const InstrumentKit::Element& element : model.elements) {
        for (const Node* node : element.nodes) {
            if (node != nullptr) {
                sorted.push_back(node);
            }
        }
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Node* a, const Node* b) { return a->identity() < b->identity(); });

    ModelSnapshot snapshot;
    const std::size_t count = sorted.size();
    snapshot.nodes.resize(count);
    snapshot.initialDisplacements.resize(count);
    snapshot.initialVelocities.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const Node& node = *sorted[i];
        ModelNode& target = snapshot.nodes[i];
        target.mass = node.mass();
        target.fixed = node.fixed;
        target.firstConnection = static_cast<int>(snapshot.connections.size());
        snapshot.initialDisplacements[i] = node.initialDisplacement();
        snapshot.initialVelocities[i] = node.fixed ? 0.0 : node.initialVelocity();
        if (node.fixed) {
            continue;
        }
        for (const InstrumentKit::NodeLink& link : node.links) {
            const int other = indexOf(sorted, link.other);
            if (other >= 0) {
                snapshot.connections.push_back({link.stiffness, other});
            }
        }
        for (const InstrumentKit::Element& element : model.elements) {
            for (const InstrumentKit::ElementLink& link : element.links) {
                if (link.second == nullptr || link.second->identity() != node.identity()) {
                    continue;
                }
                const int other = indexOf(sorted, link.first);
                if (other >= 0) {
                    snapshot.connections.push_back({link.stiffness, other});
                }
            }
        }
        target.connectionCount = static_cast<int>(snapshot.connections.size()) - target.firstConnection;
    }

    if (count == 0) {
        snapshot.soundingNode = 0;
    } else {
        snapshot.soundingNode = indexOf(sorted, model.flagged);
    }
    return snapshot;
}

} // namespace muntero
