#include "YinDetector.h"

namespace kivora::exchange {

namespace {

// The absolute threshold of the paper's step 4.
constexpr double kThreshold = 0.15;

// The position of the extremum of a parabola through lag and its neighbours.
double parabolicPosition(const std::vector<double>& values, std::size_t lag) {
    if (lag == 0 || lag + 1 >= values.size())
        return static_cast<double>(lag);
    const double left = values[lag - 1];
    const double centre = values[lag];
    const double right = values[lag + 1];
    const double curvature = left - 2.0 * centre + right;
    if (curvature == 0.0)
        return static_cast<double>(lag);
    return static_cast<double>(lag) + 0.5 * (left - right) / curvature;
}

} // namespace

YinDetector::YinDetector(std::size_t frameSize)
    : frameSize_(frameSize), fft_(frameSize), signal_(frameSize), head_(frameSize),
      difference_(frameSize / 2) {}

YinDetector::Period YinDetector::period(const double* frame) {
    const std::size_t window = frameSize_ / 2;
    // d(t) = sum over j < W of (x[j] - x[j + t])^2
    //      = sum x[j]^2 + sum x[j + t]^2 - 2 sum x[j] x[j + t]; the last sum is
    // the correlation of the frame with its first half, circular without
    // wrapping since j + t < 2W = N.
    for (std::size_t n = 0; n < frameSize_; ++n) {
        signal_[n] = frame[n];
        head_[n] = n < window ? frame[n] : 0.0;
    }
    fft_.forward(signal_.data());
    fft_.forward(head_.data());
    for (std::size_t k = 0; k < frameSize_; ++k) { // the signal times the head's conjugate
        const std::complex<double> s = signal_[k];
        const std::complex<double> h = head_[k];
        signal_[k] = {s.real() * h.real() + s.imag() * h.imag(), s.imag() * h.real() - s.real() * h.imag()};
    }
    fft_.backward(signal_.data());
    const double scale = 1.0 / static_cast<double>(frameSize_);

    double headEnergy = 0.0;
    for (std::size_t j = 0; j < window; ++j)
        headEnergy += frame[j] * frame[j];
    double shiftedEnergy = headEnergy;
    for (std::size_t lag = 0; lag < window; ++lag) {
        if (lag > 0)
            shiftedEnergy +=
                frame[window + lag - 1] * frame[window + lag - 1] - frame[lag - 1] * frame[lag - 1];
        difference_[lag] = headEnergy + shiftedEnergy - 2.0 * signal_[lag].real() * scale;
    }

    // Cumulative mean normalisation; the dip at lag t is known once t + 1 is.
    difference_[0] = 1.0;
    double runningSum = 0.0;
    for (std::size_t lag = 1; lag < window; ++lag) {
        runningSum += difference_[lag];
        difference_[lag] = runningSum != 0.0 ? difference_[lag] * static_cast<double>(lag) / runningSum : 1.0;
        if (lag > 4) {
            const std::size_t candidate = lag - 3;
            if (difference_[candidate] < kThreshold && difference_[candidate] < difference_[candidate + 1])
                return {parabolicPosition(difference_, candidate), 1.0 - difference_[candidate]};
        }
    }
    std::size_t deepest = 0;
    for (std::size_t lag = 1; lag < window; ++lag)
        if (difference_[lag] < difference_[deepest])
            deepest = lag;
    return {parabolicPosition(difference_, deepest), 1.0 - difference_[deepest]};
}

} // namespace kivora::exchange
