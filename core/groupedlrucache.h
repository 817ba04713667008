#pragma once

#include "core/noncopyable.h"

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace Core {

// Least-recently-used map bounded in entries, whose entries belong to groups. Values are derived from
// some state of their group (a mesh, a clipping region); when that state changes the group's version
// moves on and the values derived before become invalid. A value is stored only with the version that
// was current when its computation started, so a computation that overlaps a change cannot store a
// value of the old state.
template <typename K, typename V, typename G, typename Hash = std::hash<K>, typename KeyEqual = std::equal_to<K>,
          typename GroupHash = std::hash<G>>
class GroupedLruCache : NonCopyable {
public:
    using Version = std::uint64_t;

    explicit GroupedLruCache(std::uint64_t capacity)
        : mCapacity(capacity)
    {
        if (capacity == 0)
            throw std::invalid_argument("Capacity must be greater than 0");
    }

    // Copies a valid value of `key` into `out` and makes it the most recently used; a value of an
    // older group version is dropped and reported as a miss.
    bool tryGet(K const& key, V& out)
    {
        Version foundVersion = 0;
        {
            std::shared_lock lock(mLock);
            auto const found = mIndex.find(key);
            if (found == mIndex.end())
                return false;
            Entry const& entry = found->second;
            foundVersion = entry.version;
            if (entry.version >= versionOf(entry.group))
                out = entry.value;
        }

        std::unique_lock lock(mLock);
        auto const found = mIndex.find(key);
        if (found == mIndex.end())
            return false;
        Entry const& entry = found->second;
        if (entry.version < versionOf(entry.group)) {
            mRecency.erase(entry.recencyPosition);
            mIndex.erase(found);
            return false;
        }
        // Replaced between the two locks: `out` may hold a value of another version.
        if (entry.version != foundVersion)
            return false;
        mRecency.splice(mRecency.begin(), mRecency, entry.recencyPosition);
        return true;
    }

    // The current version of `group`; take it before computing a value to `put`.
    Version version(G const& group) const
    {
        std::shared_lock lock(mLock);
        return versionOf(group);
    }

    // Stores `value` as the most recently used entry of `key`, computed from `group` at `version`.
    // Returns false and stores nothing when the group has changed since `version` was taken.
    bool put(K const& key, V value, G const& group, Version version)
    {
        std::unique_lock lock(mLock);
        if (version != versionOf(group))
            return false;

        if (auto const found = mIndex.find(key); found != mIndex.end()) {
            Entry& entry = found->second;
            entry.value = std::move(value);
            entry.group = group;
            entry.version = version;
            mRecency.splice(mRecency.begin(), mRecency, entry.recencyPosition);
            return true;
        }
        while (mIndex.size() >= mCapacity && !mRecency.empty()) {
            mIndex.erase(mRecency.back());
            mRecency.pop_back();
        }
        mRecency.push_front(key);
        mIndex.emplace(key, Entry{std::move(value), group, version, mRecency.begin()});
        return true;
    }

    // The state behind `group` changed: its stored values become invalid and values still being
    // computed from the old state will be refused.
    void invalidate(G const& group)
    {
        std::unique_lock lock(mLock);
        mGroupVersions[group] = ++mLatestVersion;
    }

    // Drops every entry. Versions move on rather than restart, so that values still being computed
    // from the state before the clear are refused.
    void clear()
    {
        std::unique_lock lock(mLock);
        mIndex.clear();
        mRecency.clear();
        mGroupVersions.clear();
        mVersionAfterClear = ++mLatestVersion;
    }

    std::size_t size() const
    {
        std::shared_lock lock(mLock);
        return mIndex.size();
    }

    std::uint64_t capacity() const { return mCapacity; }

private:
    using RecencyList = std::list<K>;

    struct Entry {
        V value;
        G group;
        Version version;
        typename RecencyList::iterator recencyPosition;
    };

    Version versionOf(G const& group) const
    {
        auto const found = mGroupVersions.find(group);
        return found == mGroupVersions.end() ? mVersionAfterClear : found->second;
    }

    std::uint64_t const mCapacity;
    std::unordered_map<K, Entry, Hash, KeyEqual> mIndex;
    RecencyList mRecency; // most recently used first
    // Groups invalidated since the last clear; every other group is at mVersionAfterClear.
    std::unordered_map<G, Version, GroupHash> mGroupVersions;
    Version mVersionAfterClear = 0;
    Version mLatestVersion = 0;
    mutable std::shared_mutex mLock;
};

} // namespace Core
