#pragma once

#include "core/lrucache.h"
#include "octree/nodepointdata.h"
#include "octree/octree.h"

#include <cstdint>
#include <optional>
#include <stop_token>

namespace Octree {

// Decoded node points of one octree, bounded in points, least recently used out first.
// Concurrent requests for one node load it once.
class OctreeNodeCache {
public:
    static constexpr std::uint64_t kDefaultCapacityPoints = 10'000'000;

    explicit OctreeNodeCache(std::uint64_t capacityPoints = kDefaultCapacityPoints) : mCache(capacityPoints) {}

    std::optional<NodePointData> get(OctreeNodeId id) const
    {
        try {
            return mCache.get(id);
        } catch (std::invalid_argument const&) {
            return std::nullopt;
        }
    }

    void put(OctreeNodeId id, NodePointData data)
    {
        std::uint64_t const size = data.size();
        mCache.put(id, std::move(data), size);
    }

    // The node's points with every attribute, from the cache or read from the octree. False
    // when stopped; read errors propagate and leave nothing cached.
    bool getOrLoad(Octree const& octree, OctreeNodeId id, NodePointData& out, std::stop_token stopToken = {})
    {
        return mCache.getOrLoad(
            id, out, [&](NodePointData& loaded) { return octree.loadNodePointData(id, loaded, stopToken); }, stopToken);
    }

private:
    mutable Core::LruCache<OctreeNodeId, NodePointData> mCache;
};

} // namespace Octree
