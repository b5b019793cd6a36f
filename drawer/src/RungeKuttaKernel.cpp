#include <muntero/RungeKuttaKernel.h>

#include <algorithm>
#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MUNTERO_HAVE_X86_VECTOR 1
#endif

namespace muntero {

namespace {

constexpr int kLanes = 4;
constexpr std::uint8_t kContiguous = 1; // the four other nodes are consecutive
constexpr std::uint8_t kAllActive = 2;  // every lane has a link in this slot

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
__attribute__((target("avx2"))) inline void vectorCombine(const Arrays& a, int i, __m256d dx, __m256d dv,
                                                          __m256d halfStep, __m256d step, __m256d weight) {
    const __m256d two = _mm256_set1_pd(2.0);
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
__attribute__((target("avx2"))) void
vectorStage(const Arrays& a, int groupCount, const int* slotBegin, const std::int32_t* slotOther,
            const double* slotStiffness, const std::int64_t* slotLaneMask, const std::uint8_t* slotKind,
            const double* mass, const double* inverseMass, const std::uint8_t* exactReciprocal,
            const StepConstants& c, double halfStepValue) {
    const __m256d halfStep = _mm256_set1_pd(halfStepValue);
    const __m256d step = _mm256_set1_pd(c.timeStep);
    const __m256d weight = _mm256_set1_pd(c.accumulatorWeight);
    const __m256d linear = _mm256_set1_pd(c.linearDamping);
    const __m256d squarePositive = _mm256_set1_pd(c.squareDamping * 1.0);
    const __m256d squareNegative = _mm256_set1_pd(c.squareDamping * -1.0);
    const __m256d zero = _mm256_setzero_pd();
    for (int g = 0; g < groupCount; ++g) {
        const int i = g * kLanes;
        const __m256d xi = _mm256_loadu_pd(a.stageX + i);
        __m256d acceleration = zero;
        for (int s = slotBegin[g]; s < slotBegin[g + 1]; ++s) {
            const std::int32_t* other = slotOther + s * kLanes;
            // Four separate loads rather than a gather instruction: on
            // processors with the gather-sampling mitigation a gather costs
            // several times as much.
            const __m256d xj = (slotKind[s] & kContiguous)
                                   ? _mm256_loadu_pd(a.stageX + other[0])
                                   : _mm256_setr_pd(a.stageX[other[0]], a.stageX[other[1]],
                                                    a.stageX[other[2]], a.stageX[other[3]]);
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
        // a / m equals a · (1/m) exactly when 1/m is exact (m a power of
        // two): both round the same real number once.
        acceleration = exactReciprocal[g] ? _mm256_mul_pd(acceleration, _mm256_loadu_pd(inverseMass + i))
                                          : _mm256_div_pd(acceleration, _mm256_loadu_pd(mass + i));
        const __m256d vi = _mm256_loadu_pd(a.stageV + i);
        const __m256d square =
            _mm256_blendv_pd(squareNegative, squarePositive, _mm256_cmp_pd(vi, zero, _CMP_GT_OQ));
        const __m256d damping = _mm256_mul_pd(_mm256_add_pd(linear, _mm256_mul_pd(square, vi)), vi);
        const __m256d dv = _mm256_sub_pd(acceleration, damping);
        vectorCombine<stage>(a, i, vi, dv, halfStep, step, weight);
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

RungeKuttaKernel::RungeKuttaKernel(const ModelSnapshot& model, const StepConstants& constants,
                                   KernelChoice choice)
    : nodeCount_(model.nodeCount()), constants_(constants) {
    vector_ = choice != KernelChoice::plain && vectorKernelAvailable();
    paddedCount_ = (nodeCount_ + kLanes - 1) / kLanes * kLanes;
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

    const int groupCount = paddedCount_ / kLanes;
    inverseMass_.assign(padded, 1.0);
    exactReciprocal_.assign(static_cast<std::size_t>(groupCount), 1);
    for (std::size_t i = 0; i < padded; ++i) {
        int exponent = 0;
        const double m = mass_[i];
        const bool powerOfTwo = std::isfinite(m) && m > 0.0 && std::frexp(m, &exponent) == 0.5 &&
                                exponent > -1000 && exponent < 1000;
        inverseMass_[i] = powerOfTwo ? 1.0 / m : 0.0;
        exactReciprocal_[i / kLanes] = exactReciprocal_[i / kLanes] && powerOfTwo;
    }
    slotBegin_.assign(static_cast<std::size_t>(groupCount) + 1, 0);
    auto linkCount = [&](int node) {
        return node < nodeCount_ ? linkBegin_[static_cast<std::size_t>(node) + 1] -
                                       linkBegin_[static_cast<std::size_t>(node)]
                                 : 0;
    };
    for (int g = 0; g < groupCount; ++g) {
        int slots = 0;
        for (int lane = 0; lane < kLanes; ++lane) {
            slots = std::max(slots, linkCount(g * kLanes + lane));
        }
        for (int s = 0; s < slots; ++s) {
            std::int32_t other[kLanes];
            bool active[kLanes];
            bool allActive = true;
            // An inactive lane's value is discarded; pointing it at the node
            // that continues the active lanes' run keeps the slot contiguous.
            int runStart = -1;
            bool run = true;
            for (int lane = 0; lane < kLanes; ++lane) {
                const int node = g * kLanes + lane;
                active[lane] = s < linkCount(node);
                allActive = allActive && active[lane];
                const std::size_t link =
                    active[lane] ? static_cast<std::size_t>(linkBegin_[static_cast<std::size_t>(node)] + s)
                                 : 0;
                other[lane] = active[lane] ? linkOther_[link] : node;
                if (active[lane]) {
                    const int start = other[lane] - lane;
                    run = run && (runStart < 0 || runStart == start);
                    runStart = start;
                }
                slotStiffness_.push_back(active[lane] ? linkStiffness_[link] : 0.0);
                slotLaneMask_.push_back(active[lane] ? -1 : 0);
            }
            const bool contiguous = run && runStart >= 0 && runStart + kLanes <= paddedCount_;
            for (int lane = 0; lane < kLanes; ++lane) {
                slotOther_.push_back(contiguous ? runStart + lane : other[lane]);
            }
            slotKind_.push_back(
                static_cast<std::uint8_t>((contiguous ? kContiguous : 0) | (allActive ? kAllActive : 0)));
        }
        slotBegin_[static_cast<std::size_t>(g) + 1] = static_cast<int>(slotKind_.size());
    }

    for (auto* state : {&x_, &v_, &stageAX_, &stageAV_, &stageBX_, &stageBV_, &accX_, &accV_}) {
        state->assign(padded, 0.0);
    }
    reset();
}

void RungeKuttaKernel::reset() {
    std::copy(initialX_.begin(), initialX_.end(), x_.begin());
    std::copy(initialV_.begin(), initialV_.end(), v_.begin());
}

void RungeKuttaKernel::scaleStiffness(double factor) {
    for (double& k : linkStiffness_) {
        k = k * factor;
    }
    for (double& k : slotStiffness_) {
        k = k * factor;
    }
}

void RungeKuttaKernel::advance() {
    if (vector_) {
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
    double* x = x_.data();
    double* v = v_.data();
    const Arrays first{x, v, x, v, stageAX_.data(), stageAV_.data(), accX_.data(), accV_.data()};
    const Arrays second{
        x, v, stageAX_.data(), stageAV_.data(), stageBX_.data(), stageBV_.data(), accX_.data(), accV_.data()};
    const Arrays third{
        x, v, stageBX_.data(), stageBV_.data(), stageAX_.data(), stageAV_.data(), accX_.data(), accV_.data()};
    const Arrays last{x, v, stageAX_.data(), stageAV_.data(), nullptr, nullptr, accX_.data(), accV_.data()};
    plainStage<kFirst>(first, nodeCount_, begin, other, stiffness, mass, constants_, halfStep);
    plainStage<kSecond>(second, nodeCount_, begin, other, stiffness, mass, constants_, halfStep);
    plainStage<kThird>(third, nodeCount_, begin, other, stiffness, mass, constants_, halfStep);
    plainStage<kLast>(last, nodeCount_, begin, other, stiffness, mass, constants_, halfStep);
}

void RungeKuttaKernel::advanceVector() {
#ifdef MUNTERO_HAVE_X86_VECTOR
    const double halfStep = constants_.timeStep / 2.0;
    const int groups = paddedCount_ / kLanes;
    double* x = x_.data();
    double* v = v_.data();
    const Arrays first{x, v, x, v, stageAX_.data(), stageAV_.data(), accX_.data(), accV_.data()};
    const Arrays second{
        x, v, stageAX_.data(), stageAV_.data(), stageBX_.data(), stageBV_.data(), accX_.data(), accV_.data()};
    const Arrays third{
        x, v, stageBX_.data(), stageBV_.data(), stageAX_.data(), stageAV_.data(), accX_.data(), accV_.data()};
    const Arrays last{x, v, stageAX_.data(), stageAV_.data(), nullptr, nullptr, accX_.data(), accV_.data()};
    const auto run = [&](auto stageFunction, const Arrays& arrays) {
        stageFunction(arrays, groups, slotBegin_.data(), slotOther_.data(), slotStiffness_.data(),
                      slotLaneMask_.data(), slotKind_.data(), mass_.data(), inverseMass_.data(),
                      exactReciprocal_.data(), constants_, halfStep);
    };
    run(vectorStage<kFirst>, first);
    run(vectorStage<kSecond>, second);
    run(vectorStage<kThird>, third);
    run(vectorStage<kLast>, last);
#else
    advancePlain();
#endif
}

} // namespace muntero
