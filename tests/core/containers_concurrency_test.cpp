#include "core/groupedlrucache.h"
#include "core/instanceid.h"
#include "core/sharedresources.h"
#include "core/triplebuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
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
    std::uint64_t updates = 0;
    while (lastSeen < kPublications) {
        if (!buffer.update())
            continue;
        ++updates;
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
    EXPECT_GT(updates, 0u);
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

struct CountedResource {
    explicit CountedResource(std::atomic<int>& constructions) { ++constructions; }
};

TEST(SharedResourcesConcurrencyTest, ConcurrentRequestsShareOneResource)
{
    Core::SharedResources<std::string, CountedResource> registry;
    std::atomic<int> constructions{0};
    std::vector<std::shared_ptr<CountedResource>> received(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back([&, i] { received[i] = registry.createOrGet("/scans/a", std::ref(constructions)); });
    }
    EXPECT_EQ(constructions.load(), 1);
    for (auto const& resource : received)
        EXPECT_EQ(resource, received.front());
}

struct Counted : Core::InstanceId<Counted> {};

TEST(InstanceIdConcurrencyTest, IdsAreUniqueAcrossThreads)
{
    constexpr int kObjectsPerThread = 1000;
    std::vector<std::vector<std::uint64_t>> ids(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                for (int object = 0; object < kObjectsPerThread; ++object)
                    ids[i].push_back(Counted().id());
            });
        }
    }
    std::set<std::uint64_t> unique;
    for (auto const& perThread : ids)
        unique.insert(perThread.begin(), perThread.end());
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kObjectsPerThread));
}

} // namespace
