// The simulation's view of a drawn model: nodes in a fixed order, their
// springs as one contiguous table, the initial state and the sounding node.
#pragma once

#include <muntero/Export.h>

#include <cstdint>
#include <vector>

namespace InstrumentKit {
class Representation;
}

namespace muntero {

// A spring as seen from the node it acts on.
struct Connection {
    double stiffness = 0.0;
    int other = 0; // index of the node at the other end
};

struct ModelNode {
    double mass = 1.0;
    bool fixed = false;
    int firstConnection = 0; // into ModelSnapshot::connections
    int connectionCount = 0; // 0 for a fixed node
};

// A plain value: any thread may use one that no other thread writes.
struct MUNTERO_API ModelSnapshot {
    // Node order: every element's node references, element by element, sorted
    // by node identity. A node referenced by two elements stands twice.
    std::vector<ModelNode> nodes;
    // The links of node i are connections[firstConnection, +connectionCount):
    // its own links first, then the element links whose second node it is, in
    // element order. A link found to no node of the snapshot is left out.
    std::vector<Connection> connections;
    std::vector<double> initialDisplacements;
    std::vector<double> initialVelocities; // 0 for a fixed node
    // Index of the flagged node; -1 when nodes exist but the flagged node is not
    // among them (or none is flagged); 0 when there are no nodes.
    int soundingNode = 0;

    int nodeCount() const { return static_cast<int>(nodes.size()); }

    // Multiplies every spring's stiffness by factor. Allocates nothing.
    void scaleStiffness(double factor);
};

// The one gathering procedure over a representation, shared by the drawer's
// integrator and the note generator. Any thread, while no thread changes the
// representation (the interface thread edits it); allocates the snapshot's
// tables and a working copy of the node order.
MUNTERO_API ModelSnapshot takeSnapshot(const InstrumentKit::Representation& model);

} // namespace muntero
