// Threads sharing one octree: its hierarchy, its node cache and the point walks over it.
#include "testdatasets.h"

#include "octree/filteredpointwalk.h"
#include "octree/nodevertexloader.h"
#include "octree/octreenodecache.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

namespace {

constexpr std::size_t kThreads = 4;
constexpr std::size_t kPoints = 3000;

TEST(OctreeConcurrency, ParallelLookupsResolveEachNodeOnce)
{
    PoTree::WriterOptions options;
    options.hierarchyStepSize = 1;
    OctreeTest::WrittenDataSet const dataSet("concurrent", OctreeTest::randomPoints(kPoints), 50, options);
    auto const ids = Octree::allNodeIds(*dataSet.open());
    ASSERT_EQ(ids.size(), dataSet.summary.nodes);

    // Every thread walks the nodes deepest first, so that proxies are resolved concurrently.
    Octree::Octree const fresh(dataSet.location(), 1.0);
    Octree::OctreeNodeCache cache;
    std::vector<std::vector<PoTree::NodePtr>> seen(kThreads);
    std::atomic<std::size_t> points{0};
    std::vector<std::jthread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
                seen[t].push_back(fresh.potreeTree()->nodeById(*it));
                Render::VertexContainer vertices;
                if (Octree::loadNodeVertices(fresh, *it, vertices, {}))
                    points += vertices.size();
                Octree::NodePointData data;
                cache.getOrLoad(fresh, *it, data);
            }
        });
    }
    threads.clear();
    for (std::size_t t = 1; t < kThreads; ++t)
        EXPECT_EQ(seen[t], seen[0]);
    EXPECT_EQ(points.load(), kPoints * kThreads);
}

TEST(PointQueryConcurrency, QueriesSharingASmallCacheEachGetEveryPoint)
{
    constexpr std::size_t kPointsPerNode = 100;
    // Far below the cloud's size, so that threads evict each other's nodes while they read them.
    constexpr std::uint64_t kCacheCapacityPoints = 400;
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
