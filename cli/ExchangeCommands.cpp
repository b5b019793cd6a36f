#include "CommandLine.h"
#include "MidiSupport.h"

#include <kivora/exchange/InstrumentExport.h>
#include <kivora/exchange/RootKeys.h>
#include <kivora/exchange/SongRenderer.h>
#include <pellamy/ErrorText.h>
#include <pellamy/InstrumentModel.h>
#include <pellamy/TemporaryFile.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

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
    // The pair all or nothing: the script goes in place first, the previous
    // one kept aside, so that an instrument that cannot be saved (itself all
    // or nothing) puts it back, and a script that cannot be put in place
    // leaves both previous files.
    const fs::path scriptPath(*output);
    const fs::path folder = scriptPath.parent_path().empty() ? fs::path(".") : scriptPath.parent_path();
    pellamy::TemporaryFile newScript(folder);
    pellamy::TemporaryFile previousScript(folder);
    if (!newScript.create() || !previousScript.create())
        throw CommandFailure(pellamy::fileFailureText("Can't write", *output, pellamy::systemReason(errno)));
    {
        errno = 0;
        std::ofstream out(newScript.path(), std::ios::binary | std::ios::trunc);
        out << conversion.script;
        out.flush();
        if (!out)
            throw CommandFailure(pellamy::fileFailureText("Can't write", *output,
                                                          pellamy::systemReason(errno != 0 ? errno : EIO)));
    }
    std::error_code error;
    const bool hadScript = fs::is_regular_file(scriptPath, error);
    error.clear(); // set when there is no previous script
    if (hadScript)
        fs::rename(scriptPath, previousScript.path(), error);
    if (!error)
        fs::rename(newScript.path(), scriptPath, error);
    auto restoreScript = [&] {
        std::error_code ignoredError;
        if (hadScript)
            fs::rename(previousScript.path(), scriptPath, ignoredError);
        else
            fs::remove(scriptPath, ignoredError);
    };
    if (error) {
        const std::string reason = error.message();
        if (hadScript && !fs::exists(scriptPath, error))
            restoreScript();
        throw CommandFailure(pellamy::fileFailureText("Can't write", *output, reason));
    }
    try {
        transposed.instrument.saveToFile(insPath, false);
    } catch (...) {
        restoreScript();
        throw;
    }
    std::printf("%s: %d notes\n%s: %zu sounds\n", output->c_str(), conversion.notesPlayed, insPath.c_str(),
                transposed.roots.size());
    return 0;
}

} // namespace kivora::cli
