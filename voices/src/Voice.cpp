#include <kivora/voices/Voice.h>

#include <cmath>

namespace kivora::voices {

Voice::Voice(const VoiceModel& model)
    : model_(&model),
      kernel_(model.snapshot(), stepConstantsFor(model.settings().generation), model.settings().kernel),
      releaseFrames_(std::max<std::int64_t>(1, std::llround(kReleaseMs * 0.001 * model.sampleRate()))),
      nextReleaseFrames_(releaseFrames_), inaudibleFramesToFree_(std::max<std::int64_t>(
                                              1, std::llround(kInaudibleMs * 0.001 * model.sampleRate()))) {}

void Voice::start(int key, int velocity, std::uint64_t order) {
    if (!model_->keySounds(key))
        return;
    // The generator's springs for note j = key - 48: the untuned ones times
    // the first factor, then j times the semitone factor, one multiplication
    // after the other (the same roundings).
    kernel_.copyStiffnessFrom(model_->firstNoteKernel());
    const int note = key - kFirstNoteKey;
    for (int j = 0; j < note; ++j)
        kernel_.scaleStiffness(NoteGenerator::kSemitoneStiffnessFactor);
    for (int j = 0; j > note; --j)
        kernel_.scaleStiffness(1.0 / NoteGenerator::kSemitoneStiffnessFactor);
    kernel_.reset();
    if (velocity < 127) {
        // The excitation, not the output, follows the velocity: a softer
        // strike of a damped model sounds a little purer, as a real one does.
        const double scale = std::max(1, velocity) / 127.0;
        double* x = kernel_.displacements();
        double* v = kernel_.velocities();
        for (int i = 0; i < kernel_.nodeCount(); ++i) {
            x[i] = x[i] * scale;
            v[i] = v[i] * scale;
        }
    }
    key_ = key;
    order_ = order;
    active_ = true;
    released_ = false;
    stepped_ = false;
    framesSinceRelease_ = 0;
    inaudibleFrames_ = 0;
}

void Voice::setReleaseMs(double releaseMs) {
    // A fade under way keeps its slope: a shorter one would overshoot zero.
    nextReleaseFrames_ = std::max<std::int64_t>(1, std::llround(releaseMs * 0.001 * model_->sampleRate()));
}

void Voice::release() {
    if (active_ && !released_) {
        released_ = true;
        releaseFrames_ = nextReleaseFrames_;
        framesSinceRelease_ = 0;
    }
}

void Voice::render(double* out, std::size_t frames) {
    const double* x = kernel_.displacements();
    const auto node = static_cast<std::size_t>(model_->soundingNode());
    for (std::size_t f = 0; f < frames; ++f) {
        if (!active_) {
            out[f] = 0.0;
            continue;
        }
        if (stepped_)
            kernel_.advance();
        stepped_ = true;
        double value = x[node];
        if (!std::isfinite(value)) {
            // Blown up: silence from here on, as the generator's note ends.
            active_ = false;
            out[f] = 0.0;
            continue;
        }
        if (released_) {
            value = value *
                    (1.0 - static_cast<double>(framesSinceRelease_) / static_cast<double>(releaseFrames_));
            if (++framesSinceRelease_ >= releaseFrames_)
                active_ = false;
        }
        out[f] = value;
        // Below half a 16-bit step the voice adds nothing one can hear.
        inaudibleFrames_ = std::fabs(value) * 32767.0 < 0.5 ? inaudibleFrames_ + 1 : 0;
        if (inaudibleFrames_ >= inaudibleFramesToFree_)
            active_ = false;
    }
}

} // namespace kivora::voices
