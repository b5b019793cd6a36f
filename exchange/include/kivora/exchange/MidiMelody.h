// A MIDI song turned into a melody script of an instrument: every note a
// play line of the sound on its key ("ALIAS a DURATION", the note's length in
// whole milliseconds, as play lines sound), the gaps between note starts as
// waits exact to the output's sample frame.
//
// Threads: pure function; any thread.
#pragma once

#include <kivora/exchange/Export.h>
#include <kivora/exchange/MidiFile.h>
#include <kivora/exchange/RootKeys.h>

#include <map>
#include <string>
#include <vector>

namespace kivora::exchange {

struct MidiConversion {
    std::string script;
    int notesPlayed = 0;
    // Notes left out because no sound has its root on their key: key → count.
    std::map<int, int> uncoveredKeys;
    int notesOfOtherChannels = 0;
};

// channel: 0..15 to take that channel alone; -1 for every channel but the
// percussion channel (10 in the user's count). sampleRate: the rendering's
// rate (the instrument's first sound), which the waits are exact for.
KIVORA_EXCHANGE_API MidiConversion convertMidi(const MidiSong& song, const std::vector<RootKey>& roots,
                                               unsigned sampleRate, int channel,
                                               const std::string& sourceName);

// The rate a rendering through the instrument is written at, which
// convertMidi's sampleRate asks for: its first sound's (44100 without one).
KIVORA_EXCHANGE_API unsigned renderingSampleRate(const pellamy::InstrumentModel& instrument);

// "3 notes on keys the instrument does not cover: 21 (2), 108 (1)", or "".
KIVORA_EXCHANGE_API std::string describeUncovered(const MidiConversion& conversion);

// Seconds written so that a renderer taking trunc(rate × seconds) gets
// exactly `frames` frames, in the shortest form that does (no locale).
KIVORA_EXCHANGE_API std::string secondsForFrames(std::uint64_t frames, unsigned sampleRate);

} // namespace kivora::exchange
