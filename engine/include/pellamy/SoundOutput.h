// Live playing of an instrument's sounds through the default audio device.
#pragma once

#include <pellamy/ClipOutput.h>
#include <pellamy/Export.h>
#include <pellamy/InitFailedException.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace pellamy {

class InstrumentModel;

// Where a SoundOutput plays.
enum class OutputDevice {
    // SDL's default device of the driver SDL_AUDIODRIVER selects.
    Default,
    // No device: a thread of the output takes mixed buffers at the pace a
    // device would and drops them. Notes start, ring out and end as they
    // would be heard; for machines whose sound device cannot be opened.
    Silent,
};

// One voice per sound, created up front in the instrument's enumeration order
// (InstrumentModel::forEachSound); a sound cannot overlap itself. Starting a
// note reads the whole sound through Sound::readNext and plays it once from
// its beginning; releasing it lets it ring out or stops it at once.
//
// Every voice is converted to the device's rate and channel count when the
// output is made (again at a start only if the sound's values changed), so
// the audio thread only adds prepared frames. Start, Release and StopAll
// reach it through a bounded lock-free queue.
//
// The audio driver is SDL's: SDL_AUDIODRIVER selects it (disk or dummy for
// machines without sound), unless the output is silent. The device plays
// from construction on.
//
// Thread: every member on the interface thread; the instrument's sounds are
// touched only there.
class PELLAMY_API SoundOutput : public ClipOutput {
public:
    // Frames per device buffer asked of the driver: 5.3 ms at 48 kHz. The
    // driver may grant another size (deviceBufferFrames). A power of two:
    // SDL's dummy driver rounds other sizes up and then overruns its buffer.
    static constexpr std::uint32_t kRequestedBufferFrames = 256;

    // Opens the device in 16-bit PCM at the given rate and channel count and
    // prepares one voice per sound of `instrument`, which must outlive this
    // object and keep its sounds. Throws InitFailedException
    // "DirectSoundCreate8 failed\n" (SDL's reason after a colon, before the
    // line feed) when the audio subsystem or the device
    // cannot be opened, the character string "Can't set primary buffer
    // format" for a format the device cannot play, and "Error creating
    // buffer" for a sound that cannot be played (no values, fewer than 4
    // bytes, no channels or a rate that cannot be converted). A silent
    // output opens nothing and fails only on the format and the sounds.
    SoundOutput(InstrumentModel* instrument, int samplesPerSecond, unsigned channels, int bitsPerSample,
                OutputDevice device = OutputDevice::Default);
    // Stops every voice and closes the device.
    ~SoundOutput() override;
    SoundOutput(const SoundOutput&) = delete;
    SoundOutput& operator=(const SoundOutput&) = delete;

    // Starts `alias` from its beginning unless the note is held (its sound's
    // playing flag). An unknown alias does nothing.
    void Start(const std::string& alias);
    // Ends the note `alias`; stops its voice at once when stopSound,
    // otherwise it plays to its end.
    void Release(const std::string& alias, bool stopSound);
    // Silences every voice; held notes stay held.
    void StopAll();

    // A clip plays beside the instrument's voices (ClipOutput); StopAll ends it too.
    void PlayClip(std::span<const std::int16_t> values, unsigned channels, unsigned rateHz) override;
    void StopClip() override;
    bool isClipPlaying() const override;

    // The instrument's voices (the clip's is not counted).
    std::size_t voiceCount() const;
    int deviceSampleRate() const;
    unsigned deviceChannels() const;
    // The buffer size the driver granted, in frames and in milliseconds.
    std::uint32_t deviceBufferFrames() const;
    double deviceBufferMs() const;
    // Frames the device has taken from the mixer so far.
    std::uint64_t framesMixed() const;
    // Where the latest Start, Release with stopSound or StopAll took effect,
    // counted like framesMixed, once every event sent has reached the audio
    // thread; empty while some are on their way (0 before the first).
    std::optional<std::uint64_t> frameOfLatestEvent() const;
    // True when every event sent has reached the audio thread and no voice
    // (nor the clip) sounds any more (the device may still be playing its last buffer).
    bool isSilent() const;

private:
    class Impl;
    InstrumentModel* instrument_;
    std::unique_ptr<Impl> impl_;
};

} // namespace pellamy
