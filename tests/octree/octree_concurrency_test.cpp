#include "testdatasets.h"

#include "octree/nodevertexloader.h"
#include "octree/octreenodecache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

constexpr int kThreads = 4;

TEST(OctreeConcurrency, ParallelLookupsResolveEachNodeOnce)
{
    PoTree::WriterOptions options;
    options.hierarchyStepSize = 1;
    OctreeTest::WrittenDataSet const dataSet("concurrent", OctreeTest::randomPoints(3000), 50, options);
    auto const ids = Octree::allNodeIds(*dataSet.open());
    ASSERT_EQ(ids.size(), dataSet.summary.nodes);

    // Every thread walks the nodes deepest first, so that proxies are resolved concurrently.
    Octree::Octree const fresh(dataSet.location(), 1.0);
    Octree::OctreeNodeCache cache;
    std::vector<std::vector<PoTree::NodePtr>> seen(kThreads);
    std::atomic<std::size_t> points{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
                seen[static_cast<std::size_t>(t)].push_back(fresh.potreeTree()->nodeById(*it));
                Render::VertexContainer vertices;
                if (Octree::loadNodeVertices(fresh, *it, vertices, {}))
                    points += vertices.size();
                Octree::NodePointData data;
                cache.getOrLoad(fresh, *it, data);
            }
        });
    }
    threads.clear();
    for (int t = 1; t < kThreads; ++t)
        EXPECT_EQ(seen[static_cast<std::size_t>(t)], seen[0]);
    EXPECT_EQ(points.load(), 3000u * kThreads);
}

} // namespace
