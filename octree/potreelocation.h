#pragma once

#include "octree/location.h"
#include "octree/potreemetadata.h"
#include "octree/potreenode.h"

#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

namespace PoTree {

// The source of a Potree 2.0 data set's metadata, hierarchy and point bytes.
class Location : public Octree::Location {
public:
    // Parsed once; throws std::runtime_error naming the file when it cannot be read or parsed.
    virtual Metadata const& metadata() const = 0;
    // Bytes of the hierarchy file; false when stopped. Throws naming the file when they
    // cannot be read.
    virtual bool fetchHierarchyChunk(std::uint64_t offset, std::uint64_t size, std::string& bytes,
                                     std::stop_token stopToken) const = 0;
    // Point bytes of one node; the future holds the error when they cannot be read.
    virtual std::future<std::string> fetchOctreeChunk(std::uint64_t offset, std::uint64_t size,
                                                      std::stop_token stopToken) const = 0;
    // Point bytes of `node`. A location where every read costs a round trip overrides this to
    // fetch the node's batch at once and keep its siblings' bytes for their turn.
    virtual std::future<std::string> fetchNodeBytes(Node const& node, std::stop_token stopToken) const
    {
        return fetchOctreeChunk(node.byteOffset, node.byteSize, std::move(stopToken));
    }
    // Starts fetching the bytes of `node` where every read costs a round trip, so that they arrive
    // while other nodes decode; fetchNodeBytes takes them. Nothing where reads are local.
    virtual void prefetchNodeBytes(Node const&) const {}
};

using LocationPtr = std::shared_ptr<Location>;

// A data set folder holding "metadata.json", "hierarchy.bin" and "octree.bin".
class FileSystemLocation : public Location {
public:
    explicit FileSystemLocation(std::filesystem::path folder);

    std::filesystem::path const& folder() const { return mFolder; }

    bool exists() const override;
    std::string identity() const override;
    std::string displayName() const override { return mFolder.generic_string(); }
    Metadata const& metadata() const override;
    bool fetchHierarchyChunk(std::uint64_t offset, std::uint64_t size, std::string& bytes,
                             std::stop_token stopToken) const override;
    std::future<std::string> fetchOctreeChunk(std::uint64_t offset, std::uint64_t size,
                                              std::stop_token stopToken) const override;

private:
    std::filesystem::path mFolder;
    mutable std::mutex mMetadataMutex;
    mutable std::unique_ptr<Metadata const> mMetadata;
};

} // namespace PoTree
