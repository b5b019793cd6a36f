// The real-time half of the live sound output: one voice per sound, mixed in
// 32 bits into 16-bit device frames. The interface thread prepares every
// voice's frames in the device format and sends small events through a
// bounded single-producer/single-consumer queue; the audio thread applies
// them at the start of each buffer and mixes.
#pragma once

#include <kivora/base/SpscQueue.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace pellamy {

class VoiceMixer {
public:
    static constexpr std::size_t kDefaultEventCapacity = 4096;
    // How a voice's frames are laid out: interleaved in the device's channels,
    // or one value per frame that every device channel takes (a mono sound
    // costs one value per frame, not one per channel).
    enum class Layout : std::uint8_t { Device, Mono };

    // `channels` interleaved 16-bit values make one device frame.
    VoiceMixer(std::size_t voiceCount, unsigned channels, std::size_t eventCapacity = kDefaultEventCapacity);
    VoiceMixer(const VoiceMixer&) = delete;
    VoiceMixer& operator=(const VoiceMixer&) = delete;

    // Interface thread. Each returns false when the queue is full and the
    // event was not sent. `frames` must stay valid and unchanged until the
    // audio thread has applied a later event that replaces it for this voice
    // (see eventsApplied) or the mixer is gone.
    bool start(std::size_t voice, const std::int16_t* frames, std::uint32_t sizeInFrames,
               Layout layout = Layout::Device) noexcept;
    bool stop(std::size_t voice) noexcept;
    bool stopAll() noexcept;
    // Interface thread: events sent so far.
    std::uint64_t eventsSent() const noexcept { return eventsSent_; }

    // Audio thread: applies the waiting events, then fills `out` with
    // sizeInFrames frames, or with addToOut adds the voices to the frames
    // already there (clipped as one mix). Allocates nothing, takes no lock,
    // makes no call into the system.
    void render(std::int16_t* out, std::size_t sizeInFrames, bool addToOut = false) noexcept;
    // Audio thread: the device callback (SDL's signature), `mixer` being a
    // VoiceMixer and the stream 16-bit frames of channels() values.
    static void fillDeviceBuffer(void* mixer, std::uint8_t* stream, int lengthInBytes) noexcept;

    // Any thread.
    std::uint64_t eventsApplied() const noexcept { return eventsApplied_.load(std::memory_order_acquire); }
    std::uint64_t framesRendered() const noexcept { return framesRendered_.load(std::memory_order_acquire); }
    // The frame (counted like framesRendered) at whose start the latest
    // applied event took effect; 0 before the first. Once eventsApplied()
    // equals eventsSent() it belongs to the latest event sent.
    std::uint64_t frameOfLatestEvent() const noexcept {
        return frameOfLatestEvent_.load(std::memory_order_relaxed);
    }
    // Voices that were sounding at the end of the last buffer.
    std::uint32_t soundingVoiceCount() const noexcept {
        return soundingVoices_.load(std::memory_order_acquire);
    }

    // Whether `voice` was sounding at the end of the last buffer.
    bool isSounding(std::size_t voice) const noexcept {
        return voice < voices_.size() && sounding_[voice].load(std::memory_order_acquire);
    }

    std::size_t voiceCount() const noexcept { return voices_.size(); }
    unsigned channels() const noexcept { return channels_; }

private:
    enum class EventKind : std::uint8_t { Start, Stop, StopAll };
    struct Event {
        EventKind kind = EventKind::StopAll;
        std::uint32_t voice = 0;
        const std::int16_t* frames = nullptr;
        std::uint32_t sizeInFrames = 0;
        Layout layout = Layout::Device;
    };
    // Owned by the audio thread once the mixer runs.
    struct Voice {
        const std::int16_t* frames = nullptr;
        std::uint32_t sizeInFrames = 0;
        std::uint32_t positionInFrames = 0;
        Layout layout = Layout::Device;
        bool sounding = false;
    };
    static constexpr std::size_t kChunkFrames = 512;

    bool send(const Event& event) noexcept;
    void apply(const Event& event) noexcept;

    const unsigned channels_;
    kivora::base::SpscQueue<Event> events_;
    std::uint64_t eventsSent_ = 0;
    std::vector<Voice> voices_;
    std::vector<std::int32_t> accumulator_; // kChunkFrames device frames
    std::atomic<std::uint64_t> eventsApplied_{0};
    std::atomic<std::uint64_t> framesRendered_{0};
    std::atomic<std::uint64_t> frameOfLatestEvent_{0};
    std::atomic<std::uint32_t> soundingVoices_{0};
    std::unique_ptr<std::atomic<bool>[]> sounding_; // per voice, published with soundingVoices_
};

} // namespace pellamy
