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

} // namespace pellamy
