#pragma once

#include "octree/sourcepoints.h"

#include <string>
#include <string_view>

namespace Octree {

// Text point files: one point a line, "x y z" optionally followed by "red green blue"
// (0–255) and an alpha that is ignored, separated by spaces or tabs. A first line that
// does not start with a number is a header. Throws std::runtime_error naming `fileName`
// and the line of the first malformed point.
SourcePoints readTextPoints(std::string_view text, std::string const& fileName);

} // namespace Octree
