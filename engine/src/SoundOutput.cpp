#include "FrameConversion.h"
#include "VoiceFrames.h"
#include "VoiceMixer.h"

#include <pellamy/InstrumentModel.h>
#include <pellamy/SoundOutput.h>

#include <SDL.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pellamy {

namespace {

constexpr const char* kDeviceFailed = "DirectSoundCreate8 failed\n";
constexpr const char* kFormatRefused = "Can't set primary buffer format";
constexpr const char* kBufferFailed = "Error creating buffer";

// The smallest buffer a device accepts, in bytes.
constexpr std::uint32_t kMinBufferBytes = 4;

// "DirectSoundCreate8 failed\n" with SDL's reason before the line feed.
InitFailedException deviceFailure() {
    const char* reason = SDL_GetError();
    std::string message = kDeviceFailed;
    if (reason != nullptr && *reason != '\0')
        message.insert(message.size() - 1, std::string(": ") + reason);
    return InitFailedException(message.c_str());
}

// Holds one reference to SDL's audio subsystem.
class AudioSubsystem {
public:
    AudioSubsystem() {
        // A library must leave the process's signals to the program.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
            throw deviceFailure();
    }
    ~AudioSubsystem() { SDL_QuitSubSystem(SDL_INIT_AUDIO); }
    AudioSubsystem(const AudioSubsystem&) = delete;
    AudioSubsystem& operator=(const AudioSubsystem&) = delete;
};

// An open playback device; closing it joins its audio thread. A silent one
// is a thread of ours that takes buffers at the device's pace.
class AudioDevice {
public:
    AudioDevice(int samplesPerSecond, unsigned channels, VoiceMixer& mixer, OutputDevice device)
        : mixer_(mixer) {
        SDL_AudioSpec wanted{};
        wanted.freq = samplesPerSecond;
        wanted.format = AUDIO_S16SYS;
        wanted.channels = static_cast<Uint8>(channels);
        wanted.samples = static_cast<Uint16>(SoundOutput::kRequestedBufferFrames);
        wanted.callback = &VoiceMixer::fillDeviceBuffer;
        wanted.userdata = &mixer;
        if (device == OutputDevice::Silent) {
            granted_ = wanted;
            return;
        }
        subsystem_.emplace();
        // Rate, format and channels are fixed (SDL converts if the hardware
        // differs); the buffer size is the driver's choice.
        id_ = SDL_OpenAudioDevice(nullptr, 0, &wanted, &granted_, SDL_AUDIO_ALLOW_SAMPLES_CHANGE);
        if (id_ == 0)
            throw deviceFailure();
        if (granted_.freq != wanted.freq || granted_.format != wanted.format ||
            granted_.channels != wanted.channels) {
            SDL_CloseAudioDevice(id_);
            throw kFormatRefused;
        }
    }
    ~AudioDevice() {
        if (id_ != 0) {
            SDL_CloseAudioDevice(id_);
        } else if (silentThread_.joinable()) {
            stopSilent_.store(true, std::memory_order_relaxed);
            silentThread_.join();
        }
    }
    AudioDevice(const AudioDevice&) = delete;
    AudioDevice& operator=(const AudioDevice&) = delete;

