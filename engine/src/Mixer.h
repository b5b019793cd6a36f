// The off-line mixer of melody rendering: sounds are summed in 32-bit integers
// and limited to 16 bits only when output is taken.
#pragma once

#include <pellamy/Export.h>
#include <pellamy/MixMode.h>

#include <cstdint>
#include <span>
#include <vector>

namespace pellamy {

// Index 0 of the accumulator is the present moment of a rendering: blocks are
// mixed in from there and output is taken from there. The accumulator grows on
// demand and never shrinks until reset().
//
// Thread: any single thread; one object is never shared.
class PELLAMY_API Mixer {
public:
    static constexpr std::int32_t kNormalizePeak = 28000;

    // Throws "Unknown mixer type" (const char*) for a mode outside 0..2.
    explicit Mixer(int mode);

    // Adds trunc(value × gain) (single precision, toward zero) to each of the
    // first n entries, growing the accumulator to n values. Sums saturate at
    // the 32-bit range instead of overflowing. Returns n.
    std::uint32_t mix(const std::int16_t* values, std::uint32_t n, float gain);
    // Fills dst with the first n values according to the mode (growing the
    // accumulator to n values). MixNormalize scales by the block's own peak.
    void take(std::int16_t* dst, std::uint32_t n);
    // As take(), but MixNormalize scales by `peak` (the larger of 28000 and the
    // peak of a longer span this block belongs to).
    void take(std::int16_t* dst, std::uint32_t n, std::int64_t peak);
    // Moves the values from index n on to the front and zeroes the last n.
    void consume(std::uint32_t n);
    // Releases the accumulator.
    void reset();

    int mode() const { return mode_; }
    std::uint32_t size() const { return size_; }
    std::span<const std::int32_t> values() const { return {storage_.data() + head_, size_}; }
    // The largest absolute value among the first n values (0 when empty).
    std::int64_t peak(std::uint32_t n) const;

    // a + b limited to the range of a signed 32-bit value.
    static std::int32_t addSaturated(std::int32_t a, std::int32_t b);

private:
    void growTo(std::uint32_t n);
    std::int32_t* front() { return storage_.data() + head_; }

    std::vector<std::int32_t> storage_; // the accumulator is storage_[head_, head_ + size_)
    std::uint32_t head_ = 0;
    std::uint32_t size_ = 0;
    int mode_;
};

} // namespace pellamy
