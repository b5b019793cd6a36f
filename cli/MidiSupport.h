// MIDI files as melody scripts, for the convert and render commands.
#pragma once

#include <kivora/exchange/MidiFileRendering.h>
#include <kivora/exchange/MidiMelody.h>
#include <pellamy/InstrumentModel.h>

#include <map>
#include <optional>
#include <string>

namespace kivora::cli {

// --channel N (1-16) as the converter's channel (0-15), or -1 for every channel but 10.
int midiChannelOption(const std::optional<std::string>& value);

// --release MS (0-10000), the release after a note-off; the default without it.
double releaseOption(const std::optional<std::string>& value);

// Reads the MIDI file; CommandFailure when it is missing or unreadable.
exchange::MidiSong readMidiSong(const std::string& midiPath);

// On stderr: the percussion notes skipped and the notes on uncovered keys.
void reportSkippedNotes(int percussionNotes, const std::map<int, int>& uncoveredKeys);
void reportSkippedNotes(const exchange::MidiFileRendering& rendering);

// Writes text to path under a temporary name and renames it into place.
void writeTextFile(const std::string& path, const std::string& text);

} // namespace kivora::cli
