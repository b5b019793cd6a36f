#include <muntero/BatchedRungeKuttaKernel.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MUNTERO_HAVE_X86_VECTOR 1
#endif

namespace muntero {

namespace {

enum Stage { kFirst, kSecond, kThird, kLast };

// How a node's spring sum becomes its acceleration: a / m, or a · (1/m),
// which is the same number when 1/m is exact (m a power of two), or a alone
// when m is 1.
constexpr unsigned char kDivide = 0;
constexpr unsigned char kReciprocal = 1;
constexpr unsigned char kUnitMass = 2;

struct Arrays {
    double* x;
    double* v;
    const double* stageX; // the state the derivative is taken at
    const double* stageV;
    double* nextX; // the state of the following stage
    double* nextV;
    double* accX;
    double* accV;
};

using Run = detail::BatchRun;
constexpr int kMaxRunLinks = Run::kMaxLinks;
constexpr int kGeneralRun = -1;

// Calls run(std::integral_constant<int, n>{}) for a run's link count n (0..kMaxRunLinks).
template <typename Call>
inline void withLinkCount(int links, Call&& call) {
    static_assert(kMaxRunLinks == 6, "one case per link count");
    switch (links) {
    case 0:
        call(std::integral_constant<int, 0>{});
        break;
    case 1:
        call(std::integral_constant<int, 1>{});
        break;
    case 2:
        call(std::integral_constant<int, 2>{});
        break;
    case 3:
        call(std::integral_constant<int, 3>{});
        break;
    case 4:
        call(std::integral_constant<int, 4>{});
        break;
    case 5:
        call(std::integral_constant<int, 5>{});
        break;
    default:
        call(std::integral_constant<int, 6>{});
        break;
    }
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
    std::ptrdiff_t stride;
    bool skipResting; // the resting nodes rest in every lane this step
};

template <Stage stage>
inline void combine(const Arrays& a, std::ptrdiff_t i, double dx, double dv, double halfStep, double step,
                    double weight) {
    if constexpr (stage == kFirst) {
        a.accX[i] = dx;
        a.accV[i] = dv;
        a.nextX[i] = a.x[i] + halfStep * dx;
        a.nextV[i] = a.v[i] + halfStep * dv;
    } else if constexpr (stage == kSecond) {
        a.accX[i] = a.accX[i] + 2.0 * dx;
        a.accV[i] = a.accV[i] + 2.0 * dv;
        a.nextX[i] = a.x[i] + halfStep * dx;
        a.nextV[i] = a.v[i] + halfStep * dv;
    } else if constexpr (stage == kThird) {
        a.accX[i] = a.accX[i] + 2.0 * dx;
        a.accV[i] = a.accV[i] + 2.0 * dv;
        a.nextX[i] = a.x[i] + step * dx;
        a.nextV[i] = a.v[i] + step * dv;
    } else {
        const double accX = a.accX[i] + dx;
        const double accV = a.accV[i] + dv;
        a.x[i] = a.x[i] + weight * accX;
        a.v[i] = a.v[i] + weight * accV;
    }
}

// The nodes [begin, end) of one stage, every lane, one value at a time: the
// operations of RungeKuttaKernel's plain stage.
template <Stage stage>
void plainStage(const Arrays& a, int begin, int end, const Tables& t, const StepConstants& c,
                double halfStep) {
    for (int i = begin; i < end; ++i) {
        if (t.skipResting && t.runs[t.runOfNode[i]].resting) {
            continue;
        }
        const std::ptrdiff_t base = std::ptrdiff_t{i} * t.stride;
        for (std::ptrdiff_t lane = 0; lane < t.stride; ++lane) {
            const double xi = a.stageX[base + lane];
            double acceleration = 0.0;
            for (int l = t.linkBegin[i]; l < t.linkBegin[i + 1]; ++l) {
                acceleration = acceleration - (xi - a.stageX[t.linkOther[l] + lane]) *
                                                  t.laneStiffness[t.linkStiffness[l] + lane];
            }
            acceleration = acceleration / t.mass[i];
            const double vi = a.stageV[base + lane];
            const double sign = vi > 0.0 ? 1.0 : -1.0;
            const double dv = acceleration - (c.linearDamping + c.squareDamping * sign * vi) * vi;
            combine<stage>(a, base + lane, vi, dv, halfStep, c.timeStep, c.accumulatorWeight);
        }
    }
}

#ifdef MUNTERO_HAVE_X86_VECTOR

template <Stage stage>
__attribute__((target("avx2"))) inline void combine4(const Arrays& a, std::ptrdiff_t i, __m256d dx,
                                                     __m256d dv, __m256d halfStep, __m256d step,
                                                     __m256d weight) {
    const __m256d two = _mm256_set1_pd(2.0);
    if constexpr (stage == kFirst) {
        _mm256_store_pd(a.accX + i, dx);
        _mm256_store_pd(a.accV + i, dv);
        _mm256_store_pd(a.nextX + i, _mm256_add_pd(_mm256_load_pd(a.x + i), _mm256_mul_pd(halfStep, dx)));
        _mm256_store_pd(a.nextV + i, _mm256_add_pd(_mm256_load_pd(a.v + i), _mm256_mul_pd(halfStep, dv)));
    } else if constexpr (stage == kSecond || stage == kThird) {
        const __m256d factor = stage == kSecond ? halfStep : step;
        _mm256_store_pd(a.accX + i, _mm256_add_pd(_mm256_load_pd(a.accX + i), _mm256_mul_pd(two, dx)));
        _mm256_store_pd(a.accV + i, _mm256_add_pd(_mm256_load_pd(a.accV + i), _mm256_mul_pd(two, dv)));
        _mm256_store_pd(a.nextX + i, _mm256_add_pd(_mm256_load_pd(a.x + i), _mm256_mul_pd(factor, dx)));
        _mm256_store_pd(a.nextV + i, _mm256_add_pd(_mm256_load_pd(a.v + i), _mm256_mul_pd(factor, dv)));
    } else {
        const __m256d accX = _mm256_add_pd(_mm256_load_pd(a.accX + i), dx);
        const __m256d accV = _mm256_add_pd(_mm256_load_pd(a.accV + i), dv);
        _mm256_store_pd(a.x + i, _mm256_add_pd(_mm256_load_pd(a.x + i), _mm256_mul_pd(weight, accX)));
        _mm256_store_pd(a.v + i, _mm256_add_pd(_mm256_load_pd(a.v + i), _mm256_mul_pd(weight, accV)));
    }
}

// plainStage four lanes at a time; the state is aligned to whole vectors.
// `links` is a run's link count, or kGeneralRun to read the springs from the tables.
template <Stage stage, int links>
__attribute__((target("avx2"))) void stage4(const Arrays arrays, int begin, int end, const Tables tables,
                                            const Run& run, const StepConstants& c, double halfStepValue) {
    // Local copies: the vector stores may alias anything.
    const Arrays a = arrays;
    const Tables t = tables;
    std::ptrdiff_t offset[kMaxRunLinks];
    std::ptrdiff_t stiffness[kMaxRunLinks];
    for (int s = 0; s < kMaxRunLinks; ++s) {
        offset[s] = run.offset[s];
        stiffness[s] = run.stiffness[s];
    }
    const __m256d halfStep = _mm256_set1_pd(halfStepValue);
    const __m256d step = _mm256_set1_pd(c.timeStep);
    const __m256d weight = _mm256_set1_pd(c.accumulatorWeight);
    const __m256d linear = _mm256_set1_pd(c.linearDamping);
    const __m256d squarePositive = _mm256_set1_pd(c.squareDamping * 1.0);
    const __m256d squareNegative = _mm256_set1_pd(c.squareDamping * -1.0);
    const __m256d zero = _mm256_setzero_pd();
    if constexpr (links != kGeneralRun) {
        if (t.stride == 4) {
            // One vector a node: the run's stiffnesses stay in registers.
            __m256d k[links > 0 ? links : 1];
            for (int s = 0; s < links; ++s) {
                k[s] = _mm256_load_pd(t.laneStiffness + stiffness[s]);
            }
            const int carriedFrom = run.carriedFrom;
            const int carriedTo = run.carriedTo;
            __m256d carried = zero;
            for (int i = begin; i < end; ++i) {
                const std::ptrdiff_t base = std::ptrdiff_t{i} * 4;
                const double* x = a.stageX + base;
                const __m256d xi = _mm256_load_pd(x);
                __m256d acceleration = zero;
                __m256d carriedNext = zero;
                for (int s = 0; s < links; ++s) {
                    if (s == carriedTo && i != begin) {
                        // The sum never holds -0 (it starts at +0), so
                        // a - f(i, i-1) is a + f(i-1, i), bit for bit.
                        acceleration = _mm256_add_pd(acceleration, carried);
                        continue;
                    }
                    const __m256d xj = _mm256_load_pd(x + offset[s]);
                    const __m256d term = _mm256_mul_pd(_mm256_sub_pd(xi, xj), k[s]);
                    acceleration = _mm256_sub_pd(acceleration, term);
                    if (s == carriedFrom) {
                        carriedNext = term;
                    }
                }
                carried = carriedNext;
                const unsigned char massKind = t.massKind[i];
                if (massKind == kReciprocal) {
                    acceleration = _mm256_mul_pd(acceleration, _mm256_set1_pd(t.inverseMass[i]));
                } else if (massKind == kDivide) {
                    acceleration = _mm256_div_pd(acceleration, _mm256_set1_pd(t.mass[i]));
                }
                const __m256d vi = _mm256_load_pd(a.stageV + base);
                const __m256d square =
                    _mm256_blendv_pd(squareNegative, squarePositive, _mm256_cmp_pd(vi, zero, _CMP_GT_OQ));
                const __m256d damping = _mm256_mul_pd(_mm256_add_pd(linear, _mm256_mul_pd(square, vi)), vi);
                combine4<stage>(a, base, vi, _mm256_sub_pd(acceleration, damping), halfStep, step, weight);
            }
            return;
        }
    }
    for (int i = begin; i < end; ++i) {
        const std::ptrdiff_t base = std::ptrdiff_t{i} * t.stride;
        const unsigned char massKind = t.massKind[i];
        const __m256d mass = _mm256_set1_pd(t.mass[i]);
        const __m256d inverseMass = _mm256_set1_pd(t.inverseMass[i]);
        for (std::ptrdiff_t lane = 0; lane < t.stride; lane += 4) {
            const double* x = a.stageX + base + lane;
            const __m256d xi = _mm256_load_pd(x);
            __m256d acceleration = zero;
            if constexpr (links == kGeneralRun) {
                for (int l = t.linkBegin[i]; l < t.linkBegin[i + 1]; ++l) {
                    const __m256d xj = _mm256_load_pd(a.stageX + t.linkOther[l] + lane);
                    const __m256d k = _mm256_load_pd(t.laneStiffness + t.linkStiffness[l] + lane);
                    acceleration = _mm256_sub_pd(acceleration, _mm256_mul_pd(_mm256_sub_pd(xi, xj), k));
                }
            } else {
                for (int s = 0; s < links; ++s) {
                    const __m256d xj = _mm256_load_pd(x + offset[s]);
                    const __m256d k = _mm256_load_pd(t.laneStiffness + stiffness[s] + lane);
                    acceleration = _mm256_sub_pd(acceleration, _mm256_mul_pd(_mm256_sub_pd(xi, xj), k));
                }
            }
            if (massKind == kReciprocal) {
                acceleration = _mm256_mul_pd(acceleration, inverseMass);
            } else if (massKind == kDivide) {
                acceleration = _mm256_div_pd(acceleration, mass);
            }
            const __m256d vi = _mm256_load_pd(a.stageV + base + lane);
            const __m256d square =
                _mm256_blendv_pd(squareNegative, squarePositive, _mm256_cmp_pd(vi, zero, _CMP_GT_OQ));
            const __m256d damping = _mm256_mul_pd(_mm256_add_pd(linear, _mm256_mul_pd(square, vi)), vi);
            combine4<stage>(a, base + lane, vi, _mm256_sub_pd(acceleration, damping), halfStep, step, weight);
        }
    }
}

template <Stage stage>
__attribute__((target("avx512f"))) inline void combine8(const Arrays& a, std::ptrdiff_t i, __m512d dx,
                                                        __m512d dv, __m512d halfStep, __m512d step,
                                                        __m512d weight) {
    const __m512d two = _mm512_set1_pd(2.0);
    if constexpr (stage == kFirst) {
        _mm512_store_pd(a.accX + i, dx);
        _mm512_store_pd(a.accV + i, dv);
        _mm512_store_pd(a.nextX + i, _mm512_add_pd(_mm512_load_pd(a.x + i), _mm512_mul_pd(halfStep, dx)));
        _mm512_store_pd(a.nextV + i, _mm512_add_pd(_mm512_load_pd(a.v + i), _mm512_mul_pd(halfStep, dv)));
    } else if constexpr (stage == kSecond || stage == kThird) {
        const __m512d factor = stage == kSecond ? halfStep : step;
        _mm512_store_pd(a.accX + i, _mm512_add_pd(_mm512_load_pd(a.accX + i), _mm512_mul_pd(two, dx)));
        _mm512_store_pd(a.accV + i, _mm512_add_pd(_mm512_load_pd(a.accV + i), _mm512_mul_pd(two, dv)));
        _mm512_store_pd(a.nextX + i, _mm512_add_pd(_mm512_load_pd(a.x + i), _mm512_mul_pd(factor, dx)));
        _mm512_store_pd(a.nextV + i, _mm512_add_pd(_mm512_load_pd(a.v + i), _mm512_mul_pd(factor, dv)));
    } else {
        const __m512d accX = _mm512_add_pd(_mm512_load_pd(a.accX + i), dx);
        const __m512d accV = _mm512_add_pd(_mm512_load_pd(a.accV + i), dv);
        _mm512_store_pd(a.x + i, _mm512_add_pd(_mm512_load_pd(a.x + i), _mm512_mul_pd(weight, accX)));
        _mm512_store_pd(a.v + i, _mm512_add_pd(_mm512_load_pd(a.v + i), _mm512_mul_pd(weight, accV)));
    }
}

// stage4 eight lanes at a time.
template <Stage stage, int links>
__attribute__((target("avx512f"))) void stage8(const Arrays arrays, int begin, int end, const Tables tables,
                                               const Run& run, const StepConstants& c, double halfStepValue) {
    const Arrays a = arrays;
    const Tables t = tables;
    std::ptrdiff_t offset[kMaxRunLinks];
    std::ptrdiff_t stiffness[kMaxRunLinks];
    for (int s = 0; s < kMaxRunLinks; ++s) {
        offset[s] = run.offset[s];
        stiffness[s] = run.stiffness[s];
    }
    const __m512d halfStep = _mm512_set1_pd(halfStepValue);
    const __m512d step = _mm512_set1_pd(c.timeStep);
    const __m512d weight = _mm512_set1_pd(c.accumulatorWeight);
    const __m512d linear = _mm512_set1_pd(c.linearDamping);
    const __m512d squarePositive = _mm512_set1_pd(c.squareDamping * 1.0);
    const __m512d squareNegative = _mm512_set1_pd(c.squareDamping * -1.0);
    const __m512d zero = _mm512_setzero_pd();
    if constexpr (links != kGeneralRun) {
        if (t.stride == 8) {
            // One vector a node: the run's stiffnesses stay in registers.
            __m512d k[links > 0 ? links : 1];
            for (int s = 0; s < links; ++s) {
                k[s] = _mm512_load_pd(t.laneStiffness + stiffness[s]);
            }
            const int carriedFrom = run.carriedFrom;
            const int carriedTo = run.carriedTo;
            __m512d carried = zero;
            for (int i = begin; i < end; ++i) {
                const std::ptrdiff_t base = std::ptrdiff_t{i} * 8;
                const double* x = a.stageX + base;
                const __m512d xi = _mm512_load_pd(x);
                __m512d acceleration = zero;
                __m512d carriedNext = zero;
                for (int s = 0; s < links; ++s) {
                    if (s == carriedTo && i != begin) {
                        acceleration = _mm512_add_pd(acceleration, carried);
                        continue;
                    }
                    const __m512d xj = _mm512_load_pd(x + offset[s]);
                    const __m512d term = _mm512_mul_pd(_mm512_sub_pd(xi, xj), k[s]);
                    acceleration = _mm512_sub_pd(acceleration, term);
                    if (s == carriedFrom) {
                        carriedNext = term;
                    }
                }
                carried = carriedNext;
                const unsigned char massKind = t.massKind[i];
                if (massKind == kReciprocal) {
                    acceleration = _mm512_mul_pd(acceleration, _mm512_set1_pd(t.inverseMass[i]));
                } else if (massKind == kDivide) {
                    acceleration = _mm512_div_pd(acceleration, _mm512_set1_pd(t.mass[i]));
                }
                const __m512d vi = _mm512_load_pd(a.stageV + base);
                const __m512d square = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(vi, zero, _CMP_GT_OQ),
                                                            squareNegative, squarePositive);
                const __m512d damping = _mm512_mul_pd(_mm512_add_pd(linear, _mm512_mul_pd(square, vi)), vi);
                combine8<stage>(a, base, vi, _mm512_sub_pd(acceleration, damping), halfStep, step, weight);
            }
            return;
        }
    }
    for (int i = begin; i < end; ++i) {
        const std::ptrdiff_t base = std::ptrdiff_t{i} * t.stride;
        const unsigned char massKind = t.massKind[i];
        const __m512d mass = _mm512_set1_pd(t.mass[i]);
        const __m512d inverseMass = _mm512_set1_pd(t.inverseMass[i]);
        for (std::ptrdiff_t lane = 0; lane < t.stride; lane += 8) {
            const double* x = a.stageX + base + lane;
            const __m512d xi = _mm512_load_pd(x);
            __m512d acceleration = zero;
            if constexpr (links == kGeneralRun) {
                for (int l = t.linkBegin[i]; l < t.linkBegin[i + 1]; ++l) {
                    const __m512d xj = _mm512_load_pd(a.stageX + t.linkOther[l] + lane);
                    const __m512d k = _mm512_load_pd(t.laneStiffness + t.linkStiffness[l] + lane);
                    acceleration = _mm512_sub_pd(acceleration, _mm512_mul_pd(_mm512_sub_pd(xi, xj), k));
                }
            } else {
                for (int s = 0; s < links; ++s) {
                    const __m512d xj = _mm512_load_pd(x + offset[s]);
                    const __m512d k = _mm512_load_pd(t.laneStiffness + stiffness[s] + lane);
                    acceleration = _mm512_sub_pd(acceleration, _mm512_mul_pd(_mm512_sub_pd(xi, xj), k));
                }
            }
            if (massKind == kReciprocal) {
                acceleration = _mm512_mul_pd(acceleration, inverseMass);
            } else if (massKind == kDivide) {
                acceleration = _mm512_div_pd(acceleration, mass);
            }
            const __m512d vi = _mm512_load_pd(a.stageV + base + lane);
            const __m512d square = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(vi, zero, _CMP_GT_OQ),
                                                        squareNegative, squarePositive);
            const __m512d damping = _mm512_mul_pd(_mm512_add_pd(linear, _mm512_mul_pd(square, vi)), vi);
            combine8<stage>(a, base + lane, vi, _mm512_sub_pd(acceleration, damping), halfStep, step, weight);
        }
    }
}

