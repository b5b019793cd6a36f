#include <muntero/ModelSnapshot.h>
#include <muntero/StepIntegrator.h>

#include <algorithm>

namespace muntero {

RungeKuttaIntegrator::RungeKuttaIntegrator(KernelChoice choice) : choice_(choice) {}

RungeKuttaIntegrator::~RungeKuttaIntegrator() = default;

int RungeKuttaIntegrator::init(const InstrumentKit::Representation* model) {
    if (initialised_ || model == nullptr) {
        return -1;
    }
    const ModelSnapshot snapshot = takeSnapshot(*model);
    const StepConstants constants{kTimeStep, kLinearDamping, kSquareDamping, kTimeStep * 0.16666666666666666};
    kernel_ = RungeKuttaKernel(snapshot, constants, choice_);
    pendingForce_.assign(static_cast<std::size_t>(snapshot.nodeCount()), 0.0);
    forcePending_ = false;
    initialised_ = true;
    return 0;
}

ValueAccessor* RungeKuttaIntegrator::step() {
    if (!initialised_) {
        return &accessor_;
    }
    // The first call only hands out the initial state.
    if (stepCount_ == 0) {
        stepCount_ = 1;
        return &accessor_;
    }
    kernel_.advance();
    if (forcePending_) {
        double* v = kernel_.velocities();
        const double* mass = kernel_.masses();
        for (std::size_t i = 0; i < pendingForce_.size(); ++i) {
            v[i] = v[i] + kTimeStep * (pendingForce_[i] / mass[i]);
        }
        std::fill(pendingForce_.begin(), pendingForce_.end(), 0.0);
        forcePending_ = false;
    }
    ++stepCount_;
    return &accessor_;
}

void RungeKuttaIntegrator::excite(double force, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= pendingForce_.size()) {
        return;
    }
    pendingForce_[static_cast<std::size_t>(index)] += force;
    forcePending_ = true;
}

} // namespace muntero
