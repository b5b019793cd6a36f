// Live playing of a model: a render thread computes the voices in small
// blocks ahead of the audio callback and hands them over through a lock-free
// queue; the callback only copies finished blocks. Key events reach the
// render thread through another lock-free queue and take effect at the next
// block it renders, so a key sounds at most the device buffer plus two
// blocks after it was pressed.
//
// The render threads ask for a real-time scheduling class (SCHED_FIFO, best
// effort: where the system refuses they run as other threads do).
//
// The library opens no device: the audio driver's callback calls fill (or
// fillDeviceBuffer, SDL's signature), for example through
// pellamy::StreamOutput.
#pragma once

#include <kivora/voices/Export.h>
#include <kivora/voices/VoiceModel.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kivora::voices {

struct LiveSettings {
    int voiceCount = 16;           // polyphony
    std::size_t blockFrames = 128; // frames per block (2.9 ms at 44.1 kHz), at most 1024
    // Blocks kept ready for the callback: a key event waits behind at most
    // these, so it sounds at most the device buffer plus leadBlocks blocks
    // after it was sent. A device buffer longer than the lead meets late
    // blocks; more lead rides out a busy machine's scheduling delays.
    std::size_t leadBlocks = 2;
    unsigned renderThreads = 0; // threads stepping voices; 0 is one per core
};

class KIVORA_VOICES_API LiveVoices {
public:
    // Prepares the voices and starts the render thread. Interface thread.
    LiveVoices(std::shared_ptr<const VoiceModel> model, const LiveSettings& settings = {});
    // Stops the render thread; the audio callback must have stopped calling
    // (close the device first). Interface thread.
    ~LiveVoices();
    LiveVoices(const LiveVoices&) = delete;
    LiveVoices& operator=(const LiveVoices&) = delete;

    // Interface thread (one thread: the queue has one producer). Each returns
    // false when the event queue is full and the event was dropped; none
    // waits or locks. noteOn of a key the model cannot play is sent anyway
    // and refused by the render thread (see refusedKeys).
    bool noteOn(int key, int velocity);
    bool noteOff(int key);
    bool allNotesOff();
    // The next notes play `model`: its voices are prepared here (this call
    // allocates and may take a while for a large model), then swapped in by
    // the render thread between two blocks. Held notes fade out as released.
    bool setModel(std::shared_ptr<const VoiceModel> model);
    // Waits until the first blocks are ready, so a device opened afterwards
    // starts without a late block; false after `timeout`.
    bool waitUntilReady(std::chrono::milliseconds timeout) const;
    // Keys refused since the start, each once, oldest first. Also frees
    // what the render thread has retired.
    std::vector<int> refusedKeys();

    // Audio thread: `frames` frames of `channels` 16-bit values (the mono mix
    // on every channel). Never waits, never allocates, makes no system call:
    // a block not ready in time is silence, counted in lateBlocks.
    void fill(std::int16_t* out, std::size_t frames, unsigned channels) noexcept;
    // Audio thread: SDL's callback signature; `self` is a LiveVoices whose
    // device has deviceChannels() channels of 16-bit values.
    static void fillDeviceBuffer(void* self, std::uint8_t* stream, int lengthInBytes) noexcept;
    // Set before the device opens (interface thread).
    void setDeviceChannels(unsigned channels) { deviceChannels_ = channels; }
    unsigned deviceChannels() const { return deviceChannels_; }

    // Any thread.
    int sampleRate() const;
    std::size_t blockFrames() const;
    std::uint64_t lateBlocks() const;
    std::uint64_t framesPlayed() const;
    std::uint64_t blocksRendered() const;
    int soundingVoiceCount() const;
    // Whether the render thread runs in a real-time scheduling class (known
    // once waitUntilReady has returned true).
    bool realtimeScheduling() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
    unsigned deviceChannels_ = 1;
};

} // namespace kivora::voices
