#include "MidiSupport.h"

#include "CommandLine.h"

#include <kivora/base/ReplacingFile.h>
#include <kivora/exchange/SongRenderer.h>
#include <pellamy/ErrorText.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace kivora::cli {

namespace fs = std::filesystem;

int midiChannelOption(const std::optional<std::string>& value) {
    if (!value)
        return -1;
    const int channel = parseInt(*value, "--channel");
    if (channel < 1 || channel > 16)
        throw UsageError("--channel must be between 1 and 16");
    return channel - 1;
}

double releaseOption(const std::optional<std::string>& value) {
    if (!value)
        return exchange::kDefaultReleaseMs;
    const int releaseMs = parseInt(*value, "--release");
    if (releaseMs < 0 || releaseMs > 10000)
        throw UsageError("--release must be between 0 and 10000 ms");
    return releaseMs;
}

exchange::MidiSong readMidiSong(const std::string& midiPath) {
    try {
        return exchange::readMidiFile(midiPath);
    } catch (const exchange::MidiFileError& failure) {
        throw CommandFailure(failure.what());
    }
}

void reportSkippedNotes(int percussionNotes, const std::map<int, int>& uncoveredKeys) {
    exchange::MidiFileRendering notes;
    notes.skippedPercussion = exchange::describeSkippedPercussion(percussionNotes);
    notes.uncoveredKeys = exchange::describeUncoveredKeys(uncoveredKeys);
    reportSkippedNotes(notes);
}

void reportSkippedNotes(const exchange::MidiFileRendering& rendering) {
    if (!rendering.skippedPercussion.empty())
        std::fprintf(stderr, "%s\n", rendering.skippedPercussion.c_str());
    if (!rendering.uncoveredKeys.empty())
        std::fprintf(stderr, "warning: %s\n", rendering.uncoveredKeys.c_str());
}

void writeTextFile(const std::string& path, const std::string& text) {
    if (const int error = base::replaceFileContents(path, text); error != 0)
        throw CommandFailure(pellamy::fileFailureText("Can't write", path, pellamy::systemReason(error)));
}

} // namespace kivora::cli
