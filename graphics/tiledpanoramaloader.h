#pragma once

#include "graphics/panoramaloader.h"

#include <filesystem>
#include <string>

namespace Graphics {

// Reads a tiled panorama from a folder:
//
//   panorama.json              {"projection": "equirectangular" or "cube",
//                               "tileRows": R, "tileColumns": C,
//                               "levels": [{"width": W0, "height": H0}, ...],   coarsest level first
//                               "colorLevels": N, "depthLevels": M}
//   level<l>/color-<i>.png     the color of tile i of level l: an 8-bit PNG of Wl x Hl pixels
//   level<l>/depth-<i>.f32     its distances: Wl x Hl little-endian float32 values, row by row
//
// i is the tile's linear index within its level (face x R x C + row x C + column). Distances run
// along the ray from the centre; values beyond the view's far plane (or infinity) mean "no hit".
// The description is read and checked at construction; tiles are read when asked for. Every error
// names the file it comes from.
class TiledPanoramaLoader : public PanoramaLoader {
public:
    static constexpr char const* kDescriptionFileName = "panorama.json";
    // Bounds that keep a hostile description from asking for absurd amounts of memory.
    static constexpr std::size_t kMaxTilesPerLevel = 4096;
    static constexpr std::size_t kMaxLevels = 16;
    static constexpr std::size_t kMaxTileSide = 16384;

    // Throws std::runtime_error naming the file when the description is missing or invalid.
    explicit TiledPanoramaLoader(std::filesystem::path folder);

    std::string source() const override { return mFolder.string(); }
    // Throw std::runtime_error naming the file when it is missing, truncated, corrupt or not of the
    // level's tile size.
    ColorImage loadColorTile(TileId tileId) override;
    DepthImage loadDepthTile(TileId tileId) override;

    std::filesystem::path const& folder() const { return mFolder; }

    // The file layout, shared with the writer.
    static std::filesystem::path colorTilePath(std::filesystem::path const& folder, std::size_t level,
                                               std::size_t index);
    static std::filesystem::path depthTilePath(std::filesystem::path const& folder, std::size_t level,
                                               std::size_t index);
    static std::string describe(PanoramaLayout const& layout);
    // The layout in `text`; throws std::runtime_error naming `path` when it is not a valid description.
    static PanoramaLayout parseDescription(std::string const& text, std::filesystem::path const& path);

private:
    std::filesystem::path mFolder;
};

// An 8-bit (gray, gray-alpha, RGB or RGBA) PNG file as a color image.
ColorImage readPng(std::filesystem::path const& path);
// A depth image of width x height raw little-endian float32 values, row by row. Throws
// std::runtime_error naming the file when it does not hold exactly that many bytes.
DepthImage readDepth(std::filesystem::path const& path, std::size_t width, std::size_t height);

} // namespace Graphics
