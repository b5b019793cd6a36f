// The classical fourth-order Runge-Kutta step over a mass-spring model, laid
// out for speed: springs in contiguous per-lane tables, all work arrays made
// once, nothing allocated per step. The drawer's integrator and the note
// generator both step their models with it.
#pragma once

#include <muntero/Export.h>
#include <muntero/ModelSnapshot.h>

#include <cstdint>
#include <vector>

namespace muntero {

// What one step computes, per node i with links (k, j):
//   a = 0; a = a - (x_i - x_j)·k for each link; a = a / m_i
//   dv_i = a - (linearDamping + (squareDamping·s)·v_i)·v_i, s = 1 if v_i > 0 else -1
//   dx_i = v_i
// and the update y += accumulatorWeight·(k1 + 2·k2 + 2·k3 + k4), the stages
// taken at y + (h/2)·k1, y + (h/2)·k2 and y + h·k3.
struct StepConstants {
    double timeStep = 0.0;          // h, seconds
    double linearDamping = 0.0;     // coefficient of v
    double squareDamping = 0.0;     // coefficient of v·|v|
    double accumulatorWeight = 0.0; // h/6, in whichever rounding the caller defines it
};

enum class KernelChoice {
    automatic, // the vector kernel when the processor has it
    plain,     // one node at a time
    vector,    // four nodes at a time (AVX2); falls back to plain without it
};

class MUNTERO_API RungeKuttaKernel {
public:
    RungeKuttaKernel() = default;
    RungeKuttaKernel(const ModelSnapshot& model, const StepConstants& constants,
                     KernelChoice choice = KernelChoice::automatic);

    // Puts the state back to the snapshot's initial displacements and velocities.
    void reset();
    // Advances the state by one time step.
    void advance();
    // Multiplies every stiffness by factor, exactly as ModelSnapshot::scaleStiffness does.
    void scaleStiffness(double factor);

    int nodeCount() const { return nodeCount_; }
    // Per node, valid for the kernel's life; the values change in place as it steps.
    double* displacements() { return x_.data(); }
    double* velocities() { return v_.data(); }
    const double* displacements() const { return x_.data(); }
    const double* masses() const { return mass_.data(); }
    bool usesVectorKernel() const { return vector_; }

    static bool vectorKernelAvailable();

private:
    void advancePlain();
    void advanceVector();

    int nodeCount_ = 0;
    int paddedCount_ = 0; // a multiple of four; the extra nodes rest forever
    StepConstants constants_;
    bool vector_ = false;

    std::vector<double> initialX_, initialV_;
    std::vector<double> mass_;
    std::vector<double> inverseMass_;           // 1/m where that is exact, else 0
    std::vector<std::uint8_t> exactReciprocal_; // per group of four: every 1/m exact
    // Springs by node (plain kernel).
    std::vector<int> linkBegin_; // nodeCount_ + 1 offsets
    std::vector<int> linkOther_;
    std::vector<double> linkStiffness_;
    // Springs by groups of four nodes (vector kernel): group g has the slots
    // [slotBegin_[g], slotBegin_[g+1]); slot s holds link s of each of the
    // four nodes, or an inactive lane when a node has fewer links.
    std::vector<int> slotBegin_;
    std::vector<std::int32_t> slotOther_;    // 4 per slot; an inactive lane points at its own node
    std::vector<double> slotStiffness_;      // 4 per slot; 0 in an inactive lane
    std::vector<std::int64_t> slotLaneMask_; // 4 per slot; all bits set in an active lane
    std::vector<std::uint8_t> slotKind_;     // kContiguous | kAllActive

    // The state y, two stage states and the accumulator.
    std::vector<double> x_, v_, stageAX_, stageAV_, stageBX_, stageBV_, accX_, accV_;
};

} // namespace muntero
