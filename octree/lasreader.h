#pragma once

#include "octree/sourcepoints.h"

#include <string>
#include <string_view>

namespace Las {

// Reads the points of a LAS 1.0–1.4 file, uncompressed or compressed with LASzip, in point
// formats 0–10, losing nothing: positions, intensity, classification and colors as the
// standard attributes; return numbers, flags, scan angle, user data, point source id, GPS
// time, near infrared, wave packets and the extra bytes (named by the extra bytes record) as
// further attributes under the names Potree data sets use. The header's scale and offset
// become the source grid and its WKT or GeoTIFF records the coordinate system. Throws
// std::runtime_error naming `fileName` for malformed files.
Octree::SourcePoints readPoints(std::string_view bytes, std::string const& fileName);

} // namespace Las
