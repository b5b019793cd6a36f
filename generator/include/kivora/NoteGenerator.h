// Turns a drawn model into the notes of an instrument: renders the model once
// untuned, measures its dominant frequency, retunes every spring so that the
// first note sounds at 130.81 Hz and renders one to three octaves of notes a
// semitone apart, as records the instrument engine builds an instrument from.
//
// Threads: configure, buildDescriptions and the accessors belong to one
// controlling thread and never run while run() does; run() may run on a
// worker thread; stopRequested may be set from any thread at any time.
// Allocation: configure makes every buffer, record and the sequential work
// arrays; run() makes a kernel for the untuned note and one per batch of
// tuned notes (the model's tables and state), one thread per extra worker,
// plus whatever the frequency meter allocates; the per-sample loop
// allocates nothing.
#pragma once

#include <kivora/GeneratorExport.h>
#include <muntero/BatchedRungeKuttaKernel.h>
#include <muntero/ModelSnapshot.h>
#include <muntero/RungeKuttaKernel.h>
#include <pellamy/SoundStreamDescription.h>
#include <pellamy/WaveFormat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivora {

struct GenerationSettings {
    // The longest note a run renders: the window's dialog and the command
    // line refuse longer ones naming this limit, and configure throws.
    static constexpr int kMaxDurationMs = 60000;

    int durationMs = 500; // of every note
    int octaves = 2;      // 0: one untuned note; n: 12·n tuned notes
    int sampleRate = 44100;
    double linearDamping = 4.0;  // coefficient of v
    double squareDamping = 0.08; // coefficient of v·|v|
};

// Why a snapshot cannot be generated from, in the user's words, or null when it can.
// Any thread; allocates nothing.
KIVORA_GENERATOR_API const char* refusalFor(const muntero::ModelSnapshot& snapshot);

// The fourth-order Runge-Kutta step follows a decay exp(-c·t) while h·c stays
// below this, the root of 1 - z + z²/2 - z³/6 + z⁴/24 = 1.
inline constexpr double kAttenuationStabilityLimit = 2.7852935634052813;

// Why the attenuations cannot be integrated at the settings' sample rate,
// or "" when they can: a linear attenuation c with c/sampleRate beyond
// kAttenuationStabilityLimit makes every note diverge. Any thread.
KIVORA_GENERATOR_API std::string attenuationRefusal(const GenerationSettings& settings);

// A note's 16-bit sample of a displacement: 1.0 is full scale, values beyond
// it are clamped, a non-number (a model that blew up) is 0. Any thread.
KIVORA_GENERATOR_API std::int16_t sampleOfDisplacement(double displacement);

// The Runge-Kutta constants every note of a run is stepped with. Any thread.
KIVORA_GENERATOR_API muntero::StepConstants stepConstantsFor(const GenerationSettings& settings);

// What a run learns of the untuned model before it retunes it.
struct UntunedMeasurement {
    double baseFrequency = 0.0;           // Hz; 0 or less when the note is silent
    double highestAngularFrequency = 0.0; // radians per second
    // The factor every stiffness was multiplied by before the untuned note
    // was rendered (1 unless the model sounds outside the measurable range);
    // baseFrequency and highestAngularFrequency are those of the scaled model.
    double stiffnessScale = 1.0;
};

// Why a model's untuned note cannot be tuned, thrown by run(): what it
// measures and what to change in the model.
class KIVORA_GENERATOR_API UntunableModel : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The factor a tuned run scales every stiffness by before its untuned note:
// (kFirstNoteHz / f)^2 when the loudest normal mode f of the model lies
// outside the frequency meter's range or within a semitone of its edges, so
// that the note can be measured; 1 otherwise. Any thread.
KIVORA_GENERATOR_API double measurableRangeScale(const muntero::ModelSnapshot& snapshot);

// Renders the untuned note as run() does and measures it with the default
// frequency meter, so a caller can retune the model exactly as run() would
// (stiffness times stiffnessScale, then (kFirstNoteHz / baseFrequency)^2, then
// the semitone factor once per note). The octaves of `settings` are ignored.
// Throws as configure, and UntunableModel as run().
// Any thread; allocates a generator's buffers for one note.
KIVORA_GENERATOR_API UntunedMeasurement
measureUntuned(const GenerationSettings& settings, muntero::ModelSnapshot snapshot,
               muntero::KernelChoice choice = muntero::KernelChoice::automatic);

