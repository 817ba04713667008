#pragma once

#include "math/boundingbox.h"

#include <array>
#include <cstdint>
#include <vector>

namespace Octree {

// Points read from a source file, before they are sorted into an octree. The flags
// say which attributes the source had; absent ones hold 0.
struct SourcePoint {
    Math::Point<double, 3> position = Math::Point<double, 3>::Zero();
    std::array<std::uint16_t, 3> rgb{0, 0, 0};
    std::uint16_t intensity = 0;
    std::uint8_t classification = 0;
    std::int32_t scanIndex = 0;

    bool operator==(SourcePoint const& other) const = default;
};

struct SourcePoints {
    std::vector<SourcePoint> points;
    bool hasRgb = false;
    bool hasIntensity = false;
    bool hasClassification = false;
    bool hasScanIndex = false;

    Math::NBoundingBox<double, 3> bounds() const
    {
        Math::NBoundingBox<double, 3> box;
        for (SourcePoint const& point : points)
            box.extend(point.position);
        return box;
    }
};

} // namespace Octree
