#include <muntero/RungeKuttaKernel.h>

#include <algorithm>
#include <cmath>
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

constexpr int kLanes = 4;     // of the AVX2 kernel
constexpr int kWideLanes = 8; // of the AVX-512 kernel
constexpr int kMaxLanes = 8;
constexpr std::uint8_t kContiguous = 1;      // the four other nodes are consecutive
constexpr std::uint8_t kAllActive = 2;       // every lane has a link in this slot
constexpr std::uint8_t kRegularGroup = 1;    // every slot of the group is contiguous and all active
constexpr std::uint8_t kExactReciprocal = 2; // every 1/m of the group is exact
constexpr std::uint8_t kUnitMasses = 4;      // every m is 1: a / 1 is a, bit for bit
constexpr std::uint8_t kAllActiveGroup = 8;  // every slot of the group has every lane active

// The four Runge-Kutta stages differ only in how the derivative k is used:
// what joins the accumulator and which state the next stage reads.
enum Stage { kFirst, kSecond, kThird, kLast };

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

// A band (see bandStage) as kBandInts integers: its end group, its slot
// count, its mass mode (kUnitMasses, kExactReciprocal or 0 to divide),
// kMaxBandSlots offsets from a group's first node, one per slot, and whether
// every active lane of each slot has one stiffness throughout the band (then
// kMaxBandSlots values of the band's stiffness table hold them).
constexpr int kMaxBandSlots = 6;
constexpr int kBandEnd = 0;
constexpr int kBandSlots = 1;
constexpr int kBandMassMode = 2;
constexpr int kBandOffsets = 3;
constexpr int kBandUniform = kBandOffsets + kMaxBandSlots;
constexpr int kBandInts = kBandUniform + 1;

// Calls run(std::integral_constant<int, n>{}) for a band's slot count n
// (1..kMaxBandSlots), so that the band kernels unroll their slot loops.
template <typename Run>
inline void withSlotCount(int slots, Run&& run) {
    static_assert(kMaxBandSlots == 6, "one case per slot count");
    switch (slots) {
    case 1:
        run(std::integral_constant<int, 1>{});
        break;
    case 2:
        run(std::integral_constant<int, 2>{});
        break;
    case 3:
        run(std::integral_constant<int, 3>{});
        break;
    case 4:
        run(std::integral_constant<int, 4>{});
        break;
    case 5:
        run(std::integral_constant<int, 5>{});
        break;
    default:
        run(std::integral_constant<int, kMaxBandSlots>{});
        break;
    }
}

// The layout of the vector kernels (see RungeKuttaKernel's members).
struct Tables {
    const int* slotBegin;
    const std::int32_t* slotOther;
    const double* slotStiffness;
    const std::int64_t* slotLaneMask;
    const std::uint8_t* slotLaneBits;
    const std::uint8_t* slotKind;
    const std::uint8_t* groupKind;
    const double* mass;
    const double* inverseMass;
    const int* bandOfGroup;      // index of the group's band, -1 outside every band
    const int* bands;            // kBandInts per band
    const double* bandStiffness; // kMaxBandSlots per band
};

