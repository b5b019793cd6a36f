#include "PlainRungeKutta.h"

namespace muntero {

PlainRungeKutta::PlainRungeKutta(const ModelSnapshot& model, const StepConstants& constants)
    : initialX_(model.initialDisplacements), initialV_(model.initialVelocities), constants_(constants) {
    for (const ModelNode& node : model.nodes) {
        Node plain{node.mass, {}};
        for (int l = 0; l < node.connectionCount; ++l) {
            plain.connections.push_back(
                model.connections[static_cast<std::size_t>(node.firstConnection + l)]);
        }
        nodes_.push_back(std::move(plain));
    }
    for (State* state : {&current_, &next_, &k1_, &k2_, &k3_, &k4_, &accumulator_}) {
        state->x.assign(nodes_.size(), 0.0);
        state->v.assign(nodes_.size(), 0.0);
    }
    reset();
}

void PlainRungeKutta::reset() {
    current_.x = initialX_;
    current_.v = initialV_;
}

void PlainRungeKutta::scaleStiffness(double factor) {
    for (Node& node : nodes_) {
        for (Connection& connection : node.connections) {
            connection.stiffness = connection.stiffness * factor;
        }
    }
}

void PlainRungeKutta::derivative(const State& state, State& out) const {
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        out.x[i] = state.v[i];
        double a = 0.0;
        for (const Connection& c : nodes_[i].connections) {
            a = a - (state.x[i] - state.x[static_cast<std::size_t>(c.other)]) * c.stiffness;
        }
        a = a / nodes_[i].mass;
        const double s = state.v[i] > 0.0 ? 1.0 : -1.0;
        out.v[i] = a - (constants_.linearDamping + constants_.squareDamping * s * state.v[i]) * state.v[i];
    }
}

void PlainRungeKutta::scaledSum(const State& base, double factor, const State& direction, State& out) {
    for (std::size_t i = 0; i < base.x.size(); ++i) {
        out.x[i] = base.x[i] + factor * direction.x[i];
        out.v[i] = base.v[i] + factor * direction.v[i];
    }
}

void PlainRungeKutta::advance() {
    const double h = constants_.timeStep;
    derivative(current_, k1_);
    accumulator_ = k1_;
    scaledSum(current_, h / 2.0, k1_, next_);
    derivative(next_, k2_);
    scaledSum(accumulator_, 2.0, k2_, accumulator_);
    scaledSum(current_, h / 2.0, k2_, next_);
    derivative(next_, k3_);
    scaledSum(accumulator_, 2.0, k3_, accumulator_);
    scaledSum(current_, h, k3_, next_);
    derivative(next_, k4_);
    scaledSum(accumulator_, 1.0, k4_, accumulator_);
    scaledSum(current_, constants_.accumulatorWeight, accumulator_, current_);
}

} // namespace muntero
