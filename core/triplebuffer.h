#pragma once

#include "core/noncopyable.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Core {

// Hands the newest complete value from one writer thread to one reader thread without either waiting.
// The writer fills writeBuffer() and publishes it; the reader takes the newest publication with
// update() and reads readBuffer(). Publications the reader did not take in time are overwritten.
//
// The index of the published slot and the flag saying the reader has not taken it yet live in ONE
// atomic word: publishing and taking are each a single exchange, so no interleaving of writer and
// reader can pair a fresh flag with a slot that is not the newest. Atomic can be replaced by a type
// with the same load/exchange interface to interleave the two sides step by step.
template <typename T, template <typename> class Atomic = std::atomic>
class TripleBuffer : NonCopyable {
public:
    TripleBuffer() = default;

    // Writer only: the slot to fill next. It may hold an older value, which is overwritten.
    T& writeBuffer() { return mSlots[mBackIndex].value; }

    // Writer only: makes the filled slot the newest publication and takes the previous middle slot
    // as the next one to fill.
    void publish()
    {
        std::uint8_t const previous = mMiddle.exchange(static_cast<std::uint8_t>(mBackIndex | kFreshBit));
        mBackIndex = static_cast<std::uint8_t>(previous & kIndexMask);
    }

    // Reader only: takes the newest publication, if there is one the reader has not taken yet.
    // Returns whether readBuffer() changed.
    bool update()
    {
        if ((mMiddle.load() & kFreshBit) == 0)
            return false;
        // Only the reader clears the flag, so it is still set here, now possibly on a newer slot.
        std::uint8_t const previous = mMiddle.exchange(mFrontIndex);
        mFrontIndex = static_cast<std::uint8_t>(previous & kIndexMask);
        return true;
    }

    // Reader only: the slot taken by the last successful update(); empty before the first one.
    T& readBuffer() { return mSlots[mFrontIndex].value; }
    T const& readBuffer() const { return mSlots[mFrontIndex].value; }

private:
    // The writer filling one slot and the reader using another never share a cache line.
    static constexpr std::size_t kCacheLineSize = 64;
    static constexpr std::uint8_t kIndexMask = 0x3;
    static constexpr std::uint8_t kFreshBit = 0x4;

    struct alignas(kCacheLineSize) Slot {
        T value{};
    };

    std::array<Slot, 3> mSlots;
    alignas(kCacheLineSize) std::uint8_t mBackIndex = 0; // writer's
    alignas(kCacheLineSize) Atomic<std::uint8_t> mMiddle{1}; // published slot | kFreshBit
    alignas(kCacheLineSize) std::uint8_t mFrontIndex = 2; // reader's
};

} // namespace Core