template <Stage stage>
inline void combine(const Arrays& a, int i, double dx, double dv, double halfStep, double step,
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

template <Stage stage>
void plainStage(const Arrays& a, int nodeCount, const int* linkBegin, const int* linkOther,
                const double* linkStiffness, const double* mass, const StepConstants& c, double halfStep) {
    for (int i = 0; i < nodeCount; ++i) {
        const double xi = a.stageX[i];
        double acceleration = 0.0;
        for (int l = linkBegin[i]; l < linkBegin[i + 1]; ++l) {
            acceleration = acceleration - (xi - a.stageX[linkOther[l]]) * linkStiffness[l];
        }
        acceleration = acceleration / mass[i];
        const double vi = a.stageV[i];
        const double sign = vi > 0.0 ? 1.0 : -1.0;
        const double dv = acceleration - (c.linearDamping + c.squareDamping * sign * vi) * vi;
        combine<stage>(a, i, vi, dv, halfStep, c.timeStep, c.accumulatorWeight);
    }
}

#ifdef MUNTERO_HAVE_X86_VECTOR

template <Stage stage>
__attribute__((target("avx2"))) inline void vectorCombine(const Arrays a, int i, __m256d dx, __m256d dv,
                                                          __m256d halfStep, __m256d step, __m256d weight) {
    __m256d two = _mm256_set1_pd(2.0);
    // 2·d and d + d are the same number; hiding the constant keeps the
    // multiplication, which runs beside the additions instead of among them.
    asm("" : "+x"(two));
    if constexpr (stage == kFirst) {
        _mm256_storeu_pd(a.accX + i, dx);
        _mm256_storeu_pd(a.accV + i, dv);
        _mm256_storeu_pd(a.nextX + i, _mm256_add_pd(_mm256_loadu_pd(a.x + i), _mm256_mul_pd(halfStep, dx)));
        _mm256_storeu_pd(a.nextV + i, _mm256_add_pd(_mm256_loadu_pd(a.v + i), _mm256_mul_pd(halfStep, dv)));
    } else if constexpr (stage == kSecond || stage == kThird) {
        const __m256d factor = stage == kSecond ? halfStep : step;
        _mm256_storeu_pd(a.accX + i, _mm256_add_pd(_mm256_loadu_pd(a.accX + i), _mm256_mul_pd(two, dx)));
        _mm256_storeu_pd(a.accV + i, _mm256_add_pd(_mm256_loadu_pd(a.accV + i), _mm256_mul_pd(two, dv)));
        _mm256_storeu_pd(a.nextX + i, _mm256_add_pd(_mm256_loadu_pd(a.x + i), _mm256_mul_pd(factor, dx)));
        _mm256_storeu_pd(a.nextV + i, _mm256_add_pd(_mm256_loadu_pd(a.v + i), _mm256_mul_pd(factor, dv)));
    } else {
        const __m256d accX = _mm256_add_pd(_mm256_loadu_pd(a.accX + i), dx);
        const __m256d accV = _mm256_add_pd(_mm256_loadu_pd(a.accV + i), dv);
        _mm256_storeu_pd(a.x + i, _mm256_add_pd(_mm256_loadu_pd(a.x + i), _mm256_mul_pd(weight, accX)));
        _mm256_storeu_pd(a.v + i, _mm256_add_pd(_mm256_loadu_pd(a.v + i), _mm256_mul_pd(weight, accV)));
    }
}

// The same arithmetic as plainStage, four nodes per iteration: every lane
// performs the identical sequence of IEEE operations, so both kernels agree
// bit for bit.
template <Stage stage>
__attribute__((target("avx2"))) void vectorStage(const Arrays arrays, int groupBegin, int groupEnd,
                                                 const Tables t, const StepConstants& c,
                                                 double halfStepValue) {
    // A local copy: the vector stores may alias anything, which would make
    // the compiler reload every pointer of a referenced structure.
    const Arrays a = arrays;
    const double* stageX = a.stageX;
    const int* slotBegin = t.slotBegin;
    const std::int32_t* slotOther = t.slotOther;
    const double* slotStiffness = t.slotStiffness;
    const std::int64_t* slotLaneMask = t.slotLaneMask;
    const std::uint8_t* slotKind = t.slotKind;
    const std::uint8_t* groupKind = t.groupKind;
    const double* mass = t.mass;
    const double* inverseMass = t.inverseMass;
    const __m256d halfStep = _mm256_set1_pd(halfStepValue);
    const __m256d step = _mm256_set1_pd(c.timeStep);
    const __m256d weight = _mm256_set1_pd(c.accumulatorWeight);
    const __m256d linear = _mm256_set1_pd(c.linearDamping);
    const __m256d squarePositive = _mm256_set1_pd(c.squareDamping * 1.0);
    const __m256d squareNegative = _mm256_set1_pd(c.squareDamping * -1.0);
    const __m256d zero = _mm256_setzero_pd();
    for (int g = groupBegin; g < groupEnd; ++g) {
        const int i = g * kLanes;
        const __m256d xi = _mm256_loadu_pd(stageX + i);
        __m256d acceleration = zero;
        const int slotEnd = slotBegin[g + 1];
        if (groupKind[g] & kRegularGroup) {
            for (int s = slotBegin[g]; s < slotEnd; ++s) {
                const __m256d xj = _mm256_loadu_pd(stageX + slotOther[s * kLanes]);
                const __m256d term =
                    _mm256_mul_pd(_mm256_sub_pd(xi, xj), _mm256_loadu_pd(slotStiffness + s * kLanes));
                acceleration = _mm256_sub_pd(acceleration, term);
            }
        } else {
            for (int s = slotBegin[g]; s < slotEnd; ++s) {
                const std::int32_t* other = slotOther + s * kLanes;
                // Four separate loads rather than a gather instruction: on
                // processors with the gather-sampling mitigation a gather
                // costs several times as much.
                const __m256d xj = (slotKind[s] & kContiguous)
                                       ? _mm256_loadu_pd(stageX + other[0])
                                       : _mm256_setr_pd(stageX[other[0]], stageX[other[1]], stageX[other[2]],
                                                        stageX[other[3]]);
                const __m256d term =
                    _mm256_mul_pd(_mm256_sub_pd(xi, xj), _mm256_loadu_pd(slotStiffness + s * kLanes));
                const __m256d next = _mm256_sub_pd(acceleration, term);
                if (slotKind[s] & kAllActive) {
                    acceleration = next;
                } else {
                    const __m256d lanes = _mm256_castsi256_pd(
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(slotLaneMask + s * kLanes)));
                    acceleration = _mm256_blendv_pd(acceleration, next, lanes);
                }
            }
        }
        // a / m equals a · (1/m) exactly when 1/m is exact (m a power of
        // two): both round the same real number once.
        if (!(groupKind[g] & kUnitMasses)) {
            acceleration = (groupKind[g] & kExactReciprocal)
                               ? _mm256_mul_pd(acceleration, _mm256_loadu_pd(inverseMass + i))
                               : _mm256_div_pd(acceleration, _mm256_loadu_pd(mass + i));
        }
        const __m256d vi = _mm256_loadu_pd(a.stageV + i);
        const __m256d square =
            _mm256_blendv_pd(squareNegative, squarePositive, _mm256_cmp_pd(vi, zero, _CMP_GT_OQ));
        const __m256d damping = _mm256_mul_pd(_mm256_add_pd(linear, _mm256_mul_pd(square, vi)), vi);
        const __m256d dv = _mm256_sub_pd(acceleration, damping);
        vectorCombine<stage>(a, i, vi, dv, halfStep, step, weight);
    }
}

