#include <muntero/BatchedRungeKuttaKernel.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MUNTERO_HAVE_X86_VECTOR 1
#endif

namespace muntero {

namespace {

enum Stage { kFirst, kSecond, kThird, kLast };

using detail::kAccV;
using detail::kAccX;
using detail::kFieldCount;
using detail::kStageAX;
using detail::kStageBX;
using detail::kV;
using detail::kX;

// The array a stage takes its derivative at (its velocities follow it), and
// the one it writes the next stage's state to.
constexpr int stateField(Stage stage) {
    return stage == kFirst ? kX : stage == kThird ? kStageBX : kStageAX;
}
constexpr int nextField(Stage stage) {
    return stage == kSecond ? kStageBX : kStageAX;
}

// How a node's spring sum becomes its acceleration: a / m, or a · (1/m),
// which is the same number when 1/m is exact (m a power of two), or a alone
// when m is 1.
constexpr unsigned char kDivide = 0;
constexpr unsigned char kReciprocal = 1;
constexpr unsigned char kUnitMass = 2;

using Run = detail::BatchRun;
constexpr int kMaxRunLinks = Run::kMaxLinks;
constexpr int kGeneralRun = -1;

// Calls call(std::integral_constant<int, n>{}) for value n, which is -1 or
// below count.
template <int count, typename Call>
inline void withIndex(int value, Call&& call) {
    if (value < 0) {
        call(std::integral_constant<int, -1>{});
        return;
    }
    [&]<int... n>(std::integer_sequence<int, n...>) {
        (void)((value == n ? (call(std::integral_constant<int, n>{}), true) : false) || ...);
    }
    (std::make_integer_sequence<int, count>{});
}

struct Tables {
    const Run* runs;
    const int* runOfNode;
    const int* linkBegin;
    const std::ptrdiff_t* linkOther;
    const std::ptrdiff_t* linkStiffness;
    const double* laneStiffness;
    const double* mass;
    const double* inverseMass;
    const unsigned char* massKind;
    std::ptrdiff_t arrayLanes; // values in one of a node's arrays
    std::ptrdiff_t nodeStride; // values from one node to the next
    bool skipResting;          // the resting nodes rest in every lane this step
};

// A step's constants as the stages use them.
struct Factors {
    double halfStep;
    double step;
    double weight;
    double linear;
    double squarePositive; // squareDamping · 1
    double squareNegative; // squareDamping · -1
    double two;
};

template <Stage stage>
inline void combine(double* values, std::ptrdiff_t arrayLanes, double dx, double dv, const Factors& f) {
    double& x = values[kX * arrayLanes];
    double& v = values[kV * arrayLanes];
    double& accX = values[kAccX * arrayLanes];
    double& accV = values[kAccV * arrayLanes];
    if constexpr (stage == kLast) {
        x = x + f.weight * (accX + dx);
        v = v + f.weight * (accV + dv);
    } else {
        if constexpr (stage == kFirst) {
            accX = dx;
            accV = dv;
        } else {
            accX = accX + 2.0 * dx;
            accV = accV + 2.0 * dv;
        }
        const double factor = stage == kThird ? f.step : f.halfStep;
        double* next = values + nextField(stage) * arrayLanes;
        next[0] = x + factor * dx;
        next[arrayLanes] = v + factor * dv;
    }
}

// The nodes [begin, end) of one stage, every lane, one value at a time: the
// operations of RungeKuttaKernel's plain stage.
template <Stage stage>
void plainStage(double* state, int begin, int end, const Tables& t, const Factors& f) {
    const std::ptrdiff_t stateAt = stateField(stage) * t.arrayLanes;
    for (int i = begin; i < end; ++i) {
        if (t.skipResting && t.runs[t.runOfNode[i]].resting) {
            continue;
        }
        double* node = state + i * t.nodeStride;
        for (std::ptrdiff_t lane = 0; lane < t.arrayLanes; ++lane) {
            const double xi = node[stateAt + lane];
            double acceleration = 0.0;
            for (int l = t.linkBegin[i]; l < t.linkBegin[i + 1]; ++l) {
                acceleration = acceleration - (xi - state[t.linkOther[l] + stateAt + lane]) *
                                                  t.laneStiffness[t.linkStiffness[l] + lane];
            }
            acceleration = acceleration / t.mass[i];
            const double vi = node[stateAt + t.arrayLanes + lane];
            const double square = vi > 0.0 ? f.squarePositive : f.squareNegative; // squareDamping · ±1
            const double dv = acceleration - (f.linear + square * vi) * vi;
            combine<stage>(node + lane, t.arrayLanes, vi, dv, f);
        }
    }
}

#ifdef MUNTERO_HAVE_X86_VECTOR

#define MUNTERO_AVX2_OPERATION [[gnu::target("avx2"), gnu::always_inline]] static inline
#define MUNTERO_AVX512_OPERATION [[gnu::target("avx512f"), gnu::always_inline]] static inline

struct FourLaneOps {
    using Vector = __m256d;
    static constexpr int kWidth = 4;
    MUNTERO_AVX2_OPERATION Vector load(const double* at) { return _mm256_load_pd(at); }
    MUNTERO_AVX2_OPERATION void store(double* at, Vector value) { _mm256_store_pd(at, value); }
    MUNTERO_AVX2_OPERATION Vector broadcast(double value) { return _mm256_set1_pd(value); }
    MUNTERO_AVX2_OPERATION Vector zero() { return _mm256_setzero_pd(); }
    MUNTERO_AVX2_OPERATION Vector add(Vector a, Vector b) { return _mm256_add_pd(a, b); }
    MUNTERO_AVX2_OPERATION Vector sub(Vector a, Vector b) { return _mm256_sub_pd(a, b); }
    MUNTERO_AVX2_OPERATION Vector mul(Vector a, Vector b) { return _mm256_mul_pd(a, b); }
    MUNTERO_AVX2_OPERATION Vector div(Vector a, Vector b) { return _mm256_div_pd(a, b); }
    // positive where value > 0, else negative (NaN included)
    MUNTERO_AVX2_OPERATION Vector selectWherePositive(Vector value, Vector positive, Vector negative) {
        return _mm256_blendv_pd(negative, positive, _mm256_cmp_pd(value, _mm256_setzero_pd(), _CMP_GT_OQ));
    }
};

struct EightLaneOps {
    using Vector = __m512d;
    static constexpr int kWidth = 8;
    MUNTERO_AVX512_OPERATION Vector load(const double* at) { return _mm512_load_pd(at); }
    MUNTERO_AVX512_OPERATION void store(double* at, Vector value) { _mm512_store_pd(at, value); }
    MUNTERO_AVX512_OPERATION Vector broadcast(double value) { return _mm512_set1_pd(value); }
    MUNTERO_AVX512_OPERATION Vector zero() { return _mm512_setzero_pd(); }
    MUNTERO_AVX512_OPERATION Vector add(Vector a, Vector b) { return _mm512_add_pd(a, b); }
    MUNTERO_AVX512_OPERATION Vector sub(Vector a, Vector b) { return _mm512_sub_pd(a, b); }
    MUNTERO_AVX512_OPERATION Vector mul(Vector a, Vector b) { return _mm512_mul_pd(a, b); }
    MUNTERO_AVX512_OPERATION Vector div(Vector a, Vector b) { return _mm512_div_pd(a, b); }
    MUNTERO_AVX512_OPERATION Vector selectWherePositive(Vector value, Vector positive, Vector negative) {
        return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(value, _mm512_setzero_pd(), _CMP_GT_OQ), negative,
                                    positive);
    }
};

// Eight lanes as two four-lane vectors: a batch of eight where the processor
// has AVX2 only steps through the unrolled runs, with the eight-lane text
// (the wide form reloads every stiffness and runs half as fast).
struct PairedFourLaneOps {
    struct Vector {
        __m256d low, high;
    };
    static constexpr int kWidth = 8;
    MUNTERO_AVX2_OPERATION Vector load(const double* at) {
        return {_mm256_load_pd(at), _mm256_load_pd(at + 4)};
    }
    MUNTERO_AVX2_OPERATION void store(double* at, Vector value) {
        _mm256_store_pd(at, value.low);
        _mm256_store_pd(at + 4, value.high);
    }
    MUNTERO_AVX2_OPERATION Vector broadcast(double value) {
        return {_mm256_set1_pd(value), _mm256_set1_pd(value)};
    }
    MUNTERO_AVX2_OPERATION Vector zero() { return {_mm256_setzero_pd(), _mm256_setzero_pd()}; }
    MUNTERO_AVX2_OPERATION Vector add(Vector a, Vector b) {
        return {_mm256_add_pd(a.low, b.low), _mm256_add_pd(a.high, b.high)};
    }
    MUNTERO_AVX2_OPERATION Vector sub(Vector a, Vector b) {
        return {_mm256_sub_pd(a.low, b.low), _mm256_sub_pd(a.high, b.high)};
    }
    MUNTERO_AVX2_OPERATION Vector mul(Vector a, Vector b) {
        return {_mm256_mul_pd(a.low, b.low), _mm256_mul_pd(a.high, b.high)};
    }
    MUNTERO_AVX2_OPERATION Vector div(Vector a, Vector b) {
        return {_mm256_div_pd(a.low, b.low), _mm256_div_pd(a.high, b.high)};
    }
    MUNTERO_AVX2_OPERATION Vector selectWherePositive(Vector value, Vector positive, Vector negative) {
        return {FourLaneOps::selectWherePositive(value.low, positive.low, negative.low),
                FourLaneOps::selectWherePositive(value.high, positive.high, negative.high)};
    }
};

namespace four {
using Lanes = FourLaneOps;
#define MUNTERO_LANES_TARGET [[gnu::target("avx2")]]
#include "BatchedLaneStages.inl"
#undef MUNTERO_LANES_TARGET
} // namespace four

namespace fourPaired {
using Lanes = PairedFourLaneOps;
#define MUNTERO_LANES_TARGET [[gnu::target("avx2")]]
#include "BatchedLaneStages.inl"
#undef MUNTERO_LANES_TARGET
} // namespace fourPaired

namespace eight {
using Lanes = EightLaneOps;
#define MUNTERO_LANES_TARGET [[gnu::target("avx512f")]]
#include "BatchedLaneStages.inl"
#undef MUNTERO_LANES_TARGET
} // namespace eight

// The nodes [begin, end) of one stage run by run, each through the vector
// width's unrolled form for its link count and carried spring where the
// batch is one vector wide, else its wide or general form.
template <Stage stage, typename Kernels>
void vectorStage(double* state, int begin, int end, const Tables& t, const Factors& f) {
    int r = t.runOfNode[begin];
    for (int i = begin; i < end; ++r) {
        const Run& run = t.runs[r];
        const int runEnd = std::min(run.end, end);
        if (run.resting && t.skipResting) {
            // settled before and after the step
        } else if (run.links == kGeneralRun) {
            Kernels::template wide<stage, kGeneralRun>(state, i, runEnd, t, run, f);
        } else {
            withIndex<kMaxRunLinks + 1>(run.links, [&](auto linkConstant) {
                constexpr int links = decltype(linkConstant)::value;
                if constexpr (links >= 0) {
                    if (t.arrayLanes == Kernels::kLanes) {
                        withIndex<std::max(links - 1, 0)>(run.carriedTo, [&](auto carriedConstant) {
                            constexpr int carriedTo = decltype(carriedConstant)::value;
                            Kernels::template unrolled<stage, links, carriedTo>(state, i, runEnd, t, run, f);
                        });
                    } else {
                        Kernels::template wide<stage, links>(state, i, runEnd, t, run, f);
                    }
                }
            });
        }
        i = runEnd;
    }
}

#endif

// Whether a node without springs, at rest (velocity +0), stays at rest
// through a step, each stage giving it the derivative +0, so that a step
// turns its displacement x into x + 0 and nothing else: every kernel's
// operations with this node's mass and the step's constants, carried out.
bool restsWhereItIs(double mass, double inverseMass, unsigned char massKind, const StepConstants& c) {
    const double halfStep = c.timeStep / 2.0;
    const bool positive = std::isfinite(c.timeStep) && halfStep > 0.0 && c.timeStep > 0.0 &&
                          std::isfinite(c.accumulatorWeight) && c.accumulatorWeight > 0.0;
    const double velocity = 0.0;
    const double divided = 0.0 / mass; // the plain kernel divides
    const double vectorForm = massKind == kUnitMass     ? 0.0
                              : massKind == kReciprocal ? 0.0 * inverseMass
                                                        : divided;
    const auto derivativeIsZero = [&](double acceleration) {
        const double sign = velocity > 0.0 ? 1.0 : -1.0;
        const double dv = acceleration - (c.linearDamping + c.squareDamping * sign * velocity) * velocity;
        const double square = c.squareDamping * -1.0; // as the vector kernels hold it
        const double dvVector = acceleration - (c.linearDamping + square * velocity) * velocity;
        const double positiveZero = 0.0;
        return std::memcmp(&dv, &positiveZero, sizeof dv) == 0 &&
               std::memcmp(&dvVector, &positiveZero, sizeof dv) == 0;
    };
    return positive && derivativeIsZero(divided) && derivativeIsZero(vectorForm);
}

void checkSnapshot(const ModelSnapshot& model) {
    const auto nodes = static_cast<std::size_t>(model.nodeCount());
    if (model.initialDisplacements.size() != nodes || model.initialVelocities.size() != nodes) {
        throw std::invalid_argument(
            "model snapshot: one initial displacement and velocity per node expected");
    }
    for (const ModelNode& node : model.nodes) {
        if (node.connectionCount < 0 || node.firstConnection < 0 ||
            static_cast<std::size_t>(node.firstConnection) + static_cast<std::size_t>(node.connectionCount) >
                model.connections.size()) {
            throw std::invalid_argument("model snapshot: a node's springs lie outside the spring table");
        }
        for (int l = 0; l < node.connectionCount; ++l) {
            const int other = model.connections[static_cast<std::size_t>(node.firstConnection + l)].other;
            if (other < 0 || other >= model.nodeCount()) {
                throw std::invalid_argument("model snapshot: a spring leads to no node");
            }
        }
    }
}

} // namespace

