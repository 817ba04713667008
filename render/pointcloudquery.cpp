#include "render/pointcloudquery.h"

#include "core/sharedresources.h"

#include <stdexcept>
#include <utility>

namespace Render {
namespace {

using SharedNodePointCaches =
    Core::SharedResources<Octree::CacheIdentifier, PointCloudQuery::NodePointCache, Octree::CacheIdentifierHash>;

SharedNodePointCaches& sharedNodePointCaches()
{
    static SharedNodePointCaches registry;
    return registry;
}

} // namespace

void PointCloudQuery::clearSharedCaches()
{
    sharedNodePointCaches().clear();
}

PointCloudQuery::PointCloudQuery(std::shared_ptr<Octree::Octree> octree, std::shared_ptr<NodePointCache> cache,
                                 Eigen::Matrix4f const& worldMatrix, IFilter const* filter, std::size_t maxLevel,
                                 float minSpacing, std::chrono::nanoseconds duration)
    : mWalk(std::move(octree), std::move(cache), worldMatrix, PointCloudFilter(filter, maxLevel, minSpacing), duration)
{
}

PointCloudQuery::PointCloudQuery(PointCloudQuery&&) noexcept = default;
PointCloudQuery& PointCloudQuery::operator=(PointCloudQuery&&) noexcept = default;
PointCloudQuery::~PointCloudQuery() = default;

std::size_t PointCloudQuery::getNextPointChunk(VertexPosColor* out, std::size_t maxCount)
{
    if (!out && maxCount > 0)
        throw std::invalid_argument("Error: no buffer for the queried points");
    std::size_t written = 0;
    return mWalk.next(maxCount, [&](Math::Point<float, 3> const& position, Math::Color color) {
        out[written++] = VertexPosColor(position, color);
    });
}

void PointCloudQuery::setWorldMatrix(Eigen::Matrix4f const& matrix)
{
    mWalk.setWorldMatrix(matrix);
}

bool PointCloudQuery::isExhausted() const
{
    return mWalk.isExhausted();
}

std::vector<std::size_t> PointCloudQuery::loadedNodesPerLevel() const
{
    return mWalk.loadedNodesPerLevel();
}

std::shared_ptr<PointCloudQuery::NodePointCache> PointCloudQuery::createOrGetSharedCache(
    std::shared_ptr<Octree::Location> const& location, double unitScale, std::size_t capacity,
    std::size_t reserveEntries)
{
    return sharedNodePointCaches().createOrGet(Octree::CacheIdentifier{location, unitScale},
                                               static_cast<std::uint64_t>(capacity), reserveEntries);
}

} // namespace Render
