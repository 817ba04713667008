#pragma once

#include "octree/location.h"

#include <filesystem>
#include <string>

namespace Entwine {

// The files of an Entwine Point Tile data set, by their path relative to its root
// ("ept.json", "ept-hierarchy/0-0-0-0.json", "ept-data/0-0-0-0.laz").
class Location : public Octree::Location {
public:
    // Throws std::runtime_error naming the file when it cannot be read.
    virtual std::string readFile(std::string const& relativePath) const = 0;
    // Starts fetching a file where every read costs a round trip, so that it arrives while other
    // files decode; readFile takes it. Nothing where reads are local.
    virtual void prefetchFile(std::string const&) const {}
};

class FileSystemLocation : public Location {
public:
    explicit FileSystemLocation(std::filesystem::path folder) : mFolder(std::move(folder)) {}

    std::filesystem::path const& folder() const { return mFolder; }

    bool exists() const override;
    std::string identity() const override;
    std::string displayName() const override { return mFolder.generic_string(); }
    std::string readFile(std::string const& relativePath) const override;

private:
    std::filesystem::path mFolder;
};

} // namespace Entwine
