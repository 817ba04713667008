#pragma once

#include "core/httpclient.h"
#include "octree/entwinelocation.h"

#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace Entwine {

// An Entwine Point Tile data set on a web server; each file is fetched whole. "ept.json" is
// kept once fetched, so that probing a URL and opening the tree cost one request. Prefetched
// files wait here until read; the oldest of those never read are let go.
class HttpLocation : public Location {
public:
    // `url` names the data set's root folder (http or https).
    HttpLocation(std::string const& url, std::shared_ptr<Core::HttpClient> client);

    std::string const& url() const { return mUrl; }

    // True when "ept.json" can be fetched.
    bool exists() const override;
    std::string identity() const override;
    std::size_t idleRequestSlots() const override { return mClient->idleRequestSlots(); }
    std::string readFile(std::string const& relativePath) const override;
    void prefetchFile(std::string const& relativePath) const override;

private:
    struct Prefetched {
        std::future<std::string> bytes;
        // Tells the oldest prefetch apart.
        std::uint64_t sequence = 0;
    };

    std::string mUrl;
    std::shared_ptr<Core::HttpClient> mClient;
    mutable std::mutex mDescriptionMutex;
    mutable std::string mDescription;
    mutable std::mutex mPrefetchMutex;
    // By relative path.
    mutable std::map<std::string, Prefetched> mPrefetched;
    mutable std::uint64_t mPrefetchSequence = 0;
};

} // namespace Entwine
