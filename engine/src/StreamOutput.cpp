#include "FrameConversion.h"
#include "VoiceFrames.h"
#include "VoiceMixer.h"

#include <pellamy/StreamOutput.h>

#include <SDL.h>
#include <string>

namespace pellamy {

namespace {

constexpr const char* kBufferFailed = "Error creating buffer";
// The mixer's one voice: the clip.
constexpr std::size_t kClipVoice = 0;

InitFailedException deviceFailure() {
    const char* reason = SDL_GetError();
    std::string message = "DirectSoundCreate8 failed\n";
    if (reason != nullptr && *reason != '\0')
        message.insert(message.size() - 1, std::string(": ") + reason);
    return InitFailedException(message.c_str());
}

} // namespace

class StreamOutput::Impl {
public:
    Impl(int samplesPerSecond, unsigned channels, std::uint32_t bufferFrames, FillFunction fill,
         void* context)
        : fill_(fill), context_(context), clipMixer_(1, channels) {
        // A library leaves the process's signals to the program.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
            throw deviceFailure();
        SDL_AudioSpec wanted{};
        wanted.freq = samplesPerSecond;
        wanted.format = AUDIO_S16SYS;
        wanted.channels = static_cast<Uint8>(channels);
        wanted.samples = static_cast<Uint16>(bufferFrames);
        wanted.callback = &Impl::fillDeviceBuffer;
        wanted.userdata = this;
        // Rate, format and channels fixed (SDL converts); the buffer is the driver's choice.
        id_ = SDL_OpenAudioDevice(nullptr, 0, &wanted, &granted_, SDL_AUDIO_ALLOW_SAMPLES_CHANGE);
        if (id_ == 0) {
            const InitFailedException failure = deviceFailure();
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
            throw failure;
        }
        SDL_PauseAudioDevice(id_, 0);
    }
    ~Impl() {
        SDL_CloseAudioDevice(id_);
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // The caller's sound, then the clip over it.
    static void fillDeviceBuffer(void* self, std::uint8_t* stream, int lengthInBytes) noexcept {
        auto& impl = *static_cast<Impl*>(self);
        impl.fill_(impl.context_, stream, lengthInBytes);
        const std::size_t frames =
            static_cast<std::size_t>(lengthInBytes) / (sizeof(std::int16_t) * impl.clipMixer_.channels());
        impl.clipMixer_.render(reinterpret_cast<std::int16_t*>(stream), frames, true);
    }

    void playClip(std::span<const std::int16_t> values, unsigned channels, unsigned rateHz) {
        const auto deviceRate = static_cast<unsigned>(granted_.freq);
        if (channels == 0 || values.size() < channels || !canConvertRate(rateHz, deviceRate))
            throw kBufferFailed;
        clipFrames_.play(kClipVoice,
                         deviceFramesOf(values, channels, rateHz, clipMixer_.channels(), deviceRate));
    }
    void stopClip() { clipFrames_.stop(kClipVoice); }
    bool isClipPlaying() const { return clipFrames_.isPlaying(kClipVoice); }

    SDL_AudioDeviceID id_ = 0;
    SDL_AudioSpec granted_{};

private:
    FillFunction fill_;
    void* context_;
    VoiceMixer clipMixer_;
    VoiceFrames clipFrames_{clipMixer_};
};

StreamOutput::StreamOutput(int samplesPerSecond, unsigned channels, std::uint32_t bufferFrames,
                           FillFunction fill, void* context)
    : impl_(std::make_unique<Impl>(samplesPerSecond, channels, bufferFrames, fill, context)) {}

StreamOutput::~StreamOutput() = default;

void StreamOutput::PlayClip(std::span<const std::int16_t> values, unsigned channels, unsigned rateHz) {
    impl_->playClip(values, channels, rateHz);
}
void StreamOutput::StopClip() {
    impl_->stopClip();
}
bool StreamOutput::isClipPlaying() const {
    return impl_->isClipPlaying();
}

std::uint32_t StreamOutput::deviceBufferFrames() const {
    return impl_->granted_.samples;
}
double StreamOutput::deviceBufferMs() const {
    return impl_->granted_.freq > 0 ? 1000.0 * impl_->granted_.samples / impl_->granted_.freq : 0.0;
}
int StreamOutput::sampleRate() const {
    return impl_->granted_.freq;
}
unsigned StreamOutput::channels() const {
    return impl_->granted_.channels;
}

} // namespace pellamy
