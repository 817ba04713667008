#include "render/viewframing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace Render {
namespace {

// A side of no length is widened to this fraction of the largest extent (or to one unit when
// all are 0).
constexpr float kMinSideFraction = 0.01f;
constexpr float kMinSideForAPoint = 1.0f;
// Rounds of recentring the box's projection; each halves what is left off centre or better.
constexpr int kCentringRounds = 6;
// Guards the projection of a corner level with the eye.
constexpr float kMinCornerDepth = 1e-6f;

Math::NBoundingBox<float, 3> withoutFlatSides(Math::NBoundingBox<float, 3> const& box)
{
    Eigen::Vector3f const sides = (box.max() - box.min()).cwiseMax(0.0f);
    float const largest = sides.maxCoeff();
    float const minSide = largest > 0.0f ? largest * kMinSideFraction : kMinSideForAPoint;
    Eigen::Vector3f const widening = (minSide - sides.array()).cwiseMax(0.0f).matrix() * 0.5f;
    return {box.min() - widening, box.max() + widening};
}

// The eight corners relative to the centre, in the camera's right, up and forward coordinates.
std::array<Eigen::Vector3f, 8> cornersInView(Math::NBoundingBox<float, 3> const& box, Eigen::Matrix3f const& axes)
{
    std::array<Eigen::Vector3f, 8> corners;
    Eigen::Vector3f const center = box.center();
    for (int i = 0; i < 8; ++i) {
        Eigen::Vector3f const corner((i & 1) ? box.max().x() : box.min().x(), (i & 2) ? box.max().y() : box.min().y(),
                                     (i & 4) ? box.max().z() : box.min().z());
        corners[static_cast<std::size_t>(i)] = axes * (corner - center);
    }
    return corners;
}

} // namespace

Eigen::Vector3f obliqueViewDirection()
{
    return Eigen::Vector3f(-0.55f, 0.65f, -0.52f).normalized();
}

CameraPlacement frameBox(Math::NBoundingBox<float, 3> const& box, Eigen::Vector3f const& direction,
                         float fieldOfViewYDegrees, double aspectRatio, float fill)
{
    if (box.isEmpty())
        throw std::invalid_argument("frameBox: the box is empty");
    Math::NBoundingBox<float, 3> const framed = withoutFlatSides(box);
    Eigen::Vector3f const forward = direction.normalized();
    Eigen::Vector3f const right = forward.cross(Eigen::Vector3f::UnitZ()).normalized();
    Eigen::Vector3f const up = right.cross(forward);
    Eigen::Matrix3f axes;
    axes.row(0) = right;
    axes.row(1) = up;
    axes.row(2) = forward;
    std::array<Eigen::Vector3f, 8> const corners = cornersInView(framed, axes);

    float const halfHeight = fill * std::tan(0.5f * fieldOfViewYDegrees * std::numbers::pi_v<float> / 180.0f);
    Eigen::Vector2f const halfExtent(halfHeight * static_cast<float>(aspectRatio), halfHeight);
    // `shift` moves the target sideways off the centre. The distance is the least at which every
    // corner fits; each round centres the corners' projections at the last distance.
    auto const fittingDistance = [&](Eigen::Vector2f const& shift) {
        float distance = 0.0f;
        for (Eigen::Vector3f const& corner : corners)
            for (int axis = 0; axis < 2; ++axis)
                distance = std::max(distance, std::abs(corner[axis] - shift[axis]) / halfExtent[axis] - corner.z());
        return distance;
    };
    Eigen::Vector2f shift = Eigen::Vector2f::Zero();
    for (int round = 0; round < kCentringRounds; ++round) {
        float const distance = fittingDistance(shift);
        Eigen::Vector2f low = Eigen::Vector2f::Constant(std::numeric_limits<float>::infinity());
        Eigen::Vector2f high = -low;
        for (Eigen::Vector3f const& corner : corners) {
            Eigen::Vector2f const projected =
                (corner.head<2>() - shift) / std::max(distance + corner.z(), kMinCornerDepth);
            low = low.cwiseMin(projected);
            high = high.cwiseMax(projected);
        }
        shift += 0.5f * (low + high) * distance;
    }
    float const distance = fittingDistance(shift);
    Math::Point<float, 3> const target(framed.center() + shift.x() * right + shift.y() * up);
    return {Math::Point<float, 3>(target - distance * forward), target};
}

} // namespace Render
