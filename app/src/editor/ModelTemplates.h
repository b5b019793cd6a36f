// Templates the editor offers beside modelkit's string and membrane.
#pragma once

#include <modelkit/Representation.h>

namespace kivora {

// A bar of `masses` nodes (at least 3), free at both ends: neighbours joined
// by stiffness 4c and next neighbours by −c, the discrete bending stencil.
// Struck at one end, heard at the other.
InstrumentKit::Representation makeFreeBar(int masses);

// Two plucked strings of `massesEach` free nodes, one element each, joined
// at their middles by a weak spring; the first string is plucked, the second
// is heard.
InstrumentKit::Representation makeCoupledStrings(int massesEach);

} // namespace kivora
