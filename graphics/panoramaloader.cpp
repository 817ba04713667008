#include "graphics/panoramaloader.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace Graphics {
namespace {

// The value the panorama shader uses, so that both sides agree on the tile of a direction.
constexpr float kPi = 3.14159265f;

PanoramaLayout const& checked(PanoramaLayout const& layout)
{
    if (layout.tileRows == 0 || layout.tileColumns == 0)
        throw std::invalid_argument("a panorama needs at least one tile row and column");
    if (layout.levels.size() < std::max(layout.colorLevels, layout.depthLevels))
        throw std::invalid_argument("a panorama needs a tile size for every color and depth level");
    for (PanoramaTileSize const& size : layout.levels) {
        if (size.width == 0 || size.height == 0)
            throw std::invalid_argument("panorama tiles must have at least one pixel");
    }
    return layout;
}

} // namespace

PanoramaLoader::PanoramaLoader(PanoramaLayout layout) : mLayout(checked(layout)) {}

std::size_t PanoramaLoader::numFaces() const
{
    return mLayout.projectionType == kProjectionEquirectangular ? 1 : kCubeFaces;
}

std::size_t PanoramaLoader::numTilesPerLevel() const
{
    return numFaces() * mLayout.tileRows * mLayout.tileColumns;
}

std::vector<PanoramaLoader::TileId> PanoramaLoader::allTiles(std::size_t levelCount) const
{
    std::vector<TileId> tiles;
    std::size_t const perLevel = numTilesPerLevel();
    tiles.reserve(levelCount * perLevel);
    for (std::size_t level = 0; level < levelCount; ++level) {
        for (std::size_t index = 0; index < perLevel; ++index)
            tiles.push_back(tileId(level, index));
    }
    return tiles;
}

std::vector<PanoramaLoader::TileId> PanoramaLoader::colorTiles() const
{
    return allTiles(mLayout.colorLevels);
}

std::vector<PanoramaLoader::TileId> PanoramaLoader::depthTiles() const
{
    return allTiles(mLayout.depthLevels);
}

Eigen::Vector3f PanoramaLoader::tileDirection(TileId id) const
{
    std::size_t const perFace = mLayout.tileRows * mLayout.tileColumns;
    std::size_t const index = tileIndexWithinLevel(id);
    std::size_t const row = index % perFace / mLayout.tileColumns;
    std::size_t const column = index % perFace % mLayout.tileColumns;
    PanoramaFacePoint const centre{index / perFace,
                                   (static_cast<float>(column) + 0.5f) / static_cast<float>(mLayout.tileColumns),
                                   (static_cast<float>(row) + 0.5f) / static_cast<float>(mLayout.tileRows)};
    return direction(projectionType(), centre);
}

PanoramaFacePoint PanoramaLoader::facePoint(std::uint32_t projectionType, Eigen::Vector3f const& d)
{
    if (projectionType == kProjectionEquirectangular) {
        float const z = std::clamp(d.z() / d.norm(), -1.0f, 1.0f);
        return {0, 0.5f - std::atan2(d.y(), d.x()) / (2.0f * kPi), 0.5f - std::asin(z) / kPi};
    }
    Eigen::Vector3f const magnitude = d.cwiseAbs();
    if (magnitude.x() >= magnitude.y() && magnitude.x() >= magnitude.z()) {
        float const sign = d.x() > 0.0f ? -1.0f : 1.0f;
        return {d.x() > 0.0f ? 0u : 1u, 0.5f * d.y() * sign / magnitude.x() + 0.5f,
                -0.5f * d.z() / magnitude.x() + 0.5f};
    }
    if (magnitude.y() >= magnitude.z()) {
        float const sign = d.y() > 0.0f ? 1.0f : -1.0f;
        return {d.y() > 0.0f ? 2u : 3u, 0.5f * d.x() * sign / magnitude.y() + 0.5f,
                -0.5f * d.z() / magnitude.y() + 0.5f};
    }
    float const sign = d.z() > 0.0f ? 1.0f : -1.0f;
    return {d.z() > 0.0f ? 4u : 5u, -0.5f * d.y() / magnitude.z() + 0.5f, 0.5f * d.x() * sign / magnitude.z() + 0.5f};
}

Eigen::Vector3f PanoramaLoader::direction(std::uint32_t projectionType, PanoramaFacePoint const& point)
{
    if (projectionType == kProjectionEquirectangular) {
        float const azimuth = (0.5f - point.u) * 2.0f * kPi;
        float const elevation = (0.5f - point.v) * kPi;
        return {std::cos(elevation) * std::cos(azimuth), std::cos(elevation) * std::sin(azimuth), std::sin(elevation)};
    }
    // Face coordinates in [-1, 1]; each face inverts its branch of facePoint.
    float const a = 2.0f * point.u - 1.0f;
    float const b = 2.0f * point.v - 1.0f;
    Eigen::Vector3f d;
    switch (point.face) {
    case 0:
        d = {1.0f, -a, -b};
        break;
    case 1:
        d = {-1.0f, a, -b};
        break;
    case 2:
        d = {a, 1.0f, -b};
        break;
    case 3:
        d = {-a, -1.0f, -b};
        break;
    case 4:
        d = {b, -a, 1.0f};
        break;
    case 5:
        d = {-b, -a, -1.0f};
        break;
    default:
        throw std::out_of_range("a cube map has faces 0 to 5");
    }
    return d.normalized();
}

} // namespace Graphics
