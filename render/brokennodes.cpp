#include "render/brokennodes.h"

#include <algorithm>

namespace Render {

bool BrokenNodes::recordFailure(Octree::OctreeNodeId id, std::string const& reason, Clock::time_point now)
{
    std::lock_guard lock(mMutex);
    auto const [found, first] = mFailures.try_emplace(id, Failure{reason, kFirstRetryDelay, now + kFirstRetryDelay});
    if (!first) {
        Failure& failure = found->second;
        failure.reason = reason;
        failure.delay = std::min<Clock::duration>(failure.delay * 2, kMaxRetryDelay);
        failure.retryAt = now + failure.delay;
    }
    return first;
}

void BrokenNodes::recordSuccess(Octree::OctreeNodeId id)
{
    std::lock_guard lock(mMutex);
    mFailures.erase(id);
}

bool BrokenNodes::isWaiting(Octree::OctreeNodeId id, Clock::time_point now) const
{
    std::lock_guard lock(mMutex);
    auto const found = mFailures.find(id);
    return found != mFailures.end() && now < found->second.retryAt;
}

std::optional<BrokenNodes::Clock::time_point> BrokenNodes::nextRetry() const
{
    std::lock_guard lock(mMutex);
    std::optional<Clock::time_point> earliest;
    for (auto const& [id, failure] : mFailures)
        earliest = std::min(earliest.value_or(failure.retryAt), failure.retryAt);
    return earliest;
}

std::optional<std::string> BrokenNodes::firstFailure() const
{
    std::lock_guard lock(mMutex);
    if (mFailures.empty())
        return std::nullopt;
    return mFailures.begin()->second.reason;
}

void BrokenNodes::clear()
{
    std::lock_guard lock(mMutex);
    mFailures.clear();
}

} // namespace Render
