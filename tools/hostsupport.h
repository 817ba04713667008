#pragma once

#include "core/httpclient.h"
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
// A Potree 2.0 or Entwine data set: a folder on disk, or an http(s) URL of one, fetched through
// the process's one HTTP client. Throws naming the folder or URL when it does not exist, is a
// point file still to convert, or is neither kind of data set.
std::shared_ptr<Octree::Location> openDataSet(std::string const& source);
// A folder in its generic form (forward slashes), a URL as it is: how messages name a data set.
std::string sourceName(std::string const& source);
// The last part of a folder or URL, as the name of its cloud.
std::string dataSetName(std::string const& source);
// What the data sets opened from URLs have cost so far (nothing before the first).
Core::HttpStatistics httpStatistics();
// Waits for the HTTP requests in flight and ends the client's threads, so that none runs while the
// process exits; data sets still open fail to fetch from then on.
void shutDownHttpClient();

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
