// The drawer's line drawing of a model: one vertex per node of the
// simulation's node order, one edge per spring, fitted into x in [-2, 2] and
// y in [-1, 1]. The model's plane is drawn horizontally, each node's
// displacement vertically.
#pragma once

#include <muntero/Export.h>

#include <cstdint>
#include <vector>

namespace InstrumentKit {
class Representation;
}

namespace muntero {

struct ScenePoint {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

struct SceneEdge {
    int first = 0; // the lower vertex index
    int second = 0;
};

struct MUNTERO_API SceneGeometry {
    // Vertex i is node i of takeSnapshot's order: the node's position plus the
    // origin of the element through which it was gathered, then fitted.
    std::vector<ScenePoint> vertices;
    std::vector<std::uint8_t> fixed; // 1 for a fixed node
    std::vector<SceneEdge> edges;

    // How the vertices were fitted: v' = (v - centre)·scale. Not fitted (the
    // model's own coordinates) when every vertex lies on one point.
    bool fitted = false;
    double scale = 1.0;
    ScenePoint centre;
    // The bounding box of x and y; its maxima start at 0 rather than at vertex
    // 0, so the box always reaches x = 0 and y = 0 from below.
    double minX = 0.0, maxX = 0.0, minY = 0.0, maxY = 0.0;

    int vertexCount() const { return static_cast<int>(vertices.size()); }
    bool empty() const { return vertices.empty(); }
};

// Builds the drawing of the model. A model without elements or nodes gives an
// empty geometry.
//
// Edges: every spring the model holds (own links of free and fixed nodes,
// element links of every element) joins its two vertices once, listed from the
// end that comes first in vertex order, own links before element links. A
// spring that only one end carries (a link to a fixed node, an element link) is
// drawn too. Links to nodes outside the elements and links of a node to itself
// draw nothing.
MUNTERO_API SceneGeometry buildSceneGeometry(const InstrumentKit::Representation& model);

} // namespace muntero
