#include "InstrumentFileFormat.h"

#include <pellamy/SoundFile.h>

namespace pellamy {

std::optional<Sound> readSoundFile(const std::string& path) {
    std::unique_ptr<WavFile> file;
    if (openWavForRead(path, file) != kWavOk || file == nullptr)
        return std::nullopt;
    const std::optional<detail::DecodedSound> decoded = detail::decodeSoundData(*file);
    if (!decoded)
        return std::nullopt;
    return Sound::make(decoded->values, decoded->sampleRate, decoded->channels, 16, 1.0f);
}

} // namespace pellamy
