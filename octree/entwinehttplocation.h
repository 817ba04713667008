#pragma once

#include "core/httpclient.h"
#include "octree/entwinelocation.h"

#include <memory>
#include <mutex>
#include <string>

namespace Entwine {

// An Entwine Point Tile data set on a web server; each file is fetched whole. "ept.json" is
// kept once fetched, so that probing a URL and opening the tree cost one request.
class HttpLocation : public Location {
public:
    // `url` names the data set's root folder (http or https).
    HttpLocation(std::string const& url, std::shared_ptr<Core::HttpClient> client);

    std::string const& url() const { return mUrl; }

    // True when "ept.json" can be fetched.
    bool exists() const override;
    std::string identity() const override;
    std::string readFile(std::string const& relativePath) const override;

private:
    std::string mUrl;
    std::shared_ptr<Core::HttpClient> mClient;
    mutable std::mutex mDescriptionMutex;
    mutable std::string mDescription;
};

} // namespace Entwine
