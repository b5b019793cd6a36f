// Standard MIDI Files (formats 0 and 1) read into timed notes.
//
// Threads: pure functions of their input; any thread.
#pragma once

#include <kivora/exchange/Export.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivora::exchange {

// The channel General MIDI gives to percussion (channel 10 in the user's count).
inline constexpr int kPercussionChannel = 9;

// A file that is not a readable Standard MIDI File; the text says where.
class MidiFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct MidiNote {
    double startSeconds = 0.0;
    double durationSeconds = 0.0;
    int key = 60;      // 0..127, 60 is middle C
    int velocity = 64; // 1..127
    int channel = 0;   // 0..15 (channel 10 of the user's count is 9)
};

struct MidiSong {
    int format = 0;
    int trackCount = 0;
    // Every note of every track, by start time (then key), with the tempo
    // changes of all tracks applied. A note still sounding at the end of its
    // track ends with the last event of the file.
    std::vector<MidiNote> notes;
};

// Parses the file's bytes: the header, every track (running status, meta and
// system-exclusive events, unknown chunks skipped), tempo changes and both
// kinds of time division. Throws MidiFileError for a format-2 file or bytes
// that are not a Standard MIDI File. Allocates the note list.
KIVORA_EXCHANGE_API MidiSong parseMidi(std::span<const std::uint8_t> bytes);

// Reads and parses a file; MidiFileError also when it cannot be read.
KIVORA_EXCHANGE_API MidiSong readMidiFile(const std::string& path);

} // namespace kivora::exchange
