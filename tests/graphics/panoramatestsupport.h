#pragma once

#include "graphics/panoramawriter.h"
#include "graphics/tiledpanoramaloader.h"

#include <filesystem>
#include <random>
#include <string>

namespace PanoramaTest {

// A fresh folder under the temporary directory, removed with everything in it.
class TempFolder {
public:
    explicit TempFolder(std::string const& name)
        : mPath(std::filesystem::temp_directory_path() /
                ("morvid-panorama-" + name + "-" + std::to_string(std::random_device{}())))
    {
        std::filesystem::remove_all(mPath);
        std::filesystem::create_directories(mPath);
    }
    ~TempFolder() { std::filesystem::remove_all(mPath); }
    TempFolder(TempFolder const&) = delete;
    TempFolder& operator=(TempFolder const&) = delete;

    std::filesystem::path const& path() const { return mPath; }

private:
    std::filesystem::path mPath;
};

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
