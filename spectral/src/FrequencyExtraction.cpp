#include "FrequencyExtractionDetail.h"
#include "OutOfMemory.h"
#include "PeakSearch.h"

#include <ostrel/BandResonance.h>
#include <ostrel/FrequencyExtraction.h>
#include <ostrel/SoundSynthesisWavReader.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <iterator>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

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
// A pass gets a thread of its own per this many resonator steps (about two
// milliseconds of work, forty times what starting and joining a thread
// costs); below it, one thread does the whole pass.
constexpr std::uint64_t kMinStepsPerThread = 3'000'000;

// A signed 16-bit little-endian sample.
std::int32_t sampleAt(const unsigned char* bytes) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8));
}

// The straightforward bank: OscillSet, one resonator and one input at a time.
class ReferenceBank {
public:
    ReferenceBank(const Stepping& stepping, unsigned count, double fLow, double fHigh, double sampleRate)
        : stepping_(stepping), bank_(count) {
        bank_.init(kDecayPerSample, fLow, fHigh, sampleRate);
    }
    void feed(double re, double im) { bank_.oscillate(re, im); }
    const Stepping& stepping() const { return stepping_; }
    std::uint32_t strongestPeak() const {
        const TopResonators& peaks = bank_.sortGlobAmpl();
        return peaks.count > 0 ? peaks.indices[0] : 0;
    }
    double accumulated(unsigned i) const { return bank_.oscillators()[i].globAbs(); }

private:
    const Stepping& stepping_;
    OscillSet bank_;
};

struct AlignedDelete {
    void operator()(double* memory) const { ::operator delete[](memory, std::align_val_t{kBankAlignment}); }
};

// The fast bank: structure of arrays; a pass hands a kernel blocks of inputs
// that it runs through a tile of resonators at a time. Passes over disjoint
// parts of the bank may run on different threads at once: a part touches
// only its own resonators (parts are multiples of kBankLaneMultiple, the
// arrays aligned to whole cache lines, so no two threads share a line).
class FastBank {
public:
    FastBank(const Stepping& stepping, unsigned count, double fLow, double fHigh, double sampleRate)
        : stepping_(stepping), kernel_(kernelFor(stepping.kernel)), count_(count),
          paddedCount_((count + kBankLaneMultiple - 1) / kBankLaneMultiple * kBankLaneMultiple),
          peakIndices_(new (std::nothrow) std::uint32_t[count > 0 ? count : 1]) {
        const std::size_t doubles = 5 * paddedCount_;
        storage_.reset(
            static_cast<double*>(::operator new[](std::max<std::size_t>(doubles, 1) * sizeof(double),
                                                  std::align_val_t{kBankAlignment}, std::nothrow)));
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
        // Tuned exactly as OscillSet tunes; padding lanes keep a zero multiplier.
        OscillSet tuning(count);
        tuning.init(kDecayPerSample, fLow, fHigh, sampleRate);
        for (unsigned i = 0; i < count; ++i) {
            multiplierRe_[i] = tuning.oscillators()[i].multiplier().re;
            multiplierIm_[i] = tuning.oscillators()[i].multiplier().im;
        }
    }

    std::size_t paddedCount() const { return paddedCount_; }

    // Steps resonators [begin, end) through every input value of `source`.
    template <typename Source>
    void run(Source& source, std::size_t begin, std::size_t end) {
        if (begin >= end) {
            return;
        }
        const BankArrays part{stateRe_ + begin,      stateIm_ + begin,     multiplierRe_ + begin,
                              multiplierIm_ + begin, accumulated_ + begin, end - begin};
        alignas(kBankAlignment) double inputRe[kInputBlock];
        alignas(kBankAlignment) double inputIm[kInputBlock];
        for (std::size_t count;
             !stopped(stepping_) && (count = source.read(inputRe, inputIm, kInputBlock)) > 0;) {
            kernel_(part, inputRe, inputIm, count);
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

    const Stepping& stepping_;
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
};

bool sameFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b) {
    return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels &&
           a.nSamplesPerSec == b.nSamplesPerSec && a.nAvgBytesPerSec == b.nAvgBytesPerSec &&
           a.nBlockAlign == b.nBlockAlign && a.wBitsPerSample == b.wBitsPerSample && a.cbSize == b.cbSize;
}

// The input value of two consecutive first-channel samples.
inline void inputOf(std::int32_t first, std::int32_t second, double& re, double& im) {
    re = static_cast<double>(first + second) * kInputScale;
    im = static_cast<double>(first - second) * kInputScale;
}

// The input values of one pass over a buffer, handed out in blocks.
class BufferInputs {
public:
    BufferInputs(const WAVEFORMATEX& format, const void* samples, unsigned frames)
        : bytes_(static_cast<const unsigned char*>(samples)),
          frameBytes_(std::size_t{format.nChannels} * sizeof(std::int16_t)), frames_(frames),
          previous_(frames >= 2 ? sampleAt(bytes_) : 0) {}

