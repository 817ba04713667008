#include "render/nodepriority.h"

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <limits>

namespace Render {

namespace {

constexpr float kLargestFloat = std::numeric_limits<float>::max();

bool isCulled(Math::NBoundingBox<float, 3> const& box, Math::Frustum<float> const& frustum,
    Math::ConvexPolytope<float, 3> const& polytope)
{
    return polytope.isOutside(box) || frustum.isOutside(box);
}

} // namespace

NodePriority NodePriority::keep() { return {kLargestFloat, 0.0f}; }

NodePriority NodePriority::discard() { return {0.0f, kLargestFloat}; }

NodePriority NodePriority::perspective(Math::NBoundingBox<float, 3> const& box, Math::Frustum<float> const& frustum,
    Math::ConvexPolytope<float, 3> const& polytope, Math::Point<float, 3> const& eye, float modelScale,
    Math::Viewport<float> const& viewport, float fieldOfViewY, float threshold)
{
    if (isCulled(box, frustum, polytope))
        return discard();

    float const distance = (box.center() - eye).stableNorm();
    // Radius and distance in world units alike: their ratio, the angular size, is what
    // counts, so the model scale cancels out.
    float const worldRadius = box.boundingSphereRadius() * modelScale;
    float const worldDistance = distance * modelScale;
    float const pixelsPerUnitAngle = static_cast<float>(viewport.height()) / 2.0f / std::tan(fieldOfViewY / 2.0f);
    // An eye at the sphere centre sees the node everywhere (and 0 / 0 must not become NaN).
    float const projectedSize = worldDistance > 0.0f
        ? std::min(pixelsPerUnitAngle * worldRadius / worldDistance, kLargestFloat)
        : kLargestFloat;
    if (threshold > projectedSize)
        return discard();
    return {projectedSize, distance};
}

NodePriority NodePriority::orthographic(Math::NBoundingBox<float, 3> const& box, Math::Frustum<float> const& frustum,
    Math::ConvexPolytope<float, 3> const& polytope, Math::Point<float, 3> const& eye, float modelScale,
    Eigen::Matrix4f const& projection, Math::Viewport<float> const& viewport, float threshold)
{
    if (isCulled(box, frustum, polytope))
        return discard();

    Math::Point<float, 3> const center = box.center();
    float const distance = (center - eye).stableNorm();
    // Without perspective the size on screen depends only on the world radius, not on where
    // the sphere is: project a centre and a point one world radius beside it.
    Math::Point<float, 3> const beside = center + Math::Point<float, 3>(box.boundingSphereRadius() * modelScale, 0.0f, 0.0f);
    auto toPixels = [&](Math::Point<float, 3> const& point) {
        Eigen::Vector2f const ndc = (projection * point.homogeneous()).hnormalized().head<2>();
        return Eigen::Vector2f((ndc.x() + 1.0f) * static_cast<float>(viewport.width()) / 2.0f,
            (ndc.y() + 1.0f) * static_cast<float>(viewport.height()) / 2.0f);
    };
    float const projectedSize = (toPixels(beside) - toPixels(center)).norm();
    if (threshold > projectedSize)
        return discard();
    return {projectedSize, distance};
}

bool NodePriority::operator==(NodePriority const& other) const
{
    return std::abs(mPriority - other.mPriority) < kTolerance && mDistanceToEye == other.mDistanceToEye;
}

bool NodePriority::operator>(NodePriority const& other) const
{
    if (mPriority - kTolerance > other.mPriority)
        return true;
    if (other.mPriority > mPriority + kTolerance)
        return false;
    return other.mDistanceToEye > mDistanceToEye;
}

bool NodePriority::operator<(NodePriority const& other) const
{
    if (other.mPriority - kTolerance > mPriority)
        return true;
    if (mPriority > other.mPriority + kTolerance)
        return false;
    return mDistanceToEye > other.mDistanceToEye;
}

bool NodePriority::operator>=(NodePriority const& other) const
{
    if (other.mPriority - kTolerance > mPriority)
        return false;
    if (mPriority > other.mPriority + kTolerance)
        return true;
    return !(mDistanceToEye > other.mDistanceToEye);
}

bool NodePriority::operator<=(NodePriority const& other) const
{
    if (mPriority - kTolerance > other.mPriority)
        return false;
    if (other.mPriority > mPriority + kTolerance)
        return true;
    return !(other.mDistanceToEye > mDistanceToEye);
}

NodePriority NodePriority::operator+(NodePriority const& other) const
{
    NodePriority sum = *this;
    sum += other;
    return sum;
}

NodePriority& NodePriority::operator+=(NodePriority const& other)
{
    mPriority += other.mPriority;
    mDistanceToEye = std::min(mDistanceToEye, other.mDistanceToEye);
    return *this;
}

} // namespace Render
