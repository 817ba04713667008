#pragma once

#include "core/noncopyable.h"

#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace Core {

// Registry that hands out one shared Resource per identifier, for as long as somebody holds it. It
// keeps only weak references: once the last holder lets go, the next request creates a fresh one.
template <typename Id, typename Resource, typename Hash = std::hash<Id>, typename Equal = std::equal_to<Id>>
class SharedResources : NonCopyable {
public:
    SharedResources() = default;

    // The live resource of `id`, or a new one constructed from `arguments` when there is none.
    // Construction happens under the registry's lock, so concurrent requests share one resource.
    template <typename... Arguments>
    std::shared_ptr<Resource> createOrGet(Id const& id, Arguments&&... arguments)
    {
        std::lock_guard lock(mMutex);
        purgeExpired();
        auto& slot = mResources[id];
        if (auto resource = slot.lock())
            return resource;
        auto resource = std::make_shared<Resource>(std::forward<Arguments>(arguments)...);
        slot = resource;
        return resource;
    }

    // Forgets every resource; those still held stay alive with their holders.
    void clear()
    {
        std::lock_guard lock(mMutex);
        mResources.clear();
    }

    // Number of identifiers whose resource is still held somewhere.
    std::size_t liveCount() const
    {
        std::lock_guard lock(mMutex);
        std::size_t count = 0;
        for (auto const& [id, resource] : mResources)
            count += resource.expired() ? 0 : 1;
        return count;
    }

private:
    void purgeExpired() { std::erase_if(mResources, [](auto const& item) { return item.second.expired(); }); }

    std::unordered_map<Id, std::weak_ptr<Resource>, Hash, Equal> mResources;
    mutable std::mutex mMutex;
};

} // namespace Core
