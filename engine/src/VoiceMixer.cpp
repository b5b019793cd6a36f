#include "VoiceMixer.h"

#include <algorithm>
#include <limits>

namespace pellamy {

VoiceMixer::VoiceMixer(std::size_t voiceCount, unsigned channels, std::size_t eventCapacity)
    : channels_(channels), events_(eventCapacity), voices_(voiceCount), accumulator_(kChunkFrames * channels),
      sounding_(std::make_unique<std::atomic<bool>[]>(voiceCount)) {}

bool VoiceMixer::send(const Event& event) noexcept {
    if (!events_.tryPush(event))
        return false;
    ++eventsSent_;
    return true;
}

bool VoiceMixer::start(std::size_t voice, const std::int16_t* frames, std::uint32_t sizeInFrames,
                       Layout layout) noexcept {
    if (voice >= voices_.size())
        return true; // no such voice: nothing to do
    return send({EventKind::Start, static_cast<std::uint32_t>(voice), frames, sizeInFrames, layout});
}

bool VoiceMixer::stop(std::size_t voice) noexcept {
    if (voice >= voices_.size())
        return true;
    return send({EventKind::Stop, static_cast<std::uint32_t>(voice), nullptr, 0});
}

bool VoiceMixer::stopAll() noexcept {
    return send({EventKind::StopAll, 0, nullptr, 0});
}

void VoiceMixer::apply(const Event& event) noexcept {
    switch (event.kind) {
    case EventKind::Start: {
        Voice& voice = voices_[event.voice];
        voice.frames = event.frames;
        voice.sizeInFrames = event.sizeInFrames;
        voice.positionInFrames = 0;
        voice.layout = event.layout;
        voice.sounding = event.frames != nullptr && event.sizeInFrames > 0;
        break;
    }
    case EventKind::Stop:
        voices_[event.voice].sounding = false;
        break;
    case EventKind::StopAll:
        for (Voice& voice : voices_)
            voice.sounding = false;
        break;
    }
}

void VoiceMixer::render(std::int16_t* out, std::size_t sizeInFrames, bool addToOut) noexcept {
    std::uint64_t applied = 0;
    while (const auto event = events_.tryPop()) {
        apply(*event);
        ++applied;
    }

    for (std::size_t done = 0; done < sizeInFrames;) {
        const std::size_t frames = std::min(kChunkFrames, sizeInFrames - done);
        const std::size_t values = frames * channels_;
        std::int32_t* sum = accumulator_.data();
        std::int16_t* target = out + done * channels_;
        if (addToOut)
            std::copy_n(target, values, sum);
        else
            std::fill_n(sum, values, 0);
        for (Voice& voice : voices_) {
            if (!voice.sounding)
                continue;
            const std::size_t take =
                std::min<std::size_t>(frames, voice.sizeInFrames - voice.positionInFrames);
            if (voice.layout == Layout::Mono) {
                const std::int16_t* source = voice.frames + voice.positionInFrames;
                for (std::size_t frame = 0; frame < take; ++frame)
                    for (unsigned channel = 0; channel < channels_; ++channel)
                        sum[frame * channels_ + channel] += source[frame];
            } else {
                const std::int16_t* source = voice.frames + std::size_t{voice.positionInFrames} * channels_;
                const std::size_t takeValues = take * channels_;
                for (std::size_t i = 0; i < takeValues; ++i)
                    sum[i] += source[i];
            }
            voice.positionInFrames += static_cast<std::uint32_t>(take);
            if (voice.positionInFrames >= voice.sizeInFrames)
                voice.sounding = false;
        }
        for (std::size_t i = 0; i < values; ++i)
            target[i] = static_cast<std::int16_t>(std::clamp<std::int32_t>(
                sum[i], std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()));
        done += frames;
    }

    const std::uint64_t firstFrame = framesRendered_.load(std::memory_order_relaxed);
    if (applied != 0)
        frameOfLatestEvent_.store(firstFrame, std::memory_order_relaxed);
    std::uint32_t sounding = 0;
    for (std::size_t i = 0; i < voices_.size(); ++i) {
        sounding += voices_[i].sounding ? 1 : 0;
        sounding_[i].store(voices_[i].sounding, std::memory_order_relaxed);
    }
    soundingVoices_.store(sounding, std::memory_order_release);
    framesRendered_.store(firstFrame + sizeInFrames, std::memory_order_release);
    // Published last: whoever sees these events applied also sees the
    // sounding count and frame count that follow from them.
    if (applied != 0)
        eventsApplied_.store(eventsApplied_.load(std::memory_order_relaxed) + applied,
                             std::memory_order_release);
}

void VoiceMixer::fillDeviceBuffer(void* mixer, std::uint8_t* stream, int lengthInBytes) noexcept {
    auto& self = *static_cast<VoiceMixer*>(mixer);
    const std::size_t frameBytes = sizeof(std::int16_t) * self.channels_;
    // SDL hands out buffers aligned for any sample type.
    self.render(reinterpret_cast<std::int16_t*>(stream),
                static_cast<std::size_t>(lengthInBytes) / frameBytes);
}

} // namespace pellamy
