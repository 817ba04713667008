// Point queries of several threads over one shared node point cache.
#include "testdatasets.h"

#include "octree/filteredpointwalk.h"
#include "octree/potreelocation.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>

namespace {

constexpr std::size_t kThreads = 4;
constexpr std::size_t kPoints = 3000;
// Far below the cloud's size, so that threads evict each other's nodes while they read them.
constexpr std::uint64_t kCacheCapacityPoints = 400;

TEST(PointQueryConcurrency, QueriesSharingASmallCacheEachGetEveryPoint)
{
    constexpr std::size_t kPointsPerNode = 100;
    OctreeTest::WrittenDataSet const dataSet("pointquery-concurrent", OctreeTest::randomPoints(kPoints), kPointsPerNode);
    auto const octree = dataSet.open();
    auto const cache = std::make_shared<Octree::NodePointDataCache>(kCacheCapacityPoints);

    std::array<std::size_t, kThreads> counts{};
    {
        std::vector<std::jthread> threads;
        for (std::size_t t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                Octree::FilteredPointWalk<OctreeTest::WalkFilter> walk(
                    octree, cache, Eigen::Matrix4f::Identity(), OctreeTest::WalkFilter{},
                    std::chrono::nanoseconds::max());
                while (!walk.isExhausted())
                    counts[t] += walk.next(37, [](Math::Point<float, 3> const&, Math::Color) {});
            });
        }
    }
    for (std::size_t const count : counts)
        EXPECT_EQ(count, kPoints);
    EXPECT_LE(cache->currentSize(), kCacheCapacityPoints + kPointsPerNode);
}

} // namespace
