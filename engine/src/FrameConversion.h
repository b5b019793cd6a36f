// Conversion of a sound's interleaved 16-bit values to the device's rate and
// channel count, done on the interface thread before a voice plays.
#pragma once

#include <pellamy/Export.h>

#include <cstdint>
#include <span>
#include <vector>

namespace pellamy {

// True when a sound at `rateHz` can be converted to `deviceRateHz`: any
// lowering of the rate, and any raising from 1000 Hz up (by at most 65536
// times); below 1000 Hz, raising by at most 256 times.
// Exported from the core for the live part, which converts to the device.
PELLAMY_API bool canConvertRate(unsigned rateHz, unsigned deviceRateHz);

// Whole frames of `values` (a trailing partial frame is dropped) resampled
// from rateHz to deviceRateHz and mapped from `channels` to deviceChannels:
// one channel is copied to every device channel, several are averaged into a
// single one, otherwise device channel c takes channel c of the sound (or
// silence). Equal rates are copied exactly, without resampling; ratios beyond
// the converter's 256 go in several passes.
PELLAMY_API std::vector<std::int16_t> convertToDevice(std::span<const std::int16_t> values, unsigned channels,
                                                      unsigned rateHz, unsigned deviceChannels,
                                                      unsigned deviceRateHz);

} // namespace pellamy
