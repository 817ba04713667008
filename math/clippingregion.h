#pragma once

#include "math/boundingbox.h"
#include "math/point.h"

namespace Math {

// A region of space that the host cuts point clouds with: points inside it are shown, the others
// hidden. Boxes and points are in world coordinates. The renderer asks whole boxes first, so that
// nodes entirely outside are never loaded and nodes entirely inside need no per-point test;
// implementations may answer the box questions conservatively (false when unsure).
// The renderer calls these from its loader threads and worker threads at once: implementations
// must allow concurrent calls of the const operations.
template <class T>
class ClippingRegion {
public:
    using PointType = Point<T, 3>;
    using BoxType = NBoundingBox<T, 3>;

    virtual ~ClippingRegion() = default;

    // A box holding every point that passes; an empty box when none does.
    virtual BoxType boundingBox() const = 0;
    // True when no point at all passes.
    virtual bool isEmpty() const { return boundingBox().isEmpty(); }
    // True when no passing point can lie in `box`.
    virtual bool isOutside(BoxType const& box) const = 0;
    // True when some point of `box` may pass.
    virtual bool intersects(BoxType const& box) const { return !isOutside(box); }
    // True when every point of `box` passes.
    virtual bool isInside(BoxType const& box) const = 0;
    // True when `point` passes.
    virtual bool contains(PointType const& point) const = 0;

protected:
    ClippingRegion() = default;
    ClippingRegion(ClippingRegion const&) = default;
    ClippingRegion& operator=(ClippingRegion const&) = default;
};

} // namespace Math
