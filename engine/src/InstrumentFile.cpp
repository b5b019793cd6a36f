// Instrument definition files (.ins): one line per sound, "alias key file",
// and one WAV file per sound.
#include "InstrumentFileFormat.h"
#include "Messages.h"
#include "ReplacingFile.h"

#include <pellamy/ErrorText.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
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
    return !piece.empty(); // end of file and read errors both end the text
}

std::uint8_t upperCaseKey(char key) {
    const auto code = static_cast<std::uint8_t>(key);
    return code >= 'a' && code <= 'z' ? static_cast<std::uint8_t>(code - 'a' + 'A') : code;
}

// Why a sound line's file gave no sound: the system's reason when it could
// not be opened, else what the file holds.
std::string whySoundFailed(const WavFile* wav, int openError) {
    if (wav == nullptr && openError != 0)
        return systemReason(openError);
    if (wav != nullptr) {
        const std::optional<std::uint16_t> tag = encodingTag(*wav);
        if (tag && *tag != kWaveFormatPcm && *tag != kWaveFormatIeeeFloat)
            return "compressed WAV (format " + std::to_string(*tag) + ") is not supported";
    }
    return "not a WAV file with sound data";
}

void loadSoundLine(InstrumentModel& model, const std::vector<std::string>& fields, std::size_t& boundLines,
                   const SoundOpener& openSound) {
    const std::string& alias = fields[0];
    const std::string& key = fields[1];
    const std::string& soundPath = fields[2];

    std::optional<DecodedSound> decoded;
    errno = 0;
    std::unique_ptr<WavFile> wav = openSound(soundPath);
    const int openError = errno;
    if (wav)
        decoded = decodeSoundData(*wav);
    if (!decoded)
        throw fileFailureText("Can't open sound file", soundPath, {}) + " for alias '" +
            printableText(alias) + "': " + whySoundFailed(wav.get(), openError);

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

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

fs::path folderOf(const fs::path& file) {
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

std::string portablePath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// The sound folders a save creates, removed again with what the save put in
// them unless it succeeds.
class CreatedFolders {
public:
    CreatedFolders() = default;
    CreatedFolders(const CreatedFolders&) = delete;
    CreatedFolders& operator=(const CreatedFolders&) = delete;
    // All in a folder this save created is the save's own temporaries.
    ~CreatedFolders() {
        std::error_code ignored;
        for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder)
            fs::remove_all(*folder, ignored);
    }
    // Creates one folder of a save; an existing one is used unchanged.
    void create(const fs::path& folder) {
        if (::mkdir(folder.c_str(), 0777) == 0) {
            folders_.push_back(folder);
            return;
        }
        const int failure = errno;
        struct stat status {};
        if (failure == EEXIST && ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
            return;
        // The fixed text says "not found" whatever the reason (a missing
        // parent, a file of that name, a read-only disk): the real one follows.
        throw fileFailureText("Can't create directory:Path not found", folder.string(),
                              systemReason(failure == EEXIST ? ENOTDIR : failure));
    }
    void keep() { folders_.clear(); }

private:
    std::vector<fs::path> folders_;
};

// How often a long write looks at the stop request.
constexpr std::uint32_t kBlockValues = 4096;

void throwIfStopped(const std::function<bool()>& stopRequested) {
    if (stopRequested && stopRequested())
        throw std::string(messages::kSaveStopped);
}

// Writes one sound as a WAV file in its own format into the temporary file
// of `target`; false when it cannot be written completely (errno then says
// why, when the failing call said).
bool writeSoundFile(ReplacingFile& target, const Sound& sound, const std::function<bool()>& stopRequested) {
    errno = 0;
    if (!target.create())
        return false;
    WavFile wav;
    if (openWavForWrite(target.temporaryPath().string(), wav, sound.waveFormat()) != kWavOk)
        return false;
    std::int16_t values[kBlockValues];
    std::uint8_t bytes[2 * kBlockValues];
    for (std::uint32_t index = 0; index < sound.count();) {
        throwIfStopped(stopRequested);
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
    return wav.close() == kWavOk && target.finish();
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

} // namespace

std::optional<std::uint16_t> encodingTag(const WavFile& file) {
    const WAVEFORMATEX* format = file.format();
    if (format == nullptr)
        return std::nullopt;
    if (format->wFormatTag != kWaveFormatExtensible)
        return format->wFormatTag;
    const std::span<const std::uint8_t> extra = file.formatExtra();
    if (extra.size() < kExtensibleExtraBytes ||
        std::memcmp(extra.data() + kSubFormatOffset + 2, kSubFormatGuidTail, sizeof kSubFormatGuidTail) != 0)
        return std::nullopt;
    return static_cast<std::uint16_t>(extra[kSubFormatOffset] | (extra[kSubFormatOffset + 1] << 8));
}

std::optional<DecodedSound> decodeSoundData(WavFile& file) {
    const std::optional<std::uint16_t> encoding = encodingTag(file);
    if (!encoding)
        return std::nullopt;
    const std::uint16_t tag = *encoding;
    const WAVEFORMATEX* format = file.format();
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

fs::path resolveSoundPath(const fs::path& definitionFolder, const std::string& pathAsWritten) {
    const fs::path written(portablePath(pathAsWritten));
    if (written.is_relative() && !definitionFolder.empty()) {
        std::error_code error;
        if (fs::exists(definitionFolder / written, error) || !fs::exists(written, error))
            return definitionFolder / written;
    }
    return written;
}

SoundOpener fileSoundOpener(fs::path definitionFolder) {
    return [folder = std::move(definitionFolder)](const std::string& pathAsWritten) {
        std::unique_ptr<WavFile> file;
        const std::string path = resolveSoundPath(folder, pathAsWritten).string();
        errno = 0; // looking for the file may have set it
        openWavForRead(path, file);
        return file;
    };
}

namespace {

// Control bytes (a NUL among them) are no text: a binary file's.
bool hasControlBytes(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
    });
}

} // namespace

std::size_t forEachSoundLine(std::FILE* definition,
                             const std::function<void(const std::vector<std::string>&, std::size_t)>& visit,
                             const std::function<void(std::string_view)>& leadingComment) {
    std::string line;
    bool firstPiece = true;
    bool soundSeen = false;
    std::size_t lineNumber = 0;
    bool lineEnded = true;
    while (readLinePiece(definition, line)) {
        lineNumber += lineEnded ? 1 : 0;
        lineEnded = line.ends_with('\n');
        const bool binary = hasControlBytes(line);
        // Text stops at a NUL byte, as it does for every C string reader.
        if (const std::size_t nul = line.find('\0'); nul != std::string::npos)
            line.resize(nul);
        // Editors may put a UTF-8 byte-order mark at the start of the file.
        if (firstPiece && line.starts_with(kUtf8ByteOrderMark))
            line.erase(0, kUtf8ByteOrderMark.size());
        firstPiece = false;
        const std::string_view text = line;
        if (text.starts_with("!begin") || isBlankLine(text))
            continue;
        if (text.starts_with("!end"))
            break;
        if (text.starts_with("--")) {
            if (leadingComment && !soundSeen && !binary) {
                std::string_view comment = text.substr(2);
                comment = comment.substr(0, comment.find_last_not_of("\r\n") + 1);
                leadingComment(comment.starts_with(' ') ? comment.substr(1) : comment);
            }
            continue;
        }
        const std::vector<std::string> fields = splitFields(text, 3);
        if (fields.size() < 3) // an incomplete line ends the definition; the sounds so far stay
            return binary ? lineNumber : 0;
        soundSeen = true;
        visit(fields, lineNumber);
    }
    return 0;
}

void readDefinition(InstrumentModel& model, std::FILE* definition, const SoundOpener& openSound,
                    std::string_view definitionPath) {
    model.clear();
    std::size_t boundLines = 0;
    const auto notADefinition = [&](std::size_t lineNumber) {
        return fileFailureText("Can't open instrument file", definitionPath,
                               "not an instrument definition (line " + std::to_string(lineNumber) +
                                   " is binary data, not \"alias key sound-file\")");
    };
    const std::size_t binaryLine =
        forEachSoundLine(definition, [&](const std::vector<std::string>& fields, std::size_t lineNumber) {
            try {
                loadSoundLine(model, fields, boundLines, openSound);
            } catch (const std::string&) {
                // A sound line of bytes that are no text is a file that is no
                // definition (a WAV or a program chosen by mistake): say that of
                // the file, not of a garbled "sound file" path.
                if (definitionPath.empty() || std::none_of(fields.begin(), fields.end(), hasControlBytes))
                    throw;
                throw notADefinition(lineNumber);
            }
        });
    // Reading stopped at binary bytes: the file is no definition, not an empty one.
    if (binaryLine != 0 && !definitionPath.empty())
        throw notADefinition(binaryLine);
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
    fs::path folder = definitionPath.has_extension() ? fs::path(definitionPath).replace_extension()
                                                     // Without an extension the folder would take
                                                     // the definition file's own name.
                                                     : fs::path(definitionPath.string() + "_sounds");
    // The folder's name is written into blank-separated lines.
    std::string name = folder.filename().string();
    std::replace_if(name.begin(), name.end(), isBlankChar, '_');
    return folder.replace_filename(name);
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

bool lineReadsBack(const std::string& alias, const std::string& pathInDefinition, bool firstLine) {
    const std::string line = alias + " 0 " + pathInDefinition + "\n";
    // The whole line must arrive as one piece, and read as exactly these fields.
    if (line.size() > kLineBufferBytes - 1 || line.find('\0') != std::string::npos)
        return false;
    const std::string_view text = line;
    if ((firstLine && text.starts_with(kUtf8ByteOrderMark)) || text.starts_with("!begin") ||
        text.starts_with("!end") || text.starts_with("--") || isBlankLine(text))
        return false;
    const std::vector<std::string> fields = splitFields(text, 4);
    return fields.size() == 3 && fields[0] == alias && fields[1] == "0" && fields[2] == pathInDefinition;
}

namespace {

// The open file, or a failure naming the file and the reason.
FilePtr openTextForReading(const std::string& path) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw fileFailureText("Can't open instrument file", path, systemReason(errno));
    struct stat status {};
    if (::fstat(::fileno(file.get()), &status) != 0)
        throw fileFailureText("Can't open instrument file", path, systemReason(errno));
    // A folder or a device (/dev/zero) is no text file: reading it would fail
    // or never end. A pipe is read as it comes.
    if (S_ISDIR(status.st_mode))
        throw fileFailureText("Can't open instrument file", path, systemReason(EISDIR));
    if (!S_ISREG(status.st_mode) && !S_ISFIFO(status.st_mode))
        throw fileFailureText("Can't open instrument file", path, "not a regular file");
    return file;
}

} // namespace

} // namespace detail

void InstrumentModel::loadFromFile(const std::string& path) {
    clear();
    detail::FilePtr file = detail::openTextForReading(path);
    detail::readDefinition(*this, file.get(),
                           detail::fileSoundOpener(std::filesystem::path(path).parent_path()), path);
}

std::vector<std::string> InstrumentModel::soundFilesOf(const std::string& definitionPath) {
    detail::FilePtr file = detail::openTextForReading(definitionPath);
    const std::filesystem::path folder = std::filesystem::path(definitionPath).parent_path();
    std::vector<std::string> paths;
    detail::forEachSoundLine(file.get(), [&](const std::vector<std::string>& fields, std::size_t) {
        paths.push_back(detail::resolveSoundPath(folder, fields[2]).string());
    });
    return paths;
}

std::vector<std::string> InstrumentModel::leadingCommentsOf(const std::string& definitionPath) {
    detail::FilePtr file = detail::openTextForReading(definitionPath);
    std::vector<std::string> comments;
    detail::forEachSoundLine(
        file.get(), [](const std::vector<std::string>&, std::size_t) {},
        [&](std::string_view comment) { comments.emplace_back(comment); });
    return comments;
}

std::vector<std::string> InstrumentModel::filesSavedTo(const std::string& path, bool withFolders) const {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < soundCount(); ++i)
        paths.push_back(detail::soundFileLocation(path, withFolders, i, aliasAt(i)).wavPath.string());
    paths.push_back(path);
    return paths;
}

