#include "InstrumentFileFormat.h"

#include <pellamy/SoundFile.h>
#include <pellamy/WavFile.h>

namespace pellamy {

std::optional<SoundFileValues> readSoundFile(const std::string& path) {
    std::unique_ptr<WavFile> file;
    if (openWavForRead(path, file) != kWavOk)
        return std::nullopt;
    // The rate and channels come from the record itself: the instrument's
    // decoded form keeps narrower fields.
    const WAVEFORMATEX format = *file->format();
    std::optional<detail::DecodedSound> decoded = detail::decodeSoundData(*file);
    if (!decoded || format.nChannels == 0 || format.nSamplesPerSec == 0)
        return std::nullopt;
    SoundFileValues sound;
    sound.values = std::move(decoded->values);
    sound.values.resize(sound.values.size() / format.nChannels * format.nChannels);
    sound.sampleRate = format.nSamplesPerSec;
    sound.channels = format.nChannels;
    sound.bitsPerSample = format.wBitsPerSample;
    return sound;
}

std::string compressedFormatRefusal(const std::string& path) {
    WavFile file;
    if (file.open(path, nullptr, WavFile::kRead) != kWavOk)
        return {};
    const std::optional<std::uint16_t> tag = detail::encodingTag(file);
    // 0 is WAVE_FORMAT_UNKNOWN: it names no encoding.
    if (!tag || *tag == 0 || *tag == kWaveFormatPcm || *tag == kWaveFormatIeeeFloat ||
        *tag == kWaveFormatExtensible)
        return {};
    return "compressed WAV (format " + std::to_string(*tag) + ") is not supported";
}

} // namespace pellamy
