#pragma once

#include "core/cacheentrysizecount.h"
#include "core/lrucache.h"
#include "math/boundingbox.h"
#include "octree/boxtestresult.h"
#include "octree/nodepointdata.h"
#include "octree/octree.h"

#include <Eigen/Core>

#include <chrono>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Octree {

// Decoded node points with every attribute, bounded in points; shared by the queries of one data set.
using NodePointDataCache = Core::LruCache<OctreeNodeId, NodePointData, Core::CacheEntrySizeCount<NodePointData>>;

// The deadline `duration` after now. A duration too long to add saturates to "never", a negative one
// counts as none left.
inline std::chrono::steady_clock::time_point deadlineAfter(std::chrono::nanoseconds duration)
{
    using Clock = std::chrono::steady_clock;
    auto const now = Clock::now();
    if (duration <= std::chrono::nanoseconds::zero())
        return now;
    auto const room = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::time_point::max() - now);
    if (duration >= room)
        return Clock::time_point::max();
    return now + std::chrono::duration_cast<Clock::duration>(duration);
}

// Walks an octree breadth first, coarse to fine, and hands out the points that a filter accepts,
// in world coordinates, a bounded number per call and within a time limit.
//
// `Filter` offers testLevel(level), testSpacing(spacing), testBox(world box) -> BoxTestResult and
// testPosition(world point). Subtrees whose box is outside are never loaded; points of nodes whose box
// is inside are not tested one by one.
template <class Filter>
class FilteredPointWalk {
public:
    using Clock = std::chrono::steady_clock;

    FilteredPointWalk(std::shared_ptr<Octree const> octree, std::shared_ptr<NodePointDataCache> cache,
                      Eigen::Matrix4f const& worldMatrix, Filter filter, std::chrono::nanoseconds duration)
        : mOctree(std::move(octree)), mCache(std::move(cache)), mFilter(std::move(filter))
    {
        if (!mOctree)
            throw std::invalid_argument("A point query needs an octree");
        setWorldMatrix(worldMatrix);
        enqueue(mOctree->root(), BoxTestResult::Intersecting);
        mDeadline = deadlineAfter(duration);
    }

    void setWorldMatrix(Eigen::Matrix4f const& matrix)
    {
        mWorldMatrix = matrix;
        mScale = matrix.col(0).head<3>().norm();
    }

    Eigen::Matrix4f const& worldMatrix() const { return mWorldMatrix; }
    float scale() const { return mScale; }

    // Hands at most `maxCount` accepted points to `emit(Math::Point<float, 3> world, Math::Color)` and
    // returns their number. Fewer than `maxCount` means the walk is exhausted or past its deadline; past
    // the deadline each call still makes progress by one slice of points. A call with `maxCount` 0 still
    // moves on to the next node and loads it. Throws std::runtime_error "Querying node data failed"
    // (nesting the cause) when a node cannot be read: that node is dropped, its children stay queued,
    // and the walk may go on. Whatever fails after points were handed out in the same call (a node, or
    // the filter with any exception) is thrown by the next call instead, so that the count of those
    // points is not lost.
    template <class Emit>
    std::size_t next(std::size_t maxCount, Emit&& emit)
    {
        if (mPendingFailure)
            std::rethrow_exception(std::exchange(mPendingFailure, nullptr));
        std::size_t written = 0;
        try {
            do {
                if (!mCurrentValid && !advance())
                    break;
                emitFromCurrent(maxCount, written, emit);
                if (mNextPoint >= mPoints.size())
                    mCurrentValid = false;
                if (Clock::now() > mDeadline)
                    break;
            } while (written < maxCount);
        } catch (...) {
            if (written == 0)
                throw;
            mPendingFailure = std::current_exception();
        }
        return written;
    }

    // True once every queued node has been handed out.
    bool isExhausted() const { return !mCurrentValid && mQueue.empty() && !mPendingFailure; }

    // How many nodes the walk has loaded so far, per level.
    std::vector<std::size_t> const& loadedNodesPerLevel() const { return mLoadedNodesPerLevel; }

private:
    struct Entry {
        OctreeNodeId id;
        BoxTestResult boxTest = BoxTestResult::Intersecting;
        std::size_t level = 0;
        float spacing = 0.0f;
    };

