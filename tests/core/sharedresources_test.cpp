#include "core/sharedresources.h"

#include "core/hashing.h"
#include "core/lrucache.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// An identity of a data set as the caches key it: where it lives (compared by value) and its unit scale.
struct DataSetId {
    std::shared_ptr<std::string> location;
    double unitScale;

    bool operator==(DataSetId const& other) const
    {
        return *location == *other.location && unitScale == other.unitScale;
    }
};

struct DataSetIdHash {
    std::size_t operator()(DataSetId const& id) const
    {
        std::size_t seed = 0;
        Core::hashCombine(seed, std::hash<std::string>{}(*id.location));
        Core::hashCombine(seed, std::hash<double>{}(id.unitScale));
        return seed;
    }
};

using NodeCache = Core::LruCache<std::uint64_t, std::vector<int>>;
using NodeCaches = Core::SharedResources<DataSetId, NodeCache, DataSetIdHash>;

DataSetId dataSet(std::string const& folder, double unitScale)
{
    return {std::make_shared<std::string>(folder), unitScale};
}

TEST(SharedResourcesTest, OneCachePerDataSetWhileItIsHeld)
{
    NodeCaches registry;
    auto const first = registry.createOrGet(dataSet("/scans/a", 1.0), 100u, 16u);
    auto const second = registry.createOrGet(dataSet("/scans/a", 1.0), 999u, 16u);
    EXPECT_EQ(first, second);
    EXPECT_EQ(second->capacity(), 100u) << "the first creator fixes the capacity";

    auto const otherScale = registry.createOrGet(dataSet("/scans/a", 0.001), 100u, 16u);
    auto const otherFolder = registry.createOrGet(dataSet("/scans/b", 1.0), 100u, 16u);
    EXPECT_NE(otherScale, first);
    EXPECT_NE(otherFolder, first);
    EXPECT_EQ(registry.liveCount(), 3u);
}

TEST(SharedResourcesTest, ReleasedCacheIsReplacedByAFreshOne)
{
    NodeCaches registry;
    auto first = registry.createOrGet(dataSet("/scans/a", 1.0), 100u, 16u);
    auto second = registry.createOrGet(dataSet("/scans/a", 1.0), 100u, 16u);
    first->put(1, {1, 2, 3}, 3);
    std::weak_ptr<NodeCache> const released = first;
    first.reset();
    second.reset();
    EXPECT_TRUE(released.expired());
    EXPECT_EQ(registry.liveCount(), 0u);

    auto const third = registry.createOrGet(dataSet("/scans/a", 1.0), 100u, 16u);
    EXPECT_EQ(third->entryCount(), 0u);
    EXPECT_EQ(registry.liveCount(), 1u);
}

TEST(SharedResourcesTest, ClearForgetsCachesButHoldersKeepThem)
{
    NodeCaches registry;
    auto const held = registry.createOrGet(dataSet("/scans/a", 1.0), 100u, 16u);
    held->put(1, {1}, 1);
    registry.clear();
    EXPECT_EQ(registry.liveCount(), 0u);
    EXPECT_TRUE(held->contains(1));
    EXPECT_NE(registry.createOrGet(dataSet("/scans/a", 1.0), 100u, 16u), held);
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
    EXPECT_EQ(DataSetIdHash{}(dataSet("x", 0.0)), DataSetIdHash{}(dataSet("x", -0.0)));
}

} // namespace
