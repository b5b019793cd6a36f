// The PCM format record shared with callers: the shared base's record under
// the engine's name.
#pragma once

#include <kivora/base/WaveFormat.h>

namespace pellamy {

using kivora::base::kWaveFormatExtensible;
using kivora::base::kWaveFormatIeeeFloat;
using kivora::base::kWaveFormatPcm;
using kivora::base::WAVEFORMATEX;

} // namespace pellamy