BatchedRungeKuttaKernel::BatchedRungeKuttaKernel(const ModelSnapshot& model, const StepConstants& constants,
                                                 int laneCount, KernelChoice choice)
    : nodeCount_(model.nodeCount()), laneCount_(laneCount), constants_(constants) {
    if (laneCount < 1) {
        throw std::invalid_argument("A batch needs at least one lane");
    }
    checkSnapshot(model);
    vectorWidth_ = vectorWidthFor(choice);
    const int width = std::max(1, vectorWidth_);
    arrayLanes_ = (laneCount + width - 1) / width * width;
    nodeStride_ = kFieldCount * arrayLanes_;
    const std::ptrdiff_t stride = nodeStride_;
    const auto nodes = static_cast<std::size_t>(nodeCount_);

    initialX_ = model.initialDisplacements;
    initialV_ = model.initialVelocities;
    mass_.resize(nodes);
    inverseMass_.resize(nodes);
    massKind_.resize(nodes);
    linkBegin_.assign(nodes + 1, 0);
    int reach = 0;
    for (std::size_t i = 0; i < nodes; ++i) {
        const ModelNode& node = model.nodes[i];
        const double m = node.mass;
        int exponent = 0;
        const bool powerOfTwo = std::isfinite(m) && m > 0.0 && std::frexp(m, &exponent) == 0.5 &&
                                exponent > -1000 && exponent < 1000;
        mass_[i] = m;
        inverseMass_[i] = powerOfTwo ? 1.0 / m : 0.0;
        massKind_[i] = m == 1.0 ? kUnitMass : powerOfTwo ? kReciprocal : kDivide;
        for (int l = 0; l < node.connectionCount; ++l) {
            const Connection& link = model.connections[static_cast<std::size_t>(node.firstConnection + l)];
            // Compared as bits: the same number, also in sign and NaN payload.
            const auto same = [&link](double value) {
                return std::memcmp(&value, &link.stiffness, sizeof value) == 0;
            };
            auto found = std::find_if(distinctStiffness_.begin(), distinctStiffness_.end(), same);
            if (found == distinctStiffness_.end()) {
                distinctStiffness_.push_back(link.stiffness);
                found = distinctStiffness_.end() - 1;
            }
            linkOther_.push_back(std::ptrdiff_t{link.other} * stride);
            linkStiffness_.push_back((found - distinctStiffness_.begin()) * arrayLanes_);
            reach = std::max(reach, std::abs(link.other - static_cast<int>(i)));
        }
        linkBegin_[i + 1] = static_cast<int>(linkOther_.size());
    }
    // A stage reads its neighbours' values of the stage before: in blocks of
    // lag nodes, stage k+1 of a block follows stage k of the block lag nodes
    // further on (see RungeKuttaKernel), so the data of a few blocks stays in
    // the caches instead of four passes over the whole batch.
    wavefrontLag_ = std::max(reach, 8);

    // Runs: a node joins the run before it when its springs lead the same
    // distances to the same distinct stiffnesses; a run of one node, or of
    // nodes with more springs than are unrolled, is read from the tables.
    runOfNode_.resize(nodes);
    std::vector<unsigned char> restingNode(nodes, 0);
    for (std::size_t i = 0; i < nodes; ++i) {
        restingNode[i] = linkBegin_[i] == linkBegin_[i + 1] &&
                         restsWhereItIs(mass_[i], inverseMass_[i], massKind_[i], constants_);
    }
    const auto keyOf = [&](int node, Run& key) {
        const int begin = linkBegin_[static_cast<std::size_t>(node)];
        key.links = linkBegin_[static_cast<std::size_t>(node) + 1] - begin;
        key.resting = restingNode[static_cast<std::size_t>(node)] != 0;
        key.massKind = massKind_[static_cast<std::size_t>(node)];
        if (key.links > kMaxRunLinks) {
            key.links = kGeneralRun;
            return;
        }
        for (int s = 0; s < kMaxRunLinks; ++s) {
            const bool used = s < key.links;
            key.offset[s] = used ? linkOther_[static_cast<std::size_t>(begin + s)] - node * stride : 0;
            key.stiffness[s] = used ? linkStiffness_[static_cast<std::size_t>(begin + s)] : 0;
        }
    };
    const auto sameKey = [](const Run& a, const Run& b) {
        return a.links == b.links && a.resting == b.resting && a.massKind == b.massKind &&
               std::equal(a.offset, a.offset + kMaxRunLinks, b.offset) &&
               std::equal(a.stiffness, a.stiffness + kMaxRunLinks, b.stiffness);
    };
    constexpr int kShortestRun = 2;
    for (int i = 0; i < nodeCount_;) {
        Run key;
        keyOf(i, key);
        int end = i + 1;
        Run next;
        while (key.links != kGeneralRun && end < nodeCount_ && (keyOf(end, next), sameKey(key, next))) {
            ++end;
        }
        if (key.links == kGeneralRun || (end - i < kShortestRun && !key.resting)) {
            key = Run{};
            // A general run goes on up to the next node that starts a run.
            while (end < nodeCount_) {
                Run following, afterIt;
                keyOf(end, following);
                const bool startsRun =
                    following.resting || (following.links != kGeneralRun && end + 1 < nodeCount_ &&
                                          (keyOf(end + 1, afterIt), sameKey(following, afterIt)));
                if (startsRun) {
                    break;
                }
                ++end;
            }
        }
        key.end = end;
        // The springs to the nodes before and after, one listed after the
        // other (as a node's springs usually are, by the other node's place),
        // where both have one stiffness.
        for (int to = 0; to + 1 < key.links; ++to) {
            if (key.offset[to] == -stride && key.offset[to + 1] == stride &&
                key.stiffness[to] == key.stiffness[to + 1]) {
                key.carriedTo = to;
            }
        }
        std::fill(runOfNode_.begin() + i, runOfNode_.begin() + end, static_cast<int>(runs_.size()));
        if (key.resting) {
            for (int node = i; node < end; ++node) {
                restingNodes_.push_back(node);
            }
        }
        runs_.push_back(key);
        i = end;
    }

    // Vector loads need whole vectors aligned: the table and the state start
    // on a cache line.
    constexpr std::size_t kLineDoubles = 64 / sizeof(double);
    laneStiffness_.assign(distinctStiffness_.size() * static_cast<std::size_t>(arrayLanes_) + kLineDoubles,
                          0.0);
    state_.assign(nodes * static_cast<std::size_t>(stride) + kLineDoubles, 0.0);
    stateOffset_ = static_cast<std::ptrdiff_t>((64 - reinterpret_cast<std::uintptr_t>(state_.data()) % 64) %
                                               64 / sizeof(double));
    for (int lane = 0; lane < laneCount_; ++lane) {
        resetLaneStiffness(lane);
        resetLane(lane);
    }
}

