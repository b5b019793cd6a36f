// The fundamental frequency of a sound: the pitch a listener names, which is
// not always the sound's strongest partial (a low piano or bassoon note is
// loudest at its second or third harmonic, the spectral library's dominant
// frequency measures that one).
//
// Threads: an estimator is used by one thread at a time; estimators share
// nothing, so each thread may run its own. measureFundamental makes one per
// call.
#pragma once

#include <kivora/exchange/Export.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kivora::exchange {

// Fundamentals are looked for from the piano's A0 to its C8.
inline constexpr double kLowestFundamentalHz = 27.5;
inline constexpr double kHighestFundamentalHz = 4186.0;
// Above this the spectral library's dominant frequency cannot see a partial.
inline constexpr double kHighestDominantHz = 2000.0;
// Only a sound's first seconds are analysed: a held note's pitch is settled
// by then, and the cost stays bounded for long sounds.
inline constexpr double kFundamentalAnalysisSeconds = 3.0;
// A sound is pitched when at least this share of its sounding frames is
// clearly periodic; noise and drums stay well below it.
inline constexpr double kPitchedClarity = 0.5;

struct FundamentalReading {
    double frequencyHz = 0.0; // 0: silent, no clear pitch, or outside the range above
    // Share (0-1) of the sounding frames whose periodicity is clear.
    double clarity = 0.0;
    // Share (0-1) of the sounding frames' energy above kHighestDominantHz.
    double energyShareAboveDominantRange = 0.0;

    bool pitched() const { return frequencyHz > 0.0; }
};

// Measures mono 16-bit values at one sample rate. Two steps: YIN (de
// Cheveigné and Kawahara, JASA 2002, its difference function formed through
// the Fourier transform) names the period of every frame and
// how clearly the frame repeats; the median period of the clear frames is
// then refined on a bank of the spectral library's resonators one cent
// apart, at the lowest harmonic strong enough to resolve, to a fraction of a
// cent. Allocates its frames, transforms and bank when made, nothing per
// sound.
class KIVORA_EXCHANGE_API FundamentalEstimator {
public:
    explicit FundamentalEstimator(unsigned sampleRateHz);
    ~FundamentalEstimator();
    FundamentalEstimator(const FundamentalEstimator&) = delete;
    FundamentalEstimator& operator=(const FundamentalEstimator&) = delete;

    unsigned sampleRateHz() const;
    FundamentalReading measure(const std::int16_t* values, std::size_t count);

private:
    class Analysis;
    std::unique_ptr<Analysis> analysis_;
};

KIVORA_EXCHANGE_API FundamentalReading measureFundamental(const std::int16_t* values, std::size_t count,
                                                          unsigned sampleRateHz);

} // namespace kivora::exchange
