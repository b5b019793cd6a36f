#include <kivora/GenerationRules.h>
#include <kivora/ModalAnalysis.h>
#include <kivora/NoteGenerator.h>
#include <kivora/NoteTuning.h>
#include <kivora/base/NoteNames.h>
#include <ostrel/FrequencyExtraction.h>
#include <ostrel/WaveFormat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

namespace kivora {

namespace {

// `stop`, when given, ends the measurement early (the result is then -1).
double measureWithResonators(const pellamy::WAVEFORMATEX& format, const std::int16_t* samples, unsigned count,
                             const std::atomic<int>* stop = nullptr) {
    // Every resonator ties on silence, and the bank would name one of them.
    if (isSilent(samples, count / std::max<unsigned>(1, format.nChannels), format.nChannels)) {
        return 0.0;
    }
    // The spectral library takes a record it may change.
    ostrel::WAVEFORMATEX copy = format;
    // The buffer is only read.
    auto* buffer = const_cast<std::int16_t*>(samples);
    return stop != nullptr ? ostrel::extractFrequency(copy, buffer, count, *stop)
                           : ostrel::extractFrequency(copy, buffer, count);
}

} // namespace

// A displacement of 1.0 is full scale. Values beyond it are clamped rather
// than wrapped; a non-number (a model that blew up) is silence.
std::int16_t sampleOfDisplacement(double displacement) {
    const double scaled = displacement * 32767.0;
    if (!(scaled == scaled)) {
        return 0;
    }
    if (scaled >= 32767.0) {
        return 32767;
    }
    if (scaled <= -32768.0) {
        return -32768;
    }
    return static_cast<std::int16_t>(static_cast<int>(scaled));
}

namespace {

// The spectral radius of the stiffness over mass (the square of the highest
// angular frequency), by power iteration from a fixed start that reaches
// every mode: the mean growth per iteration over the second half of the run.
// Springs may be one-sided or negative, so the matrix need not be symmetric.
double estimateHighestAngularFrequency(const muntero::ModelSnapshot& model) {
    const auto n = static_cast<std::size_t>(model.nodeCount());
    std::vector<double> x(n), y(n);
    std::uint64_t seed = 0x9E3779B97F4A7C15u;
    for (std::size_t i = 0; i < n; ++i) {
        seed ^= seed >> 31;
        seed *= 0xBF58476D1CE4E5B9u;
        seed ^= seed >> 27;
        // Fixed nodes never move: their share of every mode is 0.
        x[i] = model.nodes[i].fixed ? 0.0 : 0.5 + static_cast<double>(seed >> 11) * 0x1.0p-53;
        x[i] = (i % 2 == 0) ? x[i] : -x[i];
    }
    constexpr int kIterations = 2000;
    double logGrowth = 0.0;
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        double norm = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const muntero::ModelNode& node = model.nodes[i];
            double force = 0.0;
            for (int c = 0; c < node.connectionCount; ++c) {
                const muntero::Connection& link =
                    model.connections[static_cast<std::size_t>(node.firstConnection + c)];
                force += link.stiffness * (x[i] - x[static_cast<std::size_t>(link.other)]);
            }
            y[i] = node.fixed ? 0.0 : force / node.mass;
            norm = std::max(norm, std::fabs(y[i]));
        }
        if (!(norm > 0.0) || !std::isfinite(norm)) {
            return 0.0;
        }
        if (iteration >= kIterations / 2) {
            logGrowth += std::log(norm);
        }
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = y[i] / norm;
        }
    }
    return std::sqrt(std::exp(logGrowth / (kIterations - kIterations / 2)));
}