class KIVORA_GENERATOR_API NoteGenerator {
public:
    static constexpr double kFirstNoteHz = 130.8127826502993;
    static constexpr double kSemitoneStiffnessFactor =
        1.122462048309373; // 2^(1/6): frequency goes as sqrt(k)
    static constexpr int kNoteDone = 20;
    static constexpr int kNotConfigured = -1;
    static constexpr int kMaxSamplesPerNote = 1 << 27;
    // A Runge-Kutta step of h seconds is stable for an undamped mode of
    // angular frequency omega while h·omega stays below 2·sqrt(2).
    static constexpr double kStepStabilityLimit = 2.8284271247461903;

    // Dominant frequency in Hz of count mono samples; 0 or less when there is none.
    using FrequencyMeter = std::function<double(const pellamy::WAVEFORMATEX& format,
                                                const std::int16_t* samples, unsigned count)>;
    // Called once per finished note, one call at a time and in note order, on
    // a rendering thread (run()'s own or one of its workers): a window layer
    // posts an event from it rather than touching widgets.
    using NoteDoneCallback = std::function<void(int noteIndex)>;

    NoteGenerator();
    ~NoteGenerator();
    NoteGenerator(const NoteGenerator&) = delete;
    NoteGenerator& operator=(const NoteGenerator&) = delete;

    // Releases the previous run, takes the settings and the snapshot and makes
    // the buffers and records. A duration giving fewer than one sample gives
    // one (a negative duration gives 1000 samples). Throws
    // std::invalid_argument for a snapshot refusalFor rejects, a sample rate
    // of 0 or less, more than three octaves, a duration above
    // GenerationSettings::kMaxDurationMs, or a note longer than
    // kMaxSamplesPerNote samples; a refused request keeps the previous run.
    void configure(const GenerationSettings& settings, muntero::ModelSnapshot snapshot);

    // Renders every note; returns 0, or the value of stopRequested when stopped.
    // The running thread and the workers it starts (setWorkerCount) render;
    // all workers have ended when it returns. An exception on a worker stops
    // the others and is thrown again from here.
    // The untuned note of a tuned run must lie within the frequency meter's
    // range: when the model's loudest normal mode lies outside it, every
    // stiffness is first scaled so that mode sounds at kFirstNoteHz
    // (untunedStiffnessScale()); when the untuned note still measures at the
    // range's edge, the run throws UntunableModel and renders no tuned note;
    // so it does when the untuned note diverges while its springs are within
    // the step's limit (the square attenuation is too strong for the rate).
    int run();
    // Renders note noteIndex() with the springs as they stand into its buffer;
    // kNoteDone, kNotConfigured, or the value of stopRequested when stopped.
    // The run's thread; makes the work arrays again when a run dropped them.
    int renderNote();
    // Multiplies the stiffness of every spring by factor. Controlling thread;
    // allocates nothing.
    void scaleStiffness(double factor);
    // Fills every record, also those of notes a stopped run did not render;
    // null before the first configure. Valid until the next configure.
    // Controlling thread; allocates only the names of the records.
    const pellamy::SoundStreamDescription* buildDescriptions();

    // Set to a non-zero value to stop a run within one sample of every note in
    // flight, or the default meter within a block of samples.
    std::atomic<int> stopRequested{0};

    // The setters: controlling thread, never during run().
    void setNoteDoneCallback(NoteDoneCallback callback) { noteDone_ = std::move(callback); }
    // Replaces the pitch measurement (by default the spectral library's,
    // which stops within a block of samples when stopRequested is set).
    void setFrequencyMeter(FrequencyMeter meter) { meter_ = std::move(meter); }
    // The meter in use, to wrap it (it refers to this generator's stop flag).
    const FrequencyMeter& frequencyMeter() const { return meter_; }
    // Threads rendering the tuned notes: 0 for one per core, 1 for the notes
    // one after the other on the calling thread. The samples are the same.
    void setWorkerCount(unsigned count) { workerCount_ = count; }
    void setKernelChoice(muntero::KernelChoice choice) { kernelChoice_ = choice; }
    // Tuned notes stepped together in one batch (the same model at other
    // stiffnesses, see muntero::BatchedRungeKuttaKernel): 0 chooses (one
    // vector of notes at most, and batches enough to keep every worker busy,
    // where more than one worker is asked for), 1 renders every note with a
    // kernel of its own. The samples are the same.
    void setNotesPerBatch(int notes) { notesPerBatch_ = std::max(0, notes); }

