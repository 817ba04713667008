// Pulling points out of a point cloud: queries through a filter and whole-cloud collections.
#include "render/pointcloudrenderable.h"

#include "math/trianglemeshshell.h"
#include "octree/pointcollection.h"
#include "octree/pointiterator.h"
#include "render/pointcloudquery.h"

#include <utility>

namespace Render {
namespace {

// Node points kept for the queries of one data set.
constexpr std::size_t kQueryCacheCapacityPoints = 2'000'000;
constexpr std::size_t kQueryCacheReserveEntries = 4000;

} // namespace

std::shared_ptr<PointCloudQuery> PointCloudRenderable::createPointCloudQuery(IFilter const* filter, std::size_t maxLevel,
                                                                             float minSpacing,
                                                                             std::chrono::nanoseconds duration) const
{
    auto cache = PointCloudQuery::createOrGetSharedCache(mOctree->location(), mOctree->unitScale(),
                                                         kQueryCacheCapacityPoints, kQueryCacheReserveEntries);
    return std::make_shared<PointCloudQuery>(mOctree, std::move(cache), Eigen::Matrix4f::Identity(), filter, maxLevel,
                                             minSpacing, duration);
}

bool PointCloudRenderable::getAllPoints(Octree::OctreeNodeCache& cache, std::vector<Math::Point<float, 3>>& positions,
                                        std::vector<Eigen::Vector3f>& normals, std::size_t maxPoints, float spacing,
                                        bool append, std::stop_token stopToken) const
{
    auto points = Octree::allPoints(*mOctree, cache, spacing, stopToken);
    return Octree::collectPoints(points, mOctree->hasNormals(), worldMatrix(), {positions, normals}, maxPoints, append,
                                 stopToken);
}

bool PointCloudRenderable::getAllPointsInsideShell(Octree::OctreeNodeCache& cache,
                                                   std::vector<Math::Point<float, 3>>& positions,
                                                   std::vector<Eigen::Vector3f>& normals,
                                                   Math::TriangleMeshShell<float> shell, std::size_t maxPoints,
                                                   float spacing, bool append, std::stop_token stopToken) const
{
    shell.transformBy(invWorldMatrix());
    auto points = Octree::allPointsInside(*mOctree, cache, shell, spacing, stopToken);
    return Octree::collectPoints(points, mOctree->hasNormals(), worldMatrix(), {positions, normals}, maxPoints,
                                 append, stopToken);
}

} // namespace Render