// A band: a run of four-lane groups whose slots all load four consecutive
// nodes at the same offsets from the group's first node (the inside of a
// grid). The slot loop is unrolled, the offsets stay in registers and the
// stiffnesses are read as one stream. The stage runs in two loops over
// chunks of groups: the spring sums first, whose chains of dependent
// subtractions are the longest path, then damping and the update, so that
// the processor overlaps the chains of many groups. Every lane performs the
// operations of vectorStage in the same order, so the bits are the same.
template <Stage stage, int slots, int massMode>
__attribute__((target("avx2"))) void bandStage(const Arrays arrays, int groupBegin, int groupEnd,
                                               const double* stiffness, const std::int64_t* laneMask,
                                               const int* offsets, const Tables t, const StepConstants& c,
                                               double halfStepValue) {
    const Arrays a = arrays;
    const double* stageX = a.stageX;
    const double* stageV = a.stageV;
    const double* mass = t.mass;
    const double* inverseMass = t.inverseMass;
    const std::uint8_t* groupKind = t.groupKind;
    std::ptrdiff_t offset[slots];
    for (int s = 0; s < slots; ++s) {
        offset[s] = offsets[s];
    }
    const __m256d halfStep = _mm256_set1_pd(halfStepValue);
    const __m256d step = _mm256_set1_pd(c.timeStep);
    const __m256d weight = _mm256_set1_pd(c.accumulatorWeight);
    const __m256d linear = _mm256_set1_pd(c.linearDamping);
    const __m256d squarePositive = _mm256_set1_pd(c.squareDamping * 1.0);
    const __m256d squareNegative = _mm256_set1_pd(c.squareDamping * -1.0);
    const __m256d zero = _mm256_setzero_pd();
    constexpr int kChunk = 16;
    alignas(32) double accelerations[kChunk * kLanes];
    for (int chunk = groupBegin; chunk < groupEnd; chunk += kChunk) {
        const int chunkEnd = std::min(chunk + kChunk, groupEnd);
        for (int g = chunk; g < chunkEnd; ++g, stiffness += slots * kLanes, laneMask += slots * kLanes) {
            const std::ptrdiff_t i = std::ptrdiff_t{g} * kLanes;
            const __m256d xi = _mm256_loadu_pd(stageX + i);
            __m256d acceleration = zero;
            if (groupKind[g] & kAllActiveGroup) {
                for (int s = 0; s < slots; ++s) {
                    const __m256d xj = _mm256_loadu_pd(stageX + i + offset[s]);
                    const __m256d term =
                        _mm256_mul_pd(_mm256_sub_pd(xi, xj), _mm256_loadu_pd(stiffness + s * kLanes));
                    acceleration = _mm256_sub_pd(acceleration, term);
                }
            } else {
                for (int s = 0; s < slots; ++s) {
                    const __m256d xj = _mm256_loadu_pd(stageX + i + offset[s]);
                    const __m256d term =
                        _mm256_mul_pd(_mm256_sub_pd(xi, xj), _mm256_loadu_pd(stiffness + s * kLanes));
                    const __m256d lanes = _mm256_castsi256_pd(
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(laneMask + s * kLanes)));
                    acceleration = _mm256_blendv_pd(acceleration, _mm256_sub_pd(acceleration, term), lanes);
                }
            }
            if constexpr (massMode == kExactReciprocal) {
                acceleration = _mm256_mul_pd(acceleration, _mm256_loadu_pd(inverseMass + i));
            } else if constexpr (massMode == 0) {
                acceleration = _mm256_div_pd(acceleration, _mm256_loadu_pd(mass + i));
            }
            _mm256_store_pd(accelerations + (g - chunk) * kLanes, acceleration);
        }
        for (int g = chunk; g < chunkEnd; ++g) {
            const std::ptrdiff_t i = std::ptrdiff_t{g} * kLanes;
            const __m256d vi = _mm256_loadu_pd(stageV + i);
            const __m256d square =
                _mm256_blendv_pd(squareNegative, squarePositive, _mm256_cmp_pd(vi, zero, _CMP_GT_OQ));
            const __m256d damping = _mm256_mul_pd(_mm256_add_pd(linear, _mm256_mul_pd(square, vi)), vi);
            const __m256d dv = _mm256_sub_pd(_mm256_load_pd(accelerations + (g - chunk) * kLanes), damping);
            vectorCombine<stage>(a, static_cast<int>(i), vi, dv, halfStep, step, weight);
        }
    }
}

template <Stage stage, int slots>
void bandStageFor(int massMode, const Arrays& a, int groupBegin, int groupEnd, const double* stiffness,
                  const std::int64_t* laneMask, const int* offsets, const Tables& t, const StepConstants& c,
                  double halfStep) {
    if (massMode == kUnitMasses) {
        bandStage<stage, slots, kUnitMasses>(a, groupBegin, groupEnd, stiffness, laneMask, offsets, t, c,
                                             halfStep);
    } else if (massMode == kExactReciprocal) {
        bandStage<stage, slots, kExactReciprocal>(a, groupBegin, groupEnd, stiffness, laneMask, offsets, t, c,
                                                  halfStep);
    } else {
        bandStage<stage, slots, 0>(a, groupBegin, groupEnd, stiffness, laneMask, offsets, t, c, halfStep);
    }
}

// The groups [groupBegin, groupEnd) of one stage, a band's groups through
// bandStage and every other group through vectorStage.
template <Stage stage>
void bandedStage(const Arrays& a, int groupBegin, int groupEnd, const Tables& t, const StepConstants& c,
                 double halfStep) {
    int g = groupBegin;
    while (g < groupEnd) {
        const int bandIndex = t.bandOfGroup[g];
        if (bandIndex < 0) {
            int end = g + 1;
            while (end < groupEnd && t.bandOfGroup[end] < 0) {
                ++end;
            }
            vectorStage<stage>(a, g, end, t, c, halfStep);
            g = end;
            continue;
        }
        const int* band = t.bands + std::ptrdiff_t{bandIndex} * kBandInts;
        const int end = std::min(groupEnd, band[kBandEnd]);
        const double* stiffness = t.slotStiffness + std::ptrdiff_t{t.slotBegin[g]} * kLanes;
        const std::int64_t* laneMask = t.slotLaneMask + std::ptrdiff_t{t.slotBegin[g]} * kLanes;
        const int massMode = band[kBandMassMode];
        const int* offsets = band + kBandOffsets;
        withSlotCount(band[kBandSlots], [&](auto slots) {
            bandStageFor<stage, decltype(slots)::value>(massMode, a, g, end, stiffness, laneMask, offsets, t,
                                                        c, halfStep);
        });
        g = end;
    }
}

