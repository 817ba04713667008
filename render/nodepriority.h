#pragma once

#include "math/boundingbox.h"
#include "math/convexpolytope.h"
#include "math/frustum.h"
#include "math/point.h"
#include "math/viewport.h"
#include "render/export.h"

#include <Eigen/Core>

namespace Render {

// The loading rank of an octree node: about how many pixels its bounding sphere covers on
// screen, with the distance from the eye to break near-ties (the nearer node ranks higher).
// Comparisons treat priorities within kTolerance as equal and then compare distances.
class MORVID_RENDER_API NodePriority {
public:
    static constexpr float kTolerance = 0.1f;

    // Always load: the largest priority at distance 0.
    static NodePriority keep();
    // Never load: priority 0 at the largest distance.
    static NodePriority discard();

    // `box`, `frustum`, `polytope` and `eye` are in the point cloud's model frame;
    // `modelScale` is the length of the model matrix's x axis; the threshold is in pixels.
    static NodePriority perspective(Math::NBoundingBox<float, 3> const& box, Math::Frustum<float> const& frustum,
        Math::ConvexPolytope<float, 3> const& polytope, Math::Point<float, 3> const& eye, float modelScale,
        Math::Viewport<float> const& viewport, float fieldOfViewY, float threshold);
    static NodePriority orthographic(Math::NBoundingBox<float, 3> const& box, Math::Frustum<float> const& frustum,
        Math::ConvexPolytope<float, 3> const& polytope, Math::Point<float, 3> const& eye, float modelScale,
        Eigen::Matrix4f const& projection, Math::Viewport<float> const& viewport, float threshold);

    float priority() const { return mPriority; }
    // In the point cloud's model units.
    float distanceToEye() const { return mDistanceToEye; }

    bool operator==(NodePriority const& other) const;
    bool operator!=(NodePriority const& other) const { return !(*this == other); }
    bool operator<(NodePriority const& other) const;
    bool operator<=(NodePriority const& other) const;
    bool operator>(NodePriority const& other) const;
    bool operator>=(NodePriority const& other) const;
    // Sum of the priorities at the nearer of the two distances.
    NodePriority operator+(NodePriority const& other) const;
    NodePriority& operator+=(NodePriority const& other);

private:
    NodePriority(float priority, float distanceToEye) : mPriority(priority), mDistanceToEye(distanceToEye) {}

    float mPriority;
    float mDistanceToEye;
};

} // namespace Render