    void play() {
        if (id_ != 0) {
            SDL_PauseAudioDevice(id_, 0);
            return;
        }
        const auto bytes = static_cast<int>(granted_.samples * granted_.channels * sizeof(std::int16_t));
        const auto period = std::chrono::nanoseconds(1'000'000'000LL * granted_.samples / granted_.freq);
        silentThread_ =
            std::thread([this, bytes, period,
                         buffer = std::vector<std::uint8_t>(static_cast<std::size_t>(bytes))]() mutable {
                auto next = std::chrono::steady_clock::now();
                while (!stopSilent_.load(std::memory_order_relaxed)) {
                    VoiceMixer::fillDeviceBuffer(&mixer_, buffer.data(), bytes);
                    next += period;
                    std::this_thread::sleep_until(next);
                }
            });
    }
    const SDL_AudioSpec& granted() const { return granted_; }

private:
    VoiceMixer& mixer_;
    std::optional<AudioSubsystem> subsystem_;
    SDL_AudioDeviceID id_ = 0;
    SDL_AudioSpec granted_{};
    std::thread silentThread_;
    std::atomic<bool> stopSilent_{false};
};

bool isPlayableFormat(int samplesPerSecond, unsigned channels, int bitsPerSample) {
    return bitsPerSample == 16 && channels >= 1 && channels <= 8 && samplesPerSecond >= 8000 &&
           samplesPerSecond <= 384000;
}

} // namespace

namespace {

// The sound's values from its beginning as readNext gives them, which leaves
// its cursor at the end.
std::vector<std::int16_t> readWhole(Sound& sound) {
    sound.setPosition(0);
    std::vector<std::int16_t> values(sound.count());
    values.resize(sound.readNext(values.data(), sound.count()));
    return values;
}

} // namespace

class SoundOutput::Impl {
public:
    Impl(InstrumentModel& instrument, int samplesPerSecond, unsigned channels, OutputDevice device)
        : mixer_(instrument.soundCount() + 1, channels), frames_(mixer_), clipVoice_(instrument.soundCount()),
          device_(samplesPerSecond, channels, mixer_, device) {
        const auto deviceRate = static_cast<unsigned>(device_.granted().freq);
        contentIds_.reserve(instrument.soundCount());
        instrument.forEachSound([&](const std::string&, const Sound& original) {
            // A copy, so the instrument's cursor and flags stay untouched.
            Sound sound = original;
            const std::uint64_t bytes = std::uint64_t{sound.blockAlign()} * sound.count();
            if (bytes < kMinBufferBytes || sound.channels() == 0 ||
                !canConvertRate(sound.sampleRate(), deviceRate))
                throw kBufferFailed;
            frames_.give(contentIds_.size(), deviceFramesOf(readWhole(sound), sound.channels(),
                                                            sound.sampleRate(), channels, deviceRate));
            contentIds_.push_back(sound.contentId());
        });
        device_.play();
    }

    ~Impl() = default;

    void start(std::size_t index, Sound& sound) {
        sound.setPlaying(false);
        if (sound.contentId() == contentIds_[index]) {
            sound.setPosition(sound.isValid() ? sound.count() : 0); // where reading it whole leaves it
            frames_.replay(index);
        } else {
            // The sound was replaced since its frames were made.
            const std::vector<std::int16_t> values = readWhole(sound);
            if (frames_.play(index,
                             deviceFramesOf(values, sound.channels(), sound.sampleRate(), mixer_.channels(),
                                            static_cast<unsigned>(device_.granted().freq))))
                contentIds_[index] = sound.contentId();
        }
        sound.setPlaying(true);
    }

    void playClip(std::span<const std::int16_t> values, unsigned channels, unsigned rateHz) {
        const auto deviceRate = static_cast<unsigned>(device_.granted().freq);
        if (channels == 0 || values.size() < channels || !canConvertRate(rateHz, deviceRate))
            throw kBufferFailed;
        frames_.play(clipVoice_, deviceFramesOf(values, channels, rateHz, mixer_.channels(), deviceRate));
    }
    void stopClip() { frames_.stop(clipVoice_); }
    bool isClipPlaying() const { return frames_.isPlaying(clipVoice_); }
    std::size_t instrumentVoiceCount() const { return clipVoice_; }

    void stop(std::size_t index) { frames_.stop(index); }
    void stopAll() { frames_.stopAll(); }