template <Stage stage>
__attribute__((target("avx512f"))) inline void wideCombine(const Arrays a, int i, __m512d dx, __m512d dv,
                                                           __m512d halfStep, __m512d step, __m512d weight) {
    const __m512d two = _mm512_set1_pd(2.0);
    if constexpr (stage == kFirst) {
        _mm512_storeu_pd(a.accX + i, dx);
        _mm512_storeu_pd(a.accV + i, dv);
        _mm512_storeu_pd(a.nextX + i, _mm512_add_pd(_mm512_loadu_pd(a.x + i), _mm512_mul_pd(halfStep, dx)));
        _mm512_storeu_pd(a.nextV + i, _mm512_add_pd(_mm512_loadu_pd(a.v + i), _mm512_mul_pd(halfStep, dv)));
    } else if constexpr (stage == kSecond || stage == kThird) {
        const __m512d factor = stage == kSecond ? halfStep : step;
        _mm512_storeu_pd(a.accX + i, _mm512_add_pd(_mm512_loadu_pd(a.accX + i), _mm512_mul_pd(two, dx)));
        _mm512_storeu_pd(a.accV + i, _mm512_add_pd(_mm512_loadu_pd(a.accV + i), _mm512_mul_pd(two, dv)));
        _mm512_storeu_pd(a.nextX + i, _mm512_add_pd(_mm512_loadu_pd(a.x + i), _mm512_mul_pd(factor, dx)));
        _mm512_storeu_pd(a.nextV + i, _mm512_add_pd(_mm512_loadu_pd(a.v + i), _mm512_mul_pd(factor, dv)));
    } else {
        const __m512d accX = _mm512_add_pd(_mm512_loadu_pd(a.accX + i), dx);
        const __m512d accV = _mm512_add_pd(_mm512_loadu_pd(a.accV + i), dv);
        _mm512_storeu_pd(a.x + i, _mm512_add_pd(_mm512_loadu_pd(a.x + i), _mm512_mul_pd(weight, accX)));
        _mm512_storeu_pd(a.v + i, _mm512_add_pd(_mm512_loadu_pd(a.v + i), _mm512_mul_pd(weight, accV)));
    }
}

// vectorStage with eight lanes: the same operations per lane, an inactive
// lane kept by a masked subtraction instead of a blend.
template <Stage stage>
__attribute__((target("avx512f"))) void wideStage(const Arrays arrays, int groupBegin, int groupEnd,
                                                  const Tables t, const StepConstants& c,
                                                  double halfStepValue) {
    const Arrays a = arrays;
    const double* stageX = a.stageX;
    const int* slotBegin = t.slotBegin;
    const std::int32_t* slotOther = t.slotOther;
    const double* slotStiffness = t.slotStiffness;
    const std::uint8_t* slotLaneBits = t.slotLaneBits;
    const std::uint8_t* slotKind = t.slotKind;
    const std::uint8_t* groupKind = t.groupKind;
    const double* mass = t.mass;
    const double* inverseMass = t.inverseMass;
    const __m512d halfStep = _mm512_set1_pd(halfStepValue);
    const __m512d step = _mm512_set1_pd(c.timeStep);
    const __m512d weight = _mm512_set1_pd(c.accumulatorWeight);
    const __m512d linear = _mm512_set1_pd(c.linearDamping);
    const __m512d squarePositive = _mm512_set1_pd(c.squareDamping * 1.0);
    const __m512d squareNegative = _mm512_set1_pd(c.squareDamping * -1.0);
    const __m512d zero = _mm512_setzero_pd();
    for (int g = groupBegin; g < groupEnd; ++g) {
        const int i = g * kWideLanes;
        const __m512d xi = _mm512_loadu_pd(stageX + i);
        __m512d acceleration = zero;
        const int slotEnd = slotBegin[g + 1];
        for (int s = slotBegin[g]; s < slotEnd; ++s) {
            const std::int32_t* other = slotOther + s * kWideLanes;
            __m512d xj;
            if (slotKind[s] & kContiguous) {
                xj = _mm512_loadu_pd(stageX + other[0]);
            } else {
                xj = _mm512_setr_pd(stageX[other[0]], stageX[other[1]], stageX[other[2]], stageX[other[3]],
                                    stageX[other[4]], stageX[other[5]], stageX[other[6]], stageX[other[7]]);
            }
            const __m512d term =
                _mm512_mul_pd(_mm512_sub_pd(xi, xj), _mm512_loadu_pd(slotStiffness + s * kWideLanes));
            acceleration =
                _mm512_mask_sub_pd(acceleration, static_cast<__mmask8>(slotLaneBits[s]), acceleration, term);
        }
        if (!(groupKind[g] & kUnitMasses)) {
            acceleration = (groupKind[g] & kExactReciprocal)
                               ? _mm512_mul_pd(acceleration, _mm512_loadu_pd(inverseMass + i))
                               : _mm512_div_pd(acceleration, _mm512_loadu_pd(mass + i));
        }
        const __m512d vi = _mm512_loadu_pd(a.stageV + i);
        const __m512d square =
            _mm512_mask_blend_pd(_mm512_cmp_pd_mask(vi, zero, _CMP_GT_OQ), squareNegative, squarePositive);
        const __m512d damping = _mm512_mul_pd(_mm512_add_pd(linear, _mm512_mul_pd(square, vi)), vi);
        const __m512d dv = _mm512_sub_pd(acceleration, damping);
        wideCombine<stage>(a, i, vi, dv, halfStep, step, weight);
    }
}

