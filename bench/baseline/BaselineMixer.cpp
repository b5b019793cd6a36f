#include "BaselineMixer.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pellamy::baseline {

Mixer::Mixer(int mode) : mode_(mode) {
    if (mode < MixNone || mode > MixNormalize)
        throw "Unknown mixer type";
}

std::int32_t Mixer::addSaturated(std::int32_t a, std::int32_t b) {
    const std::int64_t sum = std::int64_t{a} + b;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(sum, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

void Mixer::growTo(std::uint32_t n) {
    if (accumulator_.size() < n)
        accumulator_.resize(n, 0);
}

std::uint32_t Mixer::mix(const std::int16_t* values, std::uint32_t n, float gain) {
    growTo(n);
    std::int32_t* acc = accumulator_.data();
    if (gain == 1.0f) {
        // The common case: trunc(value × 1.0f) is the value itself.
        for (std::uint32_t i = 0; i < n; ++i)
            acc[i] = addSaturated(acc[i], values[i]);
    } else {
        for (std::uint32_t i = 0; i < n; ++i) {
            // |value × gain| may exceed any integer; clamp before converting.
            const float product = std::trunc(static_cast<float>(values[i]) * gain);
            const double limited =
                std::isnan(product) ? 0.0 : std::clamp<double>(product, -2147483648.0, 2147483647.0);
            acc[i] = addSaturated(acc[i], static_cast<std::int32_t>(limited));
        }
    }
    return n;
}

void Mixer::take(std::int16_t* dst, std::uint32_t n) {
    growTo(n);
    std::int64_t peak = kNormalizePeak;
    if (mode_ == MixNormalize)
        for (std::uint32_t i = 0; i < n; ++i)
            peak = std::max<std::int64_t>(peak, std::llabs(accumulator_[i]));
    take(dst, n, peak);
}

void Mixer::take(std::int16_t* dst, std::uint32_t n, std::int64_t peak) {
    growTo(n);
    const std::int32_t* acc = accumulator_.data();
    switch (mode_) {
    case MixClip:
        for (std::uint32_t i = 0; i < n; ++i)
            dst[i] = static_cast<std::int16_t>(std::clamp<std::int32_t>(acc[i], -32768, 32767));
        break;
    case MixNormalize: {
        // A block is scaled only when its peak exceeds 28000.
        const double scale = static_cast<double>(kNormalizePeak) /
                             static_cast<double>(std::max<std::int64_t>(peak, kNormalizePeak));
        for (std::uint32_t i = 0; i < n; ++i) {
            const double scaled = std::trunc(scale * acc[i]);
            dst[i] = static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
        }
        break;
    }
    default:
        break; // MixNone: the destination stays as it was
    }
}

void Mixer::consume(std::uint32_t n) {
    if (n >= accumulator_.size()) {
        std::fill(accumulator_.begin(), accumulator_.end(), 0);
        return;
    }
    std::copy(accumulator_.begin() + n, accumulator_.end(), accumulator_.begin());
    std::fill(accumulator_.end() - n, accumulator_.end(), 0);
}

void Mixer::reset() {
    accumulator_.clear();
    accumulator_.shrink_to_fit();
}

} // namespace pellamy::baseline
