#include "core/backgroundthread.h"

#include "core/log.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace Core {

BackgroundThread::BackgroundThread(Function function)
    : mFunction(std::move(function))
    , mWorker([this] { serveRuns(); })
{
}

BackgroundThread::~BackgroundThread()
{
    {
        std::lock_guard lock(mMutex);
        mShuttingDown = true;
        mRunScheduled = false;
        mRunStop.request_stop();
    }
    mStateChanged.notify_all();
    mWorker.join();
}

void BackgroundThread::restart()
{
    {
        std::lock_guard lock(mMutex);
        mRunStop.request_stop();
        mRunStop = std::stop_source();
        mRunScheduled = true;
    }
    mStateChanged.notify_all();
}

void BackgroundThread::cancel()
{
    std::lock_guard lock(mMutex);
    mRunScheduled = false;
    mRunStop.request_stop();
}

void BackgroundThread::stop()
{
    if (std::this_thread::get_id() == mWorker.get_id())
        throw std::logic_error("BackgroundThread::stop must not be called from its own run");
    cancel();
    std::unique_lock lock(mMutex);
    mStateChanged.wait(lock, [this] { return !mRunInProgress; });
}

bool BackgroundThread::isBusy() const
{
    std::lock_guard lock(mMutex);
    return mRunScheduled || mRunInProgress;
}

void BackgroundThread::serveRuns()
{
    std::unique_lock lock(mMutex);
    while (true) {
        mStateChanged.wait(lock, [this] { return mRunScheduled || mShuttingDown; });
        if (mShuttingDown)
            return;
        mRunScheduled = false;
        mRunInProgress = true;
        std::stop_token const runStop = mRunStop.get_token();
        lock.unlock();
        runOnce(runStop);
        lock.lock();
        mRunInProgress = false;
        mStateChanged.notify_all();
    }
}

void BackgroundThread::runOnce(std::stop_token runStop)
{
    try {
        mFunction(std::move(runStop));
    } catch (std::exception const& exception) {
        Log::error(std::string("Background run failed: ") + exception.what());
    } catch (...) {
        Log::error("Background run failed with an unknown exception");
    }
}

} // namespace Core
