#include "FrequencyExtractionDetail.h"
#include "OutOfMemory.h"
#include "PeakSearch.h"

#include <ostrel/FrequencyExtraction.h>
#include <ostrel/SoundSynthesisWavReader.h>

#include <memory>
#include <new>
#include <utility>

namespace ostrel {

namespace detail {

namespace {

constexpr double kDecayPerSample = 0.9999;
constexpr unsigned kCoarseCount = 980;
constexpr double kCoarseLowHz = 40.0;
constexpr double kCoarseHighHz = 2000.0;
// The coarse estimate counts 2 Hz per index, not the grid's 1960/979 Hz.
constexpr double kCoarseStepHz = 2.0;
constexpr unsigned kFineCount = 401;
constexpr double kFineHalfWidthHz = 2.0;
constexpr double kFineStepHz = 0.01;
// The double nearest to 1/2147483647.
constexpr double kInputScale = 4.656612875245797e-10;
// The file is read in chunks of this many bytes.
constexpr std::size_t kFileChunkBytes = 5120;

// A signed 16-bit little-endian sample.
std::int32_t sampleAt(const unsigned char* bytes) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8));
}

// The straightforward bank: OscillSet, one resonator and one input at a time.
class ReferenceBank {
public:
    ReferenceBank(const Stepping&, unsigned count, double fLow, double fHigh, double sampleRate)
        : bank_(count) {
        bank_.init(kDecayPerSample, fLow, fHigh, sampleRate);
    }
    void feed(double re, double im) { bank_.oscillate(re, im); }
    void finish() {}
    std::uint32_t strongestPeak() const {
        const TopResonators& peaks = bank_.sortGlobAmpl();
        return peaks.count > 0 ? peaks.indices[0] : 0;
    }
    double accumulated(unsigned i) const { return bank_.oscillators()[i].globAbs(); }

private:
    OscillSet bank_;
};

struct AlignedDelete {
    void operator()(double* memory) const { ::operator delete[](memory, std::align_val_t{kBankAlignment}); }
};

// The fast bank: structure of arrays, inputs gathered into blocks that a
// kernel runs through a tile of resonators at a time.
class FastBank {
public:
    FastBank(const Stepping& stepping, unsigned count, double fLow, double fHigh, double sampleRate)
        : kernel_(kernelFor(stepping.kernel)), count_(count),
          paddedCount_((count + kBankLaneMultiple - 1) / kBankLaneMultiple * kBankLaneMultiple),
          peakIndices_(new (std::nothrow) std::uint32_t[count > 0 ? count : 1]) {
        const std::size_t doubles = 5 * paddedCount_ + 2 * kInputBlock;
        storage_.reset(static_cast<double*>(
            ::operator new[](doubles * sizeof(double), std::align_val_t{kBankAlignment}, std::nothrow)));
        if (peakIndices_ == nullptr || storage_ == nullptr) {
            throwOutOfMemory();
        }
        std::fill(storage_.get(), storage_.get() + doubles, 0.0);
        double* next = storage_.get();
        const auto take = [&next](std::size_t n) { return std::exchange(next, next + n); };
        stateRe_ = take(paddedCount_);
        stateIm_ = take(paddedCount_);
        multiplierRe_ = take(paddedCount_);
        multiplierIm_ = take(paddedCount_);
        accumulated_ = take(paddedCount_);
        inputRe_ = take(kInputBlock);
        inputIm_ = take(kInputBlock);
        // Tuned exactly as OscillSet tunes; padding lanes keep a zero multiplier.
        OscillSet tuning(count);
        tuning.init(kDecayPerSample, fLow, fHigh, sampleRate);
        for (unsigned i = 0; i < count; ++i) {
            multiplierRe_[i] = tuning.oscillators()[i].multiplier().re;
            multiplierIm_[i] = tuning.oscillators()[i].multiplier().im;
        }
    }

    void feed(double re, double im) {
        inputRe_[inputCount_] = re;
        inputIm_[inputCount_] = im;
        if (++inputCount_ == kInputBlock) {
            finish();
        }
    }

