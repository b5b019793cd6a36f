#include "CommandLine.h"
#include "MidiSupport.h"

#include <kivora/base/ReplacingFile.h>
#include <kivora/exchange/InstrumentExport.h>
#include <kivora/exchange/RootKeys.h>
#include <kivora/exchange/SongRenderer.h>
#include <pellamy/ErrorText.h>
#include <pellamy/InstrumentModel.h>

#include <cstdio>
#include <filesystem>

namespace kivora::cli {

namespace fs = std::filesystem;

namespace {

std::error_code& ignored(const std::string&) {
    static thread_local std::error_code error;
    return error;
}

} // namespace

int runExport(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const std::optional<std::string> output = line.takeOption("output", "o");
    const double releaseMs = releaseOption(line.takeOption("release"));
    const std::string instrumentPath = line.takePositionals(1, 1).front();
    if (!output)
        throw UsageError("missing -o OUT.sf2 or -o OUT.sfz");

    try {
        exchange::checkExportTarget(*output);
    } catch (const exchange::ExportError& failure) {
        throw CommandFailure(failure.what());
    }
    pellamy::InstrumentModel instrument;
    instrument.loadFromFile(instrumentPath);
    const std::vector<exchange::RootKey> roots = exchange::assignRootKeys(instrument);
    try {
        exchange::exportInstrument(instrument, roots, *output, releaseMs);
    } catch (const exchange::ExportError& failure) {
        throw CommandFailure(failure.what());
    }
    for (const exchange::RootKey& root : roots) {
        std::printf("%s: key %d (%d-%d)", root.alias.c_str(), root.key, root.lowKey, root.highKey);
        if (!root.pitched)
            std::printf(", no usable pitch: plays unchanged");
        else if (root.key < root.lowKey || root.key > root.highKey)
            std::printf(", transposed from key %d (another sound holds it)", root.key);
        else if (root.centsSharp != 0.0)
            std::printf(", %+.1f cents corrected", -root.centsSharp);
        std::printf("\n");
    }
    std::printf("Exported %zu sound%s: %s\n", roots.size(), roots.size() == 1 ? "" : "s", output->c_str());
    return 0;
}

int runConvert(std::vector<std::string> arguments) {
    CommandLine line(std::move(arguments));
    const std::optional<std::string> instrumentPath = line.takeOption("instrument", "i");
    const std::optional<std::string> output = line.takeOption("output", "o");
    const int channel = midiChannelOption(line.takeOption("channel"));
    const std::string midiPath = line.takePositionals(1, 1).front();
    if (!instrumentPath)
        throw UsageError("missing -i INSTRUMENT.ins");
    if (!output)
        throw UsageError("missing -o SONG.snc");

    pellamy::InstrumentModel instrument;
    instrument.loadFromFile(*instrumentPath);
    const exchange::MidiSong song = readMidiSong(midiPath);
    if (instrument.soundCount() == 0)
        throw CommandFailure("No instrument to render with");
    // A script has no transposition: each key it plays gets its own sound,
    // transposed here, in SONG.ins beside the script.
    const exchange::TransposedInstrument transposed =
        exchange::transposeForSong(song, instrument, exchange::assignRootKeys(instrument), channel);
    const exchange::MidiConversion conversion =
        exchange::convertMidi(song, transposed.roots, exchange::renderingSampleRate(transposed.instrument),
                              channel, std::filesystem::path(midiPath).filename().string());
    int percussion = 0;
    for (const exchange::MidiNote& note : song.notes)
        percussion += channel < 0 && note.channel == exchange::kPercussionChannel;
    reportSkippedNotes(percussion, transposed.uncoveredKeys);
    if (conversion.notesPlayed == 0)
        throw CommandFailure("No note of " + midiPath + " falls on a key of the instrument");
    const std::string insPath = std::filesystem::path(*output).replace_extension(".ins").string();
    if (std::filesystem::equivalent(insPath, *instrumentPath, ignored(insPath)))
        throw CommandFailure("Can't write " + insPath + ": it is the instrument read");
    // The pair all or nothing: the script is written under a temporary name
    // and put in place together with the instrument's files, before them, so
    // a failure anywhere leaves both previous files.
    base::ReplacingFileSet pair;
    base::ReplacingFile& script = pair.add(*output);
    const fs::path& scriptTarget = script.targetPath();
    base::removeStaleTemporaries(scriptTarget.has_parent_path() ? scriptTarget.parent_path() : fs::path("."));
    if (const int error = base::writeFinished(script, conversion.script); error != 0)
        throw CommandFailure(pellamy::fileFailureText("Can't write", *output, pellamy::systemReason(error)));
    transposed.instrument.saveToFile(insPath, false, {}, pair);
    std::printf("%s: %d notes\n%s: %zu sounds\n", output->c_str(), conversion.notesPlayed, insPath.c_str(),
                transposed.roots.size());
    return 0;
}

} // namespace kivora::cli
