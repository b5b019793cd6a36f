#include "Fft.h"

#include <cmath>
#include <numbers>
#include <utility>

namespace kivora::exchange {

Fft::Fft(std::size_t size) : size_(size), reversed_(size), twiddles_(size > 1 ? size - 1 : 0) {
    unsigned bits = 0;
    while ((std::size_t{1} << bits) < size)
        ++bits;
    for (std::size_t i = 0; i < size; ++i) {
        std::size_t r = 0;
        for (unsigned b = 0; b < bits; ++b)
            r |= ((i >> b) & 1U) << (bits - 1 - b);
        reversed_[i] = r;
    }
    // The butterflies of stage `half` use e^(-2 pi i k / (2 half)), k < half,
    // kept together from index half - 1.
    for (std::size_t half = 1; half < size; half *= 2) {
        const std::size_t stride = size / (2 * half);
        for (std::size_t k = 0; k < half; ++k) {
            const double angle =
                -2.0 * std::numbers::pi * static_cast<double>(k * stride) / static_cast<double>(size);
            twiddles_[half - 1 + k] = {std::cos(angle), std::sin(angle)};
        }
    }
}

void Fft::forward(std::complex<double>* values) const {
    transform<false>(values);
}

void Fft::backward(std::complex<double>* values) const {
    transform<true>(values);
}

template <bool inverse>
void Fft::transform(std::complex<double>* values) const {
    for (std::size_t i = 0; i < size_; ++i)
        if (i < reversed_[i])
            std::swap(values[i], values[reversed_[i]]);
    for (std::size_t half = 1; half < size_; half *= 2) {
        const std::complex<double>* stage = twiddles_.data() + (half - 1);
        for (std::size_t start = 0; start < size_; start += 2 * half) {
            std::complex<double>* even = values + start;
            std::complex<double>* odd = even + half;
            for (std::size_t k = 0; k < half; ++k) {
                // Written out: std::complex's operator* checks for infinities, a call per product.
                const double wr = stage[k].real();
                const double wi = inverse ? -stage[k].imag() : stage[k].imag();
                const std::complex<double> x = odd[k];
                const std::complex<double> product(wr * x.real() - wi * x.imag(),
                                                   wr * x.imag() + wi * x.real());
                odd[k] = even[k] - product;
                even[k] += product;
            }
        }
    }
}

RealSpectrum::RealSpectrum(std::size_t frameSize) : fft_(frameSize), work_(frameSize) {}

void RealSpectrum::magnitudes(const double* frame, double* magnitudes) {
    for (std::size_t n = 0; n < work_.size(); ++n)
        work_[n] = frame[n];
    fft_.forward(work_.data());
    for (std::size_t k = 0; k <= work_.size() / 2; ++k)
        magnitudes[k] = std::abs(work_[k]);
}

} // namespace kivora::exchange
