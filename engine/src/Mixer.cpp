#include "Mixer.h"

#include "MixKernels.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pellamy {

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
    if (size_ >= n)
        return;
    if (storage_.size() < std::size_t{head_} + n)
        storage_.resize(std::size_t{head_} + n, 0);
    size_ = n;
}

std::uint32_t Mixer::mix(const std::int16_t* values, std::uint32_t n, float gain) {
    growTo(n);
    const detail::MixKernelTable& kernels = detail::activeMixKernels();
    if (gain == 1.0f) // the common case: trunc(value × 1.0f) is the value itself
        kernels.add(front(), values, n);
    else
        kernels.addScaled(front(), values, n, gain);
    return n;
}

void Mixer::take(std::int16_t* dst, std::uint32_t n) {
    growTo(n);
    std::int64_t peak = kNormalizePeak;
    if (mode_ == MixNormalize)
        peak = std::max<std::int64_t>(peak, detail::activeMixKernels().peak(front(), n));
    take(dst, n, peak);
}

void Mixer::take(std::int16_t* dst, std::uint32_t n, std::int64_t peak) {
    growTo(n);
    const detail::MixKernelTable& kernels = detail::activeMixKernels();
    switch (mode_) {
    case MixClip:
        kernels.clampTo16(dst, front(), n);
        break;
    case MixNormalize:
        // A block is scaled only when its peak exceeds 28000.
        kernels.scaleTo16(dst, front(), n,
                          static_cast<double>(kNormalizePeak) /
                              static_cast<double>(std::max<std::int64_t>(peak, kNormalizePeak)));
        break;
    default:
        break; // MixNone: the destination stays as it was
    }
}

std::int64_t Mixer::peak(std::uint32_t n) const {
    return detail::activeMixKernels().peak(storage_.data() + head_, std::min(n, size_));
}

// The values live at storage_[head_, head_ + size_); everything else in
// storage_ is 0. Consuming moves head_ instead of the values, and the values
// are moved to the front only once the slack behind them is used up, so a
// rendering of many short waits does not move the whole accumulator each time.
void Mixer::consume(std::uint32_t n) {
    const auto begin = storage_.begin() + head_;
    if (n >= size_) {
        std::fill(begin, begin + size_, 0);
        head_ = 0;
        return;
    }
    std::fill(begin, begin + n, 0);
    head_ += n;
    if (std::size_t{head_} + size_ <= storage_.size())
        return;
    if (storage_.size() < 2 * std::size_t{size_})
        storage_.resize(2 * std::size_t{size_}, 0);
    if (std::size_t{head_} + size_ <= storage_.size())
        return;
    const std::uint32_t kept = size_ - n; // the values still in the old storage
    std::copy(storage_.begin() + head_, storage_.begin() + head_ + kept, storage_.begin());
    std::fill(storage_.begin() + std::max(kept, head_), storage_.begin() + head_ + kept, 0);
    head_ = 0;
}

void Mixer::reset() {
    storage_.clear();
    storage_.shrink_to_fit();
    head_ = 0;
    size_ = 0;
}

} // namespace pellamy
