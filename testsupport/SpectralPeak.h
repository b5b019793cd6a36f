// A pitch estimator of the tests' own, independent of the spectral library:
// the magnitude of the Hann-windowed discrete-time Fourier transform searched
// on a fine grid around the expected frequency and refined by a parabola.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace kivora::testing {

// The peak within ±window·expected of expected, or NaN when the spectrum
// only rises or falls there (no peak inside).
inline double spectralPeakNear(const std::vector<double>& samples, double sampleRate, double expected,
                               double window = 0.04) {
    if (samples.size() < 2)
        return std::nan("");
    std::vector<double> windowed(samples.size());
    for (std::size_t n = 0; n < samples.size(); ++n)
        windowed[n] = samples[n] * (0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / (samples.size() - 1)));
    auto magnitude = [&](double hz) {
        const std::complex<double> rotation = std::polar(1.0, -2.0 * std::numbers::pi * hz / sampleRate);
        std::complex<double> phase = 1.0, sum = 0.0;
        for (double v : windowed) {
            sum += v * phase;
            phase *= rotation;
        }
        return std::abs(sum);
    };
    const int points = 160;
    const double low = expected * (1.0 - window);
    const double step = 2.0 * window * expected / points;
    std::vector<double> m(points + 1);
    for (int p = 0; p <= points; ++p)
        m[static_cast<std::size_t>(p)] = magnitude(low + p * step);
    const auto best = static_cast<int>(std::max_element(m.begin(), m.end()) - m.begin());
    if (best == 0 || best == points)
        return std::nan("");
    const double left = m[static_cast<std::size_t>(best - 1)];
    const double centre = m[static_cast<std::size_t>(best)];
    const double right = m[static_cast<std::size_t>(best + 1)];
    return low + (best + 0.5 * (left - right) / (left - 2.0 * centre + right)) * step;
}

inline double centsBetween(double hz, double reference) {
    return 1200.0 * std::log2(hz / reference);
}

} // namespace kivora::testing
