// A playback device fed by a caller's callback: for sound computed while it
// plays (live voices of a model), where SoundOutput plays prepared sounds.
// A clip (a melody) plays over what the callback gives (ClipOutput).
#pragma once

#include <pellamy/ClipOutput.h>
#include <pellamy/Export.h>
#include <pellamy/InitFailedException.h>

#include <cstdint>
#include <memory>

namespace pellamy {

// Thread: construction, destruction and the clip on the interface thread;
// the fill function runs on SDL's audio thread and must not wait or allocate.
class PELLAMY_API StreamOutput : public ClipOutput {
public:
    // SDL's callback signature: fill `lengthInBytes` bytes of interleaved
    // 16-bit frames.
    using FillFunction = void (*)(void* context, std::uint8_t* stream, int lengthInBytes) noexcept;

    // Opens the default device (SDL_AUDIODRIVER selects the driver) in 16-bit
    // PCM at exactly `samplesPerSecond` and `channels` (SDL converts if the
    // hardware differs), asking for `bufferFrames` frames per buffer, and
    // starts calling `fill` with `context`, which must outlive this object.
    // Throws InitFailedException "DirectSoundCreate8 failed\n" (SDL's reason
    // before the line feed) when no device opens.
    StreamOutput(int samplesPerSecond, unsigned channels, std::uint32_t bufferFrames, FillFunction fill,
                 void* context);
    // Closes the device; fill is not called any more once it returns.
    ~StreamOutput() override;
    StreamOutput(const StreamOutput&) = delete;
    StreamOutput& operator=(const StreamOutput&) = delete;

    void PlayClip(std::span<const std::int16_t> values, unsigned channels, unsigned rateHz) override;
    void StopClip() override;
    bool isClipPlaying() const override;

    std::uint32_t deviceBufferFrames() const;
    double deviceBufferMs() const;
    int sampleRate() const;
    unsigned channels() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace pellamy