    void finish() {
        if (inputCount_ > 0) {
            const BankArrays arrays{stateRe_,      stateIm_,     multiplierRe_,
                                    multiplierIm_, accumulated_, paddedCount_};
            kernel_(arrays, inputRe_, inputIm_, inputCount_);
            inputCount_ = 0;
        }
    }

    std::uint32_t strongestPeak() const {
        const double* sums = accumulated_;
        const std::int32_t found =
            findPeaks(peakIndices_.get(), count_, [sums](unsigned i) { return sums[i]; });
        return found > 0 ? peakIndices_[0] : 0;
    }
    double accumulated(unsigned i) const { return accumulated_[i]; }

private:
    // Inputs per kernel call: long enough to amortise loading a tile, short
    // enough to stay in the first-level cache.
    static constexpr std::size_t kInputBlock = 256;

    StepKernel kernel_;
    unsigned count_;
    std::size_t paddedCount_;
    std::unique_ptr<double[], AlignedDelete> storage_;
    std::unique_ptr<std::uint32_t[]> peakIndices_;
    double* stateRe_ = nullptr;
    double* stateIm_ = nullptr;
    double* multiplierRe_ = nullptr;
    double* multiplierIm_ = nullptr;
    double* accumulated_ = nullptr;
    double* inputRe_ = nullptr;
    double* inputIm_ = nullptr;
    std::size_t inputCount_ = 0;
};

// Hands the bank the input value of two consecutive first-channel samples.
template <typename Bank>
void feedPair(Bank& bank, std::int32_t first, std::int32_t second) {
    bank.feed(static_cast<double>(first + second) * kInputScale,
              static_cast<double>(first - second) * kInputScale);
}

template <typename Bank>
void feedBuffer(Bank& bank, const WAVEFORMATEX& format, const void* samples, unsigned frames) {
    if (frames >= 2) {
        const auto* bytes = static_cast<const unsigned char*>(samples);
        const std::size_t frameBytes = std::size_t{format.nChannels} * sizeof(std::int16_t);
        std::int32_t previous = sampleAt(bytes);
        for (unsigned k = 1; k < frames; ++k) {
            const std::int32_t current = sampleAt(bytes + k * frameBytes);
            feedPair(bank, previous, current);
            previous = current;
        }
    }
    bank.finish();
}

// Reads the data chunk from the reader's position in 5120-byte chunks; the
// last frame of one chunk pairs with the first of the next.
template <typename Bank>
void feedFile(Bank& bank, SoundSynthesisWavReader& reader, const WAVEFORMATEX& format) {
    unsigned char chunk[kFileChunkBytes];
    const int framesPerChunk = static_cast<int>(kFileChunkBytes / format.nBlockAlign);
    const std::size_t sampleStride = std::size_t{format.nChannels} * sizeof(std::int16_t);
    bool havePrevious = false;
    std::int32_t previous = 0;
    for (int frames; (frames = reader.readWavBuffer(chunk, framesPerChunk)) > 0;) {
        for (int k = 0; k < frames; ++k) {
            const std::int32_t current = sampleAt(chunk + static_cast<std::size_t>(k) * sampleStride);
            if (havePrevious) {
                feedPair(bank, previous, current);
            }
            previous = current;
            havePrevious = true;
        }
    }
    bank.finish();
}

// Coarse pass, then the fine pass around the coarse estimate; `feed` runs
// one pass over the sound into the bank it is given.
template <typename Bank, typename Feed>
double measure(const Stepping& stepping, double sampleRate, Feed feed) {
    double coarseHz;
    {
        Bank coarse(stepping, kCoarseCount, kCoarseLowHz, kCoarseHighHz, sampleRate);
        feed(coarse);
        coarseHz = kCoarseLowHz + kCoarseStepHz * coarse.strongestPeak();
    }
    const double fineLowHz = coarseHz - kFineHalfWidthHz;
    Bank fine(stepping, kFineCount, fineLowHz, coarseHz + kFineHalfWidthHz, sampleRate);
    feed(fine);
    return fineLowHz + kFineStepHz * fine.strongestPeak();
}

