// Damped complex resonators and banks of them tuned to an equally spaced
// frequency grid. A resonator is the one-pole filter z <- c*z + x; its
// amplitude |z| after a step and the sum of those amplitudes measure how
// strongly the input excites the frequency of c's argument.
#pragma once

#include <ostrel/Export.h>

#include <cstdint>

namespace ostrel {

// Thread: the types below are plain values and objects without shared state;
// any thread may use one that no other thread uses at the same time.

struct OSTREL_API MyComplex {
    double re = 0.0;
    double im = 0.0;
};

// One resonator: seven doubles (state, multiplier, amplitude, accumulated
// amplitude, frequency), in this order. The layout is part of the library's
// interface: callers receive arrays of these. Nothing in it allocates.
class OSTREL_API Oscill {
public:
    Oscill() = default;

    // multiplier = r*(cos omega, sin omega); omega in radians per sample.
    void set(double r, double omega, double sampleRate);
    void set(const MyComplex& c, double sampleRate);
    void clear();

    // One step z <- c*z + x; x is only read.
    void oscillate(double re, double im);
    void oscillate(MyComplex& x) { oscillate(x.re, x.im); }

    double abs() const { return amplitude_; }
    double globAbs() const { return accumulatedAmplitude_; }
    double frequency() const { return frequency_; }
    const MyComplex& state() const { return state_; }
    const MyComplex& multiplier() const { return multiplier_; }

private:
    MyComplex state_;
    MyComplex multiplier_;
    double amplitude_ = 0.0;
    double accumulatedAmplitude_ = 0.0;
    double frequency_ = 0.0;
};

// The result of a peak search: `count` valid oscillator indices, strongest
// first. Copies own their own index array: copying allocates it.
struct OSTREL_API TopResonators {
    TopResonators() = default;
    TopResonators(const TopResonators& other);
    TopResonators& operator=(const TopResonators& other);
    ~TopResonators();

    std::int32_t count = 0;
    std::uint32_t* indices = nullptr;
};

// A row of `count` resonators, index 0 at the low end of the grid. Nothing is
// allocated after construction.
//
// Thread: one thread at a time per bank, and that includes the const
// searches: sortAmpl and sortGlobAmpl write the bank's own (mutable) peak
// list, so a bank is never shared between threads, not even for reading.
// Banks share nothing with one another; each thread may run its own.
class OSTREL_API OscillSet {
public:
    // Throws std::bad_alloc ("out of memory") when an array cannot be made.
    explicit OscillSet(unsigned count);
    ~OscillSet();
    OscillSet(const OscillSet&) = delete;
    OscillSet& operator=(const OscillSet&) = delete;

    // Tunes resonator i to fLow + (fHigh - fLow)*i/(count - 1) Hz with decay r
    // per sample; states and sums are kept. Throws std::invalid_argument
    // ("Fill: argument's invalid") when fHigh < fLow, changing nothing.
    void init(double r, double fLow, double fHigh, double sampleRate);

    void oscillate(double re, double im);
    void oscillate(MyComplex& x) { oscillate(x.re, x.im); }

    const Oscill* oscillators() const { return oscillators_; }
    Oscill* oscillators() { return oscillators_; }
    unsigned oscillatorsCount() const { return count_; }

    // Every local maximum of the measure along the grid, by decreasing measure
    // and, among equal measures, by increasing index. The returned list is
    // the bank's own and is rewritten by the next search.
    const TopResonators& sortAmpl() const;
    const TopResonators& sortGlobAmpl() const;

private:
    Oscill* oscillators_ = nullptr;
    unsigned count_ = 0;
    mutable TopResonators peaks_;
};

} // namespace ostrel
