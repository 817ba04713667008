#include "render/nodeprioritizer.h"
#include "support/thrownmessage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using Render::NodePrioritizer;
using Render::NodePriority;
using Box = Math::NBoundingBox<float, 3>;
using Id = Octree::OctreeNodeId;

// A priority of `value` pixels at `distance`: an orthographic view two pixels wide maps one model
// unit to one pixel.
NodePriority priorityOf(float value, float distance = 1.0f)
{
    Box const sphere(Math::Point<float, 3>(-value, 0, 0), Math::Point<float, 3>(value, 0, 0));
    return NodePriority::orthographic(sphere, Math::Frustum<float>(), {},
                                      Math::Point<float, 3>(0, 0, -distance), 1.0f,
                                      Eigen::Matrix4f::Identity(), Math::Viewport<float>(2, 2), 0.0f);
}

Box unitCube()
{
    return Box(Math::Point<float, 3>(0, 0, 0), Math::Point<float, 3>(1, 1, 1));
}

Id childPath(std::initializer_list<unsigned> path)
{
    Id id;
    for (unsigned index : path)
        id = id.child(index);
    return id;
}

// Offers a node of `points` points; `calls` counts the loader's runs.
bool offer(NodePrioritizer& prioritizer, std::uint64_t cloud, Id id, float priority, std::size_t points,
           bool* acceptedOut = nullptr, int* calls = nullptr)
{
    bool accepted = false;
    auto const loader = [&](Render::VertexContainer& out, std::stop_token) {
        if (calls)
            ++*calls;
        out.resize(points);
        return true;
    };
    bool const changed =
        prioritizer.addNode({cloud, id}, unitCube(), priorityOf(priority), loader, accepted, {});
    if (acceptedOut)
        *acceptedOut = accepted;
    return changed;
}

// A full budget evicts the least important node, never reads a node less important than everything
// loaded, admits nodes that exactly fill it, and keeps no empty or repeated node.
TEST(NodePrioritizer, AdmitsByImportanceWithinTheBudget)
{
    NodePrioritizer prioritizer(100);
    bool accepted = false;
    EXPECT_FALSE(offer(prioritizer, 1, Id(), 50.0f, 0, &accepted)) << "a known empty node";
    EXPECT_FALSE(accepted);
    EXPECT_TRUE(offer(prioritizer, 1, childPath({0}), 50.0f, 60));
    EXPECT_TRUE(offer(prioritizer, 1, childPath({1}), 40.0f, 30));
    EXPECT_TRUE(offer(prioritizer, 1, childPath({2}), 45.0f, 30));
    EXPECT_EQ(prioritizer.totalUsedPointCount(), 90u);
    EXPECT_EQ(prioritizer.nodeCount(1), 2u);
    EXPECT_TRUE(offer(prioritizer, 1, childPath({4}), 10.0f, 10, &accepted)) << "the last 10 points fit";
    EXPECT_TRUE(accepted);
    EXPECT_EQ(prioritizer.totalUsedPointCount(), 100u);
    int calls = 0;
    EXPECT_FALSE(offer(prioritizer, 1, childPath({3}), 5.0f, 30, nullptr, &calls));
    EXPECT_FALSE(offer(prioritizer, 1, childPath({0}), 50.0f, 60, &accepted, &calls));
    EXPECT_TRUE(accepted) << "a loaded node's children are still worth visiting";
    EXPECT_EQ(calls, 0) << "neither a node that cannot enter nor a loaded one is read";

    NodePrioritizer single(100);
    EXPECT_TRUE(offer(single, 1, Id(), 50.0f, 100)) << "a cloud of exactly the budget loads";
    NodePrioritizer none(0);
    EXPECT_FALSE(offer(none, 1, Id(), 1000.0f, 5, nullptr, &calls));
    EXPECT_EQ(calls, 0);
}

