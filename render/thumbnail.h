#pragma once

#include "math/color.h"
#include "render/export.h"
#include "render/eyedomelighting.h"

#include <cstddef>
#include <filesystem>
#include <memory>

namespace Octree {
class Location;
}

namespace Render {

// File name of the thumbnail that the folder overload writes into the data set folder.
inline constexpr char kThumbnailFileName[] = "thumbnail.png";

// Renders the Potree data set in `folder` once, offscreen, and writes folder / "thumbnail.png".
MORVID_RENDER_API void createThumbnail(std::filesystem::path const& folder, std::size_t width, std::size_t height,
                                       Math::Color const& background, std::size_t maxLevel);

// Renders the point cloud at `location` down to `maxLevel`, the whole of it framed as seen
// obliquely from above a corner (frameCloud), and writes the frame as PNG to `output` (replacing an
// existing file). Points without colors show their intensities in gray over the range the data
// spans. A location that does not exist throws std::invalid_argument before anything is created;
// a cloud without points gives an image of the background color.
MORVID_RENDER_API void createThumbnail(std::shared_ptr<Octree::Location> const& location,
                                       std::filesystem::path const& output, std::size_t width, std::size_t height,
                                       Math::Color const& background, std::size_t maxLevel,
                                       EyeDomeLighting const& lighting = {});

} // namespace Render
