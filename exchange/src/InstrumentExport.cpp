#include <kivora/base/ReplacingFile.h>
#include <kivora/exchange/InstrumentExport.h>
#include <pellamy/ErrorText.h>
#include <pellamy/WavFile.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <unistd.h>

namespace kivora::exchange {

namespace fs = std::filesystem;

namespace {

// Zero points after every sample: the format's minimum, so that players
// interpolating past the end read silence.
constexpr std::uint32_t kSampleGuardPoints = 46;

// SoundFont generator operators used here.
enum Generator : std::uint16_t {
    kPan = 17,
    kReleaseVolEnv = 38,
    kInstrument = 41,
    kKeyRange = 43,
    kFineTune = 52,
    kSampleId = 53,
    kSampleModes = 54,
    kOverridingRootKey = 58,
};

enum SampleType : std::uint16_t { kMonoSample = 1, kRightSample = 2, kLeftSample = 4 };

class Bytes {
public:
    void u8(std::uint8_t v) { data.push_back(v); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v));
        u8(static_cast<std::uint8_t>(v >> 8));
    }
    void i16(std::int16_t v) { u16(static_cast<std::uint16_t>(v)); }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    void tag(const char (&id)[5]) { data.insert(data.end(), id, id + 4); }
    // A fixed-size name field, zero-padded (and always zero-terminated).
    void name(const std::string& text, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i)
            u8(i + 1 < size && i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
    }
    void append(const Bytes& other) { data.insert(data.end(), other.data.begin(), other.data.end()); }

    std::vector<std::uint8_t> data;
};

// A chunk: id, size, contents padded to an even size.
void chunk(Bytes& out, const char (&id)[5], const Bytes& contents) {
    out.tag(id);
    out.u32(static_cast<std::uint32_t>(contents.data.size()));
    out.append(contents);
    if (contents.data.size() % 2 != 0)
        out.u8(0);
}

void list(Bytes& out, const char (&type)[5], const Bytes& chunks) {
    Bytes body;
    body.tag(type);
    body.append(chunks);
    chunk(out, "LIST", body);
}

// A zero-terminated string of even size for INFO.
Bytes infoText(const std::string& text) {
    Bytes bytes;
    for (char c : text)
        bytes.u8(static_cast<std::uint8_t>(c));
    bytes.u8(0);
    if (bytes.data.size() % 2 != 0)
        bytes.u8(0);
    return bytes;
}

struct Generators {
    Bytes bytes;
    std::uint16_t count = 0;
    void add(std::uint16_t op, std::uint16_t amount) {
        bytes.u16(op);
        bytes.u16(amount);
        ++count;
    }
    void range(std::uint16_t op, int low, int high) {
        bytes.u16(op);
        bytes.u8(static_cast<std::uint8_t>(low));
        bytes.u8(static_cast<std::uint8_t>(high));
        ++count;
    }
};

void writeAtomically(const fs::path& target, const std::vector<std::uint8_t>& bytes) {
    const std::string_view contents(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (const int error = base::replaceFileContents(target, contents); error != 0)
        throw ExportError(
            pellamy::fileFailureText("Can't write", target.string(), pellamy::systemReason(error)));
}

std::string stemWithoutBlanks(const fs::path& path) {
    std::string stem = path.stem().string();
    std::replace_if(
        stem.begin(), stem.end(), [](unsigned char c) { return std::isspace(c) != 0; }, '_');
    return stem;
}

} // namespace

