#pragma once

#include "math/boundingbox.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
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

// A further per-point attribute of the source, kept as its stored bytes: `type` names the
// element type as data sets declare it ("uint8", "int16", "double", ...; "undefined" for
// opaque bytes), `size` counts the bytes of all `elements`.
struct SourceAttribute {
    std::string name;
    std::string type;
    std::size_t size = 0;
    std::size_t elements = 1;
};

// The integer grid positions were stored on: position = stored integer * scale + offset.
struct SourceGrid {
    Math::Point<double, 3> scale = Math::Point<double, 3>::Ones();
    Math::Point<double, 3> offset = Math::Point<double, 3>::Zero();
};

struct SourcePoints {
    std::vector<SourcePoint> points;
    bool hasRgb = false;
    bool hasIntensity = false;
    bool hasClassification = false;
    bool hasScanIndex = false;
    // The further attributes in the order they are written, and their values: for each point
    // the attributes' bytes one after another (extraBytesPerPoint() a point).
    std::vector<SourceAttribute> extraAttributes;
    std::vector<std::uint8_t> extraValues;
    std::optional<SourceGrid> grid;
    // The coordinate system as WKT or an "EPSG:code" text; empty when the source has none.
    std::string crs;

    std::size_t extraBytesPerPoint() const
    {
        std::size_t bytes = 0;
        for (SourceAttribute const& attribute : extraAttributes)
            bytes += attribute.size;
        return bytes;
    }

    Math::NBoundingBox<double, 3> bounds() const
    {
        Math::NBoundingBox<double, 3> box;
        for (SourcePoint const& point : points)
            box.extend(point.position);
        return box;
    }
};

} // namespace Octree
