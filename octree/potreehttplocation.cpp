#include "octree/potreehttplocation.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace PoTree {
namespace {

constexpr char kMetadataFile[] = "metadata.json";
constexpr char kHierarchyFile[] = "hierarchy.bin";
constexpr char kOctreeFile[] = "octree.bin";
// Batches whose siblings were never all asked for (hidden or out of budget) are let go, oldest
// first, beyond this many bytes.
constexpr std::uint64_t kMaxKeptBatchBytes = std::uint64_t{32} << 20;

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

std::future<std::string> HttpLocation::fetchNodeBytes(Node const& node, std::stop_token stopToken) const
{
    Core::ByteRange const batch = batchOf(node);
    std::optional<Batch> const kept = claimBatch(node, batch);
    if (!kept)
        return fetchOctreeChunk(node.byteOffset, node.byteSize, std::move(stopToken));
    // Cut out when asked for, on the asking thread. A batch of siblings that fails is dropped and
    // the node asked for alone, so that a fault breaks only the node it lies in.
    return std::async(std::launch::deferred, [this, kept, batch, offset = node.byteOffset, size = node.byteSize,
                                              stopToken] {
        try {
            return kept->bytes.get().substr(offset - batch.offset, size);
        } catch (Core::HttpError const&) {
            if (batch.size == size)
                throw;
            dropBatch(batch.offset, kept->sequence);
        }
        return fetchOctreeChunk(offset, size, stopToken).get();
    });
}

void HttpLocation::prefetchNodeBytes(Node const& node) const
{
    if (node.byteSize == 0)
        return;
    std::lock_guard const lock(mBatchMutex);
    keptBatch(batchOf(node));
}

Core::ByteRange HttpLocation::batchOf(Node const& node)
{
    return node.batchSize > node.byteSize ? Core::ByteRange{node.batchOffset, node.batchSize}
                                          : Core::ByteRange{node.byteOffset, node.byteSize};
}

std::map<std::uint64_t, HttpLocation::Batch>::iterator HttpLocation::keptBatch(Core::ByteRange const& range) const
{
    auto it = mBatches.find(range.offset);
    if (it != mBatches.end())
        return it;
    while (!mBatches.empty() && mKeptBatchBytes + range.size > kMaxKeptBatchBytes)
        eraseBatch(std::ranges::min_element(mBatches, {}, [](auto const& entry) { return entry.second.sequence; }));
    // Not stopped with the node that happened to ask first: its siblings wait on the same bytes.
    Batch batch{mClient->fetch(Core::joinUrl(mUrl, kOctreeFile), range).share(), range.size, range.size,
                ++mBatchSequence};
    mKeptBatchBytes += range.size;
    return mBatches.emplace(range.offset, std::move(batch)).first;
}

std::optional<HttpLocation::Batch> HttpLocation::claimBatch(Node const& node, Core::ByteRange const& range) const
{
    std::lock_guard const lock(mBatchMutex);
    auto it = mBatches.find(range.offset);
    // A node without siblings next to it is fetched alone unless it was prefetched.
    if (it == mBatches.end() && range.size == node.byteSize)
        return std::nullopt;
    if (it == mBatches.end())
        it = keptBatch(range);
    Batch const batch = it->second;
    it->second.unclaimed -= std::min(it->second.unclaimed, node.byteSize);
    if (it->second.unclaimed == 0)
        eraseBatch(it);
    return batch;
}

void HttpLocation::dropBatch(std::uint64_t offset, std::uint64_t sequence) const
{
    std::lock_guard const lock(mBatchMutex);
    if (auto const it = mBatches.find(offset); it != mBatches.end() && it->second.sequence == sequence)
        eraseBatch(it);
}

void HttpLocation::eraseBatch(std::map<std::uint64_t, Batch>::iterator batch) const
{
    mKeptBatchBytes -= batch->second.size;
    mBatches.erase(batch);
}

} // namespace PoTree
