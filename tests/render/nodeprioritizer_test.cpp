#include "render/nodeprioritizer.h"

#include <gtest/gtest.h>

#include <atomic>
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

NodePrioritizer::NodeLoader pointsLoader(std::size_t count, int* calls = nullptr)
{
    return [count, calls](Render::VertexContainer& out, std::stop_token) {
        if (calls)
            ++*calls;
        out.resize(count);
        return true;
    };
}

Id childPath(std::initializer_list<unsigned> path)
{
    Id id;
    for (unsigned index : path)
        id = id.child(index);
    return id;
}

bool offer(NodePrioritizer& prioritizer, std::uint64_t cloud, Id id, float priority, std::size_t points,
           bool* acceptedOut = nullptr, int* calls = nullptr)
{
    bool accepted = false;
    bool const changed = prioritizer.addNode({cloud, id}, unitCube(), priorityOf(priority),
                                             pointsLoader(points, calls), accepted, {});
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

TEST(NodePrioritizer, LoaderFailureThrowsUnlessStopped)
{
    NodePrioritizer prioritizer(100);
    bool accepted = false;
    auto const failing = [](Render::VertexContainer&, std::stop_token) { return false; };
    try {
        prioritizer.addNode({1, Id()}, unitCube(), priorityOf(5.0f), failing, accepted, {});
        FAIL() << "no exception";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Error loading point data");
    }
    std::stop_source stop;
    stop.request_stop();
    EXPECT_FALSE(
        prioritizer.addNode({1, Id()}, unitCube(), priorityOf(5.0f), failing, accepted, stop.get_token()));
    EXPECT_EQ(prioritizer.totalUsedPointCount(), 0u);
}

TEST(NodePrioritizer, ZeroBudgetLoadsNothing)
{
    NodePrioritizer prioritizer(0);
    int calls = 0;
    EXPECT_FALSE(offer(prioritizer, 1, Id(), 1000.0f, 5, nullptr, &calls));
    EXPECT_EQ(calls, 0);
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
    EXPECT_FALSE(offer(prioritizer, 2, childPath({0}), 60.0f, 70)) << "its room would take a more important node";
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

// The octree texture holds one texel per drawn node, linking each to its first child; a root alone
// keeps its box unshrunk and one empty texel.
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
    prioritizer.updateBuffers(1, true, buffers);
    buffers.update();
    EXPECT_EQ(buffers.readBuffer().nodes.size(), 3u) << "the deepest level is dropped";

    NodePrioritizer rootOnly(100);
    offer(rootOnly, 1, Id(), 50.0f, 7);
    rootOnly.updateBuffers(1, false, buffers);
    ASSERT_TRUE(buffers.update());
    Render::Buffer const& root = buffers.readBuffer();
    EXPECT_EQ(root.octreeTexture, (std::vector<std::uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(root.vertices.size(), 7u);
    ASSERT_EQ(root.boxes.size(), 1u);
    EXPECT_EQ(root.boxes[0].maximum[0], 1.0f) << "the root box is not shrunk";
}

// A cloud with more nodes than the octree texture holds keeps its most important nodes together with
// their ancestors, so the coarse levels never vanish, and counts only what it fills.
TEST(NodePrioritizer, BufferCapsACloudAtTheTextureWidthKeepingAncestors)
{
    NodePrioritizer prioritizer(1'000'000);
    // Root and level 1 are the least important entries; 4680 deeper nodes outrank them.
    offer(prioritizer, 1, Id(), 1.0f, 1);
    std::size_t offered = 1;
    for (unsigned a = 0; a < 8; ++a) {
        offer(prioritizer, 1, childPath({a}), 2.0f, 1);
        ++offered;
        for (unsigned b = 0; b < 8; ++b) {
            offer(prioritizer, 1, childPath({a, b}), 3.0f, 1);
            ++offered;
            for (unsigned c = 0; c < 8; ++c) {
                offer(prioritizer, 1, childPath({a, b, c}), 100.0f + static_cast<float>(c), 1);
                ++offered;
                for (unsigned d = 0; d < 8 && offered < 5000; ++d, ++offered)
                    offer(prioritizer, 1, childPath({a, b, c, d}), 50.0f, 1);
            }
        }
    }
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
    for (std::size_t i = 0; i < buffer.nodes.size(); ++i) {
        ASSERT_EQ(buffer.nodes[i].firstPoint, i);
        ASSERT_EQ(buffer.nodes[i].pointCount, 1u);
    }
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