// Why an untuned note measured at the edge of the meter's range cannot be
// tuned, and what to change; `scale` is what the springs were scaled by to
// bring the loudest mode (guideHz) into the range, 1 when they were not.
std::string untunableReason(double measuredHz, double scale, double guideHz) {
    const bool low = measuredHz < 0.5 * (kLowestMeasurableHz + kHighestMeasurableHz);
    char text[512];
    const int prefix = std::snprintf(text, sizeof text,
                                     "The untuned note measures %.2f Hz, the edge of the measurable range "
                                     "(%.0f-%.0f Hz), so its pitch can be neither measured nor tuned",
                                     measuredHz, kLowestMeasurableHz, kHighestMeasurableHz);
    const std::size_t at = static_cast<std::size_t>(std::max(0, prefix));
    if (scale != 1.0) {
        std::snprintf(
            text + at, sizeof text - at,
            ", although every spring was scaled by %.6g to bring the model's loudest mode (%.2f Hz) "
            "to %.2f Hz: what sounds is not that mode. Lower the attenuations, or flag a node that "
            "moves with the lowest modes",
            scale, guideHz, NoteGenerator::kFirstNoteHz);
    } else {
        std::snprintf(text + at, sizeof text - at, ": make the springs %s or the masses %s",
                      low ? "stiffer" : "softer", low ? "lighter" : "heavier");
    }
    return text;
}

} // namespace

// The resonators measure 38-2000 Hz; a tone outside reads as the edge. The
// modal preview's loudest mode is the note to expect: when it lies outside
// the range (or within a semitone of its edges), the springs are scaled so
// that it sounds at the first note's pitch.
double measurableRangeScale(const muntero::ModelSnapshot& snapshot) {
    const ModalPreview preview = analyseModes(snapshot);
    if (preview.loudestMode < 0) {
        return 1.0;
    }
    const double guideHz = preview.modes[static_cast<std::size_t>(preview.loudestMode)].frequencyHz;
    constexpr double kSemitone = 1.0594630943592953;
    if (!(guideHz > 0.0) || !std::isfinite(guideHz) ||
        (guideHz > kLowestMeasurableHz * kSemitone && guideHz < kHighestMeasurableHz / kSemitone)) {
        return 1.0;
    }
    const double ratio = NoteGenerator::kFirstNoteHz / guideHz;
    return ratio * ratio;
}

std::string noteName(int note) {
    return base::noteNameOfKey(base::kFirstNoteKey + note);
}

const char* refusalFor(const muntero::ModelSnapshot& snapshot) {
    if (snapshot.soundingNode == -1) {
        return "Put FLAG, to specify dot, which SOUNDs";
    }
    if (snapshot.nodeCount() == 0) {
        return "Draw something first...";
    }
    if (snapshot.soundingNode < 0 || snapshot.soundingNode >= snapshot.nodeCount()) {
        return "Put FLAG, to specify dot, which SOUNDs";
    }
    return nullptr;
}

// The default meter stops with the run: measuring a long untuned note takes
// far longer than rendering it.
NoteGenerator::NoteGenerator()
    : meter_([this](const pellamy::WAVEFORMATEX& format, const std::int16_t* samples, unsigned count) {
          return measureWithResonators(format, samples, count, &stopRequested);
      }) {}

NoteGenerator::~NoteGenerator() = default;

void NoteGenerator::configure(const GenerationSettings& settings, muntero::ModelSnapshot snapshot) {
    // Checked before anything is released: a refused request keeps the
    // previous run's buffers and records.
    if (const char* refusal = refusalFor(snapshot)) {
        throw std::invalid_argument(refusal);
    }
    if (settings.sampleRate <= 0) {
        throw std::invalid_argument("The sample rate must be positive");
    }
    if (settings.octaves > 3) {
        throw std::invalid_argument("At most three octaves are generated");
    }
    if (const std::string refusal = attenuationRefusal(settings); !refusal.empty()) {
        throw std::invalid_argument(refusal);
    }
    if (const std::string refusal = sizeRefusal(settings, UINT64_MAX); !refusal.empty()) {
        throw std::invalid_argument(refusal);
    }
    // Durations below 1 ms follow the sample-count rule; the front ends refuse them.
    if (settings.durationMs > GenerationSettings::kMaxDurationMs) {
        throw std::invalid_argument(durationRefusal(settings.durationMs));
    }

    allocated_ = false;
    work_.reset();
    records_ = {};
    samples_ = {};
    finished_ = {};
    blewUp_ = {};
    beyondStepLimit_ = {};
    highestAngularFrequency_ = 0.0;
    snapshot_ = {};
    noteCount_ = 0;
    samplesPerNote_ = 0;
    notesFinished_ = 0;
    baseFrequency_ = 0.0;

    settings_ = settings;
    snapshot_ = std::move(snapshot);
    samplesPerNote_ = static_cast<int>(samplesPerNoteFor(settings_));
    noteCount_ = noteCountFor(settings_);

    samples_.assign(static_cast<std::size_t>(noteCount_) * static_cast<std::size_t>(samplesPerNote_), 0);
    records_.resize(static_cast<std::size_t>(noteCount_));
    finished_.assign(static_cast<std::size_t>(noteCount_), 0);
    blewUp_.assign(static_cast<std::size_t>(noteCount_), 0);
    beyondStepLimit_.assign(static_cast<std::size_t>(noteCount_), 0);
    work_ = std::make_unique<muntero::RungeKuttaKernel>(snapshot_, stepConstants(), kernelChoice_);

    format_ = {};
    format_.wFormatTag = pellamy::kWaveFormatPcm;
    format_.nChannels = 1;
    format_.nSamplesPerSec = static_cast<std::uint32_t>(settings_.sampleRate);
    format_.nAvgBytesPerSec = 2u * static_cast<std::uint32_t>(settings_.sampleRate);
    format_.nBlockAlign = 2;
    format_.wBitsPerSample = 16;
    format_.cbSize = 18;

    allocated_ = true;
    stopRequested = 0;
    noteIndex_ = 0;
}

