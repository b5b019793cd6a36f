// The vector stages of BatchedRungeKuttaKernel for one vector width. Included
// once per width, inside a namespace of its own, with `Lanes` (the width's
// operations, see FourLaneOps) and MUNTERO_LANES_TARGET (the attribute that
// lets the compiler use them) defined: both widths run this one text.

using Vector = Lanes::Vector;
constexpr int kWidth = Lanes::kWidth;

struct VectorFactors {
    Vector halfStep, step, weight, linear, squarePositive, squareNegative, two;
};

MUNTERO_LANES_TARGET [[gnu::always_inline]] inline VectorFactors broadcast(const Factors& f) {
    return {
        Lanes::broadcast(f.halfStep), Lanes::broadcast(f.step),           Lanes::broadcast(f.weight),
        Lanes::broadcast(f.linear),   Lanes::broadcast(f.squarePositive), Lanes::broadcast(f.squareNegative),
        Lanes::broadcast(f.two)};
}

// The Runge-Kutta bookkeeping of one vector of lanes; `values` is where the
// vector starts in the node's first array, `arrayLanes` the distance between
// the node's arrays.
template <Stage stage>
MUNTERO_LANES_TARGET [[gnu::always_inline]] inline void
combine(double* values, std::ptrdiff_t arrayLanes, Vector dx, Vector dv, const VectorFactors& f) {
    double* accX = values + kAccX * arrayLanes;
    double* accV = values + kAccV * arrayLanes;
    const Vector x = Lanes::load(values + kX * arrayLanes);
    const Vector v = Lanes::load(values + kV * arrayLanes);
    if constexpr (stage == kLast) {
        Lanes::store(values + kX * arrayLanes,
                     Lanes::add(x, Lanes::mul(f.weight, Lanes::add(Lanes::load(accX), dx))));
        Lanes::store(values + kV * arrayLanes,
                     Lanes::add(v, Lanes::mul(f.weight, Lanes::add(Lanes::load(accV), dv))));
    } else {
        if constexpr (stage == kFirst) {
            Lanes::store(accX, dx);
            Lanes::store(accV, dv);
        } else {
            Lanes::store(accX, Lanes::add(Lanes::load(accX), Lanes::mul(f.two, dx)));
            Lanes::store(accV, Lanes::add(Lanes::load(accV), Lanes::mul(f.two, dv)));
        }
        const Vector factor = stage == kThird ? f.step : f.halfStep;
        double* next = values + nextField(stage) * arrayLanes;
        Lanes::store(next, Lanes::add(x, Lanes::mul(factor, dx)));
        Lanes::store(next + arrayLanes, Lanes::add(v, Lanes::mul(factor, dv)));
    }
}

// dv = a - (linear + (square·s)·v)·v, s = 1 where v > 0, else -1.
MUNTERO_LANES_TARGET [[gnu::always_inline]] inline Vector velocityDerivative(Vector acceleration, Vector v,
                                                                             const VectorFactors& f) {
    const Vector square = Lanes::selectWherePositive(v, f.squarePositive, f.squareNegative);
    return Lanes::sub(acceleration, Lanes::mul(Lanes::add(f.linear, Lanes::mul(square, v)), v));
}

MUNTERO_LANES_TARGET [[gnu::always_inline]] inline Vector byMass(Vector sum, unsigned char massKind,
                                                                 double mass, double inverseMass) {
    if (massKind == kReciprocal) {
        return Lanes::mul(sum, Lanes::broadcast(inverseMass));
    }
    if (massKind == kDivide) {
        return Lanes::div(sum, Lanes::broadcast(mass));
    }
    return sum;
}

// One node of an unrolled run. With `carriedIn`, the spring at slot
// carriedTo takes the force the node before computed for its spring at slot
// carriedTo + 1: the sum never holds -0 (it starts at +0), so a - f(i, i-1)
// is a + f(i-1, i), bit for bit.
template <Stage stage, int links, int carriedTo, bool carriedIn, bool unitMass>
MUNTERO_LANES_TARGET [[gnu::always_inline]] inline void
unrolledNode(double* node, const std::ptrdiff_t* offset, const Vector* k, Vector& carried,
             unsigned char massKind, const double* mass, const double* inverseMass, const VectorFactors& f) {
    constexpr std::ptrdiff_t stateAt = stateField(stage) * kWidth;
    const Vector xi = Lanes::load(node + stateAt);
    Vector sum = Lanes::zero();
    Vector carriedOut = Lanes::zero();
    for (int s = 0; s < links; ++s) {
        if (carriedIn && s == carriedTo) {
            sum = Lanes::add(sum, carried);
            continue;
        }
        const Vector term = Lanes::mul(Lanes::sub(xi, Lanes::load(node + offset[s])), k[s]);
        sum = Lanes::sub(sum, term);
        if (carriedTo >= 0 && s == carriedTo + 1) {
            carriedOut = term;
        }
    }
    carried = carriedOut;
    if constexpr (!unitMass) {
        sum = byMass(sum, massKind, *mass, *inverseMass);
    }
    const Vector vi = Lanes::load(node + stateAt + kWidth);
    combine<stage>(node, kWidth, vi, velocityDerivative(sum, vi, f), f);
}

