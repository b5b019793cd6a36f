// The PCM format record of the spectral library: the shared base's record,
// the same type the engine passes.
#pragma once

#include <kivora/base/WaveFormat.h>

namespace ostrel {

using kivora::base::kWaveFormatPcm;
using kivora::base::WAVEFORMATEX;

} // namespace ostrel
