#include "Fft.h"
#include "YinDetector.h"

#include <kivora/exchange/Fundamental.h>
#include <ostrel/Oscillator.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

namespace kivora::exchange {

namespace {

// A frame holds two periods of the lowest fundamental, as YIN needs; frames
// start a quarter frame apart.
unsigned frameSizeFor(unsigned sampleRateHz) {
    const double wanted = 2.0 * sampleRateHz / kLowestFundamentalHz;
    unsigned size = 256;
    while (size < wanted)
        size *= 2;
    return size;
}

constexpr double kRefinedSeconds = 1.0;
// Frames more than this far below the loudest frame are the tail or silence.
constexpr double kSoundingDecibels = 30.0;
// YIN's confidence (one minus the normalised difference at the chosen
// period) of a clearly periodic frame; noise and drum frames stay below.
constexpr double kClearConfidence = 0.8;
// The refining bank: one cent apart over this many cents either side of the
// YIN estimate, with the spectral library's decay per sample.
constexpr int kRefineHalfWidthCents = 30;
// The lowest of the first few harmonics that reaches this share of the
// strongest of them is refined (and divided by its number): a fundamental
// much weaker than that, or missing, is no resonance to measure.
constexpr int kHarmonicsConsidered = 4;
constexpr double kResolvableHarmonicShare = 0.1;
constexpr double kDecayPerSample = 0.9999;
constexpr double kInputScale = 1.0 / 2147483647.0;

double shiftedByCents(double hz, double cents) {
    return hz * std::exp2(cents / 1200.0);
}

} // namespace

class FundamentalEstimator::Analysis {
public:
    explicit Analysis(unsigned sampleRateHz)
        : sampleRateHz_(sampleRateHz), frameSize_(frameSizeFor(sampleRateHz)), hopSize_(frameSize_ / 4),
          yin_(frameSize_), spectrum_(frameSize_), frame_(frameSize_), windowed_(frameSize_),
          magnitudes_(frameSize_ / 2 + 1), refineBank_(2 * kRefineHalfWidthCents + 1) {
        spectrumSum_.resize(frameSize_ / 2 + 1);
        window_.resize(frameSize_);
        for (unsigned n = 0; n < frameSize_; ++n)
            window_[n] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / frameSize_);
        const auto longest = static_cast<std::size_t>(kFundamentalAnalysisSeconds * sampleRateHz);
        const std::size_t frames = longest / hopSize_ + 1;
        frameHz_.reserve(frames);
        frameLevel_.reserve(frames);
        frameConfidence_.reserve(frames);
        frameHighShare_.reserve(frames);
        clearHz_.reserve(frames);
    }

    unsigned sampleRateHz() const { return sampleRateHz_; }

