#pragma once

#include "math/boundingbox.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace Octree {

// A number read from a file as an integer attribute: clamped to the type's range, 0 for NaN,
// so that no out-of-range conversion can happen.
template <class T>
T clampedInteger(double value)
{
    if (std::isnan(value))
        return T{0};
    return static_cast<T>(std::clamp(value, static_cast<double>(std::numeric_limits<T>::lowest()),
                                     static_cast<double>(std::numeric_limits<T>::max())));
}

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
