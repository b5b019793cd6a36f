// The frames that the voices of a VoiceMixer play, held on the interface
// thread. Frames that a new start replaces stay alive until the audio thread
// has applied that start, as it may read them until then.
#pragma once

#include "VoiceMixer.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pellamy {

// A sound's values converted for a device: a mono sound stays one value per
// frame (every device channel takes it), anything else is interleaved in the
// device's channels. See convertToDevice for the conversion.
struct DeviceFrames {
    std::vector<std::int16_t> values;
    VoiceMixer::Layout layout = VoiceMixer::Layout::Device;
};
DeviceFrames deviceFramesOf(std::span<const std::int16_t> values, unsigned channels, unsigned rateHz,
                            unsigned deviceChannels, unsigned deviceRateHz);

// Thread: interface thread only.
class VoiceFrames {
public:
    // One slot per voice of `mixer`, which must outlive this object.
    explicit VoiceFrames(VoiceMixer& mixer);

    // Gives a voice that has never played its frames, without starting it.
    void give(std::size_t voice, DeviceFrames frames);

    // Each returns false when the mixer's queue stayed full (only a stalled
    // device gets that far) and nothing was sent.
    // Makes `frames` the voice's own and starts it on them; the previous
    // frames are kept until the audio thread has taken this start.
    bool play(std::size_t voice, DeviceFrames frames);
    // Starts the voice again on the frames it was given last.
    bool replay(std::size_t voice);
    bool stop(std::size_t voice);
    bool stopAll();

    // From a start until the voice has played out, or until the audio thread
    // has taken a stop (then everything that stop silenced reads as silent).
    bool isPlaying(std::size_t voice) const;

private:
    struct Slot {
        DeviceFrames frames;
        std::uint64_t lastEvent = 0; // number of the latest start or stop sent for it
    };
    struct RetiredFrames {
        std::vector<std::int16_t> values;
        std::uint64_t replacedByEvent; // number of the event that stops their use
    };

    template <class Sender>
    bool send(Sender sender);
    bool start(std::size_t voice);
    void releaseRetiredFrames();

    VoiceMixer& mixer_;
    std::vector<Slot> slots_;
    std::vector<RetiredFrames> retired_;
};

} // namespace pellamy