// bandStage with eight lanes (the eight-lane kernel's bands): an inactive
// lane kept by a masked subtraction, and a band whose springs of one slot
// all have the same stiffness multiplies by that value held in a register
// instead of reading the stiffness table. Every lane performs the operations
// of plainStage in the same order, so the bits are the same.
template <Stage stage, int slots, int massMode, bool uniform>
__attribute__((target("avx512f,avx512dq"))) void
wideBandStage(const Arrays arrays, int groupBegin, int groupEnd, const double* stiffness,
              const std::uint8_t* laneBits, const int* band, const double* bandStiffness, const Tables t,
              const StepConstants& c, double halfStepValue) {
    const Arrays a = arrays;
    const double* stageX = a.stageX;
    const double* stageV = a.stageV;
    const double* mass = t.mass;
    const double* inverseMass = t.inverseMass;
    std::ptrdiff_t offset[slots];
    __m512d springStiffness[slots];
    for (int s = 0; s < slots; ++s) {
        offset[s] = band[kBandOffsets + s];
        springStiffness[s] = _mm512_set1_pd(uniform ? bandStiffness[s] : 0.0);
    }
    const __m512d halfStep = _mm512_set1_pd(halfStepValue);
    const __m512d step = _mm512_set1_pd(c.timeStep);
    const __m512d weight = _mm512_set1_pd(c.accumulatorWeight);
    const __m512d linear = _mm512_set1_pd(c.linearDamping);
    const __m512d squarePositive = _mm512_set1_pd(c.squareDamping * 1.0);
    const __m512d squareNegative = _mm512_set1_pd(c.squareDamping * -1.0);
    const __m512d zero = _mm512_setzero_pd();
    constexpr int kChunk = 16;
    alignas(64) double accelerations[kChunk * kWideLanes];
    for (int chunk = groupBegin; chunk < groupEnd; chunk += kChunk) {
        const int chunkEnd = std::min(chunk + kChunk, groupEnd);
        for (int g = chunk; g < chunkEnd; ++g, laneBits += slots) {
            const std::ptrdiff_t i = std::ptrdiff_t{g} * kWideLanes;
            const __m512d xi = _mm512_loadu_pd(stageX + i);
            __m512d acceleration = zero;
            for (int s = 0; s < slots; ++s) {
                const __m512d xj = _mm512_loadu_pd(stageX + i + offset[s]);
                const __m512d k = uniform ? springStiffness[s] : _mm512_loadu_pd(stiffness + s * kWideLanes);
                const __m512d term = _mm512_mul_pd(_mm512_sub_pd(xi, xj), k);
                acceleration =
                    _mm512_mask_sub_pd(acceleration, _cvtu32_mask8(laneBits[s]), acceleration, term);
            }
            if constexpr (!uniform) {
                stiffness += slots * kWideLanes;
            }
            if constexpr (massMode == kExactReciprocal) {
                acceleration = _mm512_mul_pd(acceleration, _mm512_loadu_pd(inverseMass + i));
            } else if constexpr (massMode == 0) {
                acceleration = _mm512_div_pd(acceleration, _mm512_loadu_pd(mass + i));
            }
            _mm512_store_pd(accelerations + (g - chunk) * kWideLanes, acceleration);
        }
        for (int g = chunk; g < chunkEnd; ++g) {
            const std::ptrdiff_t i = std::ptrdiff_t{g} * kWideLanes;
            const __m512d vi = _mm512_loadu_pd(stageV + i);
            const __m512d square = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(vi, zero, _CMP_GT_OQ),
                                                        squareNegative, squarePositive);
            const __m512d damping = _mm512_mul_pd(_mm512_add_pd(linear, _mm512_mul_pd(square, vi)), vi);
            const __m512d dv =
                _mm512_sub_pd(_mm512_load_pd(accelerations + (g - chunk) * kWideLanes), damping);
            wideCombine<stage>(a, static_cast<int>(i), vi, dv, halfStep, step, weight);
        }
    }
}

template <Stage stage, int slots>
void wideBandStageFor(const Arrays& a, int groupBegin, int groupEnd, const double* stiffness,
                      const std::uint8_t* laneBits, const int* band, const double* bandStiffness,
                      const Tables& t, const StepConstants& c, double halfStep) {
    const bool uniform = band[kBandUniform] != 0;
    const auto call = [&](auto massMode) {
        constexpr int kMassMode = decltype(massMode)::value;
        if (uniform) {
            wideBandStage<stage, slots, kMassMode, true>(a, groupBegin, groupEnd, stiffness, laneBits, band,
                                                         bandStiffness, t, c, halfStep);
        } else {
            wideBandStage<stage, slots, kMassMode, false>(a, groupBegin, groupEnd, stiffness, laneBits, band,
                                                          bandStiffness, t, c, halfStep);
        }
    };
    if (band[kBandMassMode] == kUnitMasses) {
        call(std::integral_constant<int, kUnitMasses>{});
    } else if (band[kBandMassMode] == kExactReciprocal) {
        call(std::integral_constant<int, kExactReciprocal>{});
    } else {
        call(std::integral_constant<int, 0>{});
    }
}

// bandedStage with eight lanes: a band's groups through wideBandStage and
// every other group through wideStage.
template <Stage stage>
void wideBandedStage(const Arrays& a, int groupBegin, int groupEnd, const Tables& t, const StepConstants& c,
                     double halfStep) {
    int g = groupBegin;
    while (g < groupEnd) {
        const int bandIndex = t.bandOfGroup[g];
        if (bandIndex < 0) {
            int end = g + 1;
            while (end < groupEnd && t.bandOfGroup[end] < 0) {
                ++end;
            }
            wideStage<stage>(a, g, end, t, c, halfStep);
            g = end;
            continue;
        }
        const int* band = t.bands + std::ptrdiff_t{bandIndex} * kBandInts;
        const int end = std::min(groupEnd, band[kBandEnd]);
        const double* stiffness = t.slotStiffness + std::ptrdiff_t{t.slotBegin[g]} * kWideLanes;
        const std::uint8_t* laneBits = t.slotLaneBits + t.slotBegin[g];
        const double* bandStiffness = t.bandStiffness + std::ptrdiff_t{bandIndex} * kMaxBandSlots;
        withSlotCount(band[kBandSlots], [&](auto slots) {
            wideBandStageFor<stage, decltype(slots)::value>(a, g, end, stiffness, laneBits, band,
                                                            bandStiffness, t, c, halfStep);
        });
        g = end;
    }
}

