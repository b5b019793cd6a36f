#include "VoiceFrames.h"

#include "FrameConversion.h"

#include <chrono>
#include <thread>
#include <utility>

namespace pellamy {

namespace {

// When the queue to the audio thread is full, wait for it this many times
// 1 ms before giving the event up.
constexpr int kFullQueueRetries = 1000;

} // namespace

DeviceFrames deviceFramesOf(std::span<const std::int16_t> values, unsigned channels, unsigned rateHz,
                            unsigned deviceChannels, unsigned deviceRateHz) {
    if (channels == 1 && deviceChannels > 1)
        return {convertToDevice(values, 1, rateHz, 1, deviceRateHz), VoiceMixer::Layout::Mono};
    return {convertToDevice(values, channels, rateHz, deviceChannels, deviceRateHz),
            VoiceMixer::Layout::Device};
}

VoiceFrames::VoiceFrames(VoiceMixer& mixer) : mixer_(mixer), slots_(mixer.voiceCount()) {}

void VoiceFrames::give(std::size_t voice, DeviceFrames frames) {
    slots_.at(voice).frames = std::move(frames);
}

bool VoiceFrames::play(std::size_t voice, DeviceFrames frames) {
    releaseRetiredFrames();
    std::swap(slots_.at(voice).frames, frames);
    if (!start(voice)) {
        std::swap(slots_[voice].frames, frames);
        return false;
    }
    retired_.push_back({std::move(frames.values), mixer_.eventsSent()});
    return true;
}

bool VoiceFrames::replay(std::size_t voice) {
    releaseRetiredFrames();
    return start(voice);
}

bool VoiceFrames::start(std::size_t voice) {
    const DeviceFrames& frames = slots_.at(voice).frames;
    const std::size_t valuesPerFrame = frames.layout == VoiceMixer::Layout::Mono ? 1 : mixer_.channels();
    const auto sizeInFrames = static_cast<std::uint32_t>(frames.values.size() / valuesPerFrame);
    if (!send([&] { return mixer_.start(voice, frames.values.data(), sizeInFrames, frames.layout); }))
        return false;
    slots_[voice].lastEvent = mixer_.eventsSent();
    return true;
}

bool VoiceFrames::stop(std::size_t voice) {
    if (!send([&] { return mixer_.stop(voice); }))
        return false;
    slots_.at(voice).lastEvent = mixer_.eventsSent();
    return true;
}

bool VoiceFrames::stopAll() {
    if (!send([&] { return mixer_.stopAll(); }))
        return false;
    for (Slot& slot : slots_)
        slot.lastEvent = mixer_.eventsSent();
    return true;
}

// The mixer publishes the events it applied after the sounding state they
// leave, so once the latest event is seen applied that state is seen too.
bool VoiceFrames::isPlaying(std::size_t voice) const {
    return mixer_.eventsApplied() < slots_.at(voice).lastEvent || mixer_.isSounding(voice);
}

template <class Sender>
bool VoiceFrames::send(Sender sender) {
    for (int attempt = 0; attempt < kFullQueueRetries; ++attempt) {
        if (sender())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void VoiceFrames::releaseRetiredFrames() {
    const std::uint64_t applied = mixer_.eventsApplied();
    std::erase_if(retired_, [&](const RetiredFrames& entry) { return entry.replacedByEvent <= applied; });
}

} // namespace pellamy
