// Ready-made models: the built-in default and the parametric shapes that
// benchmarks and tests use. Each function may run on any thread and allocates
// the new model (its nodes, elements and links).
#pragma once

#include <modelkit/Export.h>
#include <modelkit/Representation.h>

namespace InstrumentKit {

// A plucked string of `masses` free nodes (at least 1) between two fixed ends,
// displaced in a triangle peaking a third of the way along and heard near one
// end. Its fundamental is 110 Hz before tuning whatever the count.
MODELKIT_API Representation makeString(int masses);

// A rows x cols grid (each at least 3) whose rim nodes are fixed; every inner
// node hangs on springs to its four neighbours. Struck off centre with an
// initial velocity and heard at another off-centre node; the lowest mode is
// near 110 Hz before tuning. makeMembrane(32, 32) has 1024 nodes.
MODELKIT_API Representation makeMembrane(int rows, int cols);

// A bar of `masses` free nodes (at least 3): neighbours joined by stiffness
// 4c and next neighbours by -c, the discrete bending stencil. Struck at one
// end, heard at the other.
MODELKIT_API Representation makeFreeBar(int masses);

// Two plucked strings of `massesEach` free nodes (at least 1), one element
// each, joined at their middles by a weak spring; the first string is
// plucked, the second is heard.
MODELKIT_API Representation makeCoupledStrings(int massesEach);

// The model used when the user supplies none: a plucked string of 16 masses.
MODELKIT_API Representation defaultModel();

} // namespace InstrumentKit
