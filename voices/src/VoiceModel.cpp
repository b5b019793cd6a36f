#include <kivora/GenerationReport.h>
#include <kivora/voices/VoiceModel.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace kivora::voices {

VoiceModel::VoiceModel(muntero::ModelSnapshot snapshot, const VoiceSettings& settings)
    : settings_(settings), snapshot_(std::move(snapshot)) {
    settings_.generation.octaves = 0;
    const UntunedMeasurement measurement = measureUntuned(settings_.generation, snapshot_, settings_.kernel);
    if (const std::string silence = silenceMessageOf(measurement); !silence.empty())
        throw std::invalid_argument(silence);
    baseFrequency_ = measurement.baseFrequency;
    highestAngularFrequency_ = measurement.highestAngularFrequency;
    // The springs as the generator's tuned run has them before its untuned note.
    if (measurement.stiffnessScale != 1.0)
        snapshot_.scaleStiffness(measurement.stiffnessScale);
    // As configure counts them (measureUntuned has refused what it refuses).
    const double samples =
        std::trunc(settings_.generation.sampleRate * 0.001 * settings_.generation.durationMs);
    noteLengthInFrames_ = samples < 0.0 ? 1000 : std::max(1, static_cast<int>(samples));

    const double timeStep = 1.0 / sampleRate();
    for (int key = 0; key < kKeyCount; ++key) {
        // The generator's estimate for its note key - 48.
        const double omega = highestAngularFrequency_ * (NoteGenerator::kFirstNoteHz / baseFrequency_) *
                             std::exp2((key - kFirstNoteKey) / 12.0);
        keySounds_[static_cast<std::size_t>(key)] = !(timeStep * omega > NoteGenerator::kStepStabilityLimit);
    }

    firstNoteKernel_ =
        muntero::RungeKuttaKernel(snapshot_, stepConstantsFor(settings_.generation), settings_.kernel);
    const double ratio = NoteGenerator::kFirstNoteHz / baseFrequency_;
    firstNoteStiffnessFactor_ = ratio * ratio;
    firstNoteKernel_.scaleStiffness(firstNoteStiffnessFactor_);
}

bool VoiceModel::keySounds(int key) const {
    return key >= 0 && key < kKeyCount && keySounds_[static_cast<std::size_t>(key)];
}

double VoiceModel::keyFrequencyHz(int key) {
    return NoteGenerator::kFirstNoteHz * std::exp2((key - kFirstNoteKey) / 12.0);
}

} // namespace kivora::voices
