#pragma once

#include "octree/sourcepoints.h"

#include <cstddef>

namespace Tools {

// A procedural scene that looks like a terrestrial laser scan of a small town
// block: rolling ground, a road with markings, buildings with pitched roofs, trees
// and shrubs. Points carry RGB, an intensity that depends on the material and the
// range to the scanners, classification codes in the usual LAS meaning (ground 2,
// low vegetation 3, high vegetation 5, building 6, road 11) and the index of the
// scan position that saw them. The same count always gives the same points.
Octree::SourcePoints makeSampleScene(std::size_t pointCount);

} // namespace Tools
