// A melody script read as key events for the voices, as the renderer reads
// it: its aliases are the generator's note names (1C is MIDI key 48).
#pragma once

#include <kivora/voices/Export.h>
#include <kivora/voices/VoiceBank.h>
#include <kivora/voices/VoiceModel.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivora::voices {

// What a song turns into: timed key events and the length to render.
struct Song {
    std::vector<KeyEvent> events; // by frame; equal frames in the order written
    std::uint64_t lengthInFrames = 0;
};

// Reads the melody script at `path` through the engine's one reader
// (pellamy/MelodyScript.h): "a -1" holds a note for the model's note length,
// "a SECONDS" for that long, "r PORTION" for that part of the note length;
// "!wait SECONDS" advances; !clear releases every note; a definition block is
// skipped. Sound still pending after the last wait is not part of the song.
// Throws std::runtime_error with the renderer's messages ("Can't open snc
// file!", "Incorrect syntax at line:N, ...", "Sorry, unknown alias A", ...).
// Any thread.
KIVORA_VOICES_API Song readScriptSong(const std::string& path, const VoiceModel& model);

} // namespace kivora::voices
