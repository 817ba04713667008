#pragma once

#include <atomic>
#include <cstdint>

namespace Core {

// Gives every object of T a process-wide unique number, counted per T from 0. A copy keeps the
// number of its source: it stands for the same thing.
template <typename T>
class InstanceId {
public:
    InstanceId()
        : mId(nextId())
    {
    }
    InstanceId(InstanceId const&) = default;
    InstanceId& operator=(InstanceId const&) = default;
    virtual ~InstanceId() = default;

    std::uint64_t id() const { return mId; }

private:
    static std::uint64_t nextId() { return mCounter.fetch_add(1); }

    inline static std::atomic<std::uint64_t> mCounter{0};
    std::uint64_t mId;
};

} // namespace Core
