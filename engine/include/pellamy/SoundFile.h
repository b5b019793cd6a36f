// One WAV file read as a sound, as the instrument reader reads each of its sounds.
#pragma once

#include <pellamy/Export.h>
#include <pellamy/Sound.h>

#include <optional>
#include <string>

namespace pellamy {

// The file's values as 16-bit PCM with its rate and channel count (gain 1):
// 8-bit unsigned, 16/24/32-bit integer and 32/64-bit float data, plain or
// WAVE_FORMAT_EXTENSIBLE, chunks in any order. Empty when the file cannot be
// opened, holds no data, or holds a format not listed (compressed data).
//
// Thread: any.
PELLAMY_API std::optional<Sound> readSoundFile(const std::string& path);

} // namespace pellamy