template <typename Bank>
double measureBuffer(const Stepping& stepping, const WAVEFORMATEX& format, const void* samples,
                     unsigned frames) {
    return measure<Bank>(stepping, static_cast<double>(format.nSamplesPerSec),
                         [&](Bank& bank) { feedBuffer(bank, format, samples, frames); });
}

template <typename Bank>
double measureFile(const Stepping& stepping, const char* path) {
    SoundSynthesisWavReader reader;
    if (reader.openWav(path) != 0) {
        return -1.0;
    }
    const WAVEFORMATEX format = reader.getWAVEFORMATEX();
    if (format.wBitsPerSample == 8) {
        return -1.0;
    }
    // The first-channel samples of a chunk must lie inside the frames read.
    if (format.nChannels == 0 || std::size_t{format.nChannels} * sizeof(std::int16_t) > format.nBlockAlign) {
        return -1.0;
    }
    bool firstPass = true;
    return measure<Bank>(stepping, static_cast<double>(format.nSamplesPerSec), [&](Bank& bank) {
        if (!firstPass) {
            reader.resetPos();
        }
        firstPass = false;
        feedFile(bank, reader, format);
    });
}

template <typename Bank>
std::vector<double> sumsAfterPass(const Stepping& stepping, unsigned count, double fLowHz, double fHighHz,
                                  const WAVEFORMATEX& format, const void* samples, unsigned frames) {
    Bank bank(stepping, count, fLowHz, fHighHz, static_cast<double>(format.nSamplesPerSec));
    feedBuffer(bank, format, samples, frames);
    std::vector<double> sums(count);
    for (unsigned i = 0; i < count; ++i) {
        sums[i] = bank.accumulated(i);
    }
    return sums;
}

} // namespace

std::vector<double> accumulatedAmplitudes(const Stepping& stepping, unsigned count, double fLowHz,
                                          double fHighHz, const WAVEFORMATEX& format, const void* samples,
                                          unsigned frames) {
    return stepping.reference
               ? sumsAfterPass<ReferenceBank>(stepping, count, fLowHz, fHighHz, format, samples, frames)
               : sumsAfterPass<FastBank>(stepping, count, fLowHz, fHighHz, format, samples, frames);
}

double extractFrequencyBuffer(const Stepping& stepping, const WAVEFORMATEX& format, const void* samples,
                              unsigned frames) {
    return stepping.reference ? measureBuffer<ReferenceBank>(stepping, format, samples, frames)
                              : measureBuffer<FastBank>(stepping, format, samples, frames);
}

double extractFrequencyFile(const Stepping& stepping, const char* path) {
    return stepping.reference ? measureFile<ReferenceBank>(stepping, path)
                              : measureFile<FastBank>(stepping, path);
}

} // namespace detail

double extractFrequency(WAVEFORMATEX& format, void* samples, unsigned frames) {
    return detail::extractFrequencyBuffer(detail::fastStepping(detail::bestKernel()), format, samples,
                                          frames);
}

double extractFrequency(const char* path) {
    return detail::extractFrequencyFile(detail::fastStepping(detail::bestKernel()), path);
}

std::vector<Oscill> extractFrequencySet(WAVEFORMATEX& format, void* samples, unsigned frames) {
    OscillSet bank(detail::kCoarseCount);
    bank.init(detail::kDecayPerSample, detail::kCoarseLowHz, detail::kCoarseHighHz,
              static_cast<double>(format.nSamplesPerSec));
    struct Feeder {
        OscillSet& bank;
        void feed(double re, double im) { bank.oscillate(re, im); }
        void finish() {}
    } feeder{bank};
    detail::feedBuffer(feeder, format, samples, frames);
    return std::vector<Oscill>(bank.oscillators(), bank.oscillators() + bank.oscillatorsCount());
}

} // namespace ostrel