    // Writes up to `capacity` next values; how many, 0 at the end.
    std::size_t read(double* re, double* im, std::size_t capacity) {
        std::size_t count = 0;
        for (; count < capacity && next_ < frames_; ++count, ++next_) {
            const std::int32_t current = sampleAt(bytes_ + next_ * frameBytes_);
            inputOf(previous_, current, re[count], im[count]);
            previous_ = current;
        }
        return count;
    }

private:
    const unsigned char* bytes_;
    std::size_t frameBytes_;
    std::size_t frames_;
    std::size_t next_ = 1;
    std::int32_t previous_;
};

// The input values of one pass over a file's data chunk from the reader's
// position, read in 5120-byte chunks; the last frame of one chunk pairs with
// the first of the next.
class FileInputs {
public:
    FileInputs(SoundSynthesisWavReader& reader, const WAVEFORMATEX& format)
        : reader_(reader), framesPerChunk_(static_cast<int>(kFileChunkBytes / format.nBlockAlign)),
          sampleStride_(std::size_t{format.nChannels} * sizeof(std::int16_t)) {}

    std::size_t read(double* re, double* im, std::size_t capacity) {
        std::size_t count = 0;
        while (count < capacity) {
            if (nextInChunk_ == framesInChunk_) {
                if (atEnd_ || (framesInChunk_ = reader_.readWavBuffer(chunk_, framesPerChunk_)) <= 0) {
                    atEnd_ = true;
                    framesInChunk_ = 0;
                    nextInChunk_ = 0;
                    break;
                }
                nextInChunk_ = 0;
            }
            const std::int32_t current =
                sampleAt(chunk_ + static_cast<std::size_t>(nextInChunk_++) * sampleStride_);
            if (havePrevious_) {
                inputOf(previous_, current, re[count], im[count]);
                ++count;
            }
            previous_ = current;
            havePrevious_ = true;
        }
        return count;
    }

private:
    SoundSynthesisWavReader& reader_;
    int framesPerChunk_;
    std::size_t sampleStride_;
    unsigned char chunk_[kFileChunkBytes];
    int framesInChunk_ = 0;
    int nextInChunk_ = 0;
    bool atEnd_ = false;
    bool havePrevious_ = false;
    std::int32_t previous_ = 0;
};

// Feeds the straightforward bank every value of a source, one at a time.
template <typename Source>
void feedAll(ReferenceBank& bank, Source& source) {
    double re[256];
    double im[256];
    for (std::size_t count; !stopped(bank.stepping()) && (count = source.read(re, im, std::size(re))) > 0;) {
        for (std::size_t k = 0; k < count; ++k) {
            bank.feed(re[k], im[k]);
        }
    }
}

// Runs part(begin, end) for `threads` contiguous parts of [0, count) (count a
// multiple of kBankLaneMultiple, every part a multiple too), the first on
// the calling thread. A thread that cannot be started leaves its part to the
// calling thread. The first exception of any part is rethrown once all are done.
template <typename Part>
void runParts(unsigned threads, std::size_t count, Part part) {
    const std::size_t groups = count / kBankLaneMultiple;
    const auto bounds = [&](unsigned t) { return groups * t / threads * kBankLaneMultiple; };
    std::vector<std::exception_ptr> failures(threads);
    const auto guarded = [&](unsigned t) {
        try {
            part(bounds(t), bounds(t + 1));
        } catch (...) {
            failures[t] = std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    std::vector<unsigned> leftOver;
    for (unsigned t = 1; t < threads; ++t) {
        try {
            workers.emplace_back(guarded, t);
        } catch (const std::system_error&) {
            leftOver.push_back(t);
        }
    }
    guarded(0);
    for (const unsigned t : leftOver) {
        guarded(t);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

// False when the stepping's stop flag ended the pass early.
template <typename Bank>
bool passOverBuffer(const Stepping& stepping, Bank& bank, const WAVEFORMATEX& format, const void* samples,
                    unsigned frames) {
    if constexpr (std::is_same_v<Bank, ReferenceBank>) {
        BufferInputs inputs(format, samples, frames);
        feedAll(bank, inputs);
    } else {
        const std::uint64_t values = frames >= 2 ? frames - 1 : 0;
        runParts(threadsForPass(stepping.threads, bank.paddedCount(), values), bank.paddedCount(),
                 [&](std::size_t begin, std::size_t end) {
                     BufferInputs inputs(format, samples, frames);
                     bank.run(inputs, begin, end);
                 });
    }
    return !stopped(stepping);
}

// One pass over the file. The first part reads through `reader` (rewound
// first); every other thread opens the file again for its own reader, so
// the threads share nothing but their disjoint parts of the bank. False when
// a second reader finds the file gone or changed.
template <typename Bank>
bool passOverFile(const Stepping& stepping, Bank& bank, SoundSynthesisWavReader& reader, const char* path,
                  const WAVEFORMATEX& format, std::uint64_t dataBytes) {
    reader.resetPos();
    if constexpr (std::is_same_v<Bank, ReferenceBank>) {
        FileInputs inputs(reader, format);
        feedAll(bank, inputs);
        return !stopped(stepping);
    } else {
        std::atomic<bool> usable{true};
        const std::uint64_t values = dataBytes / std::max<std::uint16_t>(format.nBlockAlign, 1);
        runParts(threadsForPass(stepping.threads, bank.paddedCount(), values), bank.paddedCount(),
                 [&](std::size_t begin, std::size_t end) {
                     if (begin == 0) {
                         FileInputs inputs(reader, format);
                         bank.run(inputs, begin, end);
                         return;
                     }
                     SoundSynthesisWavReader own;
                     if (own.openWav(path) != 0 || !sameFormat(own.getWAVEFORMATEX(), format)) {
                         usable = false;
                         return;
                     }
                     FileInputs inputs(own, format);
                     bank.run(inputs, begin, end);
                 });
        return usable && !stopped(stepping);
    }
}

// Coarse pass, then the fine pass around the coarse estimate; `pass` runs
// one pass over the sound into the bank it is given and returns false when
// the sound could not be read or the pass was stopped.
template <typename Bank, typename Pass>
double measure(const Stepping& stepping, double sampleRate, Pass pass) {
    double coarseHz;
    {
        Bank coarse(stepping, kCoarseCount, kCoarseLowHz, kCoarseHighHz, sampleRate);
        if (!pass(coarse)) {
            return -1.0;
        }
        coarseHz = kCoarseLowHz + kCoarseStepHz * coarse.strongestPeak();
    }
    const double fineLowHz = coarseHz - kFineHalfWidthHz;
    Bank fine(stepping, kFineCount, fineLowHz, coarseHz + kFineHalfWidthHz, sampleRate);
    if (!pass(fine)) {
        return -1.0;
    }
    return fineLowHz + kFineStepHz * fine.strongestPeak();
}

template <typename Bank>
double measureBuffer(const Stepping& stepping, const WAVEFORMATEX& format, const void* samples,
                     unsigned frames) {
    return measure<Bank>(stepping, static_cast<double>(format.nSamplesPerSec),
                         [&](Bank& bank) { return passOverBuffer(stepping, bank, format, samples, frames); });
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
    std::error_code unknownSize;
    const std::uint64_t dataBytes = std::filesystem::file_size(path, unknownSize);
    return measure<Bank>(stepping, static_cast<double>(format.nSamplesPerSec), [&](Bank& bank) {
        return passOverFile(stepping, bank, reader, path, format, dataBytes);
    });
}

template <typename Bank>
std::vector<double> sumsAfterPass(const Stepping& stepping, unsigned count, double fLowHz, double fHighHz,
                                  const WAVEFORMATEX& format, const void* samples, unsigned frames) {
    Bank bank(stepping, count, fLowHz, fHighHz, static_cast<double>(format.nSamplesPerSec));
    passOverBuffer(stepping, bank, format, samples, frames);
    std::vector<double> sums(count);
    for (unsigned i = 0; i < count; ++i) {
        sums[i] = bank.accumulated(i);
    }
    return sums;
}

} // namespace

// One per core when asked for 0, fewer where a thread would get too little
// work to pay for starting it (below kMinStepsPerThread resonator steps),
// and never so many that a part has fewer than kBankLaneMultiple resonators.
unsigned threadsForPass(unsigned requested, std::size_t count, std::uint64_t inputs) {
    if (requested == 0) {
        requested = std::max(1u, std::thread::hardware_concurrency());
        const std::uint64_t steps = inputs * count;
        requested = static_cast<unsigned>(
            std::min<std::uint64_t>(requested, std::max<std::uint64_t>(1, steps / kMinStepsPerThread)));
    }
    const auto lanes = static_cast<unsigned>(std::max<std::size_t>(1, count / kBankLaneMultiple));
    return std::max(1u, std::min(requested, lanes));
}

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
    return detail::extractFrequencyBuffer(detail::fastStepping(detail::bestKernel(), 0), format, samples,
                                          frames);
}

double extractFrequency(WAVEFORMATEX& format, void* samples, unsigned frames, const std::atomic<int>& stop) {
    detail::Stepping stepping = detail::fastStepping(detail::bestKernel(), 0);
    stepping.stop = &stop;
    return detail::extractFrequencyBuffer(stepping, format, samples, frames);
}

double extractFrequency(const char* path) {
    return detail::extractFrequencyFile(detail::fastStepping(detail::bestKernel(), 0), path);
}

std::vector<Oscill> extractFrequencySet(WAVEFORMATEX& format, void* samples, unsigned frames) {
    OscillSet bank(detail::kCoarseCount);
    bank.init(detail::kDecayPerSample, detail::kCoarseLowHz, detail::kCoarseHighHz,
              static_cast<double>(format.nSamplesPerSec));
    detail::BufferInputs inputs(format, samples, frames);
    double re[256];
    double im[256];
    for (std::size_t count; (count = inputs.read(re, im, std::size(re))) > 0;) {
        for (std::size_t k = 0; k < count; ++k) {
            bank.oscillate(re[k], im[k]);
        }
    }
    return std::vector<Oscill>(bank.oscillators(), bank.oscillators() + bank.oscillatorsCount());
}

int strongestResonanceInBand(OscillSet& bank, double lowHz, double highHz, double sampleRateHz,
                             const std::int16_t* samples, std::size_t count, const std::atomic<int>* stop) {
    Oscill* resonators = bank.oscillators();
    for (unsigned i = 0; i < bank.oscillatorsCount(); ++i) {
        resonators[i].clear();
    }
    bank.init(detail::kDecayPerSample, lowHz, highHz, sampleRateHz);
    for (std::size_t k = 0; k + 1 < count; ++k) {
        if (k % kBandSamplesBetweenStopChecks == 0 && stop != nullptr &&
            stop->load(std::memory_order_relaxed) != 0) {
            return -1;
        }
        const std::int32_t a = samples[k];
        const std::int32_t b = samples[k + 1];
        bank.oscillate((a + b) * detail::kInputScale, (a - b) * detail::kInputScale);
    }
    const TopResonators& peaks = bank.sortGlobAmpl();
    if (peaks.count <= 0) {
        return -1;
    }
    const auto strongest = static_cast<int>(peaks.indices[0]);
    return strongest == 0 || strongest + 1 == static_cast<int>(bank.oscillatorsCount()) ? -1 : strongest;
}

} // namespace ostrel
