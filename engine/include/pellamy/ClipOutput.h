// A live output that also plays one clip (a melody's values) beside what the
// keys play, as the piano's Play Melody does through the device the piano
// holds: drivers with one device give it to one output at a time.
#pragma once

#include <pellamy/Export.h>

#include <cstdint>
#include <span>

namespace pellamy {

// Thread: interface thread.
class PELLAMY_API ClipOutput {
public:
    virtual ~ClipOutput() = default;

    // Plays `values` (interleaved frames of `channels` values at rateHz) once;
    // a clip still playing is replaced. The values are converted to the device
    // format here, so the audio thread only adds them. Throws "Error creating
    // buffer" (const char*) for values it cannot play (no whole frame, no
    // channels, a rate it cannot convert).
    virtual void PlayClip(std::span<const std::int16_t> values, unsigned channels, unsigned rateHz) = 0;
    // Ends the clip at once.
    virtual void StopClip() = 0;
    // True from PlayClip until the clip has played out or been stopped.
    virtual bool isClipPlaying() const = 0;
};

} // namespace pellamy
