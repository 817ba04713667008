#pragma once

#include "core/httpclient.h"
#include "octree/potreelocation.h"

#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace PoTree {

// A Potree 2.0 data set on a web server: "metadata.json" fetched whole once, hierarchy chunks
// and node points as byte ranges of "hierarchy.bin" and "octree.bin". A node's points come with
// those of its siblings stored next to it, in one request; their bytes wait here for their turn.
class HttpLocation : public Location {
public:
    // `url` names the data set's folder (http or https).
    HttpLocation(std::string const& url, std::shared_ptr<Core::HttpClient> client);

    std::string const& url() const { return mUrl; }

    // True when the metadata can be fetched and parsed.
    bool exists() const override;
    std::string identity() const override;
    std::size_t idleRequestSlots() const override { return mClient->idleRequestSlots(); }
    Metadata const& metadata() const override;
    bool fetchHierarchyChunk(std::uint64_t offset, std::uint64_t size, std::string& bytes,
                             std::stop_token stopToken) const override;
    std::future<std::string> fetchOctreeChunk(std::uint64_t offset, std::uint64_t size,
                                              std::stop_token stopToken) const override;
    std::future<std::string> fetchNodeBytes(Node const& node, std::stop_token stopToken) const override;
    void prefetchNodeBytes(Node const& node) const override;

private:
    // The bytes of one batch of sibling nodes, fetched once for all of them.
    struct Batch {
        std::shared_future<std::string> bytes;
        std::uint64_t size = 0;
        // Bytes of the batch not yet handed out; the batch is let go when none remain.
        std::uint64_t unclaimed = 0;
        // Tells a batch from a later one at the same offset.
        std::uint64_t sequence = 0;
    };

    // The bytes fetched for `node`: its siblings' batch, or its own range.
    static Core::ByteRange batchOf(Node const& node);
    // The batch kept for `range`, fetched now when it is not; under the batch mutex.
    std::map<std::uint64_t, Batch>::iterator keptBatch(Core::ByteRange const& range) const;
    // The kept or prefetched batch `range` of `node`, counting the node's bytes as handed out;
    // none for a node fetched alone.
    std::optional<Batch> claimBatch(Node const& node, Core::ByteRange const& range) const;
    // Lets the batch go unless a later one has taken its place.
    void dropBatch(std::uint64_t offset, std::uint64_t sequence) const;
    void eraseBatch(std::map<std::uint64_t, Batch>::iterator batch) const;

    std::string mUrl;
    std::shared_ptr<Core::HttpClient> mClient;
    mutable std::mutex mMetadataMutex;
    mutable std::unique_ptr<Metadata const> mMetadata;
    mutable std::mutex mBatchMutex;
    // By offset in the octree file.
    mutable std::map<std::uint64_t, Batch> mBatches;
    mutable std::uint64_t mBatchSequence = 0;
    mutable std::uint64_t mKeptBatchBytes = 0;
};

} // namespace PoTree
