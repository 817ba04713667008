#pragma once

#include "math/color.h"
#include "math/point.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Octree {

// Bit mask of the per-point attributes a NodePointData holds.
enum class PointAttributes : std::uint32_t {
    None = 0,
    Position = 1,
    Normal = 2,
    Color = 4,
    Intensity = 8,
    ClassIndex = 16,
    ScanIndex = 32,
    Visibility = 64,
    All = 127,
};

constexpr PointAttributes operator|(PointAttributes a, PointAttributes b)
{
    return static_cast<PointAttributes>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
constexpr bool contains(PointAttributes set, PointAttributes attribute)
{
    return (static_cast<std::uint32_t>(set) & static_cast<std::uint32_t>(attribute)) != 0;
}

// The points of one node as structure of arrays, with only the attributes asked for.
// Getters of attributes not held return their defaults.
class NodePointData {
public:
    explicit NodePointData(PointAttributes attributes = PointAttributes::All) : mAttributes(attributes) {}

    PointAttributes attributes() const { return mAttributes; }
    bool has(PointAttributes attribute) const { return contains(mAttributes, attribute); }
    std::size_t size() const { return mSize; }

    void resize(std::size_t n)
    {
        mSize = n;
        resizeIf(mPositions, PointAttributes::Position, n, Math::Point<double, 3>::Zero());
        resizeIf(mNormals, PointAttributes::Normal, n, Eigen::Vector3f::Zero());
        resizeIf(mColors, PointAttributes::Color, n, Math::Color());
        resizeIf(mIntensities, PointAttributes::Intensity, n, std::uint16_t{0});
        resizeIf(mClassIndices, PointAttributes::ClassIndex, n, std::uint8_t{0});
        resizeIf(mScanIndices, PointAttributes::ScanIndex, n, std::int32_t{0});
        resizeIf(mVisibility, PointAttributes::Visibility, n, std::uint8_t{0});
    }

    void setPosition(std::size_t i, Math::Point<double, 3> const& p) { setIf(mPositions, i, p); }
    void setNormal(std::size_t i, Eigen::Vector3f const& n) { setIf(mNormals, i, n); }
    void setColor(std::size_t i, Math::Color c) { setIf(mColors, i, c); }
    void setIntensity(std::size_t i, std::uint16_t v) { setIf(mIntensities, i, v); }
    void setClassIndex(std::size_t i, std::uint8_t v) { setIf(mClassIndices, i, v); }
    void setScanIndex(std::size_t i, std::int32_t v) { setIf(mScanIndices, i, v); }
    void setVisibility(std::size_t i, std::uint8_t v) { setIf(mVisibility, i, v); }

    Math::Point<double, 3> position(std::size_t i) const { return getOr<Math::Point<double, 3>>(mPositions, i, Math::Point<double, 3>::Zero()); }
    Eigen::Vector3f normal(std::size_t i) const { return getOr<Eigen::Vector3f>(mNormals, i, Eigen::Vector3f::Zero()); }
    Math::Color color(std::size_t i) const { return getOr(mColors, i, Math::Color()); }
    std::uint16_t intensity(std::size_t i) const { return getOr(mIntensities, i, std::uint16_t{0}); }
    std::uint8_t classIndex(std::size_t i) const { return getOr(mClassIndices, i, std::uint8_t{0}); }
    std::int32_t scanIndex(std::size_t i) const { return getOr(mScanIndices, i, std::int32_t{0}); }
    std::uint8_t visibility(std::size_t i) const { return getOr(mVisibility, i, std::uint8_t{0}); }

    // Drops the points whose visibility byte is set, keeping the order of the others.
    void removeHiddenPoints();

private:
    template <class T, class V>
    void resizeIf(std::vector<T>& values, PointAttributes attribute, std::size_t n, V const& fill)
    {
        if (has(attribute))
            values.resize(n, fill);
    }
    template <class T>
    static void setIf(std::vector<T>& values, std::size_t i, T const& value)
    {
        if (i < values.size())
            values[i] = value;
    }
    template <class T>
    static T getOr(std::vector<T> const& values, std::size_t i, T const& fallback)
    {
        return i < values.size() ? values[i] : fallback;
    }

    PointAttributes mAttributes;
    std::size_t mSize = 0;
    std::vector<Math::Point<double, 3>> mPositions;
    std::vector<Eigen::Vector3f> mNormals;
    std::vector<Math::Color> mColors;
    std::vector<std::uint16_t> mIntensities;
    std::vector<std::uint8_t> mClassIndices;
    std::vector<std::int32_t> mScanIndices;
    std::vector<std::uint8_t> mVisibility;
};

} // namespace Octree
