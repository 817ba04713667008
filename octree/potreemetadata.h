#pragma once

#include "math/boundingbox.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace PoTree {

enum class Encoding : std::uint8_t { Brotli = 0, Default = 1 };

struct Attribute {
    std::string name;
    // The element type as declared ("uint16", "double", ...), empty when not given.
    std::string type;
    std::size_t size = 0;
    // First element of the metadata's "min" / "max" (used for intensity).
    double min = 0.0;
    double max = 0.0;
};

// What the decoder needs from a Potree 2.0 "metadata.json".
struct Metadata {
    Encoding encoding = Encoding::Default;
    std::uint64_t firstChunkSize = 0;
    Math::NBoundingBox<double, 3> boundingBox;
    Math::Point<double, 3> offset = Math::Point<double, 3>::Zero();
    Math::Point<double, 3> scale = Math::Point<double, 3>::Ones();
    double spacing = 0.0;
    std::uint64_t points = 0;
    // The coordinate system ("projection"), empty when the data set has none.
    std::string projection;
    std::vector<Attribute> attributes;
    std::size_t bytesPerPoint = 0;

    bool hasPosition = false;
    bool hasRgb = false;
    bool hasIntensity = false;
    bool hasScanIndex = false;
    bool hasClassification = false;
    bool hasVisibility = false;
    bool hasNormalOct16 = false;
    bool hasNormalXyz = false;

    Attribute const* find(std::string_view name) const;
    bool isVisibilityOnly() const { return attributes.size() == 1 && attributes.front().name == "visibility"; }
    bool hasNormals() const { return hasNormalOct16 || hasNormalXyz; }
    // Bytes of one point in a decompressed BROTLI node: positions and colors are Morton codes there.
    std::size_t brotliBytesPerPoint() const;
    // Tight box of the points: the position attribute's range, else the cube.
    Math::NBoundingBox<double, 3> pointBounds() const;

    // Parses the JSON text; `fileName` names the file in error messages. Throws
    // std::runtime_error naming the file and the field that is missing or malformed.
    static Metadata parse(std::string_view json, std::string const& fileName);

private:
    std::optional<Math::NBoundingBox<double, 3>> mPositionRange;
};

} // namespace PoTree
