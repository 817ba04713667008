#include "octree/pointiterator.h"

namespace Octree {

PointIterator::PointIterator(Octree const& octree, OctreeNodeCache& cache, float spacing, std::stop_token stopToken,
                             BoxTest boxTest, PointTest pointTest)
    : mOctree(octree)
    , mCache(cache)
    , mSpacing(spacing)
    , mStopToken(std::move(stopToken))
    , mBoxTest(std::move(boxTest))
    , mPointTest(std::move(pointTest))
{
    if (wanted(mOctree.root()))
        mQueue.push_back(mOctree.root());
}

bool PointIterator::wanted(OctreeNodeId id) const
{
    return !mBoxTest || mBoxTest(mOctree.boundingCube(id));
}

bool PointIterator::next()
{
    while (!mQueue.empty()) {
        if (mStopToken.stop_requested())
            return false;
        mNode = mQueue.front();
        mQueue.pop_front();
        // Children are needed while this level is still coarser than asked for.
        if (mOctree.spacing(mNode) > mSpacing) {
            for (OctreeNodeId const child : mOctree.children(mNode)) {
                if (wanted(child))
                    mQueue.push_back(child);
            }
        }
        if (!mCache.getOrLoad(mOctree, mNode, mPoints, mStopToken))
            return false;
        if (mPointTest) {
            for (std::size_t i = 0; i < mPoints.size(); ++i)
                mPoints.setVisibility(i, mPointTest(mPoints.position(i).cast<float>()) ? 0 : 1);
            mPoints.removeHiddenPoints();
        }
        if (mPoints.size() > 0)
            return true;
    }
    return false;
}

} // namespace Octree
