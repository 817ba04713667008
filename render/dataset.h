#pragma once

#include "octree/location.h"
#include "render/export.h"

#include <filesystem>
#include <memory>

namespace Render {

// The Potree 2.0 or Entwine data set in `folder`, for PointCloudRenderable::create. Throws
// std::runtime_error naming the folder when it does not exist, is a file, or holds neither
// kind of data set.
MORVID_RENDER_API std::shared_ptr<Octree::Location> openDataSet(std::filesystem::path const& folder);

} // namespace Render