std::vector<std::uint8_t> buildSoundFont(const pellamy::InstrumentModel& instrument,
                                         const std::vector<RootKey>& roots, const std::string& name,
                                         double releaseMs) {
    // Timecents: 1200·log2(seconds); the format's floor, -12000, is 1 ms.
    const auto releaseTimecents = static_cast<std::int16_t>(
        std::lround(std::clamp(1200.0 * std::log2(std::max(releaseMs, 1e-3) / 1000.0), -12000.0, 8000.0)));
    Bytes samplePoints;
    Bytes sampleHeaders;
    Generators instrumentGenerators;
    Bytes instrumentBags;
    std::uint16_t sampleCount = 0;
    std::uint16_t zoneCount = 0;

    for (const RootKey& root : roots) {
        const pellamy::Sound* sound = instrument.soundFor(root.alias);
        if (sound == nullptr || !sound->isValid())
            continue;
        const int channels = std::min<int>(2, std::max<int>(1, sound->channels()));
        const auto fineTune = static_cast<std::int16_t>(-std::lround(root.centsSharp));
        for (int channel = 0; channel < channels; ++channel) {
            const std::vector<std::int16_t> values = channelValues(*sound, channel);
            const auto start = static_cast<std::uint32_t>(samplePoints.data.size() / 2);
            for (std::int16_t v : values)
                samplePoints.i16(v);
            for (std::uint32_t i = 0; i < kSampleGuardPoints; ++i)
                samplePoints.i16(0);
            const auto end = static_cast<std::uint32_t>(start + values.size());

            const std::string suffix = channels == 1 ? "" : channel == 0 ? "L" : "R";
            sampleHeaders.name(root.alias.substr(0, 19 - suffix.size()) + suffix, 20);
            sampleHeaders.u32(start);
            sampleHeaders.u32(end);
            sampleHeaders.u32(start); // no loop: the loop points only need to lie inside
            sampleHeaders.u32(end);
            sampleHeaders.u32(sound->sampleRate());
            sampleHeaders.u8(static_cast<std::uint8_t>(root.key));
            sampleHeaders.u8(0);
            const std::uint16_t partner =
                channels == 1 ? 0
                              : static_cast<std::uint16_t>(channel == 0 ? sampleCount + 1 : sampleCount - 1);
            sampleHeaders.u16(partner);
            sampleHeaders.u16(channels == 1 ? kMonoSample : channel == 0 ? kLeftSample : kRightSample);

            instrumentBags.u16(instrumentGenerators.count);
            instrumentBags.u16(0);
            instrumentGenerators.range(kKeyRange, root.lowKey, root.highKey);
            if (channels == 2)
                instrumentGenerators.add(kPan, static_cast<std::uint16_t>(channel == 0 ? -500 : 500));
            instrumentGenerators.add(kFineTune, static_cast<std::uint16_t>(fineTune));
            instrumentGenerators.add(kReleaseVolEnv, static_cast<std::uint16_t>(releaseTimecents));
            instrumentGenerators.add(kSampleModes, 0);
            instrumentGenerators.add(kOverridingRootKey, static_cast<std::uint16_t>(root.key));
            instrumentGenerators.add(kSampleId, sampleCount);
            ++sampleCount;
            ++zoneCount;
        }
    }
    if (sampleCount == 0)
        throw ExportError("Nothing to export: the instrument has no sound");

    Bytes info;
    {
        Bytes version;
        version.u16(2);
        version.u16(1);
        chunk(info, "ifil", version);
        chunk(info, "isng", infoText("EMU8000"));
        chunk(info, "INAM", infoText(name.substr(0, 255)));
        chunk(info, "ISFT", infoText("Kivora"));
    }
    Bytes sampleData;
    chunk(sampleData, "smpl", samplePoints);

    Bytes presetHeaders;
    presetHeaders.name(name.substr(0, 19), 20);
    presetHeaders.u16(0); // program
    presetHeaders.u16(0); // bank
    presetHeaders.u16(0); // first bag
    presetHeaders.u32(0);
    presetHeaders.u32(0);
    presetHeaders.u32(0);
    presetHeaders.name("EOP", 20);
    presetHeaders.u16(0);
    presetHeaders.u16(0);
    presetHeaders.u16(1);
    presetHeaders.u32(0);
    presetHeaders.u32(0);
    presetHeaders.u32(0);

    Bytes presetBags;
    presetBags.u16(0);
    presetBags.u16(0);
    presetBags.u16(1);
    presetBags.u16(0);
    Bytes modulatorTerminal;
    for (int i = 0; i < 5; ++i)
        modulatorTerminal.u16(0);
    Generators presetGenerators;
    presetGenerators.add(kInstrument, 0);
    presetGenerators.add(0, 0);

    Bytes instruments;
    instruments.name(name.substr(0, 19), 20);
    instruments.u16(0);
    instruments.name("EOI", 20);
    instruments.u16(zoneCount);
    instrumentBags.u16(instrumentGenerators.count);
    instrumentBags.u16(0);
    instrumentGenerators.add(0, 0);

    sampleHeaders.name("EOS", 20);
    for (int i = 0; i < 6; ++i)
        sampleHeaders.u32(0);
    sampleHeaders.u16(0);

    Bytes presets;
    chunk(presets, "phdr", presetHeaders);
    chunk(presets, "pbag", presetBags);
    chunk(presets, "pmod", modulatorTerminal);
    chunk(presets, "pgen", presetGenerators.bytes);
    chunk(presets, "inst", instruments);
    chunk(presets, "ibag", instrumentBags);
    chunk(presets, "imod", modulatorTerminal);
    chunk(presets, "igen", instrumentGenerators.bytes);
    chunk(presets, "shdr", sampleHeaders);

    Bytes body;
    body.tag("sfbk");
    list(body, "INFO", info);
    list(body, "sdta", sampleData);
    list(body, "pdta", presets);
    Bytes file;
    chunk(file, "RIFF", body);
    return std::move(file.data);
}

std::string sampleFileName(const std::string& alias) {
    std::string name = alias;
    for (char& c : name)
        if (c == '/' || c == '\\' || c == '=' || c == '<' || c == '>' ||
            static_cast<unsigned char>(c) <= ' ' || c == ':' || c == '*' || c == '?' || c == '"' || c == '|')
            c = '_';
    if (name.empty() || name == "." || name == "..")
        name = "_" + name;
    return name + ".wav";
}