    FundamentalReading measure(const std::int16_t* values, std::size_t count) {
        FundamentalReading reading;
        count = std::min(count, static_cast<std::size_t>(kFundamentalAnalysisSeconds * sampleRateHz_));
        int peak = 0;
        for (std::size_t i = 0; i < count; ++i)
            peak = std::max(peak, std::abs(static_cast<int>(values[i])));
        if (peak == 0 || count < frameSize_ / 2)
            return reading;
        analyseFrames(values, count, 1.0 / peak);

        const double loudest = *std::max_element(frameLevel_.begin(), frameLevel_.end());
        const double soundingLevel = loudest * std::pow(10.0, -kSoundingDecibels / 20.0);
        std::size_t sounding = 0;
        std::size_t firstClear = frameHz_.size();
        double highEnergy = 0.0;
        double allEnergy = 0.0;
        clearHz_.clear();
        for (std::size_t f = 0; f < frameHz_.size(); ++f) {
            if (frameLevel_[f] < soundingLevel)
                continue;
            ++sounding;
            const double energy = frameLevel_[f] * frameLevel_[f];
            highEnergy += energy * frameHighShare_[f];
            allEnergy += energy;
            if (frameConfidence_[f] >= kClearConfidence && frameHz_[f] >= kLowestFundamentalHz &&
                frameHz_[f] <= kHighestFundamentalHz) {
                clearHz_.push_back(frameHz_[f]);
                firstClear = std::min(firstClear, f);
            }
        }
        reading.energyShareAboveDominantRange = allEnergy > 0.0 ? highEnergy / allEnergy : 0.0;
        reading.clarity = sounding > 0 ? static_cast<double>(clearHz_.size()) / sounding : 0.0;
        if (reading.clarity < kPitchedClarity)
            return reading;

        // The median frame's period: single frames that slip an octave (an
        // attack, a note's last breath) do not move it.
        const auto middle = clearHz_.begin() + static_cast<long>(clearHz_.size() / 2);
        std::nth_element(clearHz_.begin(), middle, clearHz_.end());
        const double yinHz = *middle;
        const std::size_t refineStart = firstClear * hopSize_;
        const std::size_t refineCount =
            std::min(count - refineStart, static_cast<std::size_t>(kRefinedSeconds * sampleRateHz_));
        const int harmonic = resolvableHarmonic(yinHz);
        reading.frequencyHz = refined(harmonic * yinHz, values + refineStart, refineCount) / harmonic;
        return reading;
    }

private:
    // Per frame: YIN's frequency and confidence, the level (RMS of the
    // frame's newest hop) and the share of its spectrum's energy above the
    // dominant frequency's range.
    void analyseFrames(const std::int16_t* values, std::size_t count, double scale) {
        frameHz_.clear();
        frameLevel_.clear();
        frameConfidence_.clear();
        frameHighShare_.clear();
        std::fill(spectrumSum_.begin(), spectrumSum_.end(), 0.0);
        // Two bins past the limit: a tone just below it spreads its window's
        // main lobe across the limit.
        const auto highBin =
            static_cast<unsigned>(std::ceil(kHighestDominantHz * frameSize_ / sampleRateHz_)) + 2;
        for (std::size_t end = hopSize_; end <= count; end += hopSize_) {
            // The frame ends at `end`; before the first sample it is silent.
            double hopEnergy = 0.0;
            for (unsigned n = 0; n < frameSize_; ++n) {
                const std::size_t back = frameSize_ - n;
                const double v = back <= end ? values[end - back] * scale : 0.0;
                frame_[n] = v;
                windowed_[n] = v * window_[n];
                if (n >= frameSize_ - hopSize_)
                    hopEnergy += v * v;
            }
            const YinDetector::Period period = yin_.period(frame_.data());
            frameHz_.push_back(period.samples > 0.0 ? sampleRateHz_ / period.samples : 0.0);
            frameConfidence_.push_back(period.confidence);
            frameLevel_.push_back(std::sqrt(hopEnergy / hopSize_));

            spectrum_.magnitudes(windowed_.data(), magnitudes_.data());
            double high = 0.0;
            double all = 0.0;
            for (std::size_t bin = 1; bin < magnitudes_.size(); ++bin) {
                spectrumSum_[bin] += magnitudes_[bin];
                const double power = magnitudes_[bin] * magnitudes_[bin];
                all += power;
                if (bin > highBin)
                    high += power;
            }
            frameHighShare_.push_back(all > 0.0 ? high / all : 0.0);
        }
    }

    // The magnitude of the summed spectrum at hz: its largest bin within 3 %
    // or a bin and a half, whichever is wider.
    double magnitudeNear(double hz) const {
        const double binHz = static_cast<double>(sampleRateHz_) / frameSize_;
        const double reachHz = std::max(0.03 * hz, 1.5 * binHz);
        const auto first = static_cast<std::size_t>(std::max(1.0, std::floor((hz - reachHz) / binHz)));
        const auto last =
            std::min(spectrumSum_.size() - 1, static_cast<std::size_t>(std::ceil((hz + reachHz) / binHz)));
        double magnitude = 0.0;
        for (std::size_t bin = first; bin <= last; ++bin)
            magnitude = std::max(magnitude, spectrumSum_[bin]);
        return magnitude;
    }

