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

// The automatic choice is the fastest kernel the processor offers, as
// measured on one step of the 100 x 100 membrane on a Zen 5 with AVX-512:
// avx512Banded 30 us, avx2Banded 47 us, avx512 55 us, avx2 62 us, plain
// 157 us. So avx512Banded with AVX-512 (F and DQ), else avx2Banded with AVX2
// (on an AVX2-only processor an octave of that membrane took 10.2 s against
// 14.9 s with avx2), else plain. The general eight-lane path is held back by
// what it reads per spring slot: the slot's index (and through it the
// neighbours), kind and lane bits, and a stiffness table too large for the
// first-level cache. A band keeps its offsets in registers, and its
// stiffnesses too where all its springs of a slot are equal (without that,
// the avx512Banded step took 40 % longer there).
enum class KernelChoice {
    automatic,    // the fastest the processor offers, see above
    plain,        // one node at a time
    avx2,         // four nodes at a time, every group through the general path; plain without AVX2
    avx512,       // eight nodes at a time; otherwise as avx2
    avx2Banded,   // as avx2, runs of groups with one spring pattern (a grid's inside) unrolled
    avx512Banded, // as avx512, with the runs of avx2Banded; avx2Banded without AVX-512
};

// Thread: one thread at a time per kernel; kernels share nothing, so each
// thread may step its own (the generator renders notes that way). Only the
// constructor allocates (the tables and the state); reset, advance and
// scaleStiffness allocate nothing.
class MUNTERO_API RungeKuttaKernel {
public:
    RungeKuttaKernel() = default;
    // Throws std::invalid_argument for a snapshot whose arrays do not fit
    // together (takeSnapshot always gives one that does).
    RungeKuttaKernel(const ModelSnapshot& model, const StepConstants& constants,
                     KernelChoice choice = KernelChoice::automatic);

    // Puts the state back to the snapshot's initial displacements and velocities.
    void reset();
    // Advances the state by one time step.
    void advance();
    // Multiplies every stiffness by factor, exactly as ModelSnapshot::scaleStiffness does.
    void scaleStiffness(double factor);
    // Takes every stiffness of `sameModel`, a kernel made from the same
    // snapshot with the same choice (perhaps scaled since), so this one steps
    // exactly as it would; allocates nothing. Throws std::invalid_argument for
    // a kernel of another layout.
    void copyStiffnessFrom(const RungeKuttaKernel& sameModel);

    int nodeCount() const { return nodeCount_; }
    // Per node, valid for the kernel's life; the values change in place as it steps.
    double* displacements() { return array(kX); }
    double* velocities() { return array(kV); }
    const double* displacements() const { return state_.data() + stateOffset_ + kX * stride_; }
    const double* masses() const { return mass_.data(); }
    // Nodes per vector operation: 8, 4, or 0 for the plain kernel.
    int vectorWidth() const { return vectorWidth_; }
    bool usesVectorKernel() const { return vectorWidth_ > 0; }
    // Groups (of vectorWidth nodes) that a banded kernel steps through its
    // unrolled path (0 for the other kernels).
    int bandedGroupCount() const;

    // Any thread; what the processor offers, asked once per call.
    static bool vectorKernelAvailable(); // AVX2
    static bool wideKernelAvailable();   // AVX-512 F and DQ

private:
    void advancePlain();
    void advanceVector();

    int nodeCount_ = 0;
    int paddedCount_ = 0; // a multiple of the group size; the extra nodes rest forever
    StepConstants constants_;
    int vectorWidth_ = 0;
    int lanes_ = 4; // nodes per group in the tables

    std::vector<double> initialX_, initialV_;
    std::vector<double> mass_;
    std::vector<double> inverseMass_; // 1/m where that is exact, else 0
    // Springs by node (plain kernel).
    std::vector<int> linkBegin_; // nodeCount_ + 1 offsets
    std::vector<int> linkOther_;
    std::vector<double> linkStiffness_;
    // Springs by groups of lanes_ nodes (vector kernels): group g has the
    // slots [slotBegin_[g], slotBegin_[g+1]); slot s holds link s of each
    // node of the group, or an inactive lane when a node has fewer links.
    std::vector<int> slotBegin_;
    std::vector<std::int32_t> slotOther_;    // lanes_ per slot; any node in an inactive lane
    std::vector<double> slotStiffness_;      // lanes_ per slot; 0 in an inactive lane
    std::ptrdiff_t stiffnessOffset_ = 0;     // where slot 0 starts in slotStiffness_
    std::vector<std::int64_t> slotLaneMask_; // lanes_ per slot; all bits set in an active lane
    std::vector<std::uint8_t> slotLaneBits_; // one bit per active lane
    std::vector<std::uint8_t> slotKind_;     // kContiguous | kAllActive
    std::vector<std::uint8_t> groupKind_;    // kRegularGroup | kExactReciprocal | kUnitMasses
    std::vector<int> bandOfGroup_;           // the group's band, or -1 (banded kernels)
    std::vector<int> bands_;                 // per band: end group, slots, mass kind, offsets, uniform
    std::vector<double> bandStiffness_;      // per band: each slot's stiffness when uniform
    int wavefrontLag_ = 1;                   // groups between one stage and the next

    // The state y, two stage states and the accumulator, each stride_ values
    // apart in one block. The stride is not a multiple of 4096 bytes: arrays
    // at equal offsets modulo 4 KiB make loads wait on unrelated stores.
    enum StateArray { kX, kV, kStageAX, kStageAV, kStageBX, kStageBV, kAccX, kAccV, kStateArrays };
    double* array(StateArray which) { return state_.data() + stateOffset_ + which * stride_; }
    std::vector<double> state_;
    // Where the first array starts: at a 64-byte boundary when the block was
    // made, so no vector of four nodes straddles two cache lines.
    std::ptrdiff_t stateOffset_ = 0;
    std::ptrdiff_t stride_ = 0;
};

} // namespace muntero