#endif

} // namespace

bool RungeKuttaKernel::vectorKernelAvailable() {
#ifdef MUNTERO_HAVE_X86_VECTOR
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

bool RungeKuttaKernel::wideKernelAvailable() {
#ifdef MUNTERO_HAVE_X86_VECTOR
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#else
    return false;
#endif
}

RungeKuttaKernel::RungeKuttaKernel(const ModelSnapshot& model, const StepConstants& constants,
                                   KernelChoice choice)
    : nodeCount_(model.nodeCount()), constants_(constants) {
    const bool wide = (choice == KernelChoice::avx512 || choice == KernelChoice::avx512Banded ||
                       choice == KernelChoice::automatic) &&
                      wideKernelAvailable();
    const bool narrow = choice != KernelChoice::plain && vectorKernelAvailable();
    const bool banded = choice == KernelChoice::avx2Banded || choice == KernelChoice::avx512Banded ||
                        choice == KernelChoice::automatic;
    vectorWidth_ = wide ? 8 : narrow ? 4 : 0;
    // The plain kernel walks the springs node by node; the tables below are
    // then laid out for four lanes and left unused.
    const int lanes = vectorWidth_ == kWideLanes ? kWideLanes : kLanes;
    lanes_ = lanes;
    const auto nodes = static_cast<std::size_t>(nodeCount_);
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
            if (other < 0 || other >= nodeCount_) {
                throw std::invalid_argument("model snapshot: a spring leads to no node");
            }
        }
    }
    paddedCount_ = (nodeCount_ + lanes - 1) / lanes * lanes;
    const auto padded = static_cast<std::size_t>(paddedCount_);

    initialX_.assign(padded, 0.0);
    initialV_.assign(padded, 0.0);
    std::copy(model.initialDisplacements.begin(), model.initialDisplacements.end(), initialX_.begin());
    std::copy(model.initialVelocities.begin(), model.initialVelocities.end(), initialV_.begin());
    mass_.assign(padded, 1.0);
    linkBegin_.assign(static_cast<std::size_t>(nodeCount_) + 1, 0);
    for (int i = 0; i < nodeCount_; ++i) {
        const ModelNode& node = model.nodes[static_cast<std::size_t>(i)];
        mass_[static_cast<std::size_t>(i)] = node.mass;
        for (int l = 0; l < node.connectionCount; ++l) {
            const Connection& link = model.connections[static_cast<std::size_t>(node.firstConnection + l)];
            linkOther_.push_back(link.other);
            linkStiffness_.push_back(link.stiffness);
        }
        linkBegin_[static_cast<std::size_t>(i) + 1] = static_cast<int>(linkOther_.size());
    }

    const int groupCount = paddedCount_ / lanes;
    inverseMass_.assign(padded, 1.0);
    std::vector<std::uint8_t> exactReciprocal(static_cast<std::size_t>(groupCount), 1);
    std::vector<std::uint8_t> unitMasses(static_cast<std::size_t>(groupCount), 1);
    for (std::size_t i = 0; i < padded; ++i) {
        int exponent = 0;
        const double m = mass_[i];
        const bool powerOfTwo = std::isfinite(m) && m > 0.0 && std::frexp(m, &exponent) == 0.5 &&
                                exponent > -1000 && exponent < 1000;
        inverseMass_[i] = powerOfTwo ? 1.0 / m : 0.0;
        exactReciprocal[i / lanes] = exactReciprocal[i / lanes] && powerOfTwo;
        unitMasses[i / lanes] = unitMasses[i / lanes] && m == 1.0;
    }
    slotBegin_.assign(static_cast<std::size_t>(groupCount) + 1, 0);
    auto linkCount = [&](int node) {
        return node < nodeCount_ ? linkBegin_[static_cast<std::size_t>(node) + 1] -
                                       linkBegin_[static_cast<std::size_t>(node)]
                                 : 0;
    };
    for (int g = 0; g < groupCount; ++g) {
        int slots = 0;
        for (int lane = 0; lane < lanes; ++lane) {
            slots = std::max(slots, linkCount(g * lanes + lane));
        }
        for (int s = 0; s < slots; ++s) {
            std::int32_t other[kMaxLanes];
            bool active[kMaxLanes];
            unsigned laneBits = 0;
            bool allActive = true;
            // An inactive lane's value is discarded; pointing it at the node
            // that continues the active lanes' run keeps the slot contiguous.
            int runStart = 0;
            bool started = false;
            bool run = true;
            for (int lane = 0; lane < lanes; ++lane) {
                const int node = g * lanes + lane;
                active[lane] = s < linkCount(node);
                allActive = allActive && active[lane];
                laneBits |= active[lane] ? 1u << lane : 0u;
                const std::size_t link =
                    active[lane] ? static_cast<std::size_t>(linkBegin_[static_cast<std::size_t>(node)] + s)
                                 : 0;
                other[lane] = active[lane] ? linkOther_[link] : node;
                if (active[lane]) {
                    const int start = other[lane] - lane;
                    run = run && (!started || runStart == start);
                    runStart = start;
                    started = true;
                }
                slotStiffness_.push_back(active[lane] ? linkStiffness_[link] : 0.0);
                slotLaneMask_.push_back(active[lane] ? -1 : 0);
            }
            const bool contiguous = run && started && runStart >= 0 && runStart + lanes <= paddedCount_;
            for (int lane = 0; lane < lanes; ++lane) {
                slotOther_.push_back(contiguous ? runStart + lane : other[lane]);
            }
            slotLaneBits_.push_back(static_cast<std::uint8_t>(laneBits));
            slotKind_.push_back(
                static_cast<std::uint8_t>((contiguous ? kContiguous : 0) | (allActive ? kAllActive : 0)));
        }
        slotBegin_[static_cast<std::size_t>(g) + 1] = static_cast<int>(slotKind_.size());
        bool regular = true;
        bool allActive = true;
        for (int slot = slotBegin_[static_cast<std::size_t>(g)];
             slot < slotBegin_[static_cast<std::size_t>(g) + 1]; ++slot) {
            regular = regular && slotKind_[static_cast<std::size_t>(slot)] == (kContiguous | kAllActive);
            allActive = allActive && (slotKind_[static_cast<std::size_t>(slot)] & kAllActive);
        }
        const auto group = static_cast<std::size_t>(g);
        groupKind_.push_back(static_cast<std::uint8_t>(
            (regular ? kRegularGroup : 0) | (exactReciprocal[group] ? kExactReciprocal : 0) |
            (unitMasses[group] ? kUnitMasses : 0) | (allActive ? kAllActiveGroup : 0)));
    }

    // Bands: runs of at least kMinBandGroups groups whose slots are all
    // contiguous, with the same slot offsets and masses of the same kind.
    bandOfGroup_.assign(static_cast<std::size_t>(groupCount), -1);
    if (banded && vectorWidth_ > 0) {
        const auto bandKey = [&](int g, int* key) {
            const auto group = static_cast<std::size_t>(g);
            const int first = slotBegin_[group];
            const int slots = slotBegin_[group + 1] - first;
            if (slots < 1 || slots > kMaxBandSlots) {
                return false;
            }
            for (int slot = first; slot < first + slots; ++slot) {
                if (!(slotKind_[static_cast<std::size_t>(slot)] & kContiguous)) {
                    return false;
                }
            }
            key[kBandSlots] = slots;
            key[kBandMassMode] = (groupKind_[group] & kUnitMasses)        ? kUnitMasses
                                 : (groupKind_[group] & kExactReciprocal) ? kExactReciprocal
                                                                          : 0;
            for (int s = 0; s < kMaxBandSlots; ++s) {
                key[kBandOffsets + s] =
                    s < slots
                        ? slotOther_[static_cast<std::size_t>(first + s) * static_cast<std::size_t>(lanes)] -
                              g * lanes
                        : 0;
            }
            return true;
        };
        constexpr int kMinBandGroups = 4;
        int key[kBandInts] = {};
        int next[kBandInts] = {};
        for (int g = 0; g < groupCount;) {
            if (!bandKey(g, key)) {
                ++g;
                continue;
            }
            int end = g + 1;
            while (end < groupCount && bandKey(end, next) &&
                   std::equal(next + kBandSlots, next + kBandInts, key + kBandSlots)) {
                ++end;
            }
            if (end - g >= kMinBandGroups) {
                key[kBandEnd] = end;
                const int index = static_cast<int>(bands_.size()) / kBandInts;
                bands_.insert(bands_.end(), key, key + kBandInts);
                std::fill(bandOfGroup_.begin() + g, bandOfGroup_.begin() + end, index);
            }
            g = end;
        }
    }
    // A band's slot whose active lanes all have one stiffness: the eight-lane
    // kernel holds it in a register (the table stays, for scaleStiffness and
    // the other paths, and is scaled alike).
    bandStiffness_.assign(bands_.size() / kBandInts * kMaxBandSlots, 0.0);
    for (std::size_t band = 0; band < bands_.size() / kBandInts; ++band) {
        int* key = bands_.data() + band * kBandInts;
        const int end = key[kBandEnd];
        int begin = end;
        while (begin > 0 && bandOfGroup_[static_cast<std::size_t>(begin) - 1] == static_cast<int>(band)) {
            --begin;
        }
        bool uniform = true;
        for (int s = 0; s < key[kBandSlots]; ++s) {
            bool found = false;
            double value = 0.0;
            for (int g = begin; g < end; ++g) {
                const auto slot = static_cast<std::size_t>(slotBegin_[static_cast<std::size_t>(g)] + s);
                for (int lane = 0; lane < lanes; ++lane) {
                    if (!(slotLaneBits_[slot] & (1u << lane))) {
                        continue;
                    }
                    const double k = slotStiffness_[slot * static_cast<std::size_t>(lanes) +
                                                    static_cast<std::size_t>(lane)];
                    // Compared as bits: the same number, also in sign and NaN payload.
                    uniform = uniform && (!found || std::memcmp(&k, &value, sizeof k) == 0);
                    value = k;
                    found = true;
                }
            }
            bandStiffness_[band * kMaxBandSlots + static_cast<std::size_t>(s)] = value;
        }
        key[kBandUniform] = uniform ? 1 : 0;
    }

    // How many groups away a stage reads: every index a slot loads counts,
    // the discarded lanes included.
    int reach = 0;
    for (int g = 0; g < groupCount; ++g) {
        for (int slot = slotBegin_[static_cast<std::size_t>(g)];
             slot < slotBegin_[static_cast<std::size_t>(g) + 1]; ++slot) {
            const std::int32_t* other = slotOther_.data() + static_cast<std::ptrdiff_t>(slot) * lanes;
            for (int lane = 0; lane < lanes; ++lane) {
                const int loaded =
                    (slotKind_[static_cast<std::size_t>(slot)] & kContiguous) ? other[0] + lane : other[lane];
                reach = std::max(reach, std::abs(loaded / lanes - g));
            }
        }
    }
    // Blocks of lag groups: stage k+1 of a block runs after stage k of the
    // block that lies lag groups further on, which covers reach <= lag. Short
    // blocks would spend their time on calls, so a block has 16 groups at least.
    wavefrontLag_ = std::max(reach, 16);

    // The stiffness table, too, starts on a cache line (see stateOffset_).
    {
        std::vector<double> table = std::move(slotStiffness_);
        slotStiffness_.assign(table.size() + 8, 0.0);
        const auto address = reinterpret_cast<std::uintptr_t>(slotStiffness_.data());
        stiffnessOffset_ = static_cast<std::ptrdiff_t>((64 - address % 64) % 64 / sizeof(double));
        std::copy(table.begin(), table.end(), slotStiffness_.begin() + stiffnessOffset_);
    }

    stride_ = static_cast<std::ptrdiff_t>(padded) + 72; // 576 bytes: eight arrays, eight offsets modulo 4 KiB
    constexpr std::size_t kLineDoubles = 64 / sizeof(double);
    state_.assign(static_cast<std::size_t>(stride_) * kStateArrays + kLineDoubles, 0.0);
    const auto address = reinterpret_cast<std::uintptr_t>(state_.data());
    stateOffset_ = static_cast<std::ptrdiff_t>((64 - address % 64) % 64 / sizeof(double));
    reset();
}