    int resolvableHarmonic(double fundamentalHz) const {
        std::array<double, kHarmonicsConsidered> magnitudes{};
        for (int n = 1; n <= kHarmonicsConsidered; ++n)
            if (n * fundamentalHz < sampleRateHz_ / 2.0)
                magnitudes[static_cast<std::size_t>(n - 1)] = magnitudeNear(n * fundamentalHz);
        const double strongest = *std::max_element(magnitudes.begin(), magnitudes.end());
        for (int n = 1; n <= kHarmonicsConsidered; ++n)
            if (magnitudes[static_cast<std::size_t>(n - 1)] >= kResolvableHarmonicShare * strongest)
                return n;
        return 1;
    }

    // The strongest resonance within kRefineHalfWidthCents of the estimate,
    // between grid points by a parabola through the peak and its neighbours;
    // the estimate itself when the response only rises or falls there (the
    // fundamental too weak to resolve).
    double refined(double estimateHz, const std::int16_t* values, std::size_t count) {
        const double lowHz = shiftedByCents(estimateHz, -kRefineHalfWidthCents);
        const double highHz = shiftedByCents(estimateHz, kRefineHalfWidthCents);
        if (highHz >= sampleRateHz_ / 2.0)
            return estimateHz;
        ostrel::Oscill* resonators = refineBank_.oscillators();
        const unsigned size = refineBank_.oscillatorsCount();
        for (unsigned i = 0; i < size; ++i)
            resonators[i].clear();
        refineBank_.init(kDecayPerSample, lowHz, highHz, sampleRateHz_);
        // The spectral library's input: consecutive sample pairs as one complex value.
        for (std::size_t k = 0; k + 1 < count; ++k) {
            const std::int32_t a = values[k];
            const std::int32_t b = values[k + 1];
            refineBank_.oscillate((a + b) * kInputScale, (a - b) * kInputScale);
        }
        const ostrel::TopResonators& peaks = refineBank_.sortGlobAmpl();
        if (peaks.count <= 0)
            return estimateHz;
        const unsigned best = peaks.indices[0];
        if (best == 0 || best + 1 == size)
            return estimateHz;
        const double left = resonators[best - 1].globAbs();
        const double centre = resonators[best].globAbs();
        const double right = resonators[best + 1].globAbs();
        const double curvature = left - 2.0 * centre + right;
        const double offset = curvature < 0.0 ? 0.5 * (left - right) / curvature : 0.0;
        const double spacingHz = (highHz - lowHz) / (size - 1);
        return resonators[best].frequency() + offset * spacingHz;
    }

    unsigned sampleRateHz_;
    unsigned frameSize_;
    unsigned hopSize_;
    YinDetector yin_;
    RealSpectrum spectrum_;
    std::vector<double> frame_;
    std::vector<double> windowed_;
    std::vector<double> magnitudes_;
    std::vector<double> window_;
    std::vector<double> spectrumSum_; // magnitudes summed over the frames
    std::vector<double> frameHz_;
    std::vector<double> frameLevel_;
    std::vector<double> frameConfidence_;
    std::vector<double> frameHighShare_;
    std::vector<double> clearHz_;
    ostrel::OscillSet refineBank_;
};

FundamentalEstimator::FundamentalEstimator(unsigned sampleRateHz)
    : analysis_(std::make_unique<Analysis>(sampleRateHz)) {}

FundamentalEstimator::~FundamentalEstimator() = default;

unsigned FundamentalEstimator::sampleRateHz() const {
    return analysis_->sampleRateHz();
}

FundamentalReading FundamentalEstimator::measure(const std::int16_t* values, std::size_t count) {
    return analysis_->measure(values, count);
}

FundamentalReading measureFundamental(const std::int16_t* values, std::size_t count, unsigned sampleRateHz) {
    FundamentalEstimator estimator(sampleRateHz);
    return estimator.measure(values, count);
}

} // namespace kivora::exchange
