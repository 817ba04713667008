#include "octree/lasreader.h"

#include "octree/lasheader.h"
#include "octree/littleendian.h"

#include <cstring>
#include <stdexcept>

namespace Las {
namespace {

using Octree::readLittleEndian;

constexpr std::uint8_t kFirstExtendedFormat = 6;
constexpr std::uint8_t kLegacyClassMask = 0x1f;

// Offset of the red channel within a record, or 0 for formats without color.
std::size_t colorOffset(std::uint8_t format)
{
    switch (format) {
    case 2: return 20;
    case 3:
    case 5: return 28;
    case 7:
    case 8:
    case 10: return 30;
    default: return 0;
    }
}

} // namespace

Octree::SourcePoints readPoints(std::string_view bytes, std::string const& fileName)
{
    Header const header = parseHeader(bytes, fileName);
    if (header.compressed)
        throw std::runtime_error(fileName + ": compressed (LAZ) point data is not supported here");
    bool const extended = header.pointFormat >= kFirstExtendedFormat;
    std::size_t const rgbAt = colorOffset(header.pointFormat);

    Octree::SourcePoints result;
    result.hasIntensity = true;
    result.hasClassification = true;
    result.hasScanIndex = true;
    result.hasRgb = rgbAt != 0;
    result.points.resize(header.pointCount);
    for (std::uint64_t i = 0; i < header.pointCount; ++i) {
        std::size_t const at = header.pointDataOffset + i * header.pointRecordLength;
        Octree::SourcePoint& point = result.points[i];
        for (int axis = 0; axis < 3; ++axis) {
            auto const stored = readLittleEndian<std::int32_t>(bytes, at + 4 * static_cast<std::size_t>(axis));
            point.position[axis] = stored * header.scale[axis] + header.offset[axis];
        }
        point.intensity = readLittleEndian<std::uint16_t>(bytes, at + 12);
        point.classification = extended ? readLittleEndian<std::uint8_t>(bytes, at + 16)
                                        : static_cast<std::uint8_t>(readLittleEndian<std::uint8_t>(bytes, at + 15) & kLegacyClassMask);
        point.scanIndex = readLittleEndian<std::uint16_t>(bytes, at + (extended ? 20 : 18));
        if (rgbAt)
            point.rgb = {readLittleEndian<std::uint16_t>(bytes, at + rgbAt), readLittleEndian<std::uint16_t>(bytes, at + rgbAt + 2),
                         readLittleEndian<std::uint16_t>(bytes, at + rgbAt + 4)};
    }
    return result;
}

} // namespace Las