namespace {
double* alignedStart(std::vector<double>& values) {
    const auto offset = (64 - reinterpret_cast<std::uintptr_t>(values.data()) % 64) % 64 / sizeof(double);
    return values.data() + offset;
}
} // namespace

void BatchedRungeKuttaKernel::resetLane(int lane) {
    double* x = displacements() + lane;
    double* v = velocities() + lane;
    for (std::size_t i = 0; i < initialX_.size(); ++i) {
        x[static_cast<std::ptrdiff_t>(i) * nodeStride_] = initialX_[i];
        v[static_cast<std::ptrdiff_t>(i) * nodeStride_] = initialV_[i];
    }
}

void BatchedRungeKuttaKernel::clearLane(int lane) {
    double* x = displacements() + lane;
    double* v = velocities() + lane;
    for (int i = 0; i < nodeCount_; ++i) {
        x[static_cast<std::ptrdiff_t>(i) * nodeStride_] = 0.0;
        v[static_cast<std::ptrdiff_t>(i) * nodeStride_] = 0.0;
    }
}

void BatchedRungeKuttaKernel::resetLaneStiffness(int lane) {
    double* k = alignedStart(laneStiffness_) + lane;
    for (std::size_t d = 0; d < distinctStiffness_.size(); ++d) {
        k[static_cast<std::ptrdiff_t>(d) * arrayLanes_] = distinctStiffness_[d];
    }
}

