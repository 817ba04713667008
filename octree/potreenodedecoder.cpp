#include "octree/potreenodedecoder.h"

#include "core/brotlidecode.h"
#include "octree/littleendian.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace PoTree {
namespace {

using Octree::readLittleEndian;

constexpr std::size_t kMortonPositionBytes = 16;
constexpr std::size_t kMortonColorBytes = 8;
constexpr unsigned kMortonBitsPerHalf = 16;
constexpr unsigned kMaxByte = 255;

// Where each point's value of one attribute starts: first + i * stride.
struct AttributeSpan {
    std::size_t first = 0;
    std::size_t stride = 0;
};

// Bits 0, 3, 6, ... of `bits` moved together into the low 16 bits: a few shifts and masks
// instead of a loop over every bit, as every point of a BROTLI node needs three of these.
std::uint32_t compactEveryThirdBit(std::uint64_t bits)
{
    bits &= 0x1249249249249249ull;
    bits = (bits ^ (bits >> 2)) & 0x10c30c30c30c30c3ull;
    bits = (bits ^ (bits >> 4)) & 0x100f00f00f00f00full;
    bits = (bits ^ (bits >> 8)) & 0x001f0000ff0000ffull;
    bits = (bits ^ (bits >> 16)) & 0x001f00000000ffffull;
    bits = (bits ^ (bits >> 32)) & 0x00000000001fffffull;
    return static_cast<std::uint32_t>(bits & 0xffff);
}

// Bit k of each of the three values is bit 3k + axis of the code, for k below 16.
std::array<std::uint32_t, 3> deinterleave(std::uint64_t code)
{
    return {compactEveryThirdBit(code), compactEveryThirdBit(code >> 1), compactEveryThirdBit(code >> 2)};
}

// The bytes of a node must hold exactly its points, in the encoding's layout.
std::size_t checkedBytesPerPoint(Metadata const& metadata, std::string_view bytes, std::uint32_t numPoints,
                                 std::string const& nodeName)
{
    bool const brotli = metadata.encoding == Encoding::Brotli;
    std::size_t const bytesPerPoint = brotli ? metadata.brotliBytesPerPoint() : metadata.bytesPerPoint;
    if (bytesPerPoint == 0 || bytes.size() / bytesPerPoint != numPoints || bytes.size() % bytesPerPoint != 0)
        throw std::runtime_error("node " + nodeName + ": " + std::to_string(bytes.size()) + " bytes do not hold " +
                                 std::to_string(numPoints) + " points of " + std::to_string(bytesPerPoint) + " bytes");
    return bytesPerPoint;
}

// Bytes of one point's value of the attribute as the encoding stores it.
std::size_t storedSize(Metadata const& metadata, Attribute const& attribute)
{
    if (metadata.encoding != Encoding::Brotli)
        return attribute.size;
    return attribute.name == "position" ? kMortonPositionBytes : attribute.name == "rgb" ? kMortonColorBytes : attribute.size;
}

// Calls visit(attribute, at) for every attribute of a node's bytes, where at(i) is the offset of
// point i's value, after checking that the bytes hold exactly `numPoints` points.
template <class Visit>
void forEachAttribute(Metadata const& metadata, std::string_view bytes, std::uint32_t numPoints,
                      std::string const& nodeName, Visit const& visit)
{
    bool const brotli = metadata.encoding == Encoding::Brotli;
    std::size_t const bytesPerPoint = checkedBytesPerPoint(metadata, bytes, numPoints, nodeName);
    std::size_t attributeStart = 0;
    for (Attribute const& attribute : metadata.attributes) {
        std::size_t const stored = storedSize(metadata, attribute);
        AttributeSpan const span = brotli ? AttributeSpan{attributeStart, stored} : AttributeSpan{attributeStart, bytesPerPoint};
        attributeStart += brotli ? stored * numPoints : stored;
        visit(attribute, span);
    }
}

// Fetches a node's bytes, decompresses them and hands them to `decode`; false when stopped.
// Errors name the data set.
template <class Decode>
bool readNode(Location const& location, Node const& node, std::stop_token const& stopToken, Decode const& decode)
{
    if (node.numPoints == 0 || node.byteSize == 0)
        return true;
    std::string bytes = location.fetchNodeBytes(node, stopToken).get();
    if (stopToken.stop_requested())
        return false;
    try {
        if (location.metadata().encoding == Encoding::Brotli)
            bytes = Core::brotliDecode(bytes);
        decode(bytes);
    } catch (std::exception const& error) {
        throw std::runtime_error(location.displayName() + ": " + error.what());
    }
    return true;
}

std::uint64_t interleave(std::array<std::uint32_t, 3> const& values)
{
    std::uint64_t code = 0;
    for (unsigned k = 0; k < kMortonBitsPerHalf; ++k) {
        for (unsigned axis = 0; axis < 3; ++axis)
            code |= static_cast<std::uint64_t>((values[axis] >> k) & 1) << (3 * k + axis);
    }
    return code;
}

} // namespace

