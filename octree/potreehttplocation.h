#pragma once

#include "core/httpclient.h"
#include "octree/potreelocation.h"

#include <memory>
#include <mutex>
#include <string>

namespace PoTree {

// A Potree 2.0 data set on a web server: "metadata.json" fetched whole once, hierarchy chunks
// and node points as byte ranges of "hierarchy.bin" and "octree.bin".
class HttpLocation : public Location {
public:
    // `url` names the data set's folder (http or https).
    HttpLocation(std::string const& url, std::shared_ptr<Core::HttpClient> client);

    std::string const& url() const { return mUrl; }

    // True when the metadata can be fetched and parsed.
    bool exists() const override;
    std::string identity() const override;
    Metadata const& metadata() const override;
    bool fetchHierarchyChunk(std::uint64_t offset, std::uint64_t size, std::string& bytes,
                             std::stop_token stopToken) const override;
    std::future<std::string> fetchOctreeChunk(std::uint64_t offset, std::uint64_t size,
                                              std::stop_token stopToken) const override;

private:
    std::string mUrl;
    std::shared_ptr<Core::HttpClient> mClient;
    mutable std::mutex mMetadataMutex;
    mutable std::unique_ptr<Metadata const> mMetadata;
};

} // namespace PoTree
