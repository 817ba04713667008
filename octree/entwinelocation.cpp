#include "octree/entwinelocation.h"

#include "core/filereading.h"

namespace Entwine {

bool FileSystemLocation::exists() const
{
    std::error_code error;
    return std::filesystem::is_regular_file(mFolder / "ept.json", error);
}

std::string FileSystemLocation::identity() const
{
    std::error_code error;
    std::filesystem::path const canonical = std::filesystem::weakly_canonical(mFolder, error);
    return "ept:" + (error ? mFolder : canonical).generic_string();
}

std::string FileSystemLocation::readFile(std::string const& relativePath) const
{
    return Core::readLocalFile(mFolder / relativePath);
}

} // namespace Entwine
