#include "ThreadPriority.h"

#include <kivora/base/SpscQueue.h>
#include <kivora/voices/LiveVoices.h>
#include <kivora/voices/VoiceBank.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <semaphore>
#include <stdexcept>
#include <thread>

namespace kivora::voices {

namespace {

constexpr std::size_t kEventCapacity = 1024;
constexpr std::size_t kGarbageCapacity = 8;

struct Block {
    std::array<std::int16_t, VoiceBank::kMaxBlockFrames> samples;
};

struct Event {
    enum class Kind : std::uint8_t { noteOn, noteOff, allNotesOff, setModel };
    Kind kind = Kind::allNotesOff;
    int key = 0;
    int velocity = 0;
    VoiceSet* voices = nullptr; // owned by the event until applied (setModel)
};

} // namespace

class LiveVoices::Impl {
public:
    Impl(std::shared_ptr<const VoiceModel> model, const LiveSettings& settings)
        : settings_(settings), rate_(model ? model->sampleRate() : 0),
          bank_(std::make_unique<VoiceSet>(std::move(model), settings.voiceCount), settings.renderThreads,
                true),
          events_(kEventCapacity), blocks_(std::max<std::size_t>(1, settings.leadBlocks)),
          garbage_(kGarbageCapacity), refusals_(kKeyCount * 2) {
        if (settings_.blockFrames == 0 || settings_.blockFrames > VoiceBank::kMaxBlockFrames)
            throw std::invalid_argument("A block holds 1 to 1024 frames");
        audioPosition_ = settings_.blockFrames; // no block in hand yet
        thread_ = std::thread([this] { renderLoop(); });
    }

    ~Impl() {
        stopping_.store(true);
        wake_.release();
        thread_.join();
        while (const std::optional<Event> event = events_.tryPop())
            delete event->voices;
        collectGarbage();
    }

    bool send(const Event& event) {
        collectGarbage();
        if (!events_.tryPush(event))
            return false;
        wake_.release();
        return true;
    }

    bool setModel(std::shared_ptr<const VoiceModel> model) {
        auto voices = std::make_unique<VoiceSet>(std::move(model), settings_.voiceCount);
        Event event;
        event.kind = Event::Kind::setModel;
        event.voices = voices.get();
        if (!send(event))
            return false;
        voices.release(); // the render thread owns it now
        return true;
    }

    void collectGarbage() {
        while (const std::optional<VoiceSet*> retired = garbage_.tryPop())
            delete *retired;
    }

    std::vector<int> takeRefusals() {
        collectGarbage();
        while (const std::optional<int> key = refusals_.tryPop())
            refused_.push_back(*key);
        return refused_;
    }

    void fill(std::int16_t* out, std::size_t frames, unsigned channels) noexcept {
        const std::size_t blockFrames = settings_.blockFrames;
        std::size_t written = 0;
        while (written < frames) {
            if (audioPosition_ == blockFrames) {
                std::optional<Block> next = blocks_.tryPop();
                if (!next && idle_.load(std::memory_order_acquire)) {
                    // Nothing sounds and the render thread waits for a key: silence, in time.
                    std::fill(out + written * channels, out + frames * channels, std::int16_t{0});
                    break;
                }
                if (!next) {
                    // Late: silence now, the block plays when it comes.
                    late_.fetch_add(1, std::memory_order_relaxed);
                    std::fill(out + written * channels, out + frames * channels, std::int16_t{0});
                    break;
                }
                audioBlock_ = *next;
                audioPosition_ = 0;
                blocksTaken_.fetch_add(1, std::memory_order_release);
            }
            const std::size_t count = std::min(blockFrames - audioPosition_, frames - written);
            const std::int16_t* source = audioBlock_.samples.data() + audioPosition_;
            std::int16_t* target = out + written * channels;
            for (std::size_t f = 0; f < count; ++f)
                for (unsigned c = 0; c < channels; ++c)
                    *target++ = source[f];
            audioPosition_ += count;
            written += count;
        }
        played_.fetch_add(frames, std::memory_order_relaxed);
    }

    const LiveSettings settings_;
    const int rate_;
    std::atomic<std::uint64_t> late_{0};
    std::atomic<std::uint64_t> played_{0};
    std::atomic<std::uint64_t> rendered_{0};
    std::atomic<int> sounding_{0};
    std::atomic<bool> ready_{false};
    std::atomic<bool> realtime_{false};
    // The render thread waits for an event with nothing sounding: an empty
    // queue is then silence in time, not a late block.
    std::atomic<bool> idle_{false};
    std::atomic<std::uint64_t> blocksTaken_{0}; // by the audio thread

private:
    void apply(const Event& event) {
        switch (event.kind) {
        case Event::Kind::noteOn:
            bank_.noteOn(event.key, event.velocity);
            break;
        case Event::Kind::noteOff:
            bank_.noteOff(event.key);
            break;
        case Event::Kind::allNotesOff:
            bank_.releaseAll();
            break;
        case Event::Kind::setModel:
            bank_.replaceSet(std::unique_ptr<VoiceSet>(event.voices));
            refusalsPublished_ = 0;
            break;
        }
    }

