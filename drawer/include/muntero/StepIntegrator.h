// The drawer's animation integrators: an interface and the classical
// fourth-order Runge-Kutta integrator with a fixed time step.
#pragma once

#include <muntero/Export.h>
#include <muntero/RungeKuttaKernel.h>

#include <memory>
#include <string>
#include <vector>

namespace InstrumentKit {
class Representation;
}

namespace muntero {

// Reads the displacements of the integrated state in place.
// at() is the first virtual operation, as callers of the interface expect.
// Thread: the integrator's; allocates nothing.
class MUNTERO_API ValueAccessor {
public:
    // The displacement of node index; the value changes as the integrator steps.
    virtual double* at(int index) = 0;
    virtual ~ValueAccessor() = default;
};

// Thread: the interface thread (the drawer animates from a window timer);
// one thread at a time per integrator.
class MUNTERO_API StepIntegrator {
public:
    virtual int setParameter(int value) = 0;
    virtual int setVariant(int value) = 0;
    // Builds the model from the representation; 0 on success, -1 when already
    // initialised (nothing changes) or given no representation.
    virtual int init(const InstrumentKit::Representation* model) = 0;
    // Advances one step and returns the accessor of the state.
    virtual ValueAccessor* step() = 0;
    virtual int status() = 0;
    virtual std::string name() = 0;
    // Adds force to node index; it acts once, as an impulse after the next step.
    virtual void excite(double force, int index) = 0;
    virtual ~StepIntegrator() = default;
};

// init allocates the snapshot, the kernel and the pending forces; step,
// excite and the accessors allocate nothing (name returns a new string).
class MUNTERO_API RungeKuttaIntegrator final : public StepIntegrator {
public:
    static constexpr double kTimeStep = 0.000125; // seconds per step
    static constexpr double kLinearDamping = 4.0;
    static constexpr double kSquareDamping = 0.8;

    explicit RungeKuttaIntegrator(KernelChoice choice = KernelChoice::automatic);
    ~RungeKuttaIntegrator() override;
    RungeKuttaIntegrator(const RungeKuttaIntegrator&) = delete;
    RungeKuttaIntegrator& operator=(const RungeKuttaIntegrator&) = delete;

    int setParameter(int) override { return 0; }
    int setVariant(int) override { return 0; }
    int init(const InstrumentKit::Representation* model) override;
    ValueAccessor* step() override;
    int status() override { return 0; }
    std::string name() override { return "Runge-Kutt's 4 grade"; }
    // Indices outside the model are ignored.
    void excite(double force, int index) override;

    bool initialised() const { return initialised_; }
    int nodeCount() const { return kernel_.nodeCount(); }
    long long stepCount() const { return stepCount_; }
    // The velocity of node index in the integrated state.
    double velocity(int index) { return kernel_.velocities()[index]; }

private:
    class Accessor final : public ValueAccessor {
    public:
        explicit Accessor(RungeKuttaIntegrator& owner) : owner_(owner) {}
        double* at(int index) override { return owner_.kernel_.displacements() + index; }

    private:
        RungeKuttaIntegrator& owner_;
    };

    KernelChoice choice_;
    bool initialised_ = false;
    long long stepCount_ = 0;
    RungeKuttaKernel kernel_;
    std::vector<double> pendingForce_;
    bool forcePending_ = false;
    Accessor accessor_{*this};
};

} // namespace muntero