void BatchedRungeKuttaKernel::scaleLaneStiffness(int lane, double factor) {
    double* k = alignedStart(laneStiffness_) + lane;
    for (std::size_t d = 0; d < distinctStiffness_.size(); ++d) {
        double& value = k[static_cast<std::ptrdiff_t>(d) * arrayLanes_];
        value = value * factor;
    }
}

void BatchedRungeKuttaKernel::advance() {
    if (nodeCount_ == 0) {
        return;
    }
    const bool skipResting = !restingNodes_.empty() && restingNodesAtRest();
    if (skipResting) {
        settleRestingStages();
    }
    double* state = displacements();
    const Tables tables{runs_.data(),      runOfNode_.data(),     linkBegin_.data(),
                        linkOther_.data(), linkStiffness_.data(), alignedStart(laneStiffness_),
                        mass_.data(),      inverseMass_.data(),   massKind_.data(),
                        arrayLanes_,       nodeStride_,           skipResting};
    // 2·k as a multiplication: a constant 2 the compiler would turn into
    // k + k, loading the adders, which the stages keep busier than the multipliers.
    volatile double two = 2.0;
    const Factors factors{constants_.timeStep / 2.0,
                          constants_.timeStep,
                          constants_.accumulatorWeight,
                          constants_.linearDamping,
                          constants_.squareDamping * 1.0,
                          constants_.squareDamping * -1.0,
                          two};
    const int lag = wavefrontLag_;
    const auto run = [&](auto stageFunction, int begin) {
        const int from = std::max(begin, 0);
        const int to = std::min(begin + lag, nodeCount_);
        if (from < to) {
            stageFunction(state, from, to, tables, factors);
        }
    };
    const auto sweep = [&](auto first, auto second, auto third, auto last) {
        for (int begin = 0; begin < nodeCount_ + 3 * lag; begin += lag) {
            run(first, begin);
            run(second, begin - lag);
            run(third, begin - 2 * lag);
            run(last, begin - 3 * lag);
        }
    };
#ifdef MUNTERO_HAVE_X86_VECTOR
    if (vectorWidth_ == 8) {
        sweep(vectorStage<kFirst, eight::Kernels>, vectorStage<kSecond, eight::Kernels>,
              vectorStage<kThird, eight::Kernels>, vectorStage<kLast, eight::Kernels>);
    } else if (vectorWidth_ == 4 && arrayLanes_ == PairedFourLaneOps::kWidth) {
        sweep(vectorStage<kFirst, fourPaired::Kernels>, vectorStage<kSecond, fourPaired::Kernels>,
              vectorStage<kThird, fourPaired::Kernels>, vectorStage<kLast, fourPaired::Kernels>);
    } else if (vectorWidth_ == 4) {
        sweep(vectorStage<kFirst, four::Kernels>, vectorStage<kSecond, four::Kernels>,
              vectorStage<kThird, four::Kernels>, vectorStage<kLast, four::Kernels>);
    } else
#endif
    {
        sweep(plainStage<kFirst>, plainStage<kSecond>, plainStage<kThird>, plainStage<kLast>);
    }
    if (skipResting) {
        settleRestingNodes();
    }
}

