#pragma once

#include "octree/octreenodecache.h"

#include <deque>
#include <functional>
#include <stop_token>
#include <utility>

namespace Octree {

// Walks an octree breadth first, coarse to fine, and yields the points of each node down
// to the level whose spacing first reaches the requested one. A box test prunes subtrees
// and a point test filters points; both accept everything by default.
class PointIterator {
public:
    using BoxTest = std::function<bool(Math::NBoundingBox<float, 3> const&)>;
    using PointTest = std::function<bool(Math::Point<float, 3> const&)>;

    PointIterator(Octree const& octree, OctreeNodeCache& cache, float spacing, std::stop_token stopToken,
                  BoxTest boxTest = {}, PointTest pointTest = {});

    // Moves to the next node with points; false at the end or when stopped. Throws
    // std::runtime_error when a node cannot be read.
    bool next();
    OctreeNodeId node() const { return mNode; }
    NodePointData const& points() const { return mPoints; }

private:
    bool wanted(OctreeNodeId id) const;

    Octree const& mOctree;
    OctreeNodeCache& mCache;
    float mSpacing;
    std::stop_token mStopToken;
    BoxTest mBoxTest;
    PointTest mPointTest;
    std::deque<OctreeNodeId> mQueue;
    OctreeNodeId mNode;
    NodePointData mPoints;
};

inline PointIterator allPoints(Octree const& octree, OctreeNodeCache& cache, float spacing, std::stop_token stopToken)
{
    return PointIterator(octree, cache, spacing, std::move(stopToken));
}

// Only the points inside a closed shell in the octree's model frame; `Shell` offers
// boundingBox() (a float box) and isInside(point).
template <class Shell>
PointIterator allPointsInside(Octree const& octree, OctreeNodeCache& cache, Shell const& shell, float spacing,
                              std::stop_token stopToken)
{
    auto const shellBox = shell.boundingBox();
    return PointIterator(
        octree, cache, spacing, std::move(stopToken),
        [shellBox](Math::NBoundingBox<float, 3> const& box) { return box.intersects(shellBox); },
        [shell](Math::Point<float, 3> const& point) { return shell.isInside(point); });
}

} // namespace Octree
