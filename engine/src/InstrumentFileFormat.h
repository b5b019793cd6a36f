// Internals of the instrument definition file (.ins) reader and writer,
// reachable from tests and fuzz targets without touching the disk.
#pragma once

#include <pellamy/InstrumentModel.h>
#include <pellamy/WavFile.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellamy::detail {

// Lines are read through a 1024-byte buffer: a longer physical line arrives
// as several pieces, each read as a line of its own.
inline constexpr std::size_t kLineBufferBytes = 1024;
// Each field of a sound line keeps at most this many characters.
inline constexpr std::size_t kMaxFieldChars = 255;

// A sound's values converted to signed 16 bits, with the file's format.
struct DecodedSound {
    std::vector<std::int16_t> values;
    std::uint32_t sampleRate = 0;
    std::uint8_t channels = 0; // truncated to 8 bits
};

// The format tag that says how an open WAV file's samples are encoded: its
// own, or for WAVE_FORMAT_EXTENSIBLE that of its sub-format. Empty when no
// file is open or the sub-format is not given by a format tag.
std::optional<std::uint16_t> encodingTag(const WavFile& file);

// Reads the whole data chunk of an open WAV file and converts it to 16-bit
// values: 8-bit unsigned, 16/24/32-bit integer PCM, 32/64-bit float, and
// WAVE_FORMAT_EXTENSIBLE with a PCM or float sub-format. Empty when the
// format is not one of these (compressed data), or the data cannot be read.
std::optional<DecodedSound> decodeSoundData(WavFile& file);

// Opens the WAV file a sound line names, exactly as written in the line.
// Returns nullptr when it cannot be opened or its data chunk is empty.
using SoundOpener = std::function<std::unique_ptr<WavFile>(const std::string& pathAsWritten)>;

// Resolves a path as written against `definitionFolder` first, then against
// the current directory; a backslash separates folders.
SoundOpener fileSoundOpener(std::filesystem::path definitionFolder);
// The file a sound line's path names, as fileSoundOpener finds it.
std::filesystem::path resolveSoundPath(const std::filesystem::path& definitionFolder,
                                       const std::string& pathAsWritten);

// Calls `visit` with the fields (alias, key, file) of every sound line, by
// the line grammar: up to "!end" or the first incomplete line. A UTF-8
// byte-order mark at the start of the file is skipped.
// The second argument is the line's number in the file, counted from 1.
// Returns the number of the line that ended reading when it holds control
// bytes (binary data), else 0. `leadingComment`, when given, gets the text
// after "--" (and one blank) of every comment line before the first sound line.
std::size_t forEachSoundLine(std::FILE* definition,
                             const std::function<void(const std::vector<std::string>&, std::size_t)>& visit,
                             const std::function<void(std::string_view)>& leadingComment = {});

// Reads definition lines from `definition` into `model` (cleared first) and
// marks it loaded. Throws as loadFromFile does; with `definitionPath`, a
// failing sound line of binary bytes, or binary bytes that end reading, are
// reported as a file that is no instrument definition.
void readDefinition(InstrumentModel& model, std::FILE* definition, const SoundOpener& openSound,
                    std::string_view definitionPath = {});
// The same over text held in memory.
void readDefinitionText(InstrumentModel& model, std::string_view text, const SoundOpener& openSound);

// Where saveToFile puts sound i, and the path its line names.
struct SoundFileLocation {
    std::filesystem::path wavPath;
    std::string pathInDefinition; // relative to the definition file's folder, '/'-separated
};
// The folder that holds the numbered sound folders: the definition path
// without its extension, blanks in its name replaced by '_'.
std::filesystem::path soundFolderFor(const std::filesystem::path& definitionPath);
SoundFileLocation soundFileLocation(const std::filesystem::path& definitionPath, bool withFolders,
                                    std::size_t index, const std::string& alias);
// True when the line saveToFile writes for this sound reads back as exactly
// these fields (no blanks in the alias, no comment or command, no field cut
// short, one line piece).
bool lineReadsBack(const std::string& alias, const std::string& pathInDefinition, bool firstLine);

} // namespace pellamy::detail
