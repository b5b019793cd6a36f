// Small models for the generator's tests, built directly as snapshots.
#pragma once

#include <muntero/ModelSnapshot.h>

#include <cmath>

namespace kivora::testing {

// Starts a node; its links are the connections added until the next node.
inline void addNode(muntero::ModelSnapshot& model, double mass, bool fixed, double x0, double v0 = 0.0) {
    muntero::ModelNode node;
    node.mass = mass;
    node.fixed = fixed;
    node.firstConnection = static_cast<int>(model.connections.size());
    model.nodes.push_back(node);
    model.initialDisplacements.push_back(x0);
    model.initialVelocities.push_back(fixed ? 0.0 : v0);
}

inline void addLink(muntero::ModelSnapshot& model, double stiffness, int other) {
    model.connections.push_back({stiffness, other});
    ++model.nodes.back().connectionCount;
}

// A mass m on a spring k to a fixed node: it sounds at sqrt(k/m)/2π.
inline muntero::ModelSnapshot massOnSpring(double mass, double stiffness, double x0) {
    muntero::ModelSnapshot model;
    addNode(model, 1.0, true, 0.0);
    addNode(model, mass, false, x0);
    addLink(model, stiffness, 0);
    model.soundingNode = 1;
    return model;
}

// rows × columns nodes, the rim fixed, springs to the four neighbours, struck
// off centre; the node next to the struck one sounds.
inline muntero::ModelSnapshot membrane(int rows, int columns, double stiffness) {
    muntero::ModelSnapshot model;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const bool rim = r == 0 || c == 0 || r == rows - 1 || c == columns - 1;
            const bool struck = r == rows / 3 && c == columns / 3;
            addNode(model, 1.0, rim, 0.0, struck ? 40.0 : 0.0);
            if (!rim) {
                const int i = r * columns + c;
                addLink(model, stiffness, i - columns);
                addLink(model, stiffness, i - 1);
                addLink(model, stiffness, i + 1);
                addLink(model, stiffness, i + columns);
            }
        }
    }
    model.soundingNode = (rows / 3) * columns + columns / 3 + 1;
    return model;
}

} // namespace kivora::testing