// A failing loader throws, unless the failure comes from a stop request; nothing enters either way.
TEST(NodePrioritizer, LoaderFailureThrowsUnlessStopped)
{
    NodePrioritizer prioritizer(100);
    bool accepted = false;
    auto const failing = [](Render::VertexContainer&, std::stop_token) { return false; };
    auto const addFailing = [&](std::stop_token stop) {
        return prioritizer.addNode({1, Id()}, unitCube(), priorityOf(5.0f), failing, accepted, stop);
    };
    EXPECT_EQ(TestSupport::thrownMessage<std::runtime_error>([&] { addFailing({}); }),
              "Error loading point data");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_FALSE(addFailing(stop.get_token()));
    EXPECT_EQ(prioritizer.totalUsedPointCount(), 0u);
}

// Clouds share one budget: the least important node of all goes first, also when the budget is lowered,
// only for a node that less important ones make room for, and removing a cloud frees its points.
TEST(NodePrioritizer, CloudsShareOneBudget)
{
    NodePrioritizer prioritizer(100);
    EXPECT_TRUE(offer(prioritizer, 1, Id(), 30.0f, 40));
    EXPECT_TRUE(offer(prioritizer, 2, Id(), 20.0f, 40));
    EXPECT_TRUE(offer(prioritizer, 3, Id(), 90.0f, 40));
    EXPECT_EQ(prioritizer.nodeCount(2), 0u);
    EXPECT_EQ(prioritizer.usedPointCount(1) + prioritizer.usedPointCount(3), 80u);
    EXPECT_FALSE(offer(prioritizer, 2, childPath({0}), 60.0f, 70))
        << "its room would take a more important node";
    EXPECT_EQ(prioritizer.totalUsedPointCount(), 80u) << "nothing is pushed out for a node that cannot enter";
    prioritizer.clear(3);
    EXPECT_EQ(prioritizer.totalUsedPointCount(), 40u);
    EXPECT_TRUE(offer(prioritizer, 2, Id(), 20.0f, 40));
    EXPECT_EQ(prioritizer.totalUsedPointCount(), 80u);

    prioritizer.clear();
    prioritizer.setTotalMaxPointCount(1000);
    for (unsigned i = 0; i < 8; ++i)
        offer(prioritizer, 1 + i % 2, childPath({i}), 10.0f * static_cast<float>(i + 1), 100);
    prioritizer.setTotalMaxPointCount(350);
    EXPECT_EQ(prioritizer.totalUsedPointCount(), 300u);
    // Cloud 2 held children 1, 3, 5, 7; the three most important of all are 7, 6 and 5.
    EXPECT_EQ(prioritizer.nodeCount(2), 2u);
    Core::TripleBuffer<Render::Buffer> buffers;
    prioritizer.updateBuffers(2, false, buffers);
    buffers.update();
    EXPECT_EQ(buffers.readBuffer().nodes.size(), 0u) << "no root: nothing of cloud 2 can be drawn";
}

