#pragma once

#include "graphics/panoramawriter.h"
#include "graphics/tiledpanoramaloader.h"

#include "support/tempfolder.h"

#include <filesystem>

namespace PanoramaTest {

using TestSupport::TempFolder;

// The room every panorama test looks at: walls at these distances from the centre along x, y and z.
inline Eigen::Vector3f const kRoomHalfExtent{4.0f, 3.0f, 2.0f};

// Writes the room as a tiled panorama into `folder` and returns its layout.
inline Graphics::PanoramaLayout writeRoom(std::filesystem::path const& folder,
                                          Graphics::PanoramaWriterOptions const& options, std::size_t width = 64,
                                          std::size_t height = 32)
{
    Graphics::EquirectangularPanorama const room = Graphics::makeRoomPanorama(width, height, kRoomHalfExtent);
    return Graphics::PanoramaWriter::write(folder, room.color, room.depth, options);
}

} // namespace PanoramaTest