// The nodes [begin, end) of one stage run by run, each through `Kernel`'s
// unrolled form for its link count or its general form.
template <Stage stage, template <Stage, int> class Kernel>
void byRuns(const Arrays& a, int begin, int end, const Tables& t, const StepConstants& c, double halfStep) {
    int r = t.runOfNode[begin];
    for (int i = begin; i < end; ++r) {
        const Run& run = t.runs[r];
        const int runEnd = std::min(run.end, end);
        if (run.resting && t.skipResting) {
            // settled before and after the step
        } else if (run.links == kGeneralRun) {
            Kernel<stage, kGeneralRun>::step(a, i, runEnd, t, run, c, halfStep);
        } else {
            withLinkCount(run.links, [&](auto links) {
                Kernel<stage, decltype(links)::value>::step(a, i, runEnd, t, run, c, halfStep);
            });
        }
        i = runEnd;
    }
}

template <Stage stage, int links>
struct FourLanes {
    static void step(const Arrays& a, int begin, int end, const Tables& t, const Run& run,
                     const StepConstants& c, double halfStep) {
        stage4<stage, links>(a, begin, end, t, run, c, halfStep);
    }
};

template <Stage stage, int links>
struct EightLanes {
    static void step(const Arrays& a, int begin, int end, const Tables& t, const Run& run,
                     const StepConstants& c, double halfStep) {
        stage8<stage, links>(a, begin, end, t, run, c, halfStep);
    }
};