// The high half is always used, also when the first and last words are both 0: coordinates
// of 2^27 steps and more can have exactly that pattern.
std::array<std::uint32_t, 3> decodeMortonPosition(std::array<std::uint32_t, 4> const& words)
{
    std::uint64_t const low = words[2] | static_cast<std::uint64_t>(words[3]) << 32;
    std::uint64_t const high = words[0] | static_cast<std::uint64_t>(words[1]) << 32;
    auto const lowBits = deinterleave(low);
    auto const highBits = deinterleave(high);
    return {lowBits[0] | highBits[0] << kMortonBitsPerHalf, lowBits[1] | highBits[1] << kMortonBitsPerHalf,
            lowBits[2] | highBits[2] << kMortonBitsPerHalf};
}

std::array<std::uint32_t, 4> encodeMortonPosition(std::array<std::uint32_t, 3> const& position)
{
    std::uint64_t const low = interleave({position[0] & 0xffff, position[1] & 0xffff, position[2] & 0xffff});
    std::uint64_t const high = interleave({position[0] >> 16, position[1] >> 16, position[2] >> 16});
    return {static_cast<std::uint32_t>(high), static_cast<std::uint32_t>(high >> 32), static_cast<std::uint32_t>(low),
            static_cast<std::uint32_t>(low >> 32)};
}

std::array<std::uint16_t, 3> decodeMortonColor(std::uint64_t code)
{
    auto const values = deinterleave(code);
    return {static_cast<std::uint16_t>(values[0]), static_cast<std::uint16_t>(values[1]),
            static_cast<std::uint16_t>(values[2])};
}

std::uint64_t encodeMortonColor(std::array<std::uint16_t, 3> const& color)
{
    return interleave({color[0], color[1], color[2]});
}

Eigen::Vector3f decodeOctahedralNormal(std::uint16_t code)
{
    float x = static_cast<float>(code >> 8) / 255.0f * 2.0f - 1.0f;
    float y = static_cast<float>(code & 0xff) / 255.0f * 2.0f - 1.0f;
    float const z = 1.0f - std::abs(x) - std::abs(y);
    if (z < 0.0f) {
        float const oldX = x;
        float const oldY = y;
        x = (1.0f - std::abs(oldY)) * (oldX >= 0.0f ? 1.0f : -1.0f);
        y = (1.0f - std::abs(oldX)) * (oldY >= 0.0f ? 1.0f : -1.0f);
    }
    Eigen::Vector3f normal(x, y, z);
    float const length = normal.norm();
    if (length > 0.0f)
        normal /= length;
    return normal;
}

namespace {

// intensityGray with the range's conversions done once, for a node's worth of points.
class IntensityGrayScale {
public:
    IntensityGrayScale(double min, double max)
        : mLow(static_cast<float>(min))
        , mRange(static_cast<float>(max) - mLow)
        , mHighByteOnly(!(static_cast<float>(max) > mLow))
    {
    }

    std::uint8_t operator()(std::uint16_t intensity) const
    {
        if (mHighByteOnly)
            return static_cast<std::uint8_t>(intensity >> 8);
        float const gray = (static_cast<float>(intensity) - mLow) * 255.0f / mRange;
        return static_cast<std::uint8_t>(std::clamp(gray, 0.0f, 255.0f));
    }

private:
    float mLow;
    float mRange;
    bool mHighByteOnly;
};

} // namespace

std::uint8_t intensityGray(std::uint16_t intensity, double min, double max)
{
    return IntensityGrayScale(min, max)(intensity);
}

std::uint8_t colorChannel(std::uint16_t value)
{
    return static_cast<std::uint8_t>(value > kMaxByte ? value >> 8 : value);
}