muntero::StepConstants stepConstantsFor(const GenerationSettings& settings) {
    const double timeStep = 1.0 / settings.sampleRate;
    return {timeStep, settings.linearDamping, settings.squareDamping, timeStep / 6.0};
}

muntero::StepConstants NoteGenerator::stepConstants() const {
    return stepConstantsFor(settings_);
}

UntunedMeasurement measureUntuned(const GenerationSettings& settings, muntero::ModelSnapshot snapshot,
                                  muntero::KernelChoice choice) {
    GenerationSettings untuned = settings;
    untuned.octaves = 0;
    // Scaled as run() scales a tuned run's springs before its untuned note.
    const double scale = refusalFor(snapshot) == nullptr ? measurableRangeScale(snapshot) : 1.0;
    if (scale != 1.0) {
        snapshot.scaleStiffness(scale);
    }
    NoteGenerator generator;
    generator.setKernelChoice(choice);
    generator.configure(untuned, std::move(snapshot));
    generator.run();
    UntunedMeasurement measurement;
    measurement.baseFrequency = measureWithResonators(generator.format(), generator.noteBuffer(0),
                                                      static_cast<unsigned>(generator.samplesPerNote()));
    if (!std::isfinite(measurement.baseFrequency)) {
        measurement.baseFrequency = 0.0;
    }
    measurement.highestAngularFrequency = generator.highestAngularFrequency();
    measurement.stiffnessScale = scale;
    if (measurement.baseFrequency > 0.0 && !isMeasurable(measurement.baseFrequency)) {
        throw UntunableModel(untunableReason(measurement.baseFrequency, scale,
                                             NoteGenerator::kFirstNoteHz / std::sqrt(scale)));
    }
    return measurement;
}

bool NoteGenerator::noteBlewUp(int note) const {
    return allocated_ && note >= 0 && note < noteCount_ && blewUp_[static_cast<std::size_t>(note)] != 0;
}

bool NoteGenerator::noteUnstable(int note) const {
    return noteBlewUp(note) || (allocated_ && note >= 0 && note < noteCount_ &&
                                beyondStepLimit_[static_cast<std::size_t>(note)] != 0);
}

const std::int16_t* NoteGenerator::noteBuffer(int note) const {
    if (!allocated_ || note < 0 || note >= noteCount_) {
        return nullptr;
    }
    return samples_.data() + static_cast<std::size_t>(note) * static_cast<std::size_t>(samplesPerNote_);
}

std::int16_t* NoteGenerator::mutableBuffer(int note) {
    return const_cast<std::int16_t*>(noteBuffer(note));
}

void NoteGenerator::scaleStiffness(double factor) {
    snapshot_.scaleStiffness(factor);
    if (work_) {
        work_->scaleStiffness(factor);
    }
}

int NoteGenerator::stopValue() const {
    const int value = stopRequested.load(std::memory_order_relaxed);
    return value != 0 ? value : (abort_.load(std::memory_order_relaxed) ? 1 : 0);
}

