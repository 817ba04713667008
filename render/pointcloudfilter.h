#pragma once

#include "render/ifilter.h"

#include <cstddef>

namespace Render {

// What a point query visits: levels down to maxLevel, nodes whose spacing is larger than minSpacing,
// and the region of the host's filter. Without a filter every box and point passes. Entirely inline,
// so that the query walk builds and is tested without the library.
class PointCloudFilter {
public:
    PointCloudFilter(IFilter const* filter, std::size_t maxLevel, float minSpacing)
        : mMaxLevel(maxLevel), mMinSpacing(minSpacing), mFilter(filter)
    {
    }

    bool testLevel(std::size_t level) const { return level <= mMaxLevel; }
    bool testSpacing(float spacing) const { return spacing > mMinSpacing; }

    Octree::BoxTestResult testBox(Math::NBoundingBox<float, 3> const& box) const
    {
        return mFilter ? mFilter->testBox(box) : Octree::BoxTestResult::Inside;
    }

    bool testPosition(Math::Point<float, 3> const& point) const { return !mFilter || mFilter->testPosition(point); }

    std::size_t maxLevel() const { return mMaxLevel; }
    float minSpacing() const { return mMinSpacing; }

private:
    std::size_t mMaxLevel;
    float mMinSpacing;
    IFilter const* mFilter; // not owned
};

} // namespace Render
