#pragma once

#include "core/cacheentrysizecount.h"
#include "core/noncopyable.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <iterator>
#include <list>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace Core {

// Least-recently-used map whose capacity is counted in the units that SizePolicy assigns to each
// value. Safe to share between threads; values are loaded outside the lock, and a key that is being
// loaded by one thread is waited for by the others instead of being loaded twice.
template <typename K, typename V, typename SizePolicy = CacheEntrySizeCount<V>, typename Hash = std::hash<K>,
          typename KeyEqual = std::equal_to<K>>
class LruCache : NonCopyable {
public:
    LruCache(std::uint64_t capacity, std::size_t reserveEntries = 0)
        : mCapacity(capacity)
    {
        if (capacity == 0)
            throw std::invalid_argument("Size of the cache should be non-zero");
        mIndex.reserve(reserveEntries);
    }

    // A copy of the value, which becomes the most recently used one.
    V get(K const& key)
    {
        std::lock_guard lock(mMutex);
        auto const found = mIndex.find(key);
        if (found == mIndex.end())
            throw std::invalid_argument("Error: Key is not in cache");
        touch(found->second);
        return found->second->value;
    }

    // Stores `value` as the most recently used entry, replacing an entry of the same key and
    // evicting least recently used ones until it fits.
    void put(K const& key, V value, std::uint64_t size)
    {
        std::lock_guard lock(mMutex);
        erase(key);
        insert(key, std::move(value), size);
    }

    // Fills `out` with the cached value of `key`, or with the value that `loader(V&)` produces and
    // the cache then keeps. Returns false, storing nothing, when the loader fails or `stopToken` is
    // asked to stop. While another thread loads the same key, this call waits for its result.
    template <typename Loader>
    bool getOrLoad(K const& key, V& out, Loader&& loader, std::stop_token stopToken = {})
    {
        std::unique_lock lock(mMutex);
        while (true) {
            if (auto const found = mIndex.find(key); found != mIndex.end()) {
                touch(found->second);
                out = found->second->value;
                return true;
            }
            if (beginLoad(key))
                break;
            // Another thread loads this key: wait until it is done, then look again. If its load
            // failed or was stopped, the key is neither cached nor loading and this thread loads it.
            auto const loadFinished = [&] { return !mLoading.contains(key); };
            ++mWaitingThreads;
            bool stopped = false;
            while (!stopped && !mLoadFinished.wait_for(lock, kStopCheckInterval, loadFinished))
                stopped = stopToken.stop_requested();
            --mWaitingThreads;
            if (stopped)
                return false;
        }

        lock.unlock();
        V loaded{};
        bool produced = false;
        try {
            produced = std::invoke(std::forward<Loader>(loader), loaded);
        } catch (...) {
            lock.lock();
            finishLoad(key);
            throw;
        }
        lock.lock();
        finishLoad(key);
        if (!produced || stopToken.stop_requested())
            return false;

        // put() may have stored the key meanwhile; the stored value wins.
        if (auto const found = mIndex.find(key); found != mIndex.end()) {
            out = found->second->value;
            return true;
        }
        std::uint64_t const size = SizePolicy{}(loaded);
        insert(key, std::move(loaded), size);
        out = mEntries.front().value;
        return true;
    }

    bool contains(K const& key) const
    {
        std::lock_guard lock(mMutex);
        return mIndex.contains(key);
    }

    std::size_t entryCount() const
    {
        std::lock_guard lock(mMutex);
        return mEntries.size();
    }

    // Sum of the sizes of all entries, in size-policy units.
    std::uint64_t currentSize() const
    {
        std::lock_guard lock(mMutex);
        return mCurrentSize;
    }

    std::uint64_t capacity() const { return mCapacity; }

private:
    struct Entry {
        K key;
        V value;
        std::uint64_t size;
    };
    using EntryList = std::list<Entry>;

    // Marks `key` as loading unless another thread loads it already. The set's node is recycled
    // from the previous load, so a load allocates nothing here.
    bool beginLoad(K const& key)
    {
        if (mSpareLoadingNode.empty())
            return mLoading.insert(key).second;
        mSpareLoadingNode.value() = key;
        auto inserted = mLoading.insert(std::move(mSpareLoadingNode));
        if (!inserted.inserted)
            mSpareLoadingNode = std::move(inserted.node);
        return inserted.inserted;
    }

    // The key stops being "loading" and the threads waiting for it look again. Called under the lock,
    // which is held until the loaded value is stored, so waiters find it in the cache.
    void finishLoad(K const& key)
    {
        mSpareLoadingNode = mLoading.extract(key);
        if (mWaitingThreads > 0)
            mLoadFinished.notify_all();
    }

    void touch(typename EntryList::iterator entry) { mEntries.splice(mEntries.begin(), mEntries, entry); }

    void erase(K const& key)
    {
        auto const found = mIndex.find(key);
        if (found == mIndex.end())
            return;
        mCurrentSize -= found->second->size;
        mEntries.erase(found->second);
        mIndex.erase(found);
    }

    // Evicts least recently used entries until `size` fits, then stores the entry as the most recent.
    // An entry larger than the whole capacity is still stored, once everything else is evicted.
    void insert(K const& key, V value, std::uint64_t size)
    {
        while (!mEntries.empty() && freeRoom() < size) {
            auto const oldest = std::prev(mEntries.end());
            mCurrentSize -= oldest->size;
            auto indexNode = mIndex.extract(oldest->key);
            if (freeRoom() >= size || mEntries.size() == 1) {
                // The last eviction: its list and index nodes take the new entry, so that a miss in a
                // full cache allocates nothing.
                oldest->key = key;
                oldest->value = std::move(value);
                oldest->size = size;
                touch(oldest);
                indexNode.key() = key;
                indexNode.mapped() = oldest;
                mIndex.insert(std::move(indexNode));
                mCurrentSize += size;
                return;
            }
            mEntries.erase(oldest);
        }
        mEntries.push_front(Entry{key, std::move(value), size});
        mCurrentSize += size;
        mIndex.emplace(key, mEntries.begin());
    }

    std::uint64_t freeRoom() const { return mCurrentSize >= mCapacity ? 0 : mCapacity - mCurrentSize; }

    // How often a thread waiting for another thread's load looks at its own stop token. A stop callback
    // would wake it at once, but wake-ups through std::stop_callback get lost with the mingw-w64 GCC 12
    // runtime, so the waiter looks for itself.
    static constexpr std::chrono::milliseconds kStopCheckInterval{5};

    mutable std::mutex mMutex;
    std::condition_variable mLoadFinished;
    std::uint64_t const mCapacity;
    std::uint64_t mCurrentSize = 0;
    EntryList mEntries; // most recently used first
    std::unordered_map<K, typename EntryList::iterator, Hash, KeyEqual> mIndex;
    using LoadingSet = std::unordered_set<K, Hash, KeyEqual>;
    LoadingSet mLoading; // keys some thread is loading now
    typename LoadingSet::node_type mSpareLoadingNode;
    int mWaitingThreads = 0; // threads waiting for a key in mLoading
};

} // namespace Core
