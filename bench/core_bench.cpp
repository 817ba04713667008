// Core containers against the plain implementations they replace, measured in the same run. The
// program prints, after Google Benchmark's table, the time of each Core case over its baseline.

#include "core/lrucache.h"
#include "core/triplebuffer.h"

#include "ratioreporter.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <list>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view kCoreSuffix = "/core";
constexpr std::string_view kBaselineSuffix = "/baseline";

// A small node payload, so that the measurements show the containers rather than copying.
using Payload = std::array<float, 16>;

// The usual thread-safe LRU: one mutex, a list in recency order and a hash map into it, counted in
// entries; loads run outside the lock like the Core cache's.
class BaselineLru {
public:
    explicit BaselineLru(std::size_t capacity)
        : mCapacity(capacity)
    {
        mIndex.reserve(capacity);
    }

    template <typename Loader>
    bool getOrLoad(std::uint64_t key, Payload& out, Loader&& loader)
    {
        std::unique_lock lock(mMutex);
        if (auto const found = mIndex.find(key); found != mIndex.end()) {
            mEntries.splice(mEntries.begin(), mEntries, found->second);
            out = found->second->second;
            return true;
        }
        lock.unlock();
        Payload loaded{};
        if (!loader(loaded))
            return false;
        lock.lock();
        if (auto const found = mIndex.find(key); found != mIndex.end()) {
            out = found->second->second;
            return true;
        }
        if (mEntries.size() >= mCapacity) {
            mIndex.erase(mEntries.back().first);
            mEntries.pop_back();
        }
        mEntries.emplace_front(key, loaded);
        mIndex.emplace(key, mEntries.begin());
        out = loaded;
        return true;
    }

private:
    using EntryList = std::list<std::pair<std::uint64_t, Payload>>;
    std::size_t const mCapacity;
    std::mutex mMutex;
    EntryList mEntries;
    std::unordered_map<std::uint64_t, EntryList::iterator> mIndex;
};

using CoreLru = Core::LruCache<std::uint64_t, Payload, Core::CacheEntrySizeOne<Payload>>;

constexpr std::size_t kLruCapacity = 4096;
constexpr std::size_t kKeySequenceLength = 1 << 16;

std::vector<std::uint64_t> randomKeys(std::uint64_t keyCount)
{
    std::mt19937_64 random(42);
    std::uniform_int_distribution<std::uint64_t> pick(0, keyCount - 1);
    std::vector<std::uint64_t> keys(kKeySequenceLength);
    for (auto& key : keys)
        key = pick(random);
    return keys;
}

bool loadPayload(Payload& out)
{
    out.fill(1.0f);
    return true;
}

// keySpread = number of distinct keys over the capacity: 1 gives only hits once warm, 2 about half misses.
template <typename Cache>
void lruGetOrLoad(benchmark::State& state, std::uint64_t keySpread)
{
    Cache cache(kLruCapacity);
    std::vector<std::uint64_t> const keys = randomKeys(kLruCapacity * keySpread);
    Payload out{};
    for (std::uint64_t key = 0; key < kLruCapacity; ++key)
        cache.getOrLoad(key, out, loadPayload);
    std::size_t next = 0;
    for (auto _ : state) {
        cache.getOrLoad(keys[next], out, loadPayload);
        benchmark::DoNotOptimize(out);
        next = (next + 1) % keys.size();
    }
    state.SetItemsProcessed(state.iterations());
}

// The plain alternative to the triple buffer: a mutex-guarded swap of the newest value.
template <typename T>
class MutexSwapBuffer {
public:
    T& writeBuffer() { return mWriting; }
    void publish()
    {
        std::lock_guard lock(mMutex);
        std::swap(mWriting, mLatest);
        mFresh = true;
    }
    bool update()
    {
        std::lock_guard lock(mMutex);
        if (!mFresh)
            return false;
        std::swap(mReading, mLatest);
        mFresh = false;
        return true;
    }
    T& readBuffer() { return mReading; }

private:
    std::mutex mMutex;
    T mWriting{};
    T mLatest{};
    T mReading{};
    bool mFresh = false;
};

template <typename Buffer>
void handoffOneThread(benchmark::State& state)
{
    Buffer buffer;
    float value = 0.0f;
    for (auto _ : state) {
        buffer.writeBuffer().fill(value);
        buffer.publish();
        benchmark::DoNotOptimize(buffer.update());
        benchmark::DoNotOptimize(buffer.readBuffer()[0]);
        value += 1.0f;
    }
    state.SetItemsProcessed(state.iterations());
}

// Thread 0 publishes, thread 1 takes: the render thread polling while the loader publishes.
template <typename Buffer>
void handoffTwoThreads(benchmark::State& state)
{
    static Buffer buffer;
    float value = 0.0f;
    for (auto _ : state) {
        if (state.thread_index() == 0) {
            buffer.writeBuffer().fill(value);
            buffer.publish();
            value += 1.0f;
        } else {
            benchmark::DoNotOptimize(buffer.update());
            benchmark::DoNotOptimize(buffer.readBuffer()[0]);
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// Registers `core` and `baseline` under one case name so that the reporter can pair them.
template <typename CoreFunction, typename BaselineFunction>
void registerPair(std::string const& name, CoreFunction core, BaselineFunction baseline, int threads = 1)
{
    auto* const coreCase = benchmark::RegisterBenchmark((name + std::string(kCoreSuffix)).c_str(), core);
    auto* const baselineCase =
        benchmark::RegisterBenchmark((name + std::string(kBaselineSuffix)).c_str(), baseline);
    if (threads > 1) {
        coreCase->Threads(threads)->UseRealTime();
        baselineCase->Threads(threads)->UseRealTime();
    }
}

void registerBenchmarks()
{
    registerPair(
        "LruCache/hits", [](benchmark::State& state) { lruGetOrLoad<CoreLru>(state, 1); },
        [](benchmark::State& state) { lruGetOrLoad<BaselineLru>(state, 1); });
    registerPair(
        "LruCache/half-misses", [](benchmark::State& state) { lruGetOrLoad<CoreLru>(state, 2); },
        [](benchmark::State& state) { lruGetOrLoad<BaselineLru>(state, 2); });
    registerPair("TripleBuffer/one-thread", handoffOneThread<Core::TripleBuffer<Payload>>,
                 handoffOneThread<MutexSwapBuffer<Payload>>);
    registerPair("TripleBuffer/writer-and-reader", handoffTwoThreads<Core::TripleBuffer<Payload>>,
                 handoffTwoThreads<MutexSwapBuffer<Payload>>, 2);
}

} // namespace

int main(int argc, char** argv)
{
    registerBenchmarks();
    Bench::RatioReporter reporter(kCoreSuffix, kBaselineSuffix, "Core time / baseline time (below 1: Core is faster)");
    return Bench::runWithRatios(argc, argv, reporter);
}
