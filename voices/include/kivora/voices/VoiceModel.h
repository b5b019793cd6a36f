// A model prepared for live playing: measured once as the note generator
// measures its untuned note, then retuned per key exactly as the generator
// retunes its notes, so a key's voice steps the springs of that key's note.
#pragma once

#include <kivora/NoteGenerator.h>
#include <kivora/base/NoteNames.h>
#include <kivora/voices/Export.h>
#include <muntero/ModelSnapshot.h>
#include <muntero/RungeKuttaKernel.h>

#include <array>
#include <string>

namespace kivora::voices {

// The MIDI key of the generator's first note, 1C (C3, 130.81 Hz), and the
// note names of keys (48 is 1C, 49 1C#, 60 2C): the shared base's rule.
inline constexpr int kFirstNoteKey = base::kFirstNoteKey;
inline constexpr int kKeyCount = base::kMidiKeyCount;
using base::keyOfNoteName;
using base::noteNameOfKey;

struct VoiceSettings {
    // The generator's settings: the untuned note is durationMs long at
    // sampleRate, both attenuations are the generator's; octaves is ignored
    // (every key 0-127 plays). A script's whole note lasts durationMs.
    GenerationSettings generation;
    muntero::KernelChoice kernel = muntero::KernelChoice::automatic;
};

// Immutable once made: any thread may read one that is shared.
class KIVORA_VOICES_API VoiceModel {
public:
    // Renders and measures the untuned note (the generator's own code), then
    // tunes a kernel to 1C. Throws std::invalid_argument with the generator's
    // refusals, for settings it refuses, and for a model whose untuned note
    // is silent (the generator's silenceMessageOf it). Any thread; takes
    // as long as rendering one note.
    VoiceModel(muntero::ModelSnapshot snapshot, const VoiceSettings& settings);

    const VoiceSettings& settings() const { return settings_; }
    int sampleRate() const { return settings_.generation.sampleRate; }
    // The generator's note length in frames (samplesPerNote).
    int noteLengthInFrames() const { return noteLengthInFrames_; }
    double baseFrequency() const { return baseFrequency_; }
    double highestAngularFrequency() const { return highestAngularFrequency_; }
    int soundingNode() const { return snapshot_.soundingNode; }
    const muntero::ModelSnapshot& snapshot() const { return snapshot_; }

    // Whether the key's retuned model steps within the Runge-Kutta stability
    // limit (h·omega <= 2·sqrt(2)); keys beyond it do not sound.
    bool keySounds(int key) const;
    // The key's target frequency: 1C times 2^((key - 48)/12).
    static double keyFrequencyHz(int key);

    // A kernel of the model tuned to 1C: stiffness times
    // (kFirstNoteHz / baseFrequency)^2, the generator's first factor.
    const muntero::RungeKuttaKernel& firstNoteKernel() const { return firstNoteKernel_; }
    // That first factor, (kFirstNoteHz / baseFrequency)^2, as it multiplies
    // the snapshot's stiffnesses.
    double firstNoteStiffnessFactor() const { return firstNoteStiffnessFactor_; }

private:
    VoiceSettings settings_;
    muntero::ModelSnapshot snapshot_;
    int noteLengthInFrames_ = 0;
    double baseFrequency_ = 0.0;
    double highestAngularFrequency_ = 0.0;
    double firstNoteStiffnessFactor_ = 1.0;
    std::array<bool, kKeyCount> keySounds_{};
    muntero::RungeKuttaKernel firstNoteKernel_;
};

} // namespace kivora::voices
