#include <pellamy/StreamOutput.h>

#include <SDL.h>
#include <string>

namespace pellamy {

namespace {

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
         void* context) {
        // A library leaves the process's signals to the program.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
            throw deviceFailure();
        SDL_AudioSpec wanted{};
        wanted.freq = samplesPerSecond;
        wanted.format = AUDIO_S16SYS;
        wanted.channels = static_cast<Uint8>(channels);
        wanted.samples = static_cast<Uint16>(bufferFrames);
        wanted.callback = fill;
        wanted.userdata = context;
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

    SDL_AudioDeviceID id_ = 0;
    SDL_AudioSpec granted_{};
};

StreamOutput::StreamOutput(int samplesPerSecond, unsigned channels, std::uint32_t bufferFrames,
                           FillFunction fill, void* context)
    : impl_(std::make_unique<Impl>(samplesPerSecond, channels, bufferFrames, fill, context)) {}

StreamOutput::~StreamOutput() = default;

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
