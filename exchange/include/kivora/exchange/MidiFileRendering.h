// A Standard MIDI File played through an instrument, as every part of Kivora
// that takes MIDI files plays it: the file read, the root keys laid as the
// export lays them and the song rendered (SongRenderer.h), with what was
// left out put in words for the user.
//
// Threads: any thread, as long as the instrument is not changed meanwhile.
#pragma once

#include <kivora/exchange/Export.h>
#include <kivora/exchange/SongRenderer.h>

#include <string>
#include <string_view>
#include <vector>

namespace kivora::exchange {

// The endings of the files read as MIDI files, in lower case with their dot.
KIVORA_EXCHANGE_API const std::vector<std::string>& midiFileExtensions();

// Whether the path ends in one of midiFileExtensions(), in any letter case.
KIVORA_EXCHANGE_API bool isMidiFilePath(std::string_view path);

struct MidiFileRendering {
    SongRendering rendering;
    // "2 percussion notes (channel 10) skipped", or "" when none was.
    std::string skippedPercussion;
    // describeUncoveredKeys of the rendering: "" when every note had a key.
    std::string uncoveredKeys;
};

// Reads the file (MidiFileError when it is no readable MIDI file) and
// renders it; SongRenderError "No instrument to render with" for an
// instrument without sounds, and as renderSong throws. A song none of whose
// notes falls on a key is returned with notesPlayed 0: the caller says so.
KIVORA_EXCHANGE_API MidiFileRendering renderMidiFile(const std::string& midiPath,
                                                     const pellamy::InstrumentModel& instrument,
                                                     const SongRenderOptions& options);

// "1 percussion note (channel 10) skipped", "N percussion notes …", or "" for 0.
KIVORA_EXCHANGE_API std::string describeSkippedPercussion(int percussionNotes);

} // namespace kivora::exchange