int NoteGenerator::renderInto(muntero::RungeKuttaKernel& kernel, std::int16_t* buffer, char* blewUp) const {
    kernel.reset();
    const double* x = kernel.displacements();
    const int sounding = snapshot_.soundingNode;
    buffer[0] = sampleOfDisplacement(x[sounding]);
    for (int s = 1; s < samplesPerNote_; ++s) {
        if (const int stop = stopValue()) {
            return stop;
        }
        kernel.advance();
        buffer[s] = sampleOfDisplacement(x[sounding]);
    }
    // An explicit step diverges once h·ω of the stiffest mode passes about
    // 2.8: the displacement runs to infinity and then to a non-number.
    *blewUp = std::isfinite(x[sounding]) ? 0 : 1;
    return kNoteDone;
}

int NoteGenerator::renderNote() {
    if (!allocated_ || noteIndex_ < 0 || noteIndex_ >= noteCount_) {
        return kNotConfigured;
    }
    if (!work_) {
        work_ = std::make_unique<muntero::RungeKuttaKernel>(snapshot_, stepConstants(), kernelChoice_);
    }
    return renderInto(*work_, mutableBuffer(noteIndex_), &blewUp_[static_cast<std::size_t>(noteIndex_)]);
}

void NoteGenerator::announce(int note) {
    const std::lock_guard lock(announceMutex_);
    finished_[static_cast<std::size_t>(note)] = 1;
    while (notesFinished_ < noteCount_ && finished_[static_cast<std::size_t>(notesFinished_)]) {
        if (noteDone_) {
            noteDone_(notesFinished_);
        }
        ++notesFinished_;
    }
}

