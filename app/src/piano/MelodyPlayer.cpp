#include "piano/MelodyPlayer.h"

#include <pellamy/SoundFile.h>

#include <optional>

namespace kivora {

namespace {

constexpr int kOwnDeviceRateHz = 48000;
constexpr unsigned kOwnDeviceChannels = 2;

} // namespace

MelodyPlayer::MelodyPlayer(PianoOutput pianoOutput) : pianoOutput_(std::move(pianoOutput)) {
    endPoll_.setInterval(kEndPollMs);
    QObject::connect(&endPoll_, &QTimer::timeout, [this] { closeWhenEnded(); });
}

MelodyPlayer::~MelodyPlayer() {
    stop();
}

MelodyClip MelodyPlayer::load(const std::string& path) {
    // Read as the engine reads an instrument's sounds, so whatever plays as a
    // sound plays as a melody.
    std::optional<pellamy::SoundFileValues> sound = pellamy::readSoundFile(path);
    if (!sound)
        throw MelodyError(pellamy::soundFileFailureText(path));
    if (sound->values.empty())
        throw MelodyError(path + ": the file holds no sound");
    MelodyClip clip;
    clip.values = std::move(sound->values);
    clip.channels = sound->channels;
    clip.rateHz = sound->sampleRate;
    return clip;
}

void MelodyPlayer::play(const MelodyClip& clip) {
    stop();
    if (pellamy::ClipOutput* piano = pianoOutput_ ? pianoOutput_() : nullptr) {
        piano->PlayClip(clip.values, clip.channels, clip.rateHz);
        pianoOutputUsed_ = piano;
    } else {
        auto output =
            std::make_unique<pellamy::SoundOutput>(nullptr, kOwnDeviceRateHz, kOwnDeviceChannels, 16);
        output->PlayClip(clip.values, clip.channels, clip.rateHz);
        output_ = std::move(output);
    }
    endPoll_.start();
}

void MelodyPlayer::stop() {
    endPoll_.stop();
    output_.reset();
    if (pianoOutputUsed_ != nullptr) {
        pellamy::ClipOutput* piano = pianoOutput_();
        if (piano == pianoOutputUsed_)
            piano->StopClip();
        pianoOutputUsed_ = nullptr;
    }
}

bool MelodyPlayer::isPlaying() const {
    if (output_ != nullptr)
        return output_->isClipPlaying();
    if (pianoOutputUsed_ == nullptr)
        return false;
    const pellamy::ClipOutput* piano = pianoOutput_();
    return piano == pianoOutputUsed_ && piano->isClipPlaying();
}

void MelodyPlayer::closeWhenEnded() {
    if (!isPlaying())
        stop();
}

} // namespace kivora
