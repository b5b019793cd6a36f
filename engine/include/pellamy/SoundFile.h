// A WAV file's sound as the engine reads it into an instrument, for tools
// that want the same values without building an instrument.
#pragma once

#include <pellamy/Export.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pellamy {

struct SoundFileValues {
    std::vector<std::int16_t> values; // whole frames of interleaved 16-bit values
    std::uint32_t sampleRate = 0;     // as the file states it, not truncated
    std::uint16_t channels = 0;
    std::uint16_t bitsPerSample = 0; // of the file's own samples
};

// Reads `path` as the instrument reader does (chunks in any order; 8-bit,
// 16/24/32-bit integer and 32/64-bit float PCM, also as
// WAVE_FORMAT_EXTENSIBLE) and converts its data to 16-bit values. Empty when
// the file cannot be opened, holds no data, no channels, no rate or a
// compressed format. Thread: any.
PELLAMY_API std::optional<SoundFileValues> readSoundFile(const std::string& path);

// "compressed WAV (format N) is not supported" when `path` is a WAV file
// whose samples are compressed (A-law, µ-law, ADPCM, MPEG, ..., plain or as
// the sub-format of WAVE_FORMAT_EXTENSIBLE), N the format tag in decimal;
// empty for any other file. Tells why readSoundFile refused such a file.
// Thread: any.
PELLAMY_API std::string compressedFormatRefusal(const std::string& path);

// Why readSoundFile refuses `path`: the system's reason when it cannot be
// read, else what the file holds instead ("not a WAV file: it begins
// \"hello wo\"", "no \"data\" chunk", a compressed format, ...). Thread: any.
PELLAMY_API std::string soundFileProblem(const std::string& path);
// The same as "Can't open WAV file PATH: REASON".
PELLAMY_API std::string soundFileFailureText(const std::string& path);

} // namespace pellamy
