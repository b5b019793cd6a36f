// Instrument definition files (.ins): one line per sound, "alias key file",
// and one WAV file per sound.
#include "InstrumentFileFormat.h"
#include "Messages.h"
#include "ReplacingFile.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <system_error>

namespace pellamy {

namespace detail {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kExtensibleExtraBytes = 22; // valid bits, channel mask, sub-format GUID
constexpr std::size_t kSubFormatOffset = 6;
// The sub-format GUID of WAVE_FORMAT_EXTENSIBLE is {tag-0000-0010-8000-00AA00389B71}:
// the bytes after the 16-bit tag are fixed.
constexpr std::uint8_t kSubFormatGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::int16_t fromFloat(double value) {
    if (std::isnan(value))
        return 0;
    return static_cast<std::int16_t>(std::trunc(std::clamp(value, -1.0, 1.0) * 32767.0));
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int16_t le16Signed(const std::uint8_t* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

bool isBlankChar(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isBlankLine(std::string_view line) {
    return std::all_of(line.begin(), line.end(), isBlankChar);
}

// Up to `maxFields` blank-separated fields; each keeps its first kMaxFieldChars.
std::vector<std::string> splitFields(std::string_view line, std::size_t maxFields) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (fields.size() < maxFields) {
        while (at < line.size() && isBlankChar(line[at]))
            ++at;
        if (at == line.size())
            break;
        const std::size_t start = at;
        while (at < line.size() && !isBlankChar(line[at]))
            ++at;
        fields.emplace_back(line.substr(start, std::min(at - start, kMaxFieldChars)));
    }
    return fields;
}

// The next piece of a line: through the line feed, or kLineBufferBytes - 1
// bytes when the line is longer. False at the end of the file.
bool readLinePiece(std::FILE* file, std::string& piece) {
    piece.clear();
    while (piece.size() < kLineBufferBytes - 1) {
        const int c = std::getc(file);
        if (c == EOF)
            break;
        piece.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
    }
    const bool readSomething = !piece.empty(); // end of file and read errors both end the text
    // Text stops at a NUL byte, as it does for every C string reader.
    if (const std::size_t nul = piece.find('\0'); nul != std::string::npos)
        piece.resize(nul);
    return readSomething;
}

std::uint8_t upperCaseKey(char key) {
    const auto code = static_cast<std::uint8_t>(key);
    return code >= 'a' && code <= 'z' ? static_cast<std::uint8_t>(code - 'a' + 'A') : code;
}

void loadSoundLine(InstrumentModel& model, const std::vector<std::string>& fields, std::size_t& boundLines,
                   const SoundOpener& openSound) {
    const std::string& alias = fields[0];
    const std::string& key = fields[1];
    const std::string& soundPath = fields[2];

    std::optional<DecodedSound> decoded;
    if (std::unique_ptr<WavFile> wav = openSound(soundPath))
        decoded = decodeSoundData(*wav);
    if (!decoded)
        throw std::string("Can't open sound file ") + soundPath + " for alias '" + alias + "'";

    if (model.contains(alias))
        throw messages::kDuplicateAlias;
    // Every sound read from a file holds 16-bit values, whatever the file held.
    model.addSound(alias, Sound::make(decoded->values, decoded->sampleRate, decoded->channels, 16, 1.0f));
    if (key.size() != 1)
        throw "Incorrect key bind";
    // Only the first 24 sound lines are bound; an explicit key still uses up a
    // default position.
    if (boundLines < DefaultKeyOrder.size()) {
        const std::uint8_t code =
            key == "0" ? static_cast<std::uint8_t>(DefaultKeyOrder[boundLines]) : upperCaseKey(key[0]);
        model.bindKey(code, alias);
        ++boundLines;
    }
}

std::string portablePath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// Creates one folder of a save; an existing one is used unchanged.
void createSoundFolder(const fs::path& folder) {
    if (::mkdir(folder.c_str(), 0777) == 0 || errno == EEXIST)
        return;
    if (errno == ENOENT)
        throw "Can't create directory:Path not found";
    // Other failures (a read-only disk, no permission) show as WAV files that
    // cannot be written, which are reported.
}

// Writes one sound as a WAV file in its own format; false when the file
// cannot be created or written completely. The previous file stays until the
// new one is complete.
bool writeSoundFile(const fs::path& wavPath, const Sound& sound, const std::string& alias) {
    // An alias holding a folder separator would write outside the
    // instrument's folders (or name a file the loader reads as a folder).
    if (alias.find_first_of("/\\") != std::string::npos)
        return false;
    ReplacingFile target(wavPath);
    if (!target.create())
        return false;
    WavFile wav;
    if (openWavForWrite(target.temporaryPath().string(), wav, sound.waveFormat()) != kWavOk)
        return false;
    constexpr std::uint32_t kBlockValues = 4096;
    std::int16_t values[kBlockValues];
    std::uint8_t bytes[2 * kBlockValues];
    for (std::uint32_t index = 0; index < sound.count();) {
        const std::uint32_t n = sound.peek(values, kBlockValues, index);
        if (n == 0)
            break;
        for (std::uint32_t i = 0; i < n; ++i) {
            const auto value = static_cast<std::uint16_t>(values[i]);
            bytes[2 * i] = static_cast<std::uint8_t>(value);
            bytes[2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
        }
        std::uint32_t written = 0;
        if (wav.write(2 * n, bytes, &written) != kWavOk)
            return false;
        index += n;
    }
    return wav.close() == kWavOk && target.commit();
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

} // namespace

std::optional<DecodedSound> decodeSoundData(WavFile& file) {
    const WAVEFORMATEX* format = file.format();
    if (format == nullptr)
        return std::nullopt;
    std::uint16_t tag = format->wFormatTag;
    if (tag == kWaveFormatExtensible) {
        const std::span<const std::uint8_t> extra = file.formatExtra();
        if (extra.size() < kExtensibleExtraBytes ||
            std::memcmp(extra.data() + kSubFormatOffset + 2, kSubFormatGuidTail, sizeof kSubFormatGuidTail) !=
                0)
            return std::nullopt;
        tag = static_cast<std::uint16_t>(extra[kSubFormatOffset] | (extra[kSubFormatOffset + 1] << 8));
    }
    const unsigned bytesPerValue = (format->wBitsPerSample + 7u) / 8u;
    const bool pcm = tag == kWaveFormatPcm && bytesPerValue >= 1 && bytesPerValue <= 4;
    const bool floating = tag == kWaveFormatIeeeFloat && (bytesPerValue == 4 || bytesPerValue == 8);
    if (!pcm && !floating)
        return std::nullopt; // compressed or unknown

    // The data size never exceeds the bytes the file holds.
    std::vector<std::uint8_t> bytes(file.size());
    if (!bytes.empty()) {
        std::uint32_t delivered = 0;
        if (file.read(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &delivered) != kWavOk)
            return std::nullopt;
        bytes.resize(delivered);
    }

    DecodedSound sound;
    sound.sampleRate = format->nSamplesPerSec;
    sound.channels = static_cast<std::uint8_t>(format->nChannels);
    const std::size_t count = bytes.size() / bytesPerValue; // a partial last value is dropped
    sound.values.resize(count);
    const std::uint8_t* p = bytes.data();
    for (std::size_t i = 0; i < count; ++i, p += bytesPerValue) {
        std::int16_t& value = sound.values[i];
        if (floating && bytesPerValue == 4)
            value = fromFloat(std::bit_cast<float>(le32(p)));
        else if (floating)
            value = fromFloat(std::bit_cast<double>(le32(p) | (std::uint64_t{le32(p + 4)} << 32)));
        else if (bytesPerValue == 1)
            value = static_cast<std::int16_t>((p[0] - 128) * 256); // 8-bit PCM is unsigned
        else
            value = le16Signed(p + bytesPerValue - 2); // the top 16 bits
    }
    return sound;
}

SoundOpener fileSoundOpener(fs::path definitionFolder) {
    return [folder = std::move(definitionFolder)](const std::string& pathAsWritten) {
        const fs::path written(portablePath(pathAsWritten));
        fs::path chosen = written;
        if (written.is_relative() && !folder.empty()) {
            std::error_code error;
            if (fs::exists(folder / written, error) || !fs::exists(written, error))
                chosen = folder / written;
        }
        std::unique_ptr<WavFile> file;
        openWavForRead(chosen.string(), file);
        return file;
    };
}

void readDefinition(InstrumentModel& model, std::FILE* definition, const SoundOpener& openSound) {
    model.clear();
    std::size_t boundLines = 0;
    std::string line;
    while (readLinePiece(definition, line)) {
        const std::string_view text = line;
        if (text.starts_with("!begin") || isBlankLine(text))
            continue;
        if (text.starts_with("!end"))
            break;
        if (text.starts_with("--"))
            continue;
        const std::vector<std::string> fields = splitFields(text, 3);
        if (fields.size() < 3)
            break; // an incomplete line ends the definition; the sounds so far stay
        loadSoundLine(model, fields, boundLines, openSound);
    }
    model.markLoaded();
}

void readDefinitionText(InstrumentModel& model, std::string_view text, const SoundOpener& openSound) {
    if (text.empty()) {
        model.clear();
        model.markLoaded();
        return;
    }
    // The reader only reads from the buffer.
    FilePtr file(fmemopen(const_cast<char*>(text.data()), text.size(), "r"));
    if (!file)
        throw std::string("Can't open instrument file");
    readDefinition(model, file.get(), openSound);
}

fs::path soundFolderFor(const fs::path& definitionPath) {
    if (definitionPath.has_extension())
        return fs::path(definitionPath).replace_extension();
    // Without an extension the folder would take the definition file's own name.
    return fs::path(definitionPath.string() + "_sounds");
}

SoundFileLocation soundFileLocation(const fs::path& definitionPath, bool withFolders, std::size_t index,
                                    const std::string& alias) {
    const std::string fileName = alias + ".wav";
    if (!withFolders)
        return {definitionPath.parent_path() / fileName, fileName};
    const fs::path base = soundFolderFor(definitionPath);
    const std::string folderNumber = std::to_string(index / 12 + 1);
    return {base / folderNumber / fileName, base.filename().string() + "/" + folderNumber + "/" + fileName};
}

} // namespace detail

void InstrumentModel::loadFromFile(const std::string& path) {
    clear();
    detail::FilePtr file(std::fopen(path.c_str(), "rb"));
    struct stat status {};
    if (!file || ::fstat(::fileno(file.get()), &status) != 0 || S_ISDIR(status.st_mode))
        throw std::string("Can't open instrument file");
    detail::readDefinition(*this, file.get(),
                           detail::fileSoundOpener(std::filesystem::path(path).parent_path()));
}

void InstrumentModel::saveToFile(const std::string& path, bool withFolders) const {
    namespace fs = std::filesystem;
    const fs::path definitionPath(path);
    if (!definitionPath.has_filename())
        throw "Can't open file for saving instrument";
    detail::ReplacingFile definitionTarget(definitionPath);
    detail::FilePtr definition;
    if (definitionTarget.create())
        definition.reset(std::fopen(definitionTarget.temporaryPath().c_str(), "wb"));
    if (!definition)
        throw "Can't open file for saving instrument";

    if (withFolders)
        detail::createSoundFolder(detail::soundFolderFor(definitionPath));
    std::string firstUnwritten;
    for (std::size_t i = 0; i < soundCount(); ++i) {
        const std::string& alias = aliasAt(i);
        if (withFolders && i % 12 == 0)
            detail::createSoundFolder(detail::soundFolderFor(definitionPath) / std::to_string(i / 12 + 1));
        const detail::SoundFileLocation location =
            detail::soundFileLocation(definitionPath, withFolders, i, alias);
        const Sound* sound = soundFor(alias);
        if ((sound == nullptr || !detail::writeSoundFile(location.wavPath, *sound, alias)) &&
            firstUnwritten.empty())
            firstUnwritten = location.wavPath.string();
        const std::string line = alias + " 0 " + location.pathInDefinition + "\n";
        std::fwrite(line.data(), 1, line.size(), definition.get());
    }

    bool definitionWritten = std::fflush(definition.get()) == 0 && std::ferror(definition.get()) == 0;
    definitionWritten = std::fclose(definition.release()) == 0 && definitionWritten;
    definitionWritten = definitionWritten && definitionTarget.commit();
    // The definition file is complete before a missing WAV file is reported.
    if (!firstUnwritten.empty())
        throw std::string("Can't write sound file ") + firstUnwritten;
    if (!definitionWritten)
        throw std::string("Can't write instrument file ") + path;
}

} // namespace pellamy
