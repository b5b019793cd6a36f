// The straightforward form of the Runge-Kutta step: a node table with its
// connection lists and seven whole states, one derivative evaluation after
// the other. It is the yardstick the fast kernel is checked and timed against.
#pragma once

#include <muntero/Export.h>
#include <muntero/ModelSnapshot.h>
#include <muntero/RungeKuttaKernel.h>

#include <vector>

namespace muntero {

// Thread: one thread at a time per object (tests and benchmarks use it from
// one). The constructor allocates the node table and seven states; nothing
// else allocates.
class MUNTERO_API PlainRungeKutta {
public:
    PlainRungeKutta(const ModelSnapshot& model, const StepConstants& constants);

    // Back to the snapshot's initial state.
    void reset();
    // One step of h.
    void advance();
    void scaleStiffness(double factor);
    const std::vector<double>& displacements() const { return current_.x; }
    const std::vector<double>& velocities() const { return current_.v; }

private:
    struct State {
        std::vector<double> x, v;
    };
    void derivative(const State& state, State& out) const;
    // out = base + factor·direction, both halves
    static void scaledSum(const State& base, double factor, const State& direction, State& out);

    struct Node {
        double mass;
        std::vector<Connection> connections;
    };
    std::vector<Node> nodes_;
    std::vector<double> initialX_, initialV_;
    StepConstants constants_;
    State current_, next_, k1_, k2_, k3_, k4_, accumulator_;
};

} // namespace muntero
