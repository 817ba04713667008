#pragma once

#include "graphics/colorimage.h"
#include "graphics/depthimage.h"
#include "graphics/panoramaloader.h"

#include <Eigen/Core>

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace Graphics {

struct PanoramaWriterOptions {
    std::uint32_t projectionType = PanoramaLoader::kProjectionEquirectangular;
    std::size_t tileRows = 2;
    std::size_t tileColumns = 4;
    std::size_t levels = 3;
    // Tile size of the finest level; 0 derives it from the color image: its width and height divided
    // by the columns and rows for an equirectangular panorama, a quarter of its width divided by the
    // columns (and rows) for a cube map. Every coarser level halves it.
    std::size_t tileWidth = 0;
    std::size_t tileHeight = 0;
};

// Cuts an equirectangular color image and distance image (each covering the whole sphere, in the
// mapping of PanoramaLoader::facePoint; their sizes may differ) into the tiled folder layout that
// TiledPanoramaLoader reads, with every level resampled from the sources by nearest pixel.
class PanoramaWriter {
public:
    // Writes the tiles first and "panorama.json" last, so that an interrupted write leaves no folder
    // that reads as a panorama. Throws std::invalid_argument for unusable options or empty images and
    // std::runtime_error naming the file that cannot be written.
    static PanoramaLayout write(std::filesystem::path const& folder, ColorImage const& color, DepthImage const& depth,
                                PanoramaWriterOptions const& options);
};

// An equirectangular color and distance image pair.
struct EquirectangularPanorama {
    ColorImage color;
    DepthImage depth;
};

// The panorama seen from the centre of a box-shaped room reaching `halfExtent` along each axis: every
// wall has one color, darkened on a grid of lines one unit apart so that views have structure.
EquirectangularPanorama makeRoomPanorama(std::size_t width, std::size_t height, Eigen::Vector3f const& halfExtent);
// The color of a room wall, numbered like the cube faces: +x, -x, +y, -y, +z, -z.
Math::Color roomWallColor(std::size_t wall);

} // namespace Graphics
