#include "render/dataset.h"

#include "octree/entwinelocation.h"
#include "octree/potreelocation.h"

#include <stdexcept>
#include <string>
#include <system_error>

namespace Render {

std::shared_ptr<Octree::Location> openDataSet(std::filesystem::path const& folder)
{
    std::string const name = folder.generic_string();
    std::error_code error;
    if (!std::filesystem::exists(folder, error))
        throw std::runtime_error("'" + name + "' does not exist");
    if (!std::filesystem::is_directory(folder, error))
        throw std::runtime_error("'" + name + "' is a file, not a data set folder");
    if (std::filesystem::exists(folder / "ept.json", error))
        return std::make_shared<Entwine::FileSystemLocation>(folder);
    auto location = std::make_shared<PoTree::FileSystemLocation>(folder);
    if (!location->exists())
        throw std::runtime_error("'" + name + "' is neither a Potree 2.0 nor an Entwine data set");
    return location;
}

} // namespace Render
