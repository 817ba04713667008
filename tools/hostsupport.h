#pragma once

#include "graphics/laspointwriter.h"
#include "octree/location.h"

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Render {
class Renderer;
}
namespace Octree {
class Octree;
}

namespace Tools {

// The name of the graphics adapter the renderer's device runs on.
std::string adapterName(Render::Renderer const& renderer);
// The device's Direct3D feature level, as "11_0".
std::string featureLevelName(Render::Renderer const& renderer);
// A Potree 2.0 or Entwine data set on disk; throws naming the folder when it does not exist,
// is a point file still to convert, or is neither kind of data set.
std::shared_ptr<Octree::Location> openDataSet(std::filesystem::path const& folder);

// The data set's integer grid and coordinate system, as its description declares them.
Graphics::LasFrame dataSetFrame(Octree::Octree const& octree);

// The file's extension in lower case, with its dot.
std::string lowerCaseExtension(std::filesystem::path const& path);

// Checks, before any work starts, that `path` can be written: a UsageError when its extension is
// not one of `extensions` (".png", ...), a std::runtime_error with the reason when the file
// cannot be created. Leaves no file behind that was not there before.
void checkOutputFile(std::filesystem::path const& path, std::vector<std::string_view> const& extensions);
// The same for a folder the command fills: it is a folder or does not exist yet, and files can be
// made in it or in the nearest folder above it that exists.
void checkOutputFolder(std::filesystem::path const& folder);

} // namespace Tools
