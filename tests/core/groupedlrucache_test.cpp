#include "core/groupedlrucache.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace {

using Distances = std::vector<float>;
using DistanceCache = Core::GroupedLruCache<std::uint64_t, Distances, int>;

bool putNow(DistanceCache& cache, std::uint64_t key, Distances value, int group = 0)
{
    return cache.put(key, std::move(value), group, cache.version(group));
}

TEST(GroupedLruCacheTest, ZeroCapacityThrowsAndCapacityOneWorks)
{
    try {
        DistanceCache cache(0);
        FAIL() << "a cache of capacity 0 must not exist";
    } catch (std::invalid_argument const& error) {
        EXPECT_STREQ(error.what(), "Capacity must be greater than 0");
    }
    DistanceCache cache(1);
    EXPECT_TRUE(putNow(cache, 1, {1.0f}));
    EXPECT_TRUE(putNow(cache, 2, {2.0f}));
    Distances out;
    EXPECT_FALSE(cache.tryGet(1, out));
    EXPECT_TRUE(cache.tryGet(2, out));
    EXPECT_EQ(out, Distances{2.0f});
}

TEST(GroupedLruCacheTest, EvictsLeastRecentlyUsedEntries)
{
    DistanceCache cache(3);
    putNow(cache, 1, {1.0f});
    putNow(cache, 2, {2.0f});
    putNow(cache, 3, {3.0f});
    Distances out;
    EXPECT_TRUE(cache.tryGet(1, out)); // 2 is now the least recently used
    putNow(cache, 4, {4.0f});
    EXPECT_FALSE(cache.tryGet(2, out));
    EXPECT_TRUE(cache.tryGet(1, out));
    EXPECT_TRUE(cache.tryGet(3, out));
    EXPECT_TRUE(cache.tryGet(4, out));

    putNow(cache, 3, {30.0f}); // replacing keeps the count and makes 3 the most recent
    EXPECT_EQ(cache.size(), 3u);
    putNow(cache, 5, {5.0f});
    EXPECT_FALSE(cache.tryGet(1, out));
    EXPECT_TRUE(cache.tryGet(3, out));
    EXPECT_EQ(out, Distances{30.0f});
}

TEST(GroupedLruCacheTest, NeverHoldsMoreThanItsCapacityAndClearEmptiesIt)
{
    constexpr std::uint64_t kCapacity = 3000;
    DistanceCache cache(kCapacity);
    for (std::uint64_t key = 0; key < 2 * kCapacity; ++key) {
        putNow(cache, key, {static_cast<float>(key)}, static_cast<int>(key % 3));
        ASSERT_LE(cache.size(), kCapacity);
    }
    EXPECT_EQ(cache.size(), kCapacity);
    Distances out;
    EXPECT_TRUE(cache.tryGet(2 * kCapacity - 1, out));
    EXPECT_FALSE(cache.tryGet(kCapacity - 1, out));

    cache.clear();
    EXPECT_EQ(cache.size(), 0u);
    EXPECT_FALSE(cache.tryGet(2 * kCapacity - 1, out));
    EXPECT_TRUE(putNow(cache, 1, {1.0f}));
    EXPECT_TRUE(cache.tryGet(1, out));
}

TEST(GroupedLruCacheTest, ValueComputedBeforeClearIsRefused)
{
    DistanceCache cache(10);
    // A loader takes the version, then the mesh changes and the cache is cleared while it computes.
    DistanceCache::Version const versionAtStart = cache.version(0);
    cache.clear();
    EXPECT_FALSE(cache.put(7, {1.0f}, 0, versionAtStart));
    Distances out;
    EXPECT_FALSE(cache.tryGet(7, out));
    EXPECT_EQ(cache.size(), 0u);

    EXPECT_TRUE(cache.put(7, {2.0f}, 0, cache.version(0)));
    EXPECT_TRUE(cache.tryGet(7, out));
    EXPECT_EQ(out, Distances{2.0f});
}

TEST(GroupedLruCacheTest, InvalidatingAGroupDropsOnlyItsValues)
{
    DistanceCache cache(10);
    putNow(cache, 1, {1.0f}, 0);
    putNow(cache, 2, {2.0f}, 1);
    DistanceCache::Version const versionBefore = cache.version(0);
    cache.invalidate(0);
    EXPECT_NE(cache.version(0), versionBefore);

    Distances out;
    EXPECT_FALSE(cache.tryGet(1, out));
    EXPECT_EQ(cache.size(), 1u) << "a stale entry is erased when it is met";
    EXPECT_TRUE(cache.tryGet(2, out));
    EXPECT_EQ(out, Distances{2.0f});
    EXPECT_FALSE(cache.put(1, {1.0f}, 0, versionBefore));
    EXPECT_TRUE(putNow(cache, 1, {1.5f}, 0));
    EXPECT_TRUE(cache.tryGet(1, out));
    EXPECT_EQ(out, Distances{1.5f});
}

} // namespace
