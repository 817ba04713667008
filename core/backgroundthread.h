#pragma once

#include "core/noncopyable.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

namespace Core {

// Runs a function on its own worker thread, one run at a time. restart() asks the current run to stop
// through its stop token and schedules a new run with a fresh token, without waiting: the new run
// starts once the old one has returned, so runs never overlap. An exception that escapes a run is
// logged and does not end the thread. The destructor stops the current run and returns only after
// it has returned.
class BackgroundThread : NonCopyable {
public:
    using Function = std::function<void(std::stop_token)>;

    // Does not run `function` yet.
    explicit BackgroundThread(Function function);
    ~BackgroundThread();

    void restart();

    // Cancels a scheduled run and asks the current one to stop, without waiting for it.
    void cancel();

    // Cancels a scheduled run, asks the current one to stop and waits until it has returned.
    // Throws std::logic_error when called from a run, which would wait for itself.
    void stop();

    // True while a run is scheduled or in progress.
    bool isBusy() const;

private:
    void serveRuns();
    void runOnce(std::stop_token runStop);

    Function const mFunction;
    mutable std::mutex mMutex;
    // Plain condition variable and flags rather than waits on stop tokens: wake-ups through
    // std::stop_callback get lost with the mingw-w64 GCC 12 runtime.
    std::condition_variable mStateChanged;
    std::stop_source mRunStop;
    bool mRunScheduled = false;
    bool mRunInProgress = false;
    bool mShuttingDown = false;
    // Last member: the worker starts after everything it uses exists.
    std::thread mWorker;
};

} // namespace Core
