#pragma once

#include "math/vertexformats.h"
#include "octree/filteredpointwalk.h"
#include "octree/location.h"
#include "octree/octree.h"
#include "render/export.h"
#include "render/ifilter.h"
#include "render/pointcloudfilter.h"

#include <Eigen/Core>

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

namespace Render {

// Pulls points out of an octree: breadth first, coarse to fine, down to a level and a point spacing,
// keeping what a host filter accepts, in chunks and within a time limit. Used by one thread at a time;
// the shared node point cache does its own locking.
class MORVID_RENDER_API PointCloudQuery {
public:
    using NodePointCache = Octree::NodePointDataCache;

    // `cache` may be null: nodes are then read from the octree each time. `filter` may be null to keep
    // every point; it is not owned and must outlive the query. A `duration` of
    // std::chrono::nanoseconds::max() sets no time limit.
    PointCloudQuery(std::shared_ptr<Octree::Octree> octree, std::shared_ptr<NodePointCache> cache,
                    Eigen::Matrix4f const& worldMatrix, IFilter const* filter, std::size_t maxLevel,
                    float minSpacing, std::chrono::nanoseconds duration);
    PointCloudQuery(PointCloudQuery&&) noexcept;
    PointCloudQuery& operator=(PointCloudQuery&&) noexcept;
    ~PointCloudQuery();

    // Writes at most `maxCount` points, in world coordinates with their colors, and returns their number.
    // Fewer than `maxCount` means the query is exhausted or its time limit has passed (see isExhausted).
    // Throws std::runtime_error "Querying node data failed", with the cause nested, when a node cannot be
    // read; that node is skipped and the query can be called again. Throws std::invalid_argument for a
    // null `out` with a non-zero `maxCount`.
    std::size_t getNextPointChunk(VertexPosColor* out, std::size_t maxCount);

    // Applies to the boxes and points handled from now on.
    void setWorldMatrix(Eigen::Matrix4f const& matrix);

    // True once every point the query can return has been returned.
    bool isExhausted() const;
    // Nodes read so far, per octree level.
    std::vector<std::size_t> loadedNodesPerLevel() const;

    // The process-wide node point cache of a data set at a unit scale, created on first use; it lives
    // as long as a query or point cloud holds it.
    static std::shared_ptr<NodePointCache> createOrGetSharedCache(std::shared_ptr<Octree::Location> const& location,
                                                                  double unitScale, std::size_t capacity,
                                                                  std::size_t reserveEntries);
    // Forgets the shared caches; those in use stay alive with their holders. For library shutdown.
    static void clearSharedCaches();

private:
    Octree::FilteredPointWalk<PointCloudFilter> mWalk;
};

} // namespace Render