int RungeKuttaKernel::bandedGroupCount() const {
    return static_cast<int>(
        std::count_if(bandOfGroup_.begin(), bandOfGroup_.end(), [](int band) { return band >= 0; }));
}

void RungeKuttaKernel::reset() {
    std::copy(initialX_.begin(), initialX_.end(), array(kX));
    std::copy(initialV_.begin(), initialV_.end(), array(kV));
}

void RungeKuttaKernel::scaleStiffness(double factor) {
    for (double& k : linkStiffness_) {
        k = k * factor;
    }
    for (double& k : slotStiffness_) {
        k = k * factor;
    }
    for (double& k : bandStiffness_) {
        k = k * factor;
    }
}

void RungeKuttaKernel::copyStiffnessFrom(const RungeKuttaKernel& sameModel) {
    if (sameModel.linkStiffness_.size() != linkStiffness_.size() ||
        sameModel.slotStiffness_.size() != slotStiffness_.size() ||
        sameModel.bandStiffness_.size() != bandStiffness_.size() || sameModel.vectorWidth_ != vectorWidth_) {
        throw std::invalid_argument("The kernels were not made from the same model");
    }
    std::copy(sameModel.linkStiffness_.begin(), sameModel.linkStiffness_.end(), linkStiffness_.begin());
    // Each table starts at a 64-byte boundary of its own block: an offset of its own.
    if (!slotStiffness_.empty()) {
        const std::size_t tableSize = slotStiffness_.size() - 8;
        const double* from = sameModel.slotStiffness_.data() + sameModel.stiffnessOffset_;
        std::copy(from, from + tableSize, slotStiffness_.begin() + stiffnessOffset_);
    }
    std::copy(sameModel.bandStiffness_.begin(), sameModel.bandStiffness_.end(), bandStiffness_.begin());
}