void InstrumentModel::saveToFile(const std::string& path, bool withFolders) const {
    saveToFile(path, withFolders, {});
}

void InstrumentModel::saveToFile(const std::string& path, bool withFolders,
                                 const std::function<bool()>& stopRequested) const {
    detail::ReplacingFileSet files;
    saveToFile(path, withFolders, stopRequested, files);
}

void InstrumentModel::saveToFile(const std::string& path, bool withFolders,
                                 const std::function<bool()>& stopRequested,
                                 kivora::base::ReplacingFileSet& files) const {
    namespace fs = std::filesystem;
    const fs::path definitionPath(path);
    if (!definitionPath.has_filename())
        throw fileFailureText("Can't open file for saving instrument", path, "the path names no file");

    // Every line must read back before anything is written.
    std::vector<detail::SoundFileLocation> locations;
    for (std::size_t i = 0; i < soundCount(); ++i) {
        const std::string& alias = aliasAt(i);
        detail::SoundFileLocation location = detail::soundFileLocation(definitionPath, withFolders, i, alias);
        // A separator in the alias would write outside the instrument's
        // folders (or name a file the loader reads as a folder).
        if (alias.find_first_of("/\\") != std::string::npos || soundFor(alias) == nullptr ||
            location.wavPath.lexically_normal() == definitionPath.lexically_normal())
            throw fileFailureText("Can't write sound file", location.wavPath.string(), {});
        if (!detail::lineReadsBack(alias, location.pathInDefinition, i == 0))
            throw fileFailureText("Can't write sound file", location.wavPath.string(), {}) +
                " (an instrument file line cannot name it)";
        locations.push_back(std::move(location));
    }

    // Removed with the temporary files in them should the save fail (the
    // set outlives this call).
    detail::CreatedFolders createdFolders;
    detail::ReplacingFile& definitionTarget = files.addLast(definitionPath);
    detail::removeStaleTemporaries(detail::folderOf(definitionTarget.targetPath()));
    detail::FilePtr definition;
    if (definitionTarget.create())
        definition.reset(std::fopen(definitionTarget.temporaryPath().c_str(), "wb"));
    if (!definition)
        throw fileFailureText("Can't open file for saving instrument", path, systemReason(errno));

    if (withFolders) {
        const fs::path base = detail::soundFolderFor(definitionPath);
        createdFolders.create(base);
        for (std::size_t i = 0; i < soundCount(); i += 12) {
            const fs::path folder = base / std::to_string(i / 12 + 1);
            createdFolders.create(folder);
            detail::removeStaleTemporaries(folder);
        }
    }

    for (const std::string& comment : comments_) {
        // One physical line each: a longer one would be read on as a sound line.
        std::string line = "-- " + comment;
        std::replace_if(
            line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
        line.resize(std::min(line.size(), detail::kLineBufferBytes - 2));
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), definition.get());
    }
    for (std::size_t i = 0; i < soundCount(); ++i) {
        detail::throwIfStopped(stopRequested);
        const std::string& alias = aliasAt(i);
        detail::ReplacingFile& wav = files.add(locations[i].wavPath);
        if (!detail::writeSoundFile(wav, *soundFor(alias), stopRequested))
            throw fileFailureText("Can't write sound file", locations[i].wavPath.string(),
                                  systemReason(errno != 0 ? errno : EIO));
        const std::string line = alias + " 0 " + locations[i].pathInDefinition + "\n";
        std::fwrite(line.data(), 1, line.size(), definition.get());
    }

    errno = 0;
    bool definitionWritten = std::fflush(definition.get()) == 0 && std::ferror(definition.get()) == 0;
    definitionWritten = std::fclose(definition.release()) == 0 && definitionWritten;
    if (!definitionWritten || !definitionTarget.finish())
        throw fileFailureText("Can't write instrument file", path, systemReason(errno != 0 ? errno : EIO));
    // The last moment to stop: from here on the files are put in place.
    detail::throwIfStopped(stopRequested);
    errno = 0;
    if (!files.commit())
        throw fileFailureText("Can't write instrument file", path, systemReason(errno != 0 ? errno : EIO));
    createdFolders.keep();
}

} // namespace pellamy
