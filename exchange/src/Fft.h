// A radix-2 discrete Fourier transform in double precision, for the frame
// sizes the fundamental estimator uses (powers of two). Tables are made with
// the transform; transforming allocates nothing.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace kivora::exchange {

class Fft {
public:
    explicit Fft(std::size_t size); // a power of two, at least 2
    std::size_t size() const { return size_; }
    // X[k] = sum x[n] e^(-2 pi i k n / N), in place.
    void forward(std::complex<double>* values) const;
    // x[n] = sum X[k] e^(+2 pi i k n / N), in place and unscaled (N times the inverse).
    void backward(std::complex<double>* values) const;

private:
    template <bool inverse>
    void transform(std::complex<double>* values) const;

    std::size_t size_;
    std::vector<std::size_t> reversed_;          // bit-reversed index of each index
    std::vector<std::complex<double>> twiddles_; // stage by stage, see the constructor
};

// The magnitude spectrum of a real frame: |X[k]| for k = 0 ... N/2.
class RealSpectrum {
public:
    explicit RealSpectrum(std::size_t frameSize);
    void magnitudes(const double* frame, double* magnitudes);

private:
    Fft fft_;
    std::vector<std::complex<double>> work_;
};

} // namespace kivora::exchange