    void renderLoop() {
        realtime_.store(detail::tryRealtimePriority(), std::memory_order_release);
        std::vector<double> mix(settings_.blockFrames);
        Block block{};
        std::uint64_t blocksMade = 0;
        // A quarter block, at most 200 us: the wait for room in the queue is
        // short against a block and against a device that runs fast.
        const auto pause = std::chrono::microseconds(std::clamp<long long>(
            static_cast<long long>(settings_.blockFrames) * 250000 / std::max(1, rate_), 50, 200));
        while (!stopping_.load(std::memory_order_relaxed)) {
            // A block is made only when the queue has room, so the events
            // applied now are heard after at most the blocks queued.
            if (blocksMade - blocksTaken_.load(std::memory_order_acquire) >= blocks_.capacity()) {
                ready_.store(true, std::memory_order_release);
                std::this_thread::sleep_for(pause);
                continue;
            }
            // Every event sent so far is taken below; a later one ends the wait for one.
            while (wake_.try_acquire()) {
            }
            bool applied = false;
            while (const std::optional<Event> event = events_.tryPop()) {
                apply(*event);
                applied = true;
            }
            const std::vector<int>& refused = bank_.refusedKeys();
            for (; refusalsPublished_ < refused.size(); ++refusalsPublished_)
                refusals_.tryPush(refused[refusalsPublished_]);
            if (std::unique_ptr<VoiceSet> retired = bank_.takeRetiredSet()) {
                // Freed by the interface thread when it can take it.
                if (garbage_.tryPush(retired.get()))
                    retired.release();
            }
            if (!applied && bank_.soundingVoiceCount() == 0) {
                // Nothing to render but silence, which the callback makes
                // itself: the thread sleeps until a key (or the end) wakes it.
                ready_.store(true, std::memory_order_release);
                idle_.store(true, std::memory_order_release);
                wake_.acquire();
                continue;
            }
            bank_.render(mix.data(), settings_.blockFrames);
            for (std::size_t f = 0; f < settings_.blockFrames; ++f)
                block.samples[f] = sampleOfDisplacement(mix[f]);
            sounding_.store(bank_.soundingVoiceCount(), std::memory_order_relaxed);
            blocks_.tryPush(block); // room was checked above
            idle_.store(false, std::memory_order_release);
            ++blocksMade;
            rendered_.fetch_add(1, std::memory_order_relaxed);
        }
    }

    VoiceBank bank_;
    kivora::base::SpscQueue<Event> events_;      // interface thread -> render thread
    kivora::base::SpscQueue<Block> blocks_;      // render thread -> audio thread
    kivora::base::SpscQueue<VoiceSet*> garbage_; // render thread -> interface thread
    kivora::base::SpscQueue<int> refusals_;      // render thread -> interface thread
    std::size_t refusalsPublished_ = 0;
    std::vector<int> refused_;
    std::atomic<bool> stopping_{false};
    // Released for every event sent and at the end: wakes the idle render thread.
    std::counting_semaphore<> wake_{0};
    std::thread thread_;
    // The audio thread's own.
    Block audioBlock_{};
    std::size_t audioPosition_ = 0;
};

LiveVoices::LiveVoices(std::shared_ptr<const VoiceModel> model, const LiveSettings& settings)
    : impl_(std::make_unique<Impl>(std::move(model), settings)) {}

LiveVoices::~LiveVoices() = default;

bool LiveVoices::noteOn(int key, int velocity) {
    Event event;
    event.kind = Event::Kind::noteOn;
    event.key = key;
    event.velocity = velocity;
    return impl_->send(event);
}

bool LiveVoices::noteOff(int key) {
    Event event;
    event.kind = Event::Kind::noteOff;
    event.key = key;
    return impl_->send(event);
}

bool LiveVoices::allNotesOff() {
    Event event;
    event.kind = Event::Kind::allNotesOff;
    return impl_->send(event);
}

bool LiveVoices::setModel(std::shared_ptr<const VoiceModel> model) {
    return impl_->setModel(std::move(model));
}

bool LiveVoices::waitUntilReady(std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!impl_->ready_.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

std::vector<int> LiveVoices::refusedKeys() {
    return impl_->takeRefusals();
}

void LiveVoices::fill(std::int16_t* out, std::size_t frames, unsigned channels) noexcept {
    impl_->fill(out, frames, channels);
}

void LiveVoices::fillDeviceBuffer(void* self, std::uint8_t* stream, int lengthInBytes) noexcept {
    auto* voices = static_cast<LiveVoices*>(self);
    const unsigned channels = std::max(1u, voices->deviceChannels_);
    const auto frames = static_cast<std::size_t>(lengthInBytes) / (sizeof(std::int16_t) * channels);
    // SDL's stream is suitably aligned for its sample format.
    voices->fill(reinterpret_cast<std::int16_t*>(stream), frames, channels);
}

int LiveVoices::sampleRate() const {
    return impl_->rate_;
}
std::size_t LiveVoices::blockFrames() const {
    return impl_->settings_.blockFrames;
}
std::uint64_t LiveVoices::lateBlocks() const {
    return impl_->late_.load(std::memory_order_relaxed);
}
std::uint64_t LiveVoices::framesPlayed() const {
    return impl_->played_.load(std::memory_order_relaxed);
}
std::uint64_t LiveVoices::blocksRendered() const {
    return impl_->rendered_.load(std::memory_order_relaxed);
}
bool LiveVoices::realtimeScheduling() const {
    return impl_->realtime_.load(std::memory_order_acquire);
}
int LiveVoices::soundingVoiceCount() const {
    return impl_->sounding_.load(std::memory_order_relaxed);
}

} // namespace kivora::voices
