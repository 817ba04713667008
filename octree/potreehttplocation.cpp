#include "octree/potreehttplocation.h"

#include <stdexcept>

namespace PoTree {
namespace {

constexpr char kMetadataFile[] = "metadata.json";
constexpr char kHierarchyFile[] = "hierarchy.bin";
constexpr char kOctreeFile[] = "octree.bin";

} // namespace

HttpLocation::HttpLocation(std::string const& url, std::shared_ptr<Core::HttpClient> client)
    : mUrl(Core::withoutTrailingSlashes(url)), mClient(std::move(client))
{
    if (!Core::isHttpUrl(mUrl) || !mClient)
        throw std::invalid_argument("PoTree::HttpLocation needs an http(s) URL and a client, not '" + mUrl + "'");
}

bool HttpLocation::exists() const
{
    try {
        metadata();
        return true;
    } catch (std::runtime_error const&) {
        return false;
    }
}

std::string HttpLocation::identity() const
{
    return "potree:" + mUrl;
}

Metadata const& HttpLocation::metadata() const
{
    std::lock_guard const lock(mMetadataMutex);
    if (!mMetadata) {
        std::string const url = Core::joinUrl(mUrl, kMetadataFile);
        mMetadata = std::make_unique<Metadata const>(Metadata::parse(mClient->fetch(url).get(), url));
    }
    return *mMetadata;
}

bool HttpLocation::fetchHierarchyChunk(std::uint64_t offset, std::uint64_t size, std::string& bytes,
                                       std::stop_token stopToken) const
{
    bytes = mClient->fetch(Core::joinUrl(mUrl, kHierarchyFile), {offset, size}, stopToken).get();
    return !stopToken.stop_requested();
}

std::future<std::string> HttpLocation::fetchOctreeChunk(std::uint64_t offset, std::uint64_t size,
                                                        std::stop_token stopToken) const
{
    return mClient->fetch(Core::joinUrl(mUrl, kOctreeFile), {offset, size}, stopToken);
}

} // namespace PoTree
