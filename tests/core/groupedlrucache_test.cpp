#include "core/groupedlrucache.h"

#include "support/thrownmessage.h"

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

bool holds(DistanceCache& cache, std::uint64_t key, Distances const& expected)
{
    Distances out;
    return cache.tryGet(key, out) && out == expected;
}

TEST(GroupedLruCacheTest, EvictsWithinItsCapacityAndRefusesValuesComputedBeforeAClearOrAnInvalidation)
{
    EXPECT_EQ(TestSupport::thrownMessage<std::invalid_argument>([] { DistanceCache(0); }),
              "Capacity must be greater than 0");
    DistanceCache cache(3);
    putNow(cache, 1, {1.0f});
    putNow(cache, 2, {2.0f});
    putNow(cache, 3, {3.0f});
    EXPECT_TRUE(holds(cache, 1, {1.0f})); // 2 is now the least recently used
    putNow(cache, 4, {4.0f});
    EXPECT_FALSE(holds(cache, 2, {2.0f}));
    EXPECT_TRUE(holds(cache, 1, {1.0f}) && holds(cache, 3, {3.0f}) && holds(cache, 4, {4.0f}));

    putNow(cache, 3, {30.0f}); // replacing keeps the count and makes 3 the most recent
    EXPECT_EQ(cache.size(), 3u);
    putNow(cache, 5, {5.0f});
    EXPECT_FALSE(holds(cache, 1, {1.0f}));
    EXPECT_TRUE(holds(cache, 3, {30.0f}));

    cache.clear();
    EXPECT_EQ(cache.size(), 0u);
    EXPECT_FALSE(holds(cache, 5, {5.0f}));

    // A loader takes the version, then the mesh changes and the cache is cleared while it computes.
    DistanceCache::Version const versionAtStart = cache.version(0);
    cache.clear();
    EXPECT_FALSE(cache.put(7, {1.0f}, 0, versionAtStart));
    EXPECT_EQ(cache.size(), 0u);

    putNow(cache, 1, {1.0f}, 0);
    putNow(cache, 2, {2.0f}, 1);
    DistanceCache::Version const versionBefore = cache.version(0);
    cache.invalidate(0);
    EXPECT_FALSE(holds(cache, 1, {1.0f}));
    EXPECT_EQ(cache.size(), 1u) << "a stale entry is erased when it is met";
    EXPECT_TRUE(holds(cache, 2, {2.0f})) << "other groups keep their values";
    EXPECT_FALSE(cache.put(1, {1.0f}, 0, versionBefore));
    EXPECT_TRUE(putNow(cache, 1, {1.5f}, 0));
    EXPECT_TRUE(holds(cache, 1, {1.5f}));
}

} // namespace
