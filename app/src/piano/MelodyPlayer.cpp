#include "piano/MelodyPlayer.h"

#include <pellamy/Sound.h>
#include <pellamy/WavFile.h>

#include <vector>

namespace kivora {

namespace {

constexpr const char* kMelodyAlias = "melody";

std::unique_ptr<pellamy::InstrumentModel> loadMelody(const std::string& path) {
    std::unique_ptr<pellamy::WavFile> file;
    if (pellamy::openWavForRead(path, file) != pellamy::kWavOk)
        throw std::string("Can't open WAV file " + path);
    const pellamy::WAVEFORMATEX& format = *file->format();
    const bool eightBit = format.wBitsPerSample == 8;
    if (format.wFormatTag != pellamy::kWaveFormatPcm || (format.wBitsPerSample != 16 && !eightBit) ||
        format.nChannels == 0 || format.nChannels > 8 || format.nSamplesPerSec == 0 ||
        format.nSamplesPerSec > 65535)
        throw std::string(path + ": only 8- and 16-bit PCM WAV files of 1 to 8 channels up to 65535 Hz play");
    std::vector<std::uint8_t> bytes(file->size());
    std::uint32_t delivered = 0;
    if (file->read(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &delivered) != pellamy::kWavOk)
        throw std::string("Can't read WAV file " + path);
    std::vector<std::int16_t> values;
    values.reserve(eightBit ? delivered : delivered / 2);
    if (eightBit) {
        for (std::uint32_t i = 0; i < delivered; ++i)
            values.push_back(static_cast<std::int16_t>((bytes[i] - 128) * 256)); // unsigned, centred on 128
    } else {
        for (std::uint32_t i = 0; i + 1 < delivered; i += 2)
            values.push_back(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    if (values.empty())
        throw std::string(path + ": the file holds no sound");
    auto melody = std::make_unique<pellamy::InstrumentModel>();
    melody->addSound(kMelodyAlias,
                     pellamy::Sound::make(values, static_cast<std::uint16_t>(format.nSamplesPerSec),
                                          static_cast<std::uint8_t>(format.nChannels), 16, 1.0f));
    return melody;
}

} // namespace

MelodyPlayer::MelodyPlayer() = default;

MelodyPlayer::~MelodyPlayer() {
    stop();
}

void MelodyPlayer::play(const std::string& path) {
    std::unique_ptr<pellamy::InstrumentModel> melody = loadMelody(path);
    stop();
    auto output = std::make_unique<pellamy::SoundOutput>(melody.get(), 48000, 2, 16);
    melody_ = std::move(melody);
    output_ = std::move(output);
    output_->Start(kMelodyAlias);
}

void MelodyPlayer::stop() {
    output_.reset();
    melody_.reset();
}

bool MelodyPlayer::isPlaying() const {
    return output_ != nullptr && !output_->isSilent();
}

} // namespace kivora