namespace {

std::array<std::uint32_t, 3> storedPosition(std::string_view bytes, std::size_t at, bool brotli)
{
    if (brotli)
        return decodeMortonPosition({readLittleEndian<std::uint32_t>(bytes, at), readLittleEndian<std::uint32_t>(bytes, at + 4),
                                     readLittleEndian<std::uint32_t>(bytes, at + 8),
                                     readLittleEndian<std::uint32_t>(bytes, at + 12)});
    return {readLittleEndian<std::uint32_t>(bytes, at), readLittleEndian<std::uint32_t>(bytes, at + 4),
            readLittleEndian<std::uint32_t>(bytes, at + 8)};
}

std::array<std::uint16_t, 3> storedColor(std::string_view bytes, std::size_t at, bool brotli)
{
    if (brotli)
        return decodeMortonColor(readLittleEndian<std::uint64_t>(bytes, at));
    return {readLittleEndian<std::uint16_t>(bytes, at), readLittleEndian<std::uint16_t>(bytes, at + 2),
            readLittleEndian<std::uint16_t>(bytes, at + 4)};
}

} // namespace

DecodedPoints decodeNodePoints(Metadata const& metadata, std::string_view bytes, std::uint32_t numPoints,
                               std::string const& nodeName)
{
    bool const brotli = metadata.encoding == Encoding::Brotli;
    std::size_t const n = numPoints;

    DecodedPoints points;
    points.count = n;
    AttributeSpan normalX;
    AttributeSpan normalY;
    AttributeSpan normalZ;
    forEachAttribute(metadata, bytes, numPoints, nodeName, [&](Attribute const& attribute, AttributeSpan const& span) {
        auto at = [&](std::size_t i) { return span.first + i * span.stride; };

        if (attribute.name == "position") {
            points.positions.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                points.positions[i] = storedPosition(bytes, at(i), brotli);
        } else if (attribute.name == "rgb") {
            points.colors.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                points.colors[i] = storedColor(bytes, at(i), brotli);
        } else if (attribute.name == "intensity") {
            points.intensities.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                points.intensities[i] = readLittleEndian<std::uint16_t>(bytes, at(i));
        } else if (attribute.name == "ScanIndex") {
            points.scanIndices.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                points.scanIndices[i] = readLittleEndian<std::int32_t>(bytes, at(i));
        } else if (attribute.name == "point source id" && !metadata.hasScanIndex) {
            points.scanIndices.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                points.scanIndices[i] = readLittleEndian<std::uint16_t>(bytes, at(i));
        } else if (attribute.name == "classification") {
            points.classifications.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                points.classifications[i] = readLittleEndian<std::uint8_t>(bytes, at(i));
        } else if (attribute.name == "visibility") {
            points.visibility.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                points.visibility[i] = readLittleEndian<std::uint8_t>(bytes, at(i));
        } else if (attribute.name == "normal_oct16") {
            points.normals.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                points.normals[i] = decodeOctahedralNormal(readLittleEndian<std::uint16_t>(bytes, at(i)));
        } else if (attribute.name == "NormalX") {
            normalX = span;
        } else if (attribute.name == "NormalY") {
            normalY = span;
        } else if (attribute.name == "NormalZ") {
            normalZ = span;
        }
    });
    if (!metadata.hasNormalOct16 && metadata.hasNormalXyz) {
        points.normals.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            points.normals[i] = Eigen::Vector3f(static_cast<float>(readLittleEndian<double>(bytes, normalX.first + i * normalX.stride)),
                                                static_cast<float>(readLittleEndian<double>(bytes, normalY.first + i * normalY.stride)),
                                                static_cast<float>(readLittleEndian<double>(bytes, normalZ.first + i * normalZ.stride)));
        }
    }
    return points;
}

bool readNodePoints(Location const& location, Node const& node, DecodedPoints& out, std::stop_token stopToken)
{
    out = {};
    return readNode(location, node, stopToken, [&](std::string_view bytes) {
        out = decodeNodePoints(location.metadata(), bytes, node.numPoints, node.id.name());
    });
}

