#include "core/lrucache.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace {

using Points = std::vector<int>;
using PointCache = Core::LruCache<std::uint64_t, Points>;

// A loader that produces `count` points whose values name the key, counting its calls.
struct CountingLoader {
    std::uint64_t key;
    std::size_t count;
    int* calls;

    bool operator()(Points& out) const
    {
        ++*calls;
        out.assign(count, static_cast<int>(key));
        return true;
    }
};

bool load(PointCache& cache, std::uint64_t key, std::size_t count, int& calls, Points& out)
{
    return cache.getOrLoad(key, out, CountingLoader{key, count, &calls});
}

TEST(LruCacheTest, ZeroCapacityThrowsAndCapacityOneWorks)
{
    try {
        PointCache cache(0);
        FAIL() << "a cache of capacity 0 must not exist";
    } catch (std::invalid_argument const& error) {
        EXPECT_STREQ(error.what(), "Size of the cache should be non-zero");
    }
    PointCache cache(1);
    int calls = 0;
    Points out;
    EXPECT_TRUE(load(cache, 1, 1, calls, out));
    EXPECT_TRUE(load(cache, 1, 1, calls, out));
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(load(cache, 2, 1, calls, out));
    EXPECT_FALSE(cache.contains(1));
    EXPECT_EQ(cache.currentSize(), 1u);
}

TEST(LruCacheTest, EvictsLeastRecentlyUsedBySize)
{
    PointCache cache(10);
    int calls = 0;
    Points out;
    load(cache, 1, 4, calls, out);
    load(cache, 2, 4, calls, out);
    load(cache, 3, 4, calls, out);
    EXPECT_FALSE(cache.contains(1));
    EXPECT_TRUE(cache.contains(2));
    EXPECT_TRUE(cache.contains(3));
    EXPECT_EQ(cache.currentSize(), 8u);

    PointCache touched(10);
    load(touched, 1, 4, calls, out);
    load(touched, 2, 4, calls, out);
    EXPECT_TRUE(load(touched, 1, 4, calls, out)); // a hit makes 1 the most recent
    load(touched, 3, 4, calls, out);
    EXPECT_TRUE(touched.contains(1));
    EXPECT_FALSE(touched.contains(2));
    EXPECT_EQ(touched.get(1), Points(4, 1));

    EXPECT_TRUE(load(touched, 4, 10, calls, out)); // needs the room of both remaining entries
    EXPECT_FALSE(touched.contains(1));
    EXPECT_FALSE(touched.contains(3));
    EXPECT_EQ(touched.get(4), Points(10, 4));
    EXPECT_EQ(touched.currentSize(), 10u);
    EXPECT_EQ(touched.entryCount(), 1u);
}

TEST(LruCacheTest, OversizedEntryStaysUntilTheNextInsertion)
{
    PointCache cache(10);
    int calls = 0;
    Points out;
    load(cache, 1, 3, calls, out);
    EXPECT_TRUE(load(cache, 2, 25, calls, out));
    EXPECT_EQ(out.size(), 25u);
    EXPECT_FALSE(cache.contains(1));
    EXPECT_TRUE(cache.contains(2));
    EXPECT_EQ(cache.currentSize(), 25u);

    load(cache, 3, 1, calls, out);
    EXPECT_FALSE(cache.contains(2));
    EXPECT_EQ(cache.currentSize(), 1u);
    EXPECT_EQ(cache.entryCount(), 1u);
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
    EXPECT_EQ(cache.entryCount(), 1u);
    cache.put(2, Points(9, 2), 9);
    EXPECT_FALSE(cache.contains(1));
    EXPECT_EQ(cache.currentSize(), 9u);
}

TEST(LruCacheTest, GetOfAbsentKeyThrows)
{
    PointCache cache(10);
    try {
        cache.get(7);
        FAIL() << "an absent key must throw";
    } catch (std::invalid_argument const& error) {
        EXPECT_STREQ(error.what(), "Error: Key is not in cache");
    }
}

TEST(LruCacheTest, FailedStoppedOrThrowingLoadsStoreNothing)
{
    PointCache cache(10);
    Points out{42};
    EXPECT_FALSE(cache.getOrLoad(1, out, [](Points& value) {
        value.assign(3, 1);
        return false;
    }));
    EXPECT_FALSE(cache.contains(1));

    std::stop_source stop;
    EXPECT_FALSE(cache.getOrLoad(
        1, out,
        [&](Points& value) {
            value.assign(3, 1);
            stop.request_stop(); // the stop arrives while loading
            return true;
        },
        stop.get_token()));
    EXPECT_FALSE(cache.contains(1));
    EXPECT_EQ(cache.currentSize(), 0u);

    EXPECT_THROW(cache.getOrLoad(1, out, [](Points&) -> bool { throw std::runtime_error("corrupt node"); }),
                 std::runtime_error);
    EXPECT_FALSE(cache.contains(1));
    EXPECT_EQ(out, Points{42}) << "nothing produced, so the caller's value stays";

    int calls = 0;
    EXPECT_TRUE(load(cache, 1, 3, calls, out));
    EXPECT_EQ(calls, 1) << "a later call loads again";
    EXPECT_EQ(out, Points(3, 1));
}

TEST(LruCacheTest, StoredValueWinsOverAConcurrentLoad)
{
    PointCache cache(10);
    Points out;
    EXPECT_TRUE(cache.getOrLoad(1, out, [&](Points& value) {
        cache.put(1, Points{7}, 1); // another holder stores the key while this load runs
        value.assign(5, 1);
        return true;
    }));
    EXPECT_EQ(out, Points{7});
    EXPECT_EQ(cache.currentSize(), 1u);
}

TEST(LruCacheTest, EntrySizeOnePolicyCountsEntries)
{
    Core::LruCache<std::string, std::string, Core::CacheEntrySizeOne<std::string>> cache(2);
    std::string out;
    auto const compile = [](std::string text) {
        return [text](std::string& value) {
            value = text;
            return true;
        };
    };
    cache.getOrLoad("a", out, compile(std::string(1000, 'a')));
    cache.getOrLoad("b", out, compile("b"));
    EXPECT_EQ(cache.currentSize(), 2u);
    cache.getOrLoad("c", out, compile("c"));
    EXPECT_FALSE(cache.contains("a"));
    EXPECT_EQ(cache.entryCount(), 2u);
}

} // namespace
