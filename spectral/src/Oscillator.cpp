#include "OutOfMemory.h"
#include "PeakSearch.h"

#include <ostrel/Oscillator.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>

namespace ostrel {

namespace {

// 1/(2*pi) and 2*pi as the library has always written them.
constexpr double kInverseTwoPi = 0.15915494309189535;
constexpr double kTwoPi = 6.283185307179586;

// Allocation failure of a bank: a std::bad_alloc that says "out of memory".
class OutOfMemory : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "out of memory"; }
};

} // namespace

void detail::throwOutOfMemory() {
    throw OutOfMemory();
}

void Oscill::set(double r, double omega, double sampleRate) {
    multiplier_.re = r * std::cos(omega);
    multiplier_.im = r * std::sin(omega);
    frequency_ = omega * sampleRate * kInverseTwoPi;
}

void Oscill::set(const MyComplex& c, double sampleRate) {
    multiplier_ = c;
    frequency_ = std::atan2(c.im, c.re) * sampleRate * kInverseTwoPi;
}

void Oscill::clear() {
    *this = Oscill();
}

void Oscill::oscillate(double re, double im) {
    // Both products use the state before this step.
    const double newRe = state_.re * multiplier_.re - state_.im * multiplier_.im + re;
    const double newIm = state_.re * multiplier_.im + state_.im * multiplier_.re + im;
    state_.re = newRe;
    state_.im = newIm;
    amplitude_ = std::sqrt(newRe * newRe + newIm * newIm);
    accumulatedAmplitude_ += amplitude_;
}

TopResonators::TopResonators(const TopResonators& other) : count(other.count) {
    if (other.indices != nullptr) {
        indices = new std::uint32_t[static_cast<std::size_t>(std::max(other.count, 1))];
        std::copy(other.indices, other.indices + std::max(other.count, 0), indices);
    }
}

TopResonators& TopResonators::operator=(const TopResonators& other) {
    if (this != &other) {
        TopResonators copy(other);
        std::swap(count, copy.count);
        std::swap(indices, copy.indices);
    }
    return *this;
}

TopResonators::~TopResonators() {
    delete[] indices;
}

OscillSet::OscillSet(unsigned count) {
    oscillators_ = new (std::nothrow) Oscill[count];
    if (oscillators_ == nullptr) {
        detail::throwOutOfMemory();
    }
    // Room for one entry even in an empty bank keeps `indices` non-null.
    peaks_.indices = new (std::nothrow) std::uint32_t[std::max(count, 1u)];
    if (peaks_.indices == nullptr) {
        delete[] oscillators_;
        oscillators_ = nullptr;
        detail::throwOutOfMemory();
    }
    count_ = count;
}

OscillSet::~OscillSet() {
    delete[] oscillators_;
    delete[] peaks_.indices;
    peaks_.indices = nullptr;
}

void OscillSet::init(double r, double fLow, double fHigh, double sampleRate) {
    if (fHigh - fLow < 0) {
        throw std::invalid_argument("Fill: argument's invalid");
    }
    // A single resonator sits at fLow (the grid formula would divide 0 by 0).
    const double divisions = count_ > 1 ? static_cast<double>(count_ - 1) : 1.0;
    for (unsigned i = 0; i < count_; ++i) {
        const double f = fLow + (fHigh - fLow) * static_cast<double>(i) / divisions;
        const double omega = (1.0 / sampleRate) * f * kTwoPi;
        oscillators_[i].set(r, omega, sampleRate);
    }
}

void OscillSet::oscillate(double re, double im) {
    for (unsigned i = 0; i < count_; ++i) {
        oscillators_[i].oscillate(re, im);
    }
}

const TopResonators& OscillSet::sortAmpl() const {
    peaks_.count =
        detail::findPeaks(peaks_.indices, count_, [this](unsigned i) { return oscillators_[i].abs(); });
    return peaks_;
}

const TopResonators& OscillSet::sortGlobAmpl() const {
    peaks_.count =
        detail::findPeaks(peaks_.indices, count_, [this](unsigned i) { return oscillators_[i].globAbs(); });
    return peaks_;
}

} // namespace ostrel