std::string buildSfz(const std::vector<RootKey>& roots, const std::string& sampleFolder,
                     const std::vector<std::string>& sampleFiles, const std::string& name, double releaseMs) {
    std::string text = "// " + name + ", exported by Kivora\n";
    char release[32]; // seconds, whatever the locale
    const auto written = std::to_chars(release, release + sizeof release, std::max(0.0, releaseMs) / 1000.0);
    const std::string releaseSeconds(release, written.ptr);
    for (std::size_t i = 0; i < roots.size() && i < sampleFiles.size(); ++i) {
        const RootKey& root = roots[i];
        const long tune = -std::lround(root.centsSharp);
        text += "<region> sample=" + sampleFolder + "/" + sampleFiles[i] +
                " lokey=" + std::to_string(root.lowKey) + " hikey=" + std::to_string(root.highKey) +
                " pitch_keycenter=" + std::to_string(root.key) + " tune=" + std::to_string(tune) +
                " ampeg_release=" + releaseSeconds + "\n";
    }
    return text;
}

void checkExportTarget(const std::string& outputPath) {
    const fs::path target(outputPath);
    std::string extension = target.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (extension != ".sf2" && extension != ".sfz")
        throw ExportError("Can't export to " + outputPath + ": the name must end in .sf2 or .sfz");
    const fs::path parent = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::error_code error;
    if (!fs::is_directory(parent, error))
        throw ExportError("Can't export to " + outputPath + ": no folder " + parent.string());
    if (fs::is_directory(target, error))
        throw ExportError("Can't export to " + outputPath + ": a folder has that name");
    // A file made and removed beside the target: the folder takes new files.
    const fs::path probe = parent / (".kivora-" + std::to_string(::getpid()) + ".probe");
    const bool writable = std::ofstream(probe, std::ios::binary | std::ios::trunc).good();
    fs::remove(probe, error);
    if (!writable)
        throw ExportError("Can't export to " + outputPath + ": the folder " + parent.string() +
                          " takes no new files");
}

void exportInstrument(const pellamy::InstrumentModel& instrument, const std::vector<RootKey>& roots,
                      const std::string& outputPath, double releaseMs) {
    checkExportTarget(outputPath);
    const fs::path target(outputPath);
    std::string extension = target.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    const std::string name = target.stem().string();
    if (extension == ".sf2") {
        writeAtomically(target, buildSoundFont(instrument, roots, name, releaseMs));
        return;
    }
    if (extension != ".sfz")
        throw ExportError("Can't export to " + outputPath + ": the name must end in .sf2 or .sfz");

    // The folder of WAV files and the SFZ text that names them are replaced
    // together, all or nothing: the folder is made whole under a temporary
    // name and swapped in first, the text renamed into place last.
    const std::string folderName = stemWithoutBlanks(target);
    const fs::path parent = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    const fs::path folder = parent / folderName;
    base::ReplacingFileSet replacement;
    base::ReplacingFolder& samples = replacement.addFolder(folder);
    if (!samples.create())
        throw ExportError(pellamy::fileFailureText("Can't create directory:Path not found", folder.string(),
                                                   pellamy::systemReason(errno != 0 ? errno : EIO)));

    std::vector<std::string> files;
    for (const RootKey& root : roots) {
        const pellamy::Sound* sound = instrument.soundFor(root.alias);
        std::string file = sampleFileName(root.alias);
        while (std::find(files.begin(), files.end(), file) != files.end())
            file.insert(file.size() - 4, "_");
        files.push_back(file);
        if (sound == nullptr || !sound->isValid())
            continue;
        std::vector<std::int16_t> values(sound->count());
        const std::uint32_t delivered = sound->peek(values.data(), sound->count(), 0);
        pellamy::WAVEFORMATEX format = sound->waveFormat();
        format.wBitsPerSample = 16;
        format.nBlockAlign = static_cast<std::uint16_t>(2 * format.nChannels);
        format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
        const std::span bytes(reinterpret_cast<const std::uint8_t*>(values.data()),
                              std::size_t{delivered} * 2);
        if (const int failure =
                pellamy::writeWavFile((samples.temporaryPath() / file).string(), format, bytes);
            failure != 0)
            throw ExportError(pellamy::fileFailureText("Can't write sound file", (folder / file).string(),
                                                       pellamy::systemReason(failure)));
    }
    const std::string text = buildSfz(roots, folderName, files, name, releaseMs);
    const auto textFailure = [&](int error) {
        return ExportError(
            pellamy::fileFailureText("Can't write", target.string(), pellamy::systemReason(error)));
    };
    if (const int error = base::writeFinished(replacement.addLast(target), text); error != 0)
        throw textFailure(error);
    errno = 0;
    if (!replacement.commit()) {
        const int error = errno != 0 ? errno : EIO;
        if (replacement.failedTarget() == folder)
            throw ExportError(
                pellamy::fileFailureText("Can't replace", folder.string(), pellamy::systemReason(error)));
        throw textFailure(error);
    }
}

} // namespace kivora::exchange
