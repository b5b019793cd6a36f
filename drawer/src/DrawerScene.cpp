#include <modelkit/Representation.h>
#include <muntero/DrawerScene.h>

#include <algorithm>
#include <unordered_set>

namespace muntero {

namespace {

using InstrumentKit::Node;

struct Gathered {
    const Node* node;
    const InstrumentKit::Element* element; // through which the node was gathered
};

// Index of the first vertex of this node in the sorted sequence, or -1, as
// takeSnapshot resolves links.
int indexOf(const std::vector<Gathered>& sorted, const Node* node) {
    if (node == nullptr) {
        return -1;
    }
    const auto found = std::lower_bound(
        sorted.begin(), sorted.end(), node->identity(),
        [](const Gathered& g, std::uint64_t identity) { return g.node->identity() < identity; });
    return found != sorted.end() && found->node->identity() == node->identity()
               ? static_cast<int>(found - sorted.begin())
               : -1;
}

void fit(SceneGeometry& geometry) {
    // The minima start at vertex 0, the maxima at 0.
    geometry.minX = geometry.vertices[0].x;
    geometry.minY = geometry.vertices[0].y;
    geometry.maxX = 0.0;
    geometry.maxY = 0.0;
    for (const ScenePoint& v : geometry.vertices) {
        geometry.minX = std::min(geometry.minX, v.x);
        geometry.maxX = std::max(geometry.maxX, v.x);
        geometry.minY = std::min(geometry.minY, v.y);
        geometry.maxY = std::max(geometry.maxY, v.y);
    }
    const double dx = geometry.maxX - geometry.minX;
    const double dy = geometry.maxY - geometry.minY;
    if (dx == 0.0 && dy == 0.0) {
        return; // one point: drawn in the model's own coordinates
    }
    if (dx == 0.0) {
        geometry.scale = 2.0 / dy;
    } else if (dy == 0.0) {
        geometry.scale = 2.0 / dx;
    } else {
        geometry.scale = std::min(4.0 / dx, 2.0 / dy);
    }
    geometry.centre = {(geometry.minX + geometry.maxX) * 0.5, (geometry.minY + geometry.maxY) * 0.5, 0.0};
    for (ScenePoint& v : geometry.vertices) {
        v = {(v.x - geometry.centre.x) * geometry.scale, (v.y - geometry.centre.y) * geometry.scale,
             (v.z - geometry.centre.z) * geometry.scale};
    }
    geometry.fitted = true;
}

} // namespace

SceneGeometry buildSceneGeometry(const InstrumentKit::Representation& model) {
    // The same gathering as takeSnapshot: element by element, then a stable
    // sort by identity, so vertex i is node i of the integrator.
    std::vector<Gathered> sorted;
    for (const InstrumentKit::Element& element : model.elements) {
        for (const Node* node : element.nodes) {
            if (node != nullptr) {
                sorted.push_back({node, &element});
            }
        }
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const Gathered& a, const Gathered& b) {
        return a.node->identity() < b.node->identity();
    });

    SceneGeometry geometry;
    if (sorted.empty()) {
        return geometry;
    }
    geometry.vertices.reserve(sorted.size());
    geometry.fixed.reserve(sorted.size());
    for (const Gathered& g : sorted) {
        const InstrumentKit::Vec3& p = g.node->position;
        const InstrumentKit::Vec3& o = g.element->origin;
        geometry.vertices.push_back({p.x + o.x, p.y + o.y, p.z + o.z});
        geometry.fixed.push_back(g.node->fixed ? 1 : 0);
    }

    std::unordered_set<std::uint64_t> listed;
    auto connect = [&](int i, int j) {
        if (j < 0 || j == i) {
            return;
        }
        const int first = std::min(i, j);
        const int second = std::max(i, j);
        const std::uint64_t key =
            (static_cast<std::uint64_t>(first) << 32) | static_cast<std::uint32_t>(second);
        if (listed.insert(key).second) {
            geometry.edges.push_back({first, second});
        }
    };
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const int index = static_cast<int>(i);
        const Node& node = *sorted[i].node;
        for (const InstrumentKit::NodeLink& link : node.links) {
            connect(index, indexOf(sorted, link.other));
        }
        for (const InstrumentKit::Element& element : model.elements) {
            for (const InstrumentKit::ElementLink& link : element.links) {
                if (link.second != nullptr && link.second->identity() == node.identity()) {
                    connect(index, indexOf(sorted, link.first));
                }
            }
        }
    }

    fit(geometry);
    return geometry;
}

} // namespace muntero
