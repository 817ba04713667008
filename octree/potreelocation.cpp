#include "octree/potreelocation.h"

#include "core/filereading.h"

#include <stdexcept>
#include <utility>

namespace PoTree {
namespace {

constexpr char kMetadataFile[] = "metadata.json";
constexpr char kHierarchyFile[] = "hierarchy.bin";
constexpr char kOctreeFile[] = "octree.bin";

// Checks the range against the file's size first, so that a corrupt offset or size in the
// hierarchy gives an error naming the file instead of a huge allocation.
std::string readRange(std::filesystem::path const& path, std::uint64_t offset, std::uint64_t size)
{
    std::error_code error;
    std::uint64_t const fileSize = std::filesystem::file_size(path, error);
    if (error)
        throw std::runtime_error("cannot open file '" + path.generic_string() + "'");
    if (offset > fileSize || size > fileSize - offset)
        throw std::runtime_error("file '" + path.generic_string() + "' is too short: " + std::to_string(size) +
                                 " bytes at offset " + std::to_string(offset) + " lie beyond its " +
                                 std::to_string(fileSize) + " bytes");
    return Core::readLocalFile(path, offset, size);
}

} // namespace

FileSystemLocation::FileSystemLocation(std::filesystem::path folder) : mFolder(std::move(folder)) {}

bool FileSystemLocation::exists() const
{
    std::error_code error;
    return std::filesystem::is_regular_file(mFolder / kMetadataFile, error) &&
           std::filesystem::is_regular_file(mFolder / kHierarchyFile, error) &&
           std::filesystem::is_regular_file(mFolder / kOctreeFile, error);
}

std::string FileSystemLocation::identity() const
{
    std::error_code error;
    std::filesystem::path const canonical = std::filesystem::weakly_canonical(mFolder, error);
    return "potree:" + (error ? mFolder : canonical).generic_string();
}

Metadata const& FileSystemLocation::metadata() const
{
    std::lock_guard const lock(mMetadataMutex);
    if (!mMetadata) {
        std::filesystem::path const path = mFolder / kMetadataFile;
        mMetadata = std::make_unique<Metadata const>(Metadata::parse(Core::readLocalFile(path), path.generic_string()));
    }
    return *mMetadata;
}

bool FileSystemLocation::fetchHierarchyChunk(std::uint64_t offset, std::uint64_t size, std::string& bytes,
                                             std::stop_token stopToken) const
{
    if (stopToken.stop_requested())
        return false;
    bytes = readRange(mFolder / kHierarchyFile, offset, size);
    return true;
}

std::future<std::string> FileSystemLocation::fetchOctreeChunk(std::uint64_t offset, std::uint64_t size,
                                                              std::stop_token) const
{
    std::promise<std::string> promise;
    try {
        promise.set_value(readRange(mFolder / kOctreeFile, offset, size));
    } catch (...) {
        promise.set_exception(std::current_exception());
    }
    return promise.get_future();
}

} // namespace PoTree