    // The accessors: controlling thread, never during run(); none allocates.
    const GenerationSettings& settings() const { return settings_; }
    bool allocated() const { return allocated_; }
    int noteCount() const { return noteCount_; }
    int samplesPerNote() const { return samplesPerNote_; }
    int soundingNode() const { return snapshot_.soundingNode; }
    int noteIndex() const { return noteIndex_; }
    void setNoteIndex(int index) { noteIndex_ = index; }
    // Of the untuned note as rendered, after untunedStiffnessScale().
    double baseFrequency() const { return baseFrequency_; }
    // The factor the run multiplied every stiffness by before the untuned
    // note, to bring it into the measurable range; 1 when it lay there.
    double untunedStiffnessScale() const { return untunedStiffnessScale_; }
    const pellamy::WAVEFORMATEX& format() const { return format_; }
    const std::int16_t* noteBuffer(int note) const;
    // Whether the integration of a rendered note diverged (the model is too
    // stiff for the sample rate); its samples end in silence after clamped
    // full-scale values.
    bool noteBlewUp(int note) const;
    // Whether the step was unstable for the note's springs: the note blew up,
    // or its highest mode lay beyond the Runge-Kutta step's limit
    // (h·omega > 2·sqrt(2)), where it grows until the square attenuation holds
    // it as a steady false tone, or to the end of the note.
    bool noteUnstable(int note) const;
    // The untuned model's highest angular frequency in radians per second
    // (after untunedStiffnessScale()), estimated by power iteration when run() starts.
    double highestAngularFrequency() const { return highestAngularFrequency_; }
    // Notes of the last run rendered completely, counted from the first.
    int notesFinished() const { return notesFinished_; }
    bool hasWorkArrays() const { return work_ != nullptr; }

private:
    int renderInto(muntero::RungeKuttaKernel& kernel, std::int16_t* buffer, char* blewUp) const;
    void scaleIntoMeasurableRange();
    int runTunedSequential();
    int runTunedParallel(unsigned workers);
    int runTunedBatched(unsigned workers);
    int renderBatch(int firstNote, int noteCount, double firstFactor);
    void leaveSpringsOfLastNote(double firstFactor);
    void announce(int note);
    int stopValue() const;
    std::int16_t* mutableBuffer(int note);
    muntero::StepConstants stepConstants() const;

    GenerationSettings settings_;
    muntero::ModelSnapshot snapshot_;
    bool allocated_ = false;
    int noteCount_ = 0;
    int samplesPerNote_ = 0;
    int noteIndex_ = 0;
    double baseFrequency_ = 0.0;
    double untunedStiffnessScale_ = 1.0;
    pellamy::WAVEFORMATEX format_;
    std::vector<std::int16_t> samples_; // noteCount_ buffers of samplesPerNote_ samples
    std::vector<pellamy::SoundStreamDescription> records_;
    std::unique_ptr<muntero::RungeKuttaKernel> work_; // the sequential render's state

    FrequencyMeter meter_;
    NoteDoneCallback noteDone_;
    unsigned workerCount_ = 0;
    int notesPerBatch_ = 0;
    muntero::KernelChoice kernelChoice_ = muntero::KernelChoice::automatic;

    // Completion bookkeeping of a parallel run.
    std::mutex announceMutex_;
    std::vector<char> finished_;
    std::vector<char> blewUp_;          // per note, written only by the thread rendering it
    std::vector<char> beyondStepLimit_; // per note, set before rendering
    double highestAngularFrequency_ = 0.0;
    int notesFinished_ = 0;
    std::atomic<bool> abort_{false};
};

} // namespace kivora
