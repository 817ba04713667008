#include "octree/entwinehttplocation.h"

#include <algorithm>
#include <stdexcept>

namespace Entwine {
namespace {

constexpr char kDescriptionFile[] = "ept.json";
// Prefetched files never read (their nodes left the view or the budget) are let go, oldest
// first, beyond this many.
constexpr std::size_t kMaxPrefetchedFiles = 64;

} // namespace

HttpLocation::HttpLocation(std::string const& url, std::shared_ptr<Core::HttpClient> client)
    : mUrl(Core::withoutTrailingSlashes(url)), mClient(std::move(client))
{
    if (!Core::isHttpUrl(mUrl) || !mClient)
        throw std::invalid_argument("Entwine::HttpLocation needs an http(s) URL and a client, not '" + mUrl + "'");
}

bool HttpLocation::exists() const
{
    try {
        readFile(kDescriptionFile);
        return true;
    } catch (std::runtime_error const&) {
        return false;
    }
}

std::string HttpLocation::identity() const
{
    return "ept:" + mUrl;
}

std::string HttpLocation::readFile(std::string const& relativePath) const
{
    if (relativePath != kDescriptionFile) {
        std::future<std::string> bytes;
        {
            std::lock_guard const lock(mPrefetchMutex);
            if (auto const prefetched = mPrefetched.find(relativePath); prefetched != mPrefetched.end()) {
                bytes = std::move(prefetched->second.bytes);
                mPrefetched.erase(prefetched);
            }
        }
        if (!bytes.valid())
            bytes = mClient->fetch(Core::joinUrl(mUrl, relativePath));
        return bytes.get();
    }
    std::lock_guard const lock(mDescriptionMutex);
    if (mDescription.empty())
        mDescription = mClient->fetch(Core::joinUrl(mUrl, relativePath)).get();
    return mDescription;
}


void HttpLocation::prefetchFile(std::string const& relativePath) const
{
    std::lock_guard const lock(mPrefetchMutex);
    if (mPrefetched.contains(relativePath))
        return;
    if (mPrefetched.size() >= kMaxPrefetchedFiles)
        mPrefetched.erase(std::ranges::min_element(mPrefetched, {}, [](auto const& entry) { return entry.second.sequence; }));
    mPrefetched.emplace(relativePath, Prefetched{mClient->fetch(Core::joinUrl(mUrl, relativePath)), ++mPrefetchSequence});
}

} // namespace Entwine
