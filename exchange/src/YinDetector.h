// The period of one frame by YIN (de Cheveigné and Kawahara, "YIN, a
// fundamental frequency estimator for speech and music", JASA 111(4), 2002):
// the cumulative mean normalised difference over lags up to half the frame,
// its difference function formed through the Fourier transform as a
// correlation; the first dip under the absolute threshold, else the deepest,
// refined by a parabola. Allocates when made, nothing per frame.
#pragma once

#include "Fft.h"

#include <complex>
#include <cstddef>
#include <vector>

namespace kivora::exchange {

class YinDetector {
public:
    struct Period {
        double samples = 0.0;    // 0: none found
        double confidence = 0.0; // 1 minus the normalised difference at the chosen lag
    };

    explicit YinDetector(std::size_t frameSize); // a power of two, at least 16
    Period period(const double* frame);

private:
    std::size_t frameSize_;
    Fft fft_;
    std::vector<std::complex<double>> signal_;
    std::vector<std::complex<double>> head_;
    std::vector<double> difference_;
};

} // namespace kivora::exchange
