#pragma once

#include "octree/octreenodeid.h"

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace Render {

// The nodes of one point cloud that could not be read. A broken node is skipped with its subtree
// until its next retry, so that the rest of the cloud loads; retries back off from
// kFirstRetryDelay, doubling up to kMaxRetryDelay. Safe to use from the loader and the host thread.
class BrokenNodes {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kFirstRetryDelay{2};
    static constexpr std::chrono::seconds kMaxRetryDelay{64};

    // Records a failed read. True for the node's first failure: only that one is worth a log line.
    bool recordFailure(Octree::OctreeNodeId id, std::string const& reason, Clock::time_point now);
    void recordSuccess(Octree::OctreeNodeId id);
    // Whether the node is broken and its retry still lies ahead.
    bool isWaiting(Octree::OctreeNodeId id, Clock::time_point now) const;
    // The earliest retry of any broken node; none when no node is broken.
    std::optional<Clock::time_point> nextRetry() const;
    // Why the shallowest broken node could not be read; none when no node is broken.
    std::optional<std::string> firstFailure() const;
    void clear();

private:
    struct Failure {
        std::string reason;
        Clock::duration delay;
        Clock::time_point retryAt;
    };

    mutable std::mutex mMutex;
    std::map<Octree::OctreeNodeId, Failure> mFailures;
};

} // namespace Render
