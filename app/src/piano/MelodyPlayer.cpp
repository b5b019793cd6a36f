#include "piano/MelodyPlayer.h"

#include <pellamy/WavFile.h>

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
    std::unique_ptr<pellamy::WavFile> file;
    if (pellamy::openWavForRead(path, file) != pellamy::kWavOk)
        throw MelodyError("Can't open WAV file " + path);
    const pellamy::WAVEFORMATEX& format = *file->format();
    const bool eightBit = format.wBitsPerSample == 8;
    if (format.wFormatTag != pellamy::kWaveFormatPcm || (format.wBitsPerSample != 16 && !eightBit) ||
        format.nChannels == 0 || format.nChannels > 8 || format.nSamplesPerSec == 0 ||
        format.nSamplesPerSec > 65535)
        throw MelodyError(path + ": only 8- and 16-bit PCM WAV files of 1 to 8 channels up to 65535 Hz play");
    std::vector<std::uint8_t> bytes(file->size());
    std::uint32_t delivered = 0;
    if (file->read(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &delivered) != pellamy::kWavOk)
        throw MelodyError("Can't read WAV file " + path);
    MelodyClip clip;
    clip.channels = format.nChannels;
    clip.rateHz = format.nSamplesPerSec;
    clip.values.reserve(eightBit ? delivered : delivered / 2);
    if (eightBit) {
        for (std::uint32_t i = 0; i < delivered; ++i)
            clip.values.push_back(
                static_cast<std::int16_t>((bytes[i] - 128) * 256)); // unsigned, centred on 128
    } else {
        for (std::uint32_t i = 0; i + 1 < delivered; i += 2)
            clip.values.push_back(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    clip.values.resize(clip.values.size() - clip.values.size() % clip.channels);
    if (clip.values.empty())
        throw MelodyError(path + ": the file holds no sound");
    return clip;
}

void MelodyPlayer::play(const MelodyClip& clip) {
    stop();
    if (pellamy::SoundOutput* piano = pianoOutput_ ? pianoOutput_() : nullptr) {
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
        pellamy::SoundOutput* piano = pianoOutput_();
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
    const pellamy::SoundOutput* piano = pianoOutput_();
    return piano == pianoOutputUsed_ && piano->isClipPlaying();
}

void MelodyPlayer::closeWhenEnded() {
    if (!isPlaying())
        stop();
}

} // namespace kivora