int NoteGenerator::run() {
    if (!allocated_) {
        return kNotConfigured;
    }
    abort_ = false;
    notesFinished_ = 0;
    std::fill(finished_.begin(), finished_.end(), 0);
    std::fill(blewUp_.begin(), blewUp_.end(), 0);
    std::fill(beyondStepLimit_.begin(), beyondStepLimit_.end(), 0);
    untunedStiffnessScale_ = 1.0;
    if (settings_.octaves > 0) {
        scaleIntoMeasurableRange();
    }
    highestAngularFrequency_ = estimateHighestAngularFrequency(snapshot_);
    const double timeStep = 1.0 / settings_.sampleRate;
    beyondStepLimit_[0] = timeStep * highestAngularFrequency_ > kStepStabilityLimit ? 1 : 0;
    noteIndex_ = 0;
    if (renderNote() != kNoteDone) {
        work_.reset();
        return stopValue();
    }
    // Diverged with springs the step can follow: the square attenuation's
    // decay (2·q·|v|) is what it cannot follow (the linear one is refused
    // by configure).
    if (blewUp_[0] != 0 && beyondStepLimit_[0] == 0) {
        work_.reset();
        char text[320];
        std::snprintf(
            text, sizeof text,
            "The square attenuation %.10g is too strong for %d samples per second: the untuned note "
            "diverges within its first samples, though the springs are within what the integration "
            "follows. Lower the square attenuation",
            settings_.squareDamping, settings_.sampleRate);
        throw UntunableModel(text);
    }
    if (settings_.octaves <= 0) {
        announce(0);
        return 0;
    }
    baseFrequency_ = meter_ ? meter_(format_, noteBuffer(0), static_cast<unsigned>(samplesPerNote_)) : 0.0;
    if (const int stop = stopValue()) {
        work_.reset();
        return stop;
    }
    if (!(baseFrequency_ > 0.0) || !std::isfinite(baseFrequency_)) {
        std::fill(samples_.begin(), samples_.end(), 0);
        std::fill(blewUp_.begin(), blewUp_.end(), 0);
        std::fill(beyondStepLimit_.begin(), beyondStepLimit_.end(), 0);
        for (int note = 0; note < noteCount_; ++note) {
            announce(note);
        }
        return 0;
    }
    if (!isMeasurable(baseFrequency_)) {
        work_.reset();
        const double scale = untunedStiffnessScale_;
        throw UntunableModel(untunableReason(baseFrequency_, scale, kFirstNoteHz / std::sqrt(scale)));
    }
    // Tuning scales every angular frequency by the same factor per note.
    for (int note = 0; note < noteCount_; ++note) {
        const double omega =
            highestAngularFrequency_ * (kFirstNoteHz / baseFrequency_) * std::exp2(note / 12.0);
        beyondStepLimit_[static_cast<std::size_t>(note)] = timeStep * omega > kStepStabilityLimit ? 1 : 0;
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned workers =
        std::min(workerCount_ == 0 ? cores : workerCount_, static_cast<unsigned>(noteCount_));
    // One worker asked for renders the notes one after the other, as the
    // single-note interface does.
    const bool batched = notesPerBatch_ > 1 || (notesPerBatch_ == 0 && workerCount_ != 1 && work_);
    const int result = batched        ? runTunedBatched(workers)
                       : workers <= 1 ? runTunedSequential()
                                      : runTunedParallel(workers);
    if (result != 0) {
        work_.reset();
    }
    return result;
}

void NoteGenerator::scaleIntoMeasurableRange() {
    untunedStiffnessScale_ = measurableRangeScale(snapshot_);
    if (untunedStiffnessScale_ == 1.0) {
        return;
    }
    snapshot_.scaleStiffness(untunedStiffnessScale_);
    // Built from the scaled springs, as every worker's kernel is, so the
    // sequential and the parallel notes stay the same bits.
    work_ = std::make_unique<muntero::RungeKuttaKernel>(snapshot_, stepConstants(), kernelChoice_);
}

int NoteGenerator::runTunedSequential() {
    for (noteIndex_ = 0; noteIndex_ < noteCount_; ++noteIndex_) {
        const double ratio = kFirstNoteHz / baseFrequency_;
        scaleStiffness(noteIndex_ == 0 ? ratio * ratio : kSemitoneStiffnessFactor);
        if (renderNote() != kNoteDone) {
            return stopValue();
        }
        announce(noteIndex_);
    }
    noteIndex_ = noteCount_ - 1;
    return 0;
}

// Once the base frequency is known, the springs of note j are the untuned
// ones scaled by the first factor and then j times by the semitone factor.
// Each worker repeats exactly that sequence of multiplications, so its notes
// are bit for bit those of the sequential run.
int NoteGenerator::runTunedParallel(unsigned workers) {
    const double ratio = kFirstNoteHz / baseFrequency_;
    const double firstFactor = ratio * ratio;
    std::atomic<int> nextNote{0};
    std::exception_ptr failure;
    std::mutex failureMutex;

    auto work = [&] {
        try {
            muntero::RungeKuttaKernel kernel(snapshot_, stepConstants(), kernelChoice_);
            kernel.scaleStiffness(firstFactor);
            int scaledFor = 0;
            for (;;) {
                if (stopValue() != 0) {
                    return;
                }
                const int note = nextNote.fetch_add(1);
                if (note >= noteCount_) {
                    return;
                }
                for (; scaledFor < note; ++scaledFor) {
                    kernel.scaleStiffness(kSemitoneStiffnessFactor);
                }
                if (renderInto(kernel, mutableBuffer(note), &blewUp_[static_cast<std::size_t>(note)]) !=
                    kNoteDone) {
                    return;
                }
                announce(note);
            }
        } catch (...) {
            const std::lock_guard lock(failureMutex);
            if (!failure) {
                failure = std::current_exception();
            }
            abort_ = true;
        }
    };

    std::vector<std::thread> threads;
    threads.reserve(workers - 1);
    try {
        for (unsigned w = 1; w < workers; ++w) {
            threads.emplace_back(work);
        }
    } catch (...) {
        abort_ = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
        throw;
    }
    work();
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }

    leaveSpringsOfLastNote(firstFactor);
    return notesFinished_ == noteCount_ ? 0 : stopValue();
}

// Leaves the springs and the note index where the sequential run leaves them.
void NoteGenerator::leaveSpringsOfLastNote(double firstFactor) {
    const int lastNote = std::min(notesFinished_, noteCount_ - 1);
    snapshot_.scaleStiffness(firstFactor);
    for (int note = 1; note <= lastNote; ++note) {
        snapshot_.scaleStiffness(kSemitoneStiffnessFactor);
    }
    work_.reset();
    noteIndex_ = lastNote;
}

