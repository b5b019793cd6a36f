// The strongest resonance of a sound within a narrow band, measured as the
// library measures its dominant frequency: a bank of damped resonators
// (decay 0.9999 per sample) equally spaced over the band, fed every pair of
// consecutive samples as one complex value, the resonators ranked by their
// accumulated amplitude.
#pragma once

#include <ostrel/Export.h>
#include <ostrel/Oscillator.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ostrel {

// Samples fed between two looks at the stop flag.
inline constexpr std::size_t kBandSamplesBetweenStopChecks = 1024;

// Clears `bank`, tunes it over lowHz..highHz at sampleRateHz and feeds it
// the `count` mono 16-bit samples. Returns the index of the bank's strongest
// resonator (its frequency: bank.oscillators()[index].frequency()), or -1
// when the strongest lies on either end of the band (the response only rises
// or falls there: no resonance inside it), the bank shows no peak, or `stop`
// holds a non-zero value (looked at every kBandSamplesBetweenStopChecks
// samples). The bank keeps its amplitudes for the caller to interpolate.
// Allocates nothing. Thread: the caller's; the bank is the caller's alone.
// Throws std::invalid_argument when highHz < lowHz.
OSTREL_API int strongestResonanceInBand(OscillSet& bank, double lowHz, double highHz, double sampleRateHz,
                                        const std::int16_t* samples, std::size_t count,
                                        const std::atomic<int>* stop = nullptr);

} // namespace ostrel