namespace {

// Where each vertex field's value lies in a node's bytes, found once a node from the attribute
// names, so that the loop over the points reads them without looking at names. A field without
// a source keeps what the vertex holds.
struct VertexSources {
    std::optional<AttributeSpan> position;
    std::optional<AttributeSpan> rgb;
    std::optional<AttributeSpan> intensity;
    std::optional<AttributeSpan> scanIndex;
    // Read as the scan index when the data set has no ScanIndex.
    std::optional<AttributeSpan> pointSourceId;
    std::optional<AttributeSpan> classification;
    std::optional<AttributeSpan> visibility;
    double intensityMin = 0.0;
    double intensityMax = 0.0;
};

VertexSources findVertexSources(Metadata const& metadata, std::string_view bytes, std::uint32_t numPoints,
                                std::string const& nodeName)
{
    VertexSources sources;
    forEachAttribute(metadata, bytes, numPoints, nodeName, [&](Attribute const& attribute, AttributeSpan const& span) {
        if (attribute.name == "position") {
            sources.position = span;
        } else if (attribute.name == "rgb") {
            sources.rgb = span;
        } else if (attribute.name == "intensity") {
            sources.intensity = span;
            sources.intensityMin = attribute.min;
            sources.intensityMax = attribute.max;
        } else if (attribute.name == "ScanIndex") {
            sources.scanIndex = span;
        } else if (attribute.name == "point source id" && !metadata.hasScanIndex) {
            sources.pointSourceId = span;
        } else if (attribute.name == "classification") {
            sources.classification = span;
        } else if (attribute.name == "visibility") {
            sources.visibility = span;
        }
    });
    return sources;
}

// Writes the fields that `sources` has into the vertices, all of them in one pass over the points.
template <bool Brotli>
class VertexDecoder {
public:
    VertexDecoder(Metadata const& metadata, VertexSources const& sources, std::string_view bytes, double unitScale)
        : mSources(sources)
        , mBytes(bytes)
        , mScale(metadata.scale)
        , mUnitScale(unitScale)
        , mGrayScale(sources.intensityMin, sources.intensityMax)
        , mIntensityGivesColor(sources.intensity && !sources.rgb)
    {
    }

    // Decodes the first `count` points into `out`, which holds at least that many.
    void decode(std::size_t count, Render::VertexContainer& out) const
    {
        Render::VertexContainer::Vertex* const vertices = out.data();
        for (std::size_t i = 0; i < count; ++i) {
            decodePoint(i, vertices[i]);
            if (mSources.visibility)
                out.setVisibility(i, readLittleEndian<std::uint8_t>(mBytes, at(*mSources.visibility, i)));
        }
    }

private:
    static std::size_t at(AttributeSpan const& span, std::size_t i) { return span.first + i * span.stride; }

    void decodePoint(std::size_t i, Render::VertexContainer::Vertex& vertex) const
    {
        if (mSources.position) {
            auto const position = storedPosition(mBytes, at(*mSources.position, i), Brotli);
            vertex.x = static_cast<float>(static_cast<double>(position[0]) * mScale.x() * mUnitScale);
            vertex.y = static_cast<float>(static_cast<double>(position[1]) * mScale.y() * mUnitScale);
            vertex.z = static_cast<float>(static_cast<double>(position[2]) * mScale.z() * mUnitScale);
        }
        if (mSources.rgb) {
            auto const rgb = storedColor(mBytes, at(*mSources.rgb, i), Brotli);
            vertex.color = Math::Color(colorChannel(rgb[0]), colorChannel(rgb[1]), colorChannel(rgb[2]), 255);
        }
        if (mSources.intensity) {
            vertex.intensity = readLittleEndian<std::uint16_t>(mBytes, at(*mSources.intensity, i));
            if (mIntensityGivesColor)
                vertex.color = Math::Color::gray(mGrayScale(vertex.intensity), 255);
        }
        if (mSources.scanIndex)
            vertex.scanIndex = static_cast<std::uint16_t>(readLittleEndian<std::int32_t>(mBytes, at(*mSources.scanIndex, i)));
        if (mSources.pointSourceId)
            vertex.scanIndex = readLittleEndian<std::uint16_t>(mBytes, at(*mSources.pointSourceId, i));
        if (mSources.classification)
            vertex.classIndex = readLittleEndian<std::uint8_t>(mBytes, at(*mSources.classification, i));
    }

    VertexSources const& mSources;
    std::string_view mBytes;
    Math::Point<double, 3> mScale;
    double mUnitScale;
    IntensityGrayScale mGrayScale;
    bool mIntensityGivesColor;
};

template <bool Brotli>
void decodeVertices(Metadata const& metadata, VertexSources const& sources, std::string_view bytes,
                    std::size_t count, double unitScale, Render::VertexContainer& out)
{
    // Vertices that another source of the node filled already keep the fields this one lacks.
    if (out.size() < count)
        out.resize(count);
    VertexDecoder<Brotli>(metadata, sources, bytes, unitScale).decode(count, out);
}

} // namespace

void decodeNodeVertices(Metadata const& metadata, std::string_view bytes, std::uint32_t numPoints,
                        std::string const& nodeName, double unitScale, Render::VertexContainer& out)
{
    // Resolved before `out` grows, so that bytes that do not fit leave it as it was.
    VertexSources const sources = findVertexSources(metadata, bytes, numPoints, nodeName);
    if (metadata.encoding == Encoding::Brotli)
        decodeVertices<true>(metadata, sources, bytes, numPoints, unitScale, out);
    else
        decodeVertices<false>(metadata, sources, bytes, numPoints, unitScale, out);
}

