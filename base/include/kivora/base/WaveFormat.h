// The PCM format record every library passes along with sample data: the
// field layout and widths of the classic WAVEFORMATEX structure (no packing
// is assumed; files are written field by field).
#pragma once

#include <cstdint>

namespace kivora::base {

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
inline constexpr std::uint16_t kWaveFormatIeeeFloat = 3;
inline constexpr std::uint16_t kWaveFormatExtensible = 0xFFFE;

} // namespace kivora::base
