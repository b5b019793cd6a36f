// The names generated notes carry, and the MIDI keys they stand for: one
// rule for every library, 1C is MIDI key 48 (C3, the generator's first note),
// 1C# is 49, 2C is 60; keys below 48 count down through 0B, 0A#, ... -1C.
#pragma once

#include <kivora/base/Export.h>

#include <string>
#include <string_view>

namespace kivora::base {

// The MIDI key of 1C.
inline constexpr int kFirstNoteKey = 48;
inline constexpr int kMidiKeyCount = 128;

// The name of MIDI key `key` ("1C", "2F#", "0B"). Any thread.
KIVORA_BASE_API std::string noteNameOfKey(int key);
// The MIDI key (0-127) a note name stands for, or -1 for a text that is no
// note name: an octave of at most three digits, optionally negative, then
// one of C C# D D# E F F# G G# A A# B. Any thread.
KIVORA_BASE_API int keyOfNoteName(std::string_view name);

} // namespace kivora::base
