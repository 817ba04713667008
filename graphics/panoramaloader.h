#pragma once

#include "graphics/colorimage.h"
#include "graphics/depthimage.h"

#include <Eigen/Core>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Graphics {

// Where a direction meets a panorama: the face (always 0 for equirectangular) and the uv on that face.
struct PanoramaFacePoint {
    std::size_t face = 0;
    float u = 0.0f;
    float v = 0.0f;
};

// Pixel size of the tiles of one level.
struct PanoramaTileSize {
    std::size_t width = 0;
    std::size_t height = 0;

    bool operator==(PanoramaTileSize const&) const = default;
};

// The tile grid of a panorama: the same rows x columns per face on every level, and per level one
// tile size shared by color and depth. Level 0 is the coarsest.
struct PanoramaLayout {
    std::uint32_t projectionType = 0;
    std::size_t tileRows = 1;
    std::size_t tileColumns = 1;
    std::vector<PanoramaTileSize> levels;
    std::size_t colorLevels = 0;
    std::size_t depthLevels = 0;
};

// A spherical panorama with per-pixel distance, cut into tiles at several resolution levels. Tiles are
// named by opaque 64-bit ids; loading is blocking and may be called from any one thread at a time.
// Distances are along the ray from the panorama's centre, in the panorama's own units.
class PanoramaLoader {
public:
    using TileId = std::uint64_t;

    // projectionType: this value is equirectangular, any other a cube map of 6 faces.
    static constexpr std::uint32_t kProjectionEquirectangular = 0;
    static constexpr std::uint32_t kProjectionCubeMap = 1;
    static constexpr std::size_t kCubeFaces = 6;

    explicit PanoramaLoader(PanoramaLayout layout);
    PanoramaLoader(PanoramaLoader const&) = delete;
    PanoramaLoader& operator=(PanoramaLoader const&) = delete;

    std::size_t numColorLevels() const { return mLayout.colorLevels; }
    std::size_t numDepthLevels() const { return mLayout.depthLevels; }
    std::size_t tileColumns() const { return mLayout.tileColumns; }
    std::size_t tileRows() const { return mLayout.tileRows; }
    // Throw std::out_of_range for a level the panorama does not have.
    std::size_t tileWidth(std::size_t level) const { return mLayout.levels.at(level).width; }
    std::size_t tileHeight(std::size_t level) const { return mLayout.levels.at(level).height; }
    std::size_t level(TileId tileId) const { return static_cast<std::size_t>(tileId >> kLevelShift); }
    std::size_t tileIndexWithinLevel(TileId tileId) const { return static_cast<std::size_t>(tileId & kIndexMask); }
    PanoramaLayout const& layout() const { return mLayout; }

    // The order of the virtual operations is part of the interface.

    // Tiles of one level of one kind: faces x rows x columns, the array size of a level's texture.
    virtual std::size_t numTilesPerLevel() const;
    virtual std::size_t numFaces() const;
    // Where the tiles come from, for messages.
    virtual std::string source() const = 0;
    virtual std::vector<TileId> colorTiles() const;
    virtual std::vector<TileId> depthTiles() const;
    virtual ColorImage loadColorTile(TileId tileId) = 0;
    virtual DepthImage loadDepthTile(TileId tileId) = 0;
    // Unit direction of the tile's centre in the panorama's object space.
    virtual Eigen::Vector3f tileDirection(TileId tileId) const;
    virtual std::uint32_t projectionType() const { return mLayout.projectionType; }
    virtual ~PanoramaLoader() = default;

    static TileId tileId(std::size_t level, std::size_t indexWithinLevel)
    {
        return (static_cast<TileId>(level) << kLevelShift) | static_cast<TileId>(indexWithinLevel);
    }
    // The linear index of a tile within its level: face x rows x columns + row x columns + column.
    std::size_t tileIndex(std::size_t face, std::size_t row, std::size_t column) const
    {
        return (face * mLayout.tileRows + row) * mLayout.tileColumns + column;
    }

    // The mapping of directions onto faces that the panorama shader uses, and its inverse.
    static PanoramaFacePoint facePoint(std::uint32_t projectionType, Eigen::Vector3f const& direction);
    static Eigen::Vector3f direction(std::uint32_t projectionType, PanoramaFacePoint const& point);

private:
    static constexpr unsigned kLevelShift = 32;
    static constexpr TileId kIndexMask = 0xffffffffu;

    std::vector<TileId> allTiles(std::size_t levelCount) const;

    PanoramaLayout const mLayout;
};

} // namespace Graphics
