#pragma once

#include "octree/potreemetadata.h"

#include <string>

namespace FuzzSupport {

// The attribute set of the real autzen-trim data sets (35-byte records) followed by every
// other attribute the decoder recognises, so that seeds cut from real nodes decode and
// mutations reach all attribute paths.
inline PoTree::Metadata nodeMetadata(std::string const& encoding)
{
    std::string const json = R"({"encoding": ")" + encoding + R"(", "hierarchy": {"firstChunkSize": 22},
        "offset": [0, 0, 0], "scale": [0.01, 0.01, 0.01], "spacing": 1, "points": 1,
        "boundingBox": {"min": [0, 0, 0], "max": [1, 1, 1]}, "attributes": [
        {"name": "position", "size": 12}, {"name": "intensity", "size": 2, "min": [0], "max": [254]},
        {"name": "return number", "size": 1}, {"name": "number of returns", "size": 1},
        {"name": "classification", "size": 1}, {"name": "scan angle rank", "size": 1},
        {"name": "user data", "size": 1}, {"name": "point source id", "size": 2}, {"name": "gps-time", "size": 8},
        {"name": "rgb", "size": 6}, {"name": "ScanIndex", "size": 4}, {"name": "visibility", "size": 1},
        {"name": "normal_oct16", "size": 2}, {"name": "NormalX", "size": 8}, {"name": "NormalY", "size": 8},
        {"name": "NormalZ", "size": 8}]})";
    return PoTree::Metadata::parse(json, "metadata.json");
}

} // namespace FuzzSupport
