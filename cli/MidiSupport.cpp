#include "MidiSupport.h"

#include "CommandLine.h"

#include <kivora/exchange/RootKeys.h>
#include <kivora/exchange/SongRenderer.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace kivora::cli {

namespace fs = std::filesystem;

bool isMidiPath(const std::string& path) {
    std::string extension = fs::path(path).extension().string();
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".mid" || extension == ".midi" || extension == ".smf";
}

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
    std::error_code error;
    if (!fs::is_regular_file(midiPath, error))
        throw CommandFailure("Can't open MIDI file " + midiPath);
    try {
        return exchange::readMidiFile(midiPath);
    } catch (const exchange::MidiFileError& failure) {
        throw CommandFailure(failure.what());
    }
}

void reportSkippedNotes(int percussionNotes, const std::map<int, int>& uncoveredKeys) {
    if (percussionNotes > 0)
        std::fprintf(stderr, "%d percussion note%s (channel 10) skipped\n", percussionNotes,
                     percussionNotes == 1 ? "" : "s");
    if (const std::string uncovered = exchange::describeUncoveredKeys(uncoveredKeys); !uncovered.empty())
        std::fprintf(stderr, "warning: %s\n", uncovered.c_str());
}

exchange::MidiConversion convertMidiFile(const std::string& midiPath,
                                         const pellamy::InstrumentModel& instrument, int channel) {
    std::error_code error;
    if (!fs::is_regular_file(midiPath, error))
        throw CommandFailure("Can't open MIDI file " + midiPath);
    exchange::MidiSong song;
    try {
        song = exchange::readMidiFile(midiPath);
    } catch (const exchange::MidiFileError& failure) {
        throw CommandFailure(failure.what());
    }
    if (instrument.soundCount() == 0)
        throw CommandFailure("No instrument to render with");
    const exchange::MidiConversion conversion = exchange::convertMidi(
        song, exchange::assignRootKeys(instrument), exchange::renderingSampleRate(instrument), channel,
        fs::path(midiPath).filename().string());
    if (const std::string uncovered = exchange::describeUncovered(conversion); !uncovered.empty())
        std::fprintf(stderr, "warning: %s\n", uncovered.c_str());
    if (conversion.notesPlayed == 0)
        throw CommandFailure("No note of " + midiPath + " falls on a key of the instrument");
    return conversion;
}

void writeTextFile(const std::string& path, const std::string& text) {
    const fs::path target(path);
    const fs::path temporary = target.parent_path() / ("." + target.filename().string() + ".kivora-" +
                                                       std::to_string(::getpid()) + ".tmp");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            fs::remove(temporary);
            throw CommandFailure("Can't write " + path);
        }
    }
    std::error_code error;
    fs::rename(temporary, target, error);
    if (error) {
        fs::remove(temporary, error);
        throw CommandFailure("Can't write " + path);
    }
}

} // namespace kivora::cli
