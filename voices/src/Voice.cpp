#include <kivora/voices/Voice.h>

#include <algorithm>
#include <cmath>

namespace kivora::voices {

namespace {

std::int64_t framesOfMs(double ms, int sampleRate) {
    return std::max<std::int64_t>(1, std::llround(ms * 0.001 * sampleRate));
}

} // namespace

Voice::Voice(const VoiceModel& model)
    : model_(&model),
      kernel_(model.snapshot(), stepConstantsFor(model.settings().generation), model.settings().kernel),
      releaseFrames_(framesOfMs(kReleaseMs, model.sampleRate())), nextReleaseFrames_(releaseFrames_),
      inaudibleFramesToFree_(framesOfMs(kInaudibleMs, model.sampleRate())) {}

Voice::Voice(const VoiceModel& model, muntero::BatchedRungeKuttaKernel& batch, int lane)
    : model_(&model), batch_(&batch), lane_(lane), releaseFrames_(framesOfMs(kReleaseMs, model.sampleRate())),
      nextReleaseFrames_(releaseFrames_),
      inaudibleFramesToFree_(framesOfMs(kInaudibleMs, model.sampleRate())) {}

void Voice::start(int key, int velocity, std::uint64_t order) {
    if (!model_->keySounds(key))
        return;
    // The generator's springs for note j = key - 48: the untuned ones times
    // the first factor, then j times the semitone factor, one multiplication
    // after the other (the same roundings).
    const int note = key - kFirstNoteKey;
    if (batch_ != nullptr) {
        batch_->resetLaneStiffness(lane_);
        batch_->scaleLaneStiffness(lane_, model_->firstNoteStiffnessFactor());
        for (int j = 0; j < note; ++j)
            batch_->scaleLaneStiffness(lane_, NoteGenerator::kSemitoneStiffnessFactor);
        for (int j = 0; j > note; --j)
            batch_->scaleLaneStiffness(lane_, 1.0 / NoteGenerator::kSemitoneStiffnessFactor);
        batch_->resetLane(lane_);
        laneInUse_ = true;
    } else {
        kernel_.copyStiffnessFrom(model_->firstNoteKernel());
        for (int j = 0; j < note; ++j)
            kernel_.scaleStiffness(NoteGenerator::kSemitoneStiffnessFactor);
        for (int j = 0; j > note; --j)
            kernel_.scaleStiffness(1.0 / NoteGenerator::kSemitoneStiffnessFactor);
        kernel_.reset();
    }
    if (velocity < 127) {
        // The excitation, not the output, follows the velocity: a softer
        // strike of a damped model sounds a little purer, as a real one does.
        const double scale = std::max(1, velocity) / 127.0;
        const bool ownKernel = batch_ == nullptr;
        double* x = ownKernel ? kernel_.displacements() : batch_->displacements() + lane_;
        double* v = ownKernel ? kernel_.velocities() : batch_->velocities() + lane_;
        const std::ptrdiff_t stride = ownKernel ? 1 : batch_->laneStride();
        const int nodes = ownKernel ? kernel_.nodeCount() : batch_->nodeCount();
        for (int i = 0; i < nodes; ++i) {
            const std::ptrdiff_t at = i * stride;
            x[at] = x[at] * scale;
            v[at] = v[at] * scale;
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
    nextReleaseFrames_ = framesOfMs(releaseMs, model_->sampleRate());
}

void Voice::release() {
    if (active_ && !released_) {
        released_ = true;
        releaseFrames_ = nextReleaseFrames_;
        framesSinceRelease_ = 0;
    }
}

double Voice::soundOf(double value) {
    if (!std::isfinite(value)) {
        // Blown up: silence from here on, as the generator's note ends.
        active_ = false;
        return 0.0;
    }
    if (released_) {
        value =
            value * (1.0 - static_cast<double>(framesSinceRelease_) / static_cast<double>(releaseFrames_));
        if (++framesSinceRelease_ >= releaseFrames_)
            active_ = false;
    }
    // Below half a 16-bit step the voice adds nothing one can hear.
    inaudibleFrames_ = std::fabs(value) * 32767.0 < 0.5 ? inaudibleFrames_ + 1 : 0;
    if (inaudibleFrames_ >= inaudibleFramesToFree_)
        active_ = false;
    return value;
}

void Voice::render(double* out, std::size_t frames) {
    if (batch_ != nullptr) {
        std::fill(out, out + frames, 0.0);
        return;
    }
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
        out[f] = soundOf(x[node]);
    }
}

} // namespace kivora::voices