template <Stage stage>
void fourLaneStage(const Arrays& a, int begin, int end, const Tables& t, const StepConstants& c,
                   double halfStep) {
    byRuns<stage, FourLanes>(a, begin, end, t, c, halfStep);
}

template <Stage stage>
void eightLaneStage(const Arrays& a, int begin, int end, const Tables& t, const StepConstants& c,
                    double halfStep) {
    byRuns<stage, EightLanes>(a, begin, end, t, c, halfStep);
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
    const bool wide = choice != KernelChoice::plain && choice != KernelChoice::avx2 &&
                      choice != KernelChoice::avx2Banded && RungeKuttaKernel::wideKernelAvailable();
    const bool narrow = choice != KernelChoice::plain && RungeKuttaKernel::vectorKernelAvailable();
    vectorWidth_ = wide ? 8 : narrow ? 4 : 0;
    const int width = std::max(1, vectorWidth_);
    laneStride_ = (laneCount + width - 1) / width * width;
    const std::ptrdiff_t stride = laneStride_;
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
            linkStiffness_.push_back((found - distinctStiffness_.begin()) * stride);
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
        return a.links == b.links && a.resting == b.resting &&
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
        // The springs to the nodes before and after, where both have one stiffness.
        for (int from = 0; from < key.links; ++from) {
            for (int to = 0; to < key.links; ++to) {
                if (key.offset[from] == stride && key.offset[to] == -stride &&
                    key.stiffness[from] == key.stiffness[to]) {
                    key.carriedFrom = from;
                    key.carriedTo = to;
                }
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
    laneStiffness_.assign(distinctStiffness_.size() * static_cast<std::size_t>(stride) + kLineDoubles, 0.0);
    // Arrays at equal offsets modulo 4 KiB make loads wait on unrelated stores.
    arrayStride_ = static_cast<std::ptrdiff_t>(nodes) * stride + 72;
    state_.assign(static_cast<std::size_t>(arrayStride_) * kStateArrays + kLineDoubles, 0.0);
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
    double* x = array(kX) + lane;
    double* v = array(kV) + lane;
    for (std::size_t i = 0; i < initialX_.size(); ++i) {
        x[static_cast<std::ptrdiff_t>(i) * laneStride_] = initialX_[i];
        v[static_cast<std::ptrdiff_t>(i) * laneStride_] = initialV_[i];
    }
}

void BatchedRungeKuttaKernel::clearLane(int lane) {
    double* x = array(kX) + lane;
    double* v = array(kV) + lane;
    for (int i = 0; i < nodeCount_; ++i) {
        x[static_cast<std::ptrdiff_t>(i) * laneStride_] = 0.0;
        v[static_cast<std::ptrdiff_t>(i) * laneStride_] = 0.0;
    }
}

void BatchedRungeKuttaKernel::resetLaneStiffness(int lane) {
    double* k = alignedStart(laneStiffness_) + lane;
    for (std::size_t d = 0; d < distinctStiffness_.size(); ++d) {
        k[static_cast<std::ptrdiff_t>(d) * laneStride_] = distinctStiffness_[d];
    }
}

void BatchedRungeKuttaKernel::scaleLaneStiffness(int lane, double factor) {
    double* k = alignedStart(laneStiffness_) + lane;
    for (std::size_t d = 0; d < distinctStiffness_.size(); ++d) {
        double& value = k[static_cast<std::ptrdiff_t>(d) * laneStride_];
        value = value * factor;
    }
}

void BatchedRungeKuttaKernel::advance() {
    if (nodeCount_ == 0) {
        return;
    }
    const double halfStep = constants_.timeStep / 2.0;
    const bool skipResting = !restingNodes_.empty() && restingNodesAtRest();
    if (skipResting) {
        settleRestingStages();
    }
    double* x = array(kX);
    double* v = array(kV);
    double* stageAX = array(kStageAX);
    double* stageAV = array(kStageAV);
    double* stageBX = array(kStageBX);
    double* stageBV = array(kStageBV);
    double* accX = array(kAccX);
    double* accV = array(kAccV);
    const Arrays first{x, v, x, v, stageAX, stageAV, accX, accV};
    const Arrays second{x, v, stageAX, stageAV, stageBX, stageBV, accX, accV};
    const Arrays third{x, v, stageBX, stageBV, stageAX, stageAV, accX, accV};
    const Arrays last{x, v, stageAX, stageAV, nullptr, nullptr, accX, accV};
    const Tables tables{runs_.data(),
                        runOfNode_.data(),
                        linkBegin_.data(),
                        linkOther_.data(),
                        linkStiffness_.data(),
                        alignedStart(laneStiffness_),
                        mass_.data(),
                        inverseMass_.data(),
                        massKind_.data(),
                        laneStride_,
                        skipResting};
    const int lag = wavefrontLag_;
    const auto run = [&](auto stageFunction, const Arrays& arrays, int begin) {
        const int from = std::max(begin, 0);
        const int to = std::min(begin + lag, nodeCount_);
        if (from < to) {
            stageFunction(arrays, from, to, tables, constants_, halfStep);
        }
    };
    for (int begin = 0; begin < nodeCount_ + 3 * lag; begin += lag) {
#ifdef MUNTERO_HAVE_X86_VECTOR
        if (vectorWidth_ == 8) {
            run(eightLaneStage<kFirst>, first, begin);
            run(eightLaneStage<kSecond>, second, begin - lag);
            run(eightLaneStage<kThird>, third, begin - 2 * lag);
            run(eightLaneStage<kLast>, last, begin - 3 * lag);
            continue;
        }
        if (vectorWidth_ == 4) {
            run(fourLaneStage<kFirst>, first, begin);
            run(fourLaneStage<kSecond>, second, begin - lag);
            run(fourLaneStage<kThird>, third, begin - 2 * lag);
            run(fourLaneStage<kLast>, last, begin - 3 * lag);
            continue;
        }
#endif
        run(plainStage<kFirst>, first, begin);
        run(plainStage<kSecond>, second, begin - lag);
        run(plainStage<kThird>, third, begin - 2 * lag);
        run(plainStage<kLast>, last, begin - 3 * lag);
    }
    if (skipResting) {
        settleRestingNodes();
    }
}

bool BatchedRungeKuttaKernel::restingNodesAtRest() const {
    const double* v = state_.data() + stateOffset_ + kV * arrayStride_;
    std::uint64_t bits = 0;
    for (const int node : restingNodes_) {
        const double* values = v + std::ptrdiff_t{node} * laneStride_;
        for (int lane = 0; lane < laneStride_; ++lane) {
            std::uint64_t valueBits = 0;
            std::memcpy(&valueBits, values + lane, sizeof valueBits);
            bits |= valueBits;
        }
    }
    return bits == 0; // +0 in every lane
}

// What the stages write for a resting node: x + (h/2)·0 and x + h·0, both x + 0.
void BatchedRungeKuttaKernel::settleRestingStages() {
    const double* x = array(kX);
    double* stageAX = array(kStageAX);
    double* stageBX = array(kStageBX);
    for (const int node : restingNodes_) {
        const std::ptrdiff_t first = std::ptrdiff_t{node} * laneStride_;
        for (std::ptrdiff_t at = first; at < first + laneStride_; ++at) {
            const double settled = x[at] + 0.0;
            stageAX[at] = settled;
            stageBX[at] = settled;
        }
    }
}

// The last stage's update, x + (h/6)·0; the velocity stays +0.
void BatchedRungeKuttaKernel::settleRestingNodes() {
    double* x = array(kX);
    for (const int node : restingNodes_) {
        const std::ptrdiff_t first = std::ptrdiff_t{node} * laneStride_;
        for (std::ptrdiff_t at = first; at < first + laneStride_; ++at) {
            x[at] = x[at] + 0.0;
        }
    }
}

bool batchingPaysFor(const RungeKuttaKernel& single) {
    if (!single.usesVectorKernel() || RungeKuttaKernel::wideKernelAvailable()) {
        return true; // the batch's vectors are all the gain, or its eight lanes beat every single kernel
    }
    const int groups = (single.nodeCount() + single.vectorWidth() - 1) / single.vectorWidth();
    return 2 * single.bandedGroupCount() < groups;
}

} // namespace muntero