// Notes [firstNote, firstNote + count) stepped together, note j in lane
// j - firstNote with the springs runTunedParallel gives it: each lane's
// samples are bit for bit those of the note rendered alone.
int NoteGenerator::renderBatch(int firstNote, int count, double firstFactor) {
    muntero::BatchedRungeKuttaKernel batch(snapshot_, stepConstants(), count, kernelChoice_);
    for (int lane = 0; lane < count; ++lane) {
        batch.scaleLaneStiffness(lane, firstFactor);
        for (int j = 0; j < firstNote + lane; ++j) {
            batch.scaleLaneStiffness(lane, kSemitoneStiffnessFactor);
        }
    }
    const double* x =
        batch.displacements() + static_cast<std::ptrdiff_t>(snapshot_.soundingNode) * batch.laneStride();
    std::int16_t* first = mutableBuffer(firstNote);
    const auto samples = static_cast<std::ptrdiff_t>(samplesPerNote_);
    for (int lane = 0; lane < count; ++lane) {
        first[lane * samples] = sampleOfDisplacement(x[lane]);
    }
    for (std::ptrdiff_t s = 1; s < samples; ++s) {
        if (const int stop = stopValue()) {
            return stop;
        }
        batch.advance();
        for (int lane = 0; lane < count; ++lane) {
            first[lane * samples + s] = sampleOfDisplacement(x[lane]);
        }
    }
    for (int lane = 0; lane < count; ++lane) {
        blewUp_[static_cast<std::size_t>(firstNote + lane)] = std::isfinite(x[lane]) ? 0 : 1;
    }
    return kNoteDone;
}

// The tuned notes in batches of consecutive notes, as many batches as keep
// the workers busy; each worker takes the next batch.
int NoteGenerator::runTunedBatched(unsigned workers) {
    const double ratio = kFirstNoteHz / baseFrequency_;
    const double firstFactor = ratio * ratio;
    // One vector of notes a batch: a wider batch steps each node by several
    // vectors, no faster per note. The plain kernel takes eight.
    const int width = muntero::BatchedRungeKuttaKernel::vectorWidthFor(kernelChoice_);
    const int mostNotesPerBatch = width > 0 ? width : 8;
    int perBatch = notesPerBatch_;
    if (perBatch == 0) {
        const int threads = static_cast<int>(std::max(1u, workers));
        int batches = (noteCount_ + mostNotesPerBatch - 1) / mostNotesPerBatch;
        batches = std::min(noteCount_, (batches + threads - 1) / threads * threads);
        perBatch = (noteCount_ + batches - 1) / batches;
    }
    const int batchCount = (noteCount_ + perBatch - 1) / perBatch;
    const unsigned threadCount = std::min(std::max(1u, workers), static_cast<unsigned>(batchCount));
    std::atomic<int> nextBatch{0};
    std::exception_ptr failure;
    std::mutex failureMutex;

    auto work = [&] {
        try {
            for (;;) {
                if (stopValue() != 0) {
                    return;
                }
                const int batch = nextBatch.fetch_add(1);
                if (batch >= batchCount) {
                    return;
                }
                const int firstNote = batch * perBatch;
                const int count = std::min(perBatch, noteCount_ - firstNote);
                if (renderBatch(firstNote, count, firstFactor) != kNoteDone) {
                    return;
                }
                for (int note = firstNote; note < firstNote + count; ++note) {
                    announce(note);
                }
            }
        } catch (...) {
            const std::lock_guard lock(failureMutex);
            if (!failure) {
                failure = std::current_exception();
            }
            abort_ = true;
        }
    };

    std::vector<std::thread> threads;
    threads.reserve(threadCount - 1);
    try {
        for (unsigned w = 1; w < threadCount; ++w) {
            threads.emplace_back(work);
        }
    } catch (...) {
        abort_ = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
        throw;
    }
    work();
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    leaveSpringsOfLastNote(firstFactor);
    return notesFinished_ == noteCount_ ? 0 : stopValue();
}

const pellamy::SoundStreamDescription* NoteGenerator::buildDescriptions() {
    if (!allocated_) {
        return nullptr;
    }
    for (int note = 0; note < noteCount_; ++note) {
        pellamy::SoundStreamDescription& record = records_[static_cast<std::size_t>(note)];
        record.name = soundName(note, settings_.octaves);
        record.format = format_;
        record.dataBytes = 2u * static_cast<std::uint32_t>(samplesPerNote_);
        record.data = noteBuffer(note);
    }
    return records_.data();
}

} // namespace kivora
