// How well generated notes are tuned, and whether a sound has a pitch at all.
//
// A note's tuned partial is the strongest resonance within a semitone of the
// note's target frequency, measured with the same kind of resonators (decay
// 0.9999 per sample, fed the first channel's consecutive sample pairs) as the
// spectral library's dominant frequency: a bank one cent apart over the
// semitone either side, then one 0.05 cent apart around its strongest peak.
//
// Threads: every function may run on any thread; none keeps state.
#pragma once

#include <kivora/GeneratorExport.h>
#include <kivora/NoteGenerator.h>
#include <muntero/ModelSnapshot.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kivora {

// The spectral library's dominant frequency lies between 38 and 2000 Hz (its
// coarse bank spans 40-2000 Hz, the fine bank reaches 2 Hz below): a tone
// outside is reported at the edge, 38.00 or 2000.00 Hz.
inline constexpr double kLowestMeasurableHz = 38.0;
inline constexpr double kHighestMeasurableHz = 2000.0;
// False for a dominant frequency on or beyond an edge (results carry two
// decimals), where the tone lies outside the measurable range and tuning on
// it is unreliable.
KIVORA_GENERATOR_API bool isMeasurable(double hz);
// "37.99 Hz is the edge of the measurable range (38-2000 Hz): the tone lies outside it"
KIVORA_GENERATOR_API std::string edgeOfRangeWarning(double hz);

// True when the first channel of `frames` frames stays within
// `toleranceSteps` (peak to peak) of 16-bit steps: no vibration, so no pitch.
// A file's dither moves silence by a step of its own resolution either way.
// Fewer than two frames are silent.
KIVORA_GENERATOR_API bool isSilent(const std::int16_t* samples, unsigned frames, unsigned channels = 1,
                                   unsigned toleranceSteps = 0);

// Why a snapshot's untuned note is silent, seen before it is rendered.
enum class SilenceCause {
    none,                // nothing shows it yet (the rendered note may still be silent)
    flaggedNodeFixed,    // the flagged node never moves
    flaggedNodeUnlinked, // the flagged node has no springs to vibrate on
    modelAtRest,         // no node is displaced or moving at the start
};
// Expects a snapshot refusalFor accepts.
KIVORA_GENERATOR_API SilenceCause silenceCauseFor(const muntero::ModelSnapshot& snapshot);
// "the flagged node is fixed", "the flagged node has no springs", "the model
// is at rest"; null for SilenceCause::none.
KIVORA_GENERATOR_API const char* describe(SilenceCause cause);

// The name of note `note` of a tuned run: "1C", "1C#", ... "3B".
KIVORA_GENERATOR_API std::string noteName(int note);

// 130.81 Hz times 2^(note/12): the frequency note `note` of a run is tuned to.
KIVORA_GENERATOR_API double noteTargetHz(int note);

// The tuned partial of mono 16-bit samples, in Hz: the strongest resonance
// between targetHz·2^(-1/12) and targetHz·2^(1/12); 0 when the response only
// rises or falls across that window (no resonance within a semitone) or the
// samples are silent.
KIVORA_GENERATOR_API double tunedPartialHz(const std::int16_t* samples, unsigned count, unsigned sampleRateHz,
                                           double targetHz);
// The same, ending early with 0 once `stop` (read every few thousand samples) is non-zero.
KIVORA_GENERATOR_API double tunedPartialHz(const std::int16_t* samples, unsigned count, unsigned sampleRateHz,
                                           double targetHz, const std::atomic<int>* stop);

struct NoteTuning {
    std::string name;
    double targetHz = 0.0;
    double measuredHz = 0.0; // 0: no resonance within a semitone of the target
    double centsOff = 0.0;   // 1200·log2(measured / target); 0 when nothing was measured
    bool unstable = false;   // the integration was unstable (see NoteGenerator::noteUnstable)
};

// Notes more than this far from their target are worth a warning.
inline constexpr double kAudibleMistuningCents = 5.0;

// The tuning of every note a finished run rendered, in note order; empty for
// a single untuned note (octaves 0) or before a run. Measures the notes on up
// to `threads` threads (0: one per core). Call it from the generator's
// controlling thread, after run() has returned; it only reads the generator.
// `stop`, when given, is read every few thousand samples on every thread:
// once it is non-zero the call returns an empty list within milliseconds.
// `measured`, when given, is called on the measuring threads with the count
// of notes measured so far, once per note (not in order).
KIVORA_GENERATOR_API std::vector<NoteTuning> measureTuning(NoteGenerator& generator, unsigned threads = 0,
                                                           const std::atomic<int>* stop = nullptr,
                                                           const std::function<void(int)>& measured = {});

// The notes of a measured run worth a warning, in note order.
struct MistunedNotes {
    // Names of the notes whose integration was unstable: their pitch is false whatever it measures.
    std::vector<std::string> unstable;
    // The other notes more than kAudibleMistuningCents off their targets, as
    // "1C (+7.2 cents)", or without a resonance within a semitone, as
    // "1C (no resonance within a semitone)".
    std::vector<std::string> mistuned;
    bool empty() const { return unstable.empty() && mistuned.empty(); }
};
KIVORA_GENERATOR_API MistunedNotes findMistunedNotes(const std::vector<NoteTuning>& tuning);

// The warnings' wording, lower case and without a hint, empty for no notes:
// "the model is too stiff for 8000 samples per second in the notes 2G 2G#:
// their integration is unstable, so they ring at a false pitch or end in silence"
KIVORA_GENERATOR_API std::string tooStiffWarning(int sampleRate, const std::vector<std::string>& notes);
// "notes more than 5 cents off their targets: 1C (+7.2 cents), 1D (no resonance within a semitone)"
KIVORA_GENERATOR_API std::string mistuningWarning(const std::vector<std::string>& mistuned);

} // namespace kivora
