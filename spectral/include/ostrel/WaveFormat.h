// The PCM format record of the spectral library: the field layout and widths
// of the classic WAVEFORMATEX structure. The library keeps its own copy of the
// record; it shares no code with the engine.
#pragma once

#include <cstdint>

namespace ostrel {

struct WAVEFORMATEX {
    std::uint16_t wFormatTag = 0;
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;
    std::uint16_t wBitsPerSample = 0;
    std::uint16_t cbSize = 0;
};

inline constexpr std::uint16_t kWaveFormatPcm = 1;

} // namespace ostrel
