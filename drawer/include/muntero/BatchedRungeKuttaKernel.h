// The Runge-Kutta step of RungeKuttaKernel for several copies of one model at
// once: the voices of a played model, or the notes of one generation run,
// which share every node and spring and differ only in their stiffness scale
// and their state. Lane v of the batch holds copy v: the state of node i
// lies at [i·laneStride() + v], so one vector holds the same node of several
// copies and a spring reads its neighbour's vector without gathering. A
// node's arrays (displacements, velocities, the stages' states and sums)
// lie together, so a stage reaches all of them from one place.
#pragma once

#include <muntero/Export.h>
#include <muntero/ModelSnapshot.h>
#include <muntero/RungeKuttaKernel.h>

#include <cstddef>
#include <vector>

namespace muntero {

namespace detail {
// A node's arrays, in the order they lie in.
enum BatchField : int { kX, kV, kStageAX, kStageAV, kStageBX, kStageBV, kAccX, kAccV, kFieldCount };

// Consecutive nodes whose springs lead the same distances away, to the same
// distinct stiffnesses: a stage unrolls their springs with the distances in
// registers (links -1: a node's springs are read from the tables).
struct BatchRun {
    static constexpr int kMaxLinks = 6;
    int end = 0;
    int links = -1;
    std::ptrdiff_t offset[kMaxLinks] = {};    // to the other node's values
    std::ptrdiff_t stiffness[kMaxLinks] = {}; // into the lanes' stiffness table
    // Springs to the node before (slot carriedTo) and after (the slot after
    // it) with one stiffness: the force of the spring to the next node is,
    // reversed, that node's force from this one, so a stage computes it once
    // (-1: none).
    int carriedTo = -1;
    unsigned char massKind = 0; // how its nodes' spring sums become accelerations
    // Nodes without springs that stay where they are while they do not move
    // (a fixed rim): a stage leaves them out while every lane rests there.
    bool resting = false;
};
} // namespace detail

// Thread: one thread at a time per batch. Only the constructor allocates;
// everything else allocates nothing.
//
// Each lane performs the IEEE operations of RungeKuttaKernel (and of
// PlainRungeKutta) in the same order, so a lane steps bit for bit as a
// single kernel with the same stiffnesses and state would. A lane's springs
// are the snapshot's until scaled: scaling a lane by f multiplies each of its
// stiffnesses by f, exactly as RungeKuttaKernel::scaleStiffness does.
class MUNTERO_API BatchedRungeKuttaKernel {
public:
    BatchedRungeKuttaKernel() = default;
    // `laneCount` copies (at least 1), each at the snapshot's initial state
    // and stiffnesses. `choice`: plain steps one value at a time; the avx2
    // kinds four lanes per vector; avx512 kinds and automatic eight where the
    // processor has AVX-512 (F and DQ), else four with AVX2, else plain.
    // Throws std::invalid_argument as RungeKuttaKernel does, and for no lanes.
    BatchedRungeKuttaKernel(const ModelSnapshot& model, const StepConstants& constants, int laneCount,
                            KernelChoice choice = KernelChoice::automatic);

    // Advances every lane by one time step. A lane at rest (all zeros) stays
    // at rest; a lane that blew up touches no other lane.
    void advance();

    // The lane's state back to the snapshot's initial one.
    void resetLane(int lane);
    // The lane's state to zero: it rests, and adds nothing, until reset.
    void clearLane(int lane);
    // The lane's stiffnesses back to the snapshot's.
    void resetLaneStiffness(int lane);
    // Multiplies every stiffness of the lane by factor.
    void scaleLaneStiffness(int lane, double factor);

    // The lanes a batch made with `choice` steps per vector operation on
    // this processor: 8, 4, or 0 for the plain kernel. A batch of that many
    // copies is the fastest per copy (in every model measured, each copy
    // costs less than a kernel of its own); a wider one steps each node by
    // several vectors, no faster per copy.
    static int vectorWidthFor(KernelChoice choice);

    int laneCount() const { return laneCount_; }
    // Values between node i and node i + 1 of one array (a multiple of the
    // vector width).
    int laneStride() const { return nodeStride_; }
    int nodeCount() const { return nodeCount_; }
    // Lanes per vector operation: 8, 4, or 0 for the plain kernel.
    int vectorWidth() const { return vectorWidth_; }
    // Node i of lane v at [i·laneStride() + v]; valid for the batch's life,
    // the values change in place as it steps.
    double* displacements() { return state_.data() + stateOffset_; }
    double* velocities() { return displacements() + detail::kV * arrayLanes_; }
    const double* displacements() const { return state_.data() + stateOffset_; }
    double displacement(int node, int lane) const {
        return displacements()[static_cast<std::ptrdiff_t>(node) * nodeStride_ + lane];
    }

private:
    // Whether no lane moves any resting node: then a step only settles their
    // values (x + 0, which turns -0 into +0, as a full step would).
    bool restingNodesAtRest() const;
    void settleRestingStages();
    void settleRestingNodes();

    int nodeCount_ = 0;
    int laneCount_ = 0;
    int arrayLanes_ = 0; // laneCount rounded up to whole vectors
    int nodeStride_ = 0; // kFieldCount arrays
    int vectorWidth_ = 0;
    int wavefrontLag_ = 1; // nodes between one stage and the next
    StepConstants constants_;

    std::vector<double> initialX_, initialV_; // per node
    std::vector<double> mass_;
    std::vector<double> inverseMass_;     // 1/m where that is exact, else 0
    std::vector<unsigned char> massKind_; // per node: divide, multiply by 1/m, or m is 1
    // Springs by node: [linkBegin_[i], linkBegin_[i+1]). Each holds where its
    // other node's values start and where its lanes' stiffnesses start.
    std::vector<int> linkBegin_;
    std::vector<std::ptrdiff_t> linkOther_;     // other node · laneStride_
    std::vector<std::ptrdiff_t> linkStiffness_; // distinct stiffness · laneStride_
    // A spring's stiffness is one of few distinct values (one for a uniform
    // membrane); equal values scale to equal values, so each lane keeps one
    // number per distinct value.
    std::vector<detail::BatchRun> runs_; // in node order, covering every node
    std::vector<int> runOfNode_;
    std::vector<double> distinctStiffness_; // the snapshot's
    std::vector<double> laneStiffness_;     // distinct value d of lane v at [d·arrayLanes_ + v]
    std::vector<int> restingNodes_;         // the nodes of the resting runs

    std::vector<double> state_; // node by node, from a 64-byte boundary
    std::ptrdiff_t stateOffset_ = 0;
};

} // namespace muntero