void RungeKuttaKernel::advance() {
    if (vectorWidth_ > 0) {
        advanceVector();
    } else {
        advancePlain();
    }
}

void RungeKuttaKernel::advancePlain() {
    const double halfStep = constants_.timeStep / 2.0;
    const int* begin = linkBegin_.data();
    const int* other = linkOther_.data();
    const double* stiffness = linkStiffness_.data();
    const double* mass = mass_.data();
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
    plainStage<kFirst>(first, nodeCount_, begin, other, stiffness, mass, constants_, halfStep);
    plainStage<kSecond>(second, nodeCount_, begin, other, stiffness, mass, constants_, halfStep);
    plainStage<kThird>(third, nodeCount_, begin, other, stiffness, mass, constants_, halfStep);
    plainStage<kLast>(last, nodeCount_, begin, other, stiffness, mass, constants_, halfStep);
}

void RungeKuttaKernel::advanceVector() {
#ifdef MUNTERO_HAVE_X86_VECTOR
    const double halfStep = constants_.timeStep / 2.0;
    const int groups = paddedCount_ / lanes_;
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
    const Tables tables{slotBegin_.data(),    slotOther_.data(),    slotStiffness_.data() + stiffnessOffset_,
                        slotLaneMask_.data(), slotLaneBits_.data(), slotKind_.data(),
                        groupKind_.data(),    mass_.data(),         inverseMass_.data(),
                        bandOfGroup_.data(),  bands_.data(),        bandStiffness_.data()};
    // The four stages run as a wavefront over the groups: stage k+1 of a
    // group follows once stage k has reached every group its springs reach,
    // so the data of a few groups stays in the first-level cache instead of
    // four passes over the whole model. The operations are the same.
    const int lag = wavefrontLag_;
    const auto run = [&](auto stageFunction, const Arrays& arrays, int begin) {
        const int from = std::max(begin, 0);
        const int to = std::min(begin + lag, groups);
        if (from < to) {
            stageFunction(arrays, from, to, tables, constants_, halfStep);
        }
    };
    for (int begin = 0; begin < groups + 3 * lag; begin += lag) {
        if (!bands_.empty() && vectorWidth_ == 8) {
            run(wideBandedStage<kFirst>, first, begin);
            run(wideBandedStage<kSecond>, second, begin - lag);
            run(wideBandedStage<kThird>, third, begin - 2 * lag);
            run(wideBandedStage<kLast>, last, begin - 3 * lag);
        } else if (!bands_.empty()) {
            run(bandedStage<kFirst>, first, begin);
            run(bandedStage<kSecond>, second, begin - lag);
            run(bandedStage<kThird>, third, begin - 2 * lag);
            run(bandedStage<kLast>, last, begin - 3 * lag);
        } else if (vectorWidth_ == 8) {
            run(wideStage<kFirst>, first, begin);
            run(wideStage<kSecond>, second, begin - lag);
            run(wideStage<kThird>, third, begin - 2 * lag);
            run(wideStage<kLast>, last, begin - 3 * lag);
        } else {
            run(vectorStage<kFirst>, first, begin);
            run(vectorStage<kSecond>, second, begin - lag);
            run(vectorStage<kThird>, third, begin - 2 * lag);
            run(vectorStage<kLast>, last, begin - 3 * lag);
        }
    }
#else
    advancePlain();
#endif
}

} // namespace muntero
