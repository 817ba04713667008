#include "core/lrucache.h"

#include "waitguard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <stop_token>
#include <thread>
#include <vector>

namespace {

using Points = std::vector<std::uint64_t>;
using PointCache = Core::LruCache<std::uint64_t, Points>;

constexpr int kThreads = 8;

TEST(LruCacheConcurrencyTest, ManyThreadsAskingForOneKeyLoadItOnce)
{
    PointCache cache(1000);
    std::atomic<int> loads{0};
    std::atomic<int> askers{0};
    std::vector<std::jthread> threads;
    std::array<bool, kThreads> results{};
    std::array<Points, kThreads> values;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ++askers;
            results[i] = cache.getOrLoad(5, values[i], [&](Points& out) {
                ++loads;
                // Hold the load until every thread has asked, and a little longer, so that the others
                // arrive while it is still running.
                while (askers.load() < kThreads)
                    std::this_thread::yield();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                out.assign(10, 5);
                return true;
            });
        });
    }
    threads.clear();
    EXPECT_EQ(loads.load(), 1);
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_TRUE(results[i]);
        EXPECT_EQ(values[i], Points(10, 5));
    }
}

TEST(LruCacheConcurrencyTest, WaitersGiveUpWhenAskedToStopAndLoadThemselvesWhenTheFirstLoadFails)
{
    PointCache cache(100);
    CoreTest::Signal loadStarted;
    CoreTest::Signal releaseLoad;
    std::jthread failing([&] {
        Points out;
        EXPECT_FALSE(cache.getOrLoad(1, out, [&](Points&) {
            loadStarted.raise();
            EXPECT_TRUE(releaseLoad.wait());
            return false;
        }));
    });
    ASSERT_TRUE(loadStarted.wait());

    std::stop_source stop;
    bool stoppedWaiterLoaded = false;
    std::jthread stopped([&] {
        Points out;
        EXPECT_FALSE(cache.getOrLoad(1, out, [&](Points&) { return stoppedWaiterLoaded = true; }, stop.get_token()));
    });
    stop.request_stop();
    stopped.join();
    EXPECT_FALSE(stoppedWaiterLoaded);

    Points waiterValue;
    bool waiterResult = false;
    std::jthread waiter([&] {
        waiterResult = cache.getOrLoad(1, waiterValue, [](Points& value) {
            value.assign(2, 1);
            return true;
        });
    });
    releaseLoad.raise();
    failing.join();
    waiter.join();
    EXPECT_TRUE(waiterResult);
    EXPECT_EQ(waiterValue, Points(2, 1));
}

TEST(LruCacheConcurrencyTest, EvictionUnderContentionKeepsSizesAndValuesConsistent)
{
    constexpr std::uint64_t kCapacity = 64;
    constexpr std::uint64_t kKeys = 256;
    constexpr int kRequestsPerThread = 2000;
    PointCache cache(kCapacity);
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            std::mt19937 random(static_cast<unsigned>(i));
            std::uniform_int_distribution<std::uint64_t> pick(0, kKeys - 1);
            for (int request = 0; request < kRequestsPerThread; ++request) {
                std::uint64_t const key = pick(random);
                std::size_t const points = 1 + key % 8;
                Points out;
                ASSERT_TRUE(cache.getOrLoad(key, out, [&](Points& value) {
                    value.assign(points, key);
                    return true;
                }));
                ASSERT_EQ(out, Points(points, key));
                ASSERT_LE(cache.currentSize(), kCapacity);
            }
        });
    }
    threads.clear();
    EXPECT_LE(cache.currentSize(), kCapacity);
    EXPECT_GT(cache.entryCount(), 0u);
}

} // namespace