    // Clock reads are cheap but not free: within a node the deadline is looked at every so many points,
    // so that one huge node cannot hold a call far beyond its time limit.
    static constexpr std::size_t kPointsBetweenClockChecks = 4096;
    static constexpr char kQueryFailure[] = "Querying node data failed";

    // Queues `id` when its level and spacing are wanted and its box is not outside the filter. A box
    // inside the filter is passed on to the children without asking the filter again.
    void enqueue(OctreeNodeId id, BoxTestResult parentResult)
    {
        Entry entry;
        entry.id = id;
        entry.level = mOctree->level(id);
        entry.spacing = mOctree->spacing(id) * mScale;
        if (!mFilter.testLevel(entry.level) || !mFilter.testSpacing(entry.spacing))
            return;
        entry.boxTest = parentResult == BoxTestResult::Inside
                            ? BoxTestResult::Inside
                            : mFilter.testBox(mOctree->boundingCube(id).transformed(mWorldMatrix));
        if (entry.boxTest != BoxTestResult::Outside)
            mQueue.push_back(entry);
    }

    // Makes the front entry current, queues its children and loads its points.
    bool advance()
    {
        if (mQueue.empty())
            return false;
        mCurrent = mQueue.front();
        mQueue.pop_front();
        mNextPoint = 0;
        for (OctreeNodeId const child : childrenOf(mCurrent.id))
            enqueue(child, mCurrent.boxTest);
        load(mCurrent.id);
        if (mLoadedNodesPerLevel.size() <= mCurrent.level)
            mLoadedNodesPerLevel.resize(mCurrent.level + 1, 0);
        ++mLoadedNodesPerLevel[mCurrent.level];
        mCurrentValid = true;
        return true;
    }

    // Must be called while handling the cause, which it nests.
    [[noreturn]] static void throwQueryFailure() { std::throw_with_nested(std::runtime_error(kQueryFailure)); }

    // Children come from hierarchy data that may be read only now, and may fail like node data.
    std::vector<OctreeNodeId> childrenOf(OctreeNodeId id) const
    {
        try {
            return mOctree->children(id);
        } catch (std::exception const&) {
            throwQueryFailure();
        }
    }

    void load(OctreeNodeId id)
    {
        bool loaded = false;
        try {
            auto const loader = [&](NodePointData& out) { return mOctree->loadNodePointData(id, out); };
            if (mCache) {
                loaded = mCache->getOrLoad(id, mPoints, loader);
            } else {
                mPoints = NodePointData(PointAttributes::All);
                loaded = loader(mPoints);
            }
        } catch (std::exception const&) {
            throwQueryFailure();
        }
        // Without a stop token, a load that produces nothing means the node is missing.
        if (!loaded)
            throw std::runtime_error(kQueryFailure);
    }

    // Counts in `written` as it goes, so that points handed out before a throwing filter stay counted.
    template <class Emit>
    void emitFromCurrent(std::size_t maxCount, std::size_t& written, Emit& emit)
    {
        bool const testEachPoint = mCurrent.boxTest != BoxTestResult::Inside;
        std::size_t examined = 0;
        while (mNextPoint < mPoints.size() && written < maxCount) {
            std::size_t const index = mNextPoint++;
            Math::Point<float, 3> const world = toWorld(mPoints.position(index));
            if (!testEachPoint || mFilter.testPosition(world)) {
                emit(world, mPoints.color(index));
                ++written;
            }
            if (++examined % kPointsBetweenClockChecks == 0 && Clock::now() > mDeadline)
                break;
        }
    }

    Math::Point<float, 3> toWorld(Math::Point<double, 3> const& model) const
    {
        Eigen::Vector4f const transformed = mWorldMatrix * model.cast<float>().homogeneous();
        return Math::Point<float, 3>(transformed.head<3>() / transformed.w());
    }

    std::shared_ptr<Octree const> mOctree;
    std::shared_ptr<NodePointDataCache> mCache;
    std::deque<Entry> mQueue;
    Entry mCurrent;
    NodePointData mPoints{PointAttributes::All};
    bool mCurrentValid = false;
    std::size_t mNextPoint = 0;
    Filter mFilter;
    Eigen::Matrix4f mWorldMatrix = Eigen::Matrix4f::Identity();
    float mScale = 1.0f;
    Clock::time_point mDeadline = Clock::time_point::max();
    std::vector<std::size_t> mLoadedNodesPerLevel;
    std::exception_ptr mPendingFailure;
};

} // namespace Octree
