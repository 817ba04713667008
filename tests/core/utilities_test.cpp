// The small helpers of the core: file reading, shared per-data-set resources, hashing, instance ids.
#include "core/filereading.h"
#include "core/hashing.h"
#include "core/instanceid.h"
#include "core/sharedresources.h"

#include "support/tempfolder.h"
#include "support/thrownmessage.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using TestSupport::thrownMessage;

TEST(FileReadingTest, ReadsWholeFilesAndRangesAndNamesThePathOnFailure)
{
    TestSupport::TempFolder const folder("filereading");
    auto const path = folder.path() / "node.bin";
    TestSupport::writeFile(path, "0123456789");
    EXPECT_EQ(Core::readLocalFile(path), "0123456789");
    EXPECT_EQ(Core::readLocalFile(path, 3, 4), "3456");
    EXPECT_TRUE(Core::readLocalFile(path, 10, 0).empty());

    auto const missing = folder.path() / "missing.bin";
    EXPECT_NE(thrownMessage<std::runtime_error>([&] { Core::readLocalFile(path, 8, 4); }).find(path.generic_string()),
              std::string::npos);
    EXPECT_NE(thrownMessage<std::runtime_error>([&] { Core::readLocalFile(missing); }).find(missing.generic_string()),
              std::string::npos);
}

// A per-data-set resource: the first creator fixes its contents.
struct NodeTable {
    explicit NodeTable(std::size_t capacity) : capacity(capacity) {}
    std::size_t capacity;
    std::vector<int> nodes;
};

using NodeTables = Core::SharedResources<std::string, NodeTable>;

TEST(SharedResourcesTest, OneResourcePerIdWhileItIsHeldAndAFreshOneAfterwards)
{
    NodeTables registry;
    auto first = registry.createOrGet("/scans/a", 100u);
    EXPECT_EQ(registry.createOrGet("/scans/a", 999u), first);
    EXPECT_EQ(first->capacity, 100u) << "the first creator fixes the contents";
    EXPECT_NE(registry.createOrGet("/scans/b", 100u), first);
    EXPECT_EQ(registry.liveCount(), 1u) << "the resource of b was released at once";
    first->nodes.push_back(1);
    first.reset();
    EXPECT_EQ(registry.liveCount(), 0u);

    auto const held = registry.createOrGet("/scans/a", 100u);
    EXPECT_TRUE(held->nodes.empty());
    held->nodes.push_back(2);
    registry.clear();
    EXPECT_EQ(registry.liveCount(), 0u);
    EXPECT_EQ(held->nodes.size(), 1u) << "holders keep what the registry forgot";
    EXPECT_NE(registry.createOrGet("/scans/a", 100u), held);
}

TEST(HashingTest, Fnv1aMatchesReferenceValuesAndCombineIsOrdered)
{
    EXPECT_EQ(Core::fnv1a64("", 0), 0xcbf29ce484222325ULL);
    EXPECT_EQ(Core::fnv1a64("a", 1), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(Core::fnv1a64("foobar", 6), 0x85944171f73967e8ULL);

    std::size_t first = 0;
    Core::hashCombine(first, 1);
    Core::hashCombine(first, 2);
    std::size_t second = 0;
    Core::hashCombine(second, 2);
    Core::hashCombine(second, 1);
    EXPECT_NE(first, second);
}

struct SceneNode : Core::InstanceId<SceneNode> {};
struct View : Core::InstanceId<View> {};

TEST(InstanceIdTest, ConsecutiveIdsPerClassAndCopiesKeepTheirs)
{
    SceneNode const first;
    View const view;
    SceneNode const second;
    View const secondView;
    EXPECT_EQ(second.id(), first.id() + 1) << "other classes count on their own";
    EXPECT_EQ(secondView.id(), view.id() + 1);

    SceneNode assigned;
    assigned = second;
    EXPECT_EQ(SceneNode(first).id(), first.id());
    EXPECT_EQ(assigned.id(), second.id());
}

} // namespace
