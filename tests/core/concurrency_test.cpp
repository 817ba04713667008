// The thread-safe parts of the core: containers shared by loader threads, the background thread
// that runs a loader, and the log they all write to.
#include "core/backgroundthread.h"
#include "core/groupedlrucache.h"
#include "core/instanceid.h"
#include "core/log.h"
#include "core/lrucache.h"
#include "core/sharedresources.h"
#include "core/triplebuffer.h"

#include "support/thrownmessage.h"
#include "waitguard.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int kThreads = 8;

TEST(TripleBufferConcurrencyTest, ReaderNeverSeesAnOlderOrTornValue)
{
    constexpr std::uint64_t kPublications = 20000;
    constexpr std::size_t kValuesPerSlot = 32;
    Core::TripleBuffer<std::vector<std::uint64_t>> buffer;

    std::jthread writer([&] {
        for (std::uint64_t sequence = 1; sequence <= kPublications; ++sequence) {
            buffer.writeBuffer().assign(kValuesPerSlot, sequence);
            buffer.publish();
        }
    });

    std::uint64_t lastSeen = 0;
    while (lastSeen < kPublications) {
        if (!buffer.update())
            continue;
        std::vector<std::uint64_t> const& slot = buffer.readBuffer();
        ASSERT_EQ(slot.size(), kValuesPerSlot);
        std::uint64_t const sequence = slot.front();
        for (std::uint64_t value : slot)
            ASSERT_EQ(value, sequence) << "a slot was changed while the reader held it";
        ASSERT_GT(sequence, lastSeen) << "an update brought back an older publication";
        lastSeen = sequence;
    }
    writer.join();
    EXPECT_FALSE(buffer.update());
    EXPECT_EQ(buffer.readBuffer().front(), kPublications);
}

using ValueCache = Core::GroupedLruCache<std::uint64_t, std::uint64_t, int>;

TEST(GroupedLruCacheConcurrencyTest, ClearedOrInvalidatedStateNeverComesBack)
{
    constexpr std::uint64_t kKeys = 64;
    constexpr std::uint64_t kStateChanges = 300;
    ValueCache cache(kKeys / 2);
    // The value of a key in group 0 is the state generation it was computed at; group 1 holds
    // fixed values while its group is invalidated now and then.
    std::atomic<std::uint64_t> generation{0};
    std::atomic<std::uint64_t> clearedGeneration{0};
    std::atomic<bool> done{false};

    std::vector<std::jthread> workers;
    for (int i = 0; i < kThreads; ++i) {
        workers.emplace_back([&, i] {
            for (std::uint64_t key = static_cast<std::uint64_t>(i), round = 0; !done.load(); ++round) {
                key = (key + 7) % kKeys;
                int const group = static_cast<int>(key % 2);
                std::uint64_t const mustBeAtLeast = clearedGeneration.load();
                std::uint64_t value = 0;
                if (cache.tryGet(key, value)) {
                    ASSERT_TRUE(group == 0 ? value >= mustBeAtLeast : value == key * 10)
                        << "a value of a cleared state was returned";
                    continue;
                }
                ValueCache::Version const version = cache.version(group);
                std::uint64_t const computedAt = generation.load();
                std::this_thread::yield(); // widen the window in which the state can change
                cache.put(key, group == 0 ? computedAt : key * 10, group, version);
                if (round % 97 == 0)
                    cache.invalidate(1);
                ASSERT_LE(cache.size(), kKeys / 2);
            }
        });
    }
    for (std::uint64_t change = 1; change <= kStateChanges; ++change) {
        generation.store(change);
        cache.clear();
        clearedGeneration.store(change);
        std::this_thread::yield();
    }
    done.store(true);
}

struct CountedResource : Core::InstanceId<CountedResource> {
    explicit CountedResource(std::atomic<int>& constructions) { ++constructions; }
};

// Threads asking for one shared resource get the same one, made once; ids made at once stay unique.
TEST(SharedResourcesConcurrencyTest, ConcurrentRequestsShareOneResourceAndGetUniqueIds)
{
    constexpr int kObjectsPerThread = 1000;
    Core::SharedResources<std::string, CountedResource> registry;
    std::atomic<int> constructions{0};
    std::vector<std::shared_ptr<CountedResource>> received(kThreads);
    std::vector<std::vector<std::uint64_t>> ids(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                received[i] = registry.createOrGet("/scans/a", std::ref(constructions));
                for (int object = 0; object < kObjectsPerThread; ++object)
                    ids[i].push_back(CountedResource(constructions).id());
            });
        }
    }
    EXPECT_EQ(constructions.load(), 1 + kThreads * kObjectsPerThread);
    std::set<std::uint64_t> unique;
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(received[i], received.front());
        unique.insert(ids[i].begin(), ids[i].end());
    }
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kObjectsPerThread));
}

using Points = std::vector<std::uint64_t>;
using PointCache = Core::LruCache<std::uint64_t, Points>;

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

