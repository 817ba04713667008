#pragma once

#include "octree/location.h"

#include <filesystem>
#include <memory>
#include <string>

namespace Render {
class Renderer;
}

namespace Tools {

// The name of the graphics adapter the renderer's device runs on.
std::string adapterName(Render::Renderer const& renderer);
// The device's Direct3D feature level, as "11_0".
std::string featureLevelName(Render::Renderer const& renderer);
// A Potree 2.0 or Entwine data set on disk; throws naming the folder when it is neither.
std::shared_ptr<Octree::Location> openDataSet(std::filesystem::path const& folder);

} // namespace Tools
