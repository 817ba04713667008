#pragma once

#include "math/boundingbox.h"
#include "math/point.h"
#include "octree/boxtestresult.h"

namespace Render {

// A region of world space that a point query keeps points of; implemented by the host. Both
// operations are called on the querying thread.
class IFilter {
public:
    // True when the point passes.
    virtual bool testPosition(Math::Point<float, 3> const& point) const = 0;
    // Outside: no point of the box can pass; Inside: every point passes; Intersecting: test each.
    virtual Octree::BoxTestResult testBox(Math::NBoundingBox<float, 3> const& box) const = 0;

    // Declared after the operations so that they keep the first two slots of the table.
    virtual ~IFilter() = default;
};

} // namespace Render