bool BatchedRungeKuttaKernel::restingNodesAtRest() const {
    const double* v = state_.data() + stateOffset_ + kV * arrayLanes_;
    std::uint64_t bits = 0;
    for (const int node : restingNodes_) {
        const double* values = v + std::ptrdiff_t{node} * nodeStride_;
        for (int lane = 0; lane < arrayLanes_; ++lane) {
            std::uint64_t valueBits = 0;
            std::memcpy(&valueBits, values + lane, sizeof valueBits);
            bits |= valueBits;
        }
    }
    return bits == 0; // +0 in every lane
}

// What the stages write for a resting node: x + (h/2)·0 and x + h·0, both x + 0.
void BatchedRungeKuttaKernel::settleRestingStages() {
    for (const int node : restingNodes_) {
        double* values = displacements() + std::ptrdiff_t{node} * nodeStride_;
        for (int lane = 0; lane < arrayLanes_; ++lane) {
            const double settled = values[lane] + 0.0;
            values[kStageAX * arrayLanes_ + lane] = settled;
            values[kStageBX * arrayLanes_ + lane] = settled;
        }
    }
}

// The last stage's update, x + (h/6)·0; the velocity stays +0.
void BatchedRungeKuttaKernel::settleRestingNodes() {
    for (const int node : restingNodes_) {
        double* x = displacements() + std::ptrdiff_t{node} * nodeStride_;
        for (int lane = 0; lane < arrayLanes_; ++lane) {
            x[lane] = x[lane] + 0.0;
        }
    }
}

int BatchedRungeKuttaKernel::vectorWidthFor(KernelChoice choice) {
    const bool wide = choice != KernelChoice::plain && choice != KernelChoice::avx2 &&
                      choice != KernelChoice::avx2Banded && RungeKuttaKernel::wideKernelAvailable();
    const bool narrow = choice != KernelChoice::plain && RungeKuttaKernel::vectorKernelAvailable();
    return wide ? 8 : narrow ? 4 : 0;
}

} // namespace muntero
