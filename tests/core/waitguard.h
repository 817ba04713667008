#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace CoreTest {

// Generous bound on waits for another thread, so that a broken hand-over fails the test instead of
// hanging it. It is no performance limit.
inline constexpr std::chrono::seconds kHangGuard{20};

// A flag one thread raises and others wait for.
class Signal {
public:
    void raise()
    {
        {
            std::lock_guard lock(mMutex);
            mRaised = true;
        }
        mChanged.notify_all();
    }

    // False when the flag was not raised within the hang guard.
    bool wait()
    {
        std::unique_lock lock(mMutex);
        return mChanged.wait_for(lock, kHangGuard, [this] { return mRaised; });
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    bool mRaised = false;
};

} // namespace CoreTest
