// One generated sound stream handed to the engine. The caller owns the record,
// the name and the samples; the engine copies what it keeps.
#pragma once

#include <pellamy/WaveFormat.h>

#include <cstdint>
#include <string>

namespace pellamy {

struct SoundStreamDescription {
    std::string name;    // the sound's alias, unique within the array
    WAVEFORMATEX format; // of which channels, rate and bits are used
    std::uint32_t dataBytes = 0;
    const std::int16_t* data = nullptr; // dataBytes / 2 values, channels interleaved
};

} // namespace pellamy