bool readNodeVertices(Location const& location, Node const& node, double unitScale, Render::VertexContainer& out,
                      std::stop_token stopToken)
{
    return readNode(location, node, stopToken, [&](std::string_view bytes) {
        decodeNodeVertices(location.metadata(), bytes, node.numPoints, node.id.name(), unitScale, out);
    });
}

std::vector<std::string> decodeNodeAttributes(Metadata const& metadata, std::string_view bytes, std::uint32_t numPoints,
                                              std::string const& nodeName)
{
    bool const brotli = metadata.encoding == Encoding::Brotli;
    std::size_t const bytesPerPoint = checkedBytesPerPoint(metadata, bytes, numPoints, nodeName);
    std::vector<std::string> values;
    std::size_t attributeStart = 0;
    for (Attribute const& attribute : metadata.attributes) {
        std::size_t const stored = storedSize(metadata, attribute);
        std::string& out = values.emplace_back();
        out.reserve(attribute.size * numPoints);
        for (std::size_t i = 0; i < numPoints; ++i) {
            std::size_t const at = brotli ? attributeStart + i * stored : attributeStart + i * bytesPerPoint;
            if (brotli && attribute.name == "position") {
                auto const position = decodeMortonPosition(
                    {readLittleEndian<std::uint32_t>(bytes, at), readLittleEndian<std::uint32_t>(bytes, at + 4),
                     readLittleEndian<std::uint32_t>(bytes, at + 8), readLittleEndian<std::uint32_t>(bytes, at + 12)});
                out.append(reinterpret_cast<char const*>(position.data()), sizeof(position));
            } else if (brotli && attribute.name == "rgb") {
                auto const color = storedColor(bytes, at, true);
                out.append(reinterpret_cast<char const*>(color.data()), sizeof(color));
            } else {
                out.append(bytes.substr(at, attribute.size));
            }
        }
        attributeStart += brotli ? stored * numPoints : stored;
    }
    return values;
}

bool readNodeAttributes(Location const& location, Node const& node, std::vector<std::string>& out,
                        std::stop_token stopToken)
{
    out.assign(location.metadata().attributes.size(), std::string());
    return readNode(location, node, stopToken, [&](std::string_view bytes) {
        out = decodeNodeAttributes(location.metadata(), bytes, node.numPoints, node.id.name());
    });
}

namespace {

Math::Point<double, 3> modelPosition(std::array<std::uint32_t, 3> const& stored, Metadata const& metadata,
                                     double unitScale)
{
    return {static_cast<double>(stored[0]) * metadata.scale.x() * unitScale,
            static_cast<double>(stored[1]) * metadata.scale.y() * unitScale,
            static_cast<double>(stored[2]) * metadata.scale.z() * unitScale};
}

// The point's color, or nothing when the data set has neither rgb nor intensity.
bool pointColor(DecodedPoints const& points, Metadata const& metadata, std::size_t i, Math::Color& color)
{
    if (!points.colors.empty()) {
        auto const& rgb = points.colors[i];
        color.set(colorChannel(rgb[0]), colorChannel(rgb[1]), colorChannel(rgb[2]), 255);
        return true;
    }
    if (!points.intensities.empty()) {
        Attribute const* const intensity = metadata.find("intensity");
        color = Math::Color::gray(intensityGray(points.intensities[i], intensity->min, intensity->max), 255);
        return true;
    }
    return false;
}

} // namespace

void fillNodePointData(DecodedPoints const& points, Metadata const& metadata, double unitScale,
                       Octree::NodePointData& out)
{
    out.resize(points.count);
    for (std::size_t i = 0; i < points.count; ++i) {
        if (!points.positions.empty())
            out.setPosition(i, modelPosition(points.positions[i], metadata, unitScale));
        Math::Color color;
        if (pointColor(points, metadata, i, color))
            out.setColor(i, color);
        if (!points.intensities.empty())
            out.setIntensity(i, points.intensities[i]);
        if (!points.scanIndices.empty())
            out.setScanIndex(i, points.scanIndices[i]);
        if (!points.classifications.empty())
            out.setClassIndex(i, points.classifications[i]);
        if (!points.visibility.empty())
            out.setVisibility(i, points.visibility[i]);
        if (!points.normals.empty())
            out.setNormal(i, points.normals[i]);
    }
}

} // namespace PoTree