    const VoiceMixer& mixer() const { return mixer_; }
    const SDL_AudioSpec& granted() const { return device_.granted(); }

private:
    // Declaration order matters: the device (and with it the audio thread)
    // goes first, before the frames and the mixer it reads.
    VoiceMixer mixer_;
    VoiceFrames frames_;
    const std::size_t clipVoice_; // the mixer's last voice, after the instrument's
    // Per instrument voice: the sound its frames were made from.
    std::vector<std::uint64_t> contentIds_;
    AudioDevice device_;
};

namespace {

// The ordinal of `alias` in the enumeration order the voices were made in.
std::optional<std::size_t> voiceIndexOf(InstrumentModel& instrument, const std::string& alias,
                                        Sound*& sound) {
    std::optional<std::size_t> found;
    std::size_t ordinal = 0;
    instrument.forEachSound([&](const std::string& candidate, Sound& candidateSound) {
        if (!found && candidate == alias) {
            found = ordinal;
            sound = &candidateSound;
        }
        ++ordinal;
    });
    return found;
}

} // namespace

SoundOutput::SoundOutput(InstrumentModel* instrument, int samplesPerSecond, unsigned channels,
                         int bitsPerSample, OutputDevice device)
    : instrument_(instrument) {
    if (!isPlayableFormat(samplesPerSecond, channels, bitsPerSample)) {
        // Opened first, as a refused format is a fault of an opened device.
        if (device == OutputDevice::Default) {
            AudioSubsystem subsystem;
        }
        throw kFormatRefused;
    }
    // The voices are made here; the instrument is not kept by the device side.
    InstrumentModel none;
    impl_ = std::make_unique<Impl>(instrument != nullptr ? *instrument : none, samplesPerSecond, channels,
                                   device);
}

SoundOutput::~SoundOutput() = default;

void SoundOutput::Start(const std::string& alias) {
    if (instrument_ == nullptr)
        return;
    Sound* sound = nullptr;
    const auto index = voiceIndexOf(*instrument_, alias, sound);
    if (!index || *index >= voiceCount() || sound->isPlaying())
        return;
    impl_->start(*index, *sound);
}

void SoundOutput::Release(const std::string& alias, bool stopSound) {
    if (instrument_ == nullptr)
        return;
    Sound* sound = nullptr;
    const auto index = voiceIndexOf(*instrument_, alias, sound);
    if (!index || *index >= voiceCount())
        return;
    sound->setPlaying(false);
    if (stopSound)
        impl_->stop(*index);
}

void SoundOutput::StopAll() {
    impl_->stopAll();
}

void SoundOutput::PlayClip(std::span<const std::int16_t> values, unsigned channels, unsigned rateHz) {
    impl_->playClip(values, channels, rateHz);
}

void SoundOutput::StopClip() {
    impl_->stopClip();
}

bool SoundOutput::isClipPlaying() const {
    return impl_->isClipPlaying();
}

std::size_t SoundOutput::voiceCount() const {
    return impl_->instrumentVoiceCount();
}
int SoundOutput::deviceSampleRate() const {
    return impl_->granted().freq;
}
unsigned SoundOutput::deviceChannels() const {
    return impl_->granted().channels;
}
std::uint32_t SoundOutput::deviceBufferFrames() const {
    return impl_->granted().samples;
}
double SoundOutput::deviceBufferMs() const {
    return 1000.0 * impl_->granted().samples / static_cast<double>(impl_->granted().freq);
}
std::uint64_t SoundOutput::framesMixed() const {
    return impl_->mixer().framesRendered();
}

std::optional<std::uint64_t> SoundOutput::frameOfLatestEvent() const {
    const VoiceMixer& mixer = impl_->mixer();
    if (mixer.eventsApplied() != mixer.eventsSent())
        return std::nullopt;
    // Only this thread sends: no later event can overwrite the stamp now.
    return mixer.frameOfLatestEvent();
}

bool SoundOutput::isSilent() const {
    const VoiceMixer& mixer = impl_->mixer();
    return mixer.eventsApplied() == mixer.eventsSent() && mixer.soundingVoiceCount() == 0;
}

} // namespace pellamy
