#include "octree/entwinehttplocation.h"

#include <stdexcept>

namespace Entwine {
namespace {

constexpr char kDescriptionFile[] = "ept.json";

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
    if (relativePath != kDescriptionFile)
        return mClient->fetch(Core::joinUrl(mUrl, relativePath)).get();
    std::lock_guard const lock(mDescriptionMutex);
    if (mDescription.empty())
        mDescription = mClient->fetch(Core::joinUrl(mUrl, relativePath)).get();
    return mDescription;
}

} // namespace Entwine