template <Stage stage, int links, int carriedTo, bool unitMass>
MUNTERO_LANES_TARGET [[gnu::always_inline]] inline void
unrolledNodes(double* state, int begin, int end, const Tables& t, const Run& run,
              const std::ptrdiff_t* offset, const Vector* k, const VectorFactors& f) {
    constexpr std::ptrdiff_t nodeStride = kFieldCount * kWidth;
    Vector carried = Lanes::zero();
    double* node = state + begin * nodeStride;
    unrolledNode<stage, links, carriedTo, false, unitMass>(node, offset, k, carried, run.massKind,
                                                           t.mass + begin, t.inverseMass + begin, f);
    for (int i = begin + 1; i < end; ++i) {
        node += nodeStride;
        unrolledNode<stage, links, carriedTo, true, unitMass>(node, offset, k, carried, run.massKind,
                                                              t.mass + i, t.inverseMass + i, f);
    }
}

// The nodes [begin, end) of a run, the batch one vector wide: the run's
// distances and stiffnesses stay in registers, and the first node computes
// every spring, the others take the one carried from the node before.
template <Stage stage, int links, int carriedTo>
MUNTERO_LANES_TARGET void unrolledRun(double* state, int begin, int end, const Tables& t, const Run& run,
                                      const Factors& factors) {
    constexpr std::ptrdiff_t stateAt = stateField(stage) * kWidth;
    std::ptrdiff_t offset[links > 0 ? links : 1];
    Vector k[links > 0 ? links : 1];
    for (int s = 0; s < links; ++s) {
        offset[s] = run.offset[s] + stateAt;
        k[s] = Lanes::load(t.laneStiffness + run.stiffness[s]);
    }
    const VectorFactors f = broadcast(factors);
    // Most models' masses are 1: their nodes skip the mass altogether.
    if (run.massKind == kUnitMass) {
        unrolledNodes<stage, links, carriedTo, true>(state, begin, end, t, run, offset, k, f);
    } else {
        unrolledNodes<stage, links, carriedTo, false>(state, begin, end, t, run, offset, k, f);
    }
}

// The nodes [begin, end) of a run, any number of vectors wide; `links` is
// the run's link count, or kGeneralRun to read the springs from the tables.
template <Stage stage, int links>
MUNTERO_LANES_TARGET void wideRun(double* state, int begin, int end, const Tables& t, const Run& run,
                                  const Factors& factors) {
    const std::ptrdiff_t arrayLanes = t.arrayLanes;
    const std::ptrdiff_t stateAt = stateField(stage) * arrayLanes;
    const VectorFactors f = broadcast(factors);
    for (int i = begin; i < end; ++i) {
        double* node = state + i * t.nodeStride;
        const unsigned char massKind = t.massKind[i];
        for (std::ptrdiff_t lane = 0; lane < arrayLanes; lane += kWidth) {
            double* values = node + lane;
            const Vector xi = Lanes::load(values + stateAt);
            Vector sum = Lanes::zero();
            if constexpr (links == kGeneralRun) {
                for (int l = t.linkBegin[i]; l < t.linkBegin[i + 1]; ++l) {
                    const Vector xj = Lanes::load(state + t.linkOther[l] + stateAt + lane);
                    const Vector k = Lanes::load(t.laneStiffness + t.linkStiffness[l] + lane);
                    sum = Lanes::sub(sum, Lanes::mul(Lanes::sub(xi, xj), k));
                }
            } else {
                for (int s = 0; s < links; ++s) {
                    const Vector xj = Lanes::load(values + run.offset[s] + stateAt);
                    const Vector k = Lanes::load(t.laneStiffness + run.stiffness[s] + lane);
                    sum = Lanes::sub(sum, Lanes::mul(Lanes::sub(xi, xj), k));
                }
            }
            const Vector vi = Lanes::load(values + stateAt + arrayLanes);
            combine<stage>(values, arrayLanes, vi,
                           velocityDerivative(byMass(sum, massKind, t.mass[i], t.inverseMass[i]), vi, f), f);
        }
    }
}

struct Kernels {
    static constexpr int kLanes = kWidth;
    template <Stage stage, int links, int carriedTo>
    static void unrolled(double* state, int begin, int end, const Tables& t, const Run& run,
                         const Factors& f) {
        unrolledRun<stage, links, carriedTo>(state, begin, end, t, run, f);
    }
    template <Stage stage, int links>
    static void wide(double* state, int begin, int end, const Tables& t, const Run& run, const Factors& f) {
        wideRun<stage, links>(state, begin, end, t, run, f);
    }
};
