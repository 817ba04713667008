#include "core/groupedlrucache.h"
#include "core/lrucache.h"

#include "support/thrownmessage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace {

using Points = std::vector<int>;
using PointCache = Core::LruCache<std::uint64_t, Points>;
using TestSupport::thrownMessage;

// Loads `count` points whose values name the key; true when the loader ran.
bool loads(PointCache& cache, std::uint64_t key, std::size_t count)
{
    Points out;
    bool ran = false;
    EXPECT_TRUE(cache.getOrLoad(key, out, [&](Points& value) {
        ran = true;
        value.assign(count, static_cast<int>(key));
        return true;
    }));
    EXPECT_EQ(out, Points(count, static_cast<int>(key)));
    return ran;
}

TEST(LruCacheTest, EvictsLeastRecentlyUsedBySizeAndMisuseThrowsWithItsMessage)
{
    EXPECT_EQ(thrownMessage<std::invalid_argument>([] { PointCache(0); }), "Size of the cache should be non-zero");
    PointCache cache(10);
    EXPECT_EQ(thrownMessage<std::invalid_argument>([&] { cache.get(7); }), "Error: Key is not in cache");
    EXPECT_TRUE(loads(cache, 1, 4));
    EXPECT_TRUE(loads(cache, 2, 4));
    EXPECT_FALSE(loads(cache, 1, 4)) << "a hit loads nothing and makes 1 the most recent";
    EXPECT_TRUE(loads(cache, 3, 4));
    EXPECT_TRUE(cache.contains(1));
    EXPECT_FALSE(cache.contains(2));
    EXPECT_EQ(cache.currentSize(), 8u);

    EXPECT_TRUE(loads(cache, 4, 10)) << "needs the room of both remaining entries";
    EXPECT_FALSE(cache.contains(1));
    EXPECT_FALSE(cache.contains(3));
    EXPECT_EQ(cache.currentSize(), 10u);

    EXPECT_TRUE(loads(cache, 5, 25)) << "an entry larger than the cache is still handed out and kept";
    EXPECT_EQ(cache.entryCount(), 1u);
    EXPECT_TRUE(loads(cache, 6, 1));
    EXPECT_FALSE(cache.contains(5)) << "until the next insertion";
    EXPECT_EQ(cache.currentSize(), 1u);
}

TEST(LruCacheTest, SizesAreMeasuredOnceAtInsertion)
{
    PointCache cache(10);
    cache.put(1, Points(6, 1), 6);
    Points copy = cache.get(1);
    copy.resize(100); // the caller's copy; the stored entry keeps its size
    EXPECT_EQ(cache.currentSize(), 6u);
    cache.put(1, Points(2, 1), 2); // replacing an entry replaces its size
    EXPECT_EQ(cache.currentSize(), 2u);
    cache.put(2, Points(9, 2), 9);
    EXPECT_FALSE(cache.contains(1));
    EXPECT_EQ(cache.currentSize(), 9u);

    Core::LruCache<std::string, std::string, Core::CacheEntrySizeOne<std::string>> entries(2);
    std::string text;
    for (std::string const key : {"a", "b", "c"}) {
        entries.getOrLoad(key, text, [&](std::string& value) {
            value.assign(key == "a" ? 1000 : 1, 'x'); // counted as one entry whatever its length
            return true;
        });
    }
    EXPECT_FALSE(entries.contains("a"));
    EXPECT_EQ(entries.currentSize(), 2u);
}

TEST(LruCacheTest, FailedStoppedOrThrowingLoadsStoreNothingAndAStoredValueWinsOverALoad)
{
    PointCache cache(10);
    Points out{42};
    EXPECT_FALSE(cache.getOrLoad(1, out, [](Points& value) {
        value.assign(3, 1);
        return false;
    }));
    std::stop_source stop;
    EXPECT_FALSE(cache.getOrLoad(
        1, out,
        [&](Points& value) {
            value.assign(3, 1);
            stop.request_stop(); // the stop arrives while loading
            return true;
        },
        stop.get_token()));
    EXPECT_THROW(cache.getOrLoad(1, out, [](Points&) -> bool { throw std::runtime_error("corrupt node"); }),
                 std::runtime_error);
    EXPECT_EQ(out, Points{42}) << "nothing produced, so the caller's value stays";
    EXPECT_FALSE(cache.contains(1));
    EXPECT_EQ(cache.currentSize(), 0u);
    EXPECT_TRUE(loads(cache, 1, 3)) << "a later call loads again";

    EXPECT_TRUE(cache.getOrLoad(2, out, [&](Points& value) {
        cache.put(2, Points{7}, 1); // another holder stores the key while this load runs
        value.assign(5, 2);
        return true;
    }));
    EXPECT_EQ(out, Points{7}) << "the stored value wins over the load";
    EXPECT_EQ(cache.currentSize(), 4u);
}

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
    EXPECT_EQ(thrownMessage<std::invalid_argument>([] { DistanceCache(0); }),
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
