#pragma once

#include "octree/sourcepoints.h"

#include <string>
#include <string_view>

namespace Las {

// Reads the points of an uncompressed LAS 1.0–1.4 file (point formats 0–10): positions,
// intensity, classification, point source id as scan index, and colors where the format
// has them. Throws std::runtime_error naming `fileName` for compressed or malformed files.
Octree::SourcePoints readPoints(std::string_view bytes, std::string const& fileName);

} // namespace Las
