// How a melody rendering turns its 32-bit sums into 16-bit output.
#pragma once

namespace pellamy {

enum MixMode : int {
    MixNone = 0,      // the sums' low 16 bits, unchanged
    MixClip = 1,      // clamped to -32768..32767
    MixNormalize = 2, // a block scaled down when its peak exceeds 28000
};

} // namespace pellamy
