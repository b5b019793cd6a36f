// One key's sound: the model's simulation retuned to the key, excited by its
// initial state scaled by the velocity, read at the flagged node.
#pragma once

#include <kivora/voices/Export.h>
#include <kivora/voices/VoiceModel.h>
#include <muntero/BatchedRungeKuttaKernel.h>
#include <muntero/RungeKuttaKernel.h>

#include <cstddef>
#include <cstdint>

namespace kivora::voices {

// Thread: one thread at a time (the one rendering it). Only the constructor
// allocates (the kernel); start, release and render allocate nothing.
//
// A voice of a VoiceSet has no kernel of its own: it is a lane of one of the
// set's batches (muntero::BatchedRungeKuttaKernel), which the set steps for
// all its voices together; its samples are the same.
class VoiceSet;

class KIVORA_VOICES_API Voice {
public:
    // A release fades the voice out linearly over this time, then frees it.
    static constexpr double kReleaseMs = 30.0;
    // A voice quieter than half a 16-bit step this long is freed.
    static constexpr double kInaudibleMs = 100.0;

    // `model` must outlive the voice.
    explicit Voice(const VoiceModel& model);

    // Starts `key` (0-127) struck with `velocity` (1-127; 127 plays the
    // model's initial state as drawn): the springs become those of the
    // generator's note for the key, the state the initial one times
    // velocity/127. `order` ranks voices for stealing (larger is younger).
    // Does nothing for a key the model cannot play (see VoiceModel::keySounds).
    void start(int key, int velocity, std::uint64_t order);
    // Starts the release fade; a released or idle voice stays as it is.
    void release();
    // Stops at once.
    void silence() { active_ = false; }
    // The fade of later releases (at least one frame); kReleaseMs until set.
    // Allocates nothing.
    void setReleaseMs(double releaseMs);

    // Writes `frames` displacements of the flagged node (1.0 is full scale),
    // the first being the initial state's, as the generator's note begins;
    // zeros once the voice is free. A voice of a batch is rendered by its
    // set (VoiceSet::renderBatch) instead; here it writes zeros.
    void render(double* out, std::size_t frames);

    bool active() const { return active_; }
    bool released() const { return released_; }
    int key() const { return key_; }
    std::uint64_t order() const { return order_; }
    const VoiceModel& model() const { return *model_; }

    // Whether the voice is a lane of a set's batch.
    bool batched() const { return batch_ != nullptr; }

private:
    friend class VoiceSet;
    // A lane of `batch`, which must outlive the voice; allocates nothing.
    Voice(const VoiceModel& model, muntero::BatchedRungeKuttaKernel& batch, int lane);
    // The sound of one frame whose displacement is `value`: the release fade,
    // and the voice freed when it blew up, faded out or stayed inaudible.
    double soundOf(double value);

    const VoiceModel* model_;
    muntero::RungeKuttaKernel kernel_; // empty for a voice of a batch
    muntero::BatchedRungeKuttaKernel* batch_ = nullptr;
    int lane_ = 0;
    bool laneInUse_ = false; // the lane's state may be away from rest
    int key_ = -1;
    std::uint64_t order_ = 0;
    bool active_ = false;
    bool released_ = false;
    bool stepped_ = false;               // the first frame is the initial state
    std::int64_t releaseFrames_ = 0;     // of the fade under way
    std::int64_t nextReleaseFrames_ = 0; // of the next release
    std::int64_t framesSinceRelease_ = 0;
    std::int64_t inaudibleFramesToFree_ = 0;
    std::int64_t inaudibleFrames_ = 0;
};

} // namespace kivora::voices