// Blocks the calling run until it is asked to stop, as a loader walking an endless octree would,
// looking at its token between units of work.
void waitForStop(std::stop_token const& stop)
{
    auto const giveUp = std::chrono::steady_clock::now() + CoreTest::kHangGuard;
    while (!stop.stop_requested() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Counts runs and checks that no two of them overlap.
struct RunMonitor {
    std::atomic<int> active{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> started{0};
    std::atomic<int> stoppedByToken{0};

    void run(std::stop_token const& stop)
    {
        if (active.fetch_add(1) != 0)
            ++overlaps;
        ++started;
        waitForStop(stop);
        if (stop.stop_requested())
            ++stoppedByToken;
        --active;
    }
};

TEST(BackgroundThreadTest, RestartAndStopEndTheRunningOneFirstAndAllowALaterRestart)
{
    RunMonitor monitor;
    CoreTest::Signal started[3];
    Core::BackgroundThread thread([&](std::stop_token stop) {
        started[monitor.started.load()].raise();
        monitor.run(stop);
    });
    thread.restart();
    ASSERT_TRUE(started[0].wait());
    thread.restart();
    ASSERT_TRUE(started[1].wait());
    thread.stop();
    EXPECT_FALSE(thread.isBusy());
    EXPECT_EQ(monitor.active.load(), 0) << "stop returned before the run did";
    thread.restart();
    ASSERT_TRUE(started[2].wait());
    thread.stop();
    EXPECT_EQ(monitor.overlaps.load(), 0);
    EXPECT_EQ(monitor.stoppedByToken.load(), 3) << "every run ended because its token asked it to";
}

TEST(BackgroundThreadTest, RapidRestartsNeverOverlap)
{
    constexpr int kRestarts = 200;
    RunMonitor monitor;
    {
        Core::BackgroundThread thread([&](std::stop_token stop) { monitor.run(stop); });
        for (int restart = 0; restart < kRestarts; ++restart)
            thread.restart();
    }
    EXPECT_EQ(monitor.overlaps.load(), 0);
    EXPECT_EQ(monitor.active.load(), 0) << "the destructor returned before a run did";
    EXPECT_LE(monitor.started.load(), kRestarts) << "restarts while a run is pending fold into one";
}

// A run that throws is logged and the thread serves the next; a run stopping its own thread is refused.
TEST(BackgroundThreadTest, EscapingExceptionIsLoggedAndTheThreadKeepsServingAndStopFromItsRunIsRefused)
{
    std::mutex linesMutex;
    std::vector<std::string> errors;
    CoreTest::Signal errorLogged;
    Core::Log::setSink([&](Core::LogLevel level, std::string_view text) {
        if (level != Core::LogLevel::Error)
            return;
        {
            std::lock_guard lock(linesMutex);
            errors.emplace_back(text);
        }
        errorLogged.raise();
    });
    std::atomic<int> runs{0};
    CoreTest::Signal secondRun;
    bool refused = false;
    {
        Core::BackgroundThread* self = nullptr;
        Core::BackgroundThread thread([&](std::stop_token) {
            if (++runs == 1)
                throw std::runtime_error("node file truncated");
            refused = !TestSupport::thrownMessage<std::logic_error>([&] { self->stop(); }).empty();
            secondRun.raise();
        });
        self = &thread;
        thread.restart();
        EXPECT_TRUE(errorLogged.wait());
        thread.restart();
        EXPECT_TRUE(secondRun.wait());
    }
    Core::Log::setSink({});
    EXPECT_TRUE(refused);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors.front().find("node file truncated"), std::string::npos) << errors.front();
}

// Lines logged from many threads arrive whole, each with its level; without a sink they go to
// standard error.
TEST(LogTest, LinesArriveWholeWithTheirLevelsOrWithoutASinkOnStandardError)
{
    constexpr int kLinesPerThread = 200;
    constexpr std::size_t kThreadLines = kThreads * kLinesPerThread;
    using Line = std::pair<Core::LogLevel, std::string>;
    std::vector<Line> lines;
    Core::Log::setSink([&](Core::LogLevel level, std::string_view text) { lines.emplace_back(level, text); });
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([i] {
                for (int line = 0; line < kLinesPerThread; ++line)
                    Core::Log::warning("thread " + std::to_string(i) + " line " + std::to_string(line));
            });
        }
    }
    Core::Log::info("opened");
    Core::Log::error("node 12 is corrupt");
    Core::Log::setSink({});
    ASSERT_EQ(lines.size(), kThreadLines + 2);
    for (std::size_t i = 0; i < kThreadLines; ++i)
        EXPECT_TRUE(lines[i].first == Core::LogLevel::Warning && lines[i].second.starts_with("thread ")) << i;
    EXPECT_EQ(lines[kThreadLines], Line(Core::LogLevel::Info, "opened"));
    EXPECT_EQ(lines.back(), Line(Core::LogLevel::Error, "node 12 is corrupt"));

    std::ostringstream captured;
    std::streambuf* const original = std::cerr.rdbuf(captured.rdbuf());
    Core::Log::error("disk full");
    std::cerr.rdbuf(original);
    EXPECT_EQ(captured.str(), "error: disk full\n");
}

} // namespace
