#pragma once

#include "octree/sourcepoints.h"

#include <string>
#include <string_view>

namespace Ply {

// Reads the vertex element of a PLY file in "binary_little_endian" or "ascii" format:
// x, y, z, and red, green, blue, intensity and classification when present; other
// properties are skipped. Throws std::runtime_error naming `fileName`.
Octree::SourcePoints readPoints(std::string_view bytes, std::string const& fileName);

} // namespace Ply