// The octree texture holds one texel per drawn node, linking each to its first child; the root's box
// alone is drawn unshrunk.
TEST(NodePrioritizer, OctreeTextureLinksChildrenInIdOrder)
{
    NodePrioritizer prioritizer(1000);
    offer(prioritizer, 1, childPath({5}), 40.0f, 3);
    offer(prioritizer, 1, Id(), 90.0f, 3);
    offer(prioritizer, 1, childPath({2}), 40.0f, 3);
    offer(prioritizer, 1, childPath({2, 7}), 20.0f, 3);
    // Levels below a level without points are left out.
    offer(prioritizer, 1, childPath({1, 1, 1, 1}), 20.0f, 3);
    Core::TripleBuffer<Render::Buffer> buffers;
    prioritizer.updateBuffers(1, false, buffers);
    buffers.update();
    Render::Buffer const& buffer = buffers.readBuffer();
    // Sorted: root, r2, r5, r27.
    ASSERT_EQ(buffer.nodes.size(), 4u);
    EXPECT_EQ(buffer.vertices.size(), 12u) << "only the drawn nodes are counted";
    std::vector<std::uint8_t> const expected{
        (1u << 2) | (1u << 5), 0, 1, 0, // root: children 2 and 5, first one right after it
        1u << 7, 0, 2, 0,                // r2: child 7 two texels on
        0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(buffer.octreeTexture, expected);
    for (std::size_t i = 0; i < buffer.nodes.size(); ++i) {
        EXPECT_EQ(buffer.nodes[i].index, i);
        EXPECT_EQ(buffer.nodes[i].firstPoint, 3 * i);
    }
    EXPECT_EQ(buffer.nodes[3].nodeId, childPath({2, 7}));
    EXPECT_EQ(buffer.boxes[0].maximum[0], 1.0f) << "the root box is not shrunk";
    EXPECT_LT(buffer.boxes[1].maximum[0], 1.0f);
    prioritizer.updateBuffers(1, true, buffers);
    buffers.update();
    EXPECT_EQ(buffers.readBuffer().nodes.size(), 3u) << "the deepest level is dropped";
}

// A cloud with more nodes than the octree texture holds keeps its most important nodes together with
// their ancestors, so the coarse levels never vanish, and counts only what it fills.
TEST(NodePrioritizer, BufferCapsACloudAtTheTextureWidthKeepingAncestors)
{
    NodePrioritizer prioritizer(1'000'000);
    // Levels 0 to 2 are the least important; the 4608 nodes of levels 3 and 4 outrank them.
    std::function<void(Id)> const offerSubtree = [&](Id id) {
        float const deep = id.level() == 3 ? 100.0f + static_cast<float>(id.childIndex()) : 50.0f;
        offer(prioritizer, 1, id, id.level() < 3 ? 1.0f + static_cast<float>(id.level()) : deep, 1);
        for (unsigned child = 0; child < 8 && id.level() < 4; ++child)
            offerSubtree(id.child(child));
    };
    offerSubtree(Id());
    ASSERT_GT(prioritizer.nodeCount(1), std::size_t{NodePrioritizer::kMaxNodesPerCloud});
    Core::TripleBuffer<Render::Buffer> buffers;
    prioritizer.updateBuffers(1, false, buffers);
    buffers.update();
    Render::Buffer const& buffer = buffers.readBuffer();
    ASSERT_EQ(buffer.nodes.size(), std::size_t{NodePrioritizer::kMaxNodesPerCloud});
    EXPECT_EQ(buffer.nodes.front().nodeId, Id()) << "the root must be drawn";
    EXPECT_EQ(buffer.vertices.size(), buffer.nodes.size());
    EXPECT_EQ(buffer.octreeTexture.size(), 4 * buffer.nodes.size());
    std::size_t levelThree = 0;
    for (Render::Buffer::Node const& node : buffer.nodes)
        levelThree += node.level == 3 ? 1 : 0;
    EXPECT_EQ(levelThree, 512u) << "all of the most important level";
}

TEST(NodePrioritizer, ConcurrentLoadersNeverExceedTheBudget)
{
    constexpr std::size_t kBudget = 5000;
    NodePrioritizer prioritizer(kBudget);
    std::atomic<bool> exceeded = false;
    std::vector<std::jthread> loaders;
    for (std::uint64_t cloud = 0; cloud < 3; ++cloud) {
        loaders.emplace_back([&, cloud] {
            for (unsigned a = 0; a < 8; ++a)
                for (unsigned b = 0; b < 8; ++b) {
                    offer(prioritizer, cloud, childPath({a, b}),
                          static_cast<float>((a * 8 + b + cloud * 7) % 64 + 1), 97);
                    if (prioritizer.totalUsedPointCount() > kBudget)
                        exceeded = true;
                }
        });
    }
    loaders.clear();
    EXPECT_FALSE(exceeded);
    EXPECT_EQ(prioritizer.usedPointCount(0) + prioritizer.usedPointCount(1) + prioritizer.usedPointCount(2),
              prioritizer.totalUsedPointCount());
    EXPECT_GT(prioritizer.totalUsedPointCount(), kBudget - 97);
}

} // namespace
