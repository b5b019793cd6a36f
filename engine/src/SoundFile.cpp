#include "InstrumentFileFormat.h"

#include <pellamy/ErrorText.h>
#include <pellamy/SoundFile.h>
#include <pellamy/WavFile.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>

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

namespace {

std::uint32_t littleEndian32(const unsigned char* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::string quoted(const unsigned char* bytes, std::size_t count) {
    return "\"" + printableText(std::string_view(reinterpret_cast<const char*>(bytes), count)) + "\"";
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// What a file that the WAV reader refuses holds instead: its chunks walked
// as the reader walks them.
std::string wavStructureProblem(std::FILE* file) {
    unsigned char header[12];
    const std::size_t headerBytes = std::fread(header, 1, sizeof header, file);
    if (headerBytes == 0)
        return "the file is empty";
    if (headerBytes < 4 || std::memcmp(header, "RIFF", 4) != 0)
        return "not a WAV file: it begins " + quoted(header, std::min<std::size_t>(headerBytes, 8));
    if (headerBytes < 12)
        return "the file ends inside its RIFF header";
    if (std::memcmp(header + 8, "WAVE", 4) != 0)
        return "a RIFF file of form " + quoted(header + 8, 4) + ", not WAVE";
    bool format = false;
    std::uint32_t formatBytes = 0;
    bool data = false;
    std::uint32_t dataBytes = 0;
    unsigned char chunk[8];
    while (std::fread(chunk, 1, sizeof chunk, file) == sizeof chunk) {
        const std::uint32_t size = littleEndian32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && !format) {
            format = true;
            formatBytes = size;
        } else if (std::memcmp(chunk, "data", 4) == 0 && !data) {
            data = true;
            dataBytes = size;
        }
        // Chunks are padded to an even size.
        if (std::fseek(file, static_cast<long>(size) + (size & 1u), SEEK_CUR) != 0)
            break;
    }
    if (!format)
        return "no \"fmt \" chunk";
    if (formatBytes < 16)
        return "its \"fmt \" chunk holds " + std::to_string(formatBytes) +
               " bytes, not the 16 of a format record";
    if (!data)
        return "no \"data\" chunk";
    if (dataBytes == 0)
        return "its \"data\" chunk is empty";
    return "a WAV file whose format holds no sound this reader knows (no channels, no rate or no samples)";
}

} // namespace

std::string soundFileProblem(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return systemReason(EISDIR);
    errno = 0;
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return systemReason(errno != 0 ? errno : EIO);
    if (std::string compressed = compressedFormatRefusal(path); !compressed.empty())
        return compressed;
    return wavStructureProblem(file.get());
}

std::string soundFileFailureText(const std::string& path) {
    return fileFailureText("Can't open WAV file", path, soundFileProblem(path));
}

} // namespace pellamy
