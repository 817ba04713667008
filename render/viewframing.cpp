#include "render/viewframing.h"

#include "render/pointcloudrenderable.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <optional>
#include <stdexcept>

namespace Render {
namespace {

// A side of no length is widened to this fraction of the largest extent (or to one unit when
// all are 0).
constexpr float kMinSideFraction = 0.01f;
constexpr float kMinSideForAPoint = 1.0f;
// Rounds of recentring the projection; each halves what is left off centre or better.
constexpr int kCentringRounds = 6;
// Guards the projection of a point level with the eye.
constexpr float kMinPointDepth = 1e-6f;
// A cloud is framed on the coarse levels' points but for this fraction at each side, so that a
// few stray returns (birds, noise far off) do not shrink the data to a corner of the picture.
constexpr double kStrayFraction = 0.001;
// The coverage grid has a cell for about this many points, so that the points could fill every
// cell where the data lies, and at most this many cells across the frame's height.
constexpr std::size_t kPointsPerCoverageCell = 8;
constexpr double kMaxCoverageRows = 90.0;

Math::NBoundingBox<float, 3> withoutFlatSides(Math::NBoundingBox<float, 3> const& box)
{
    Eigen::Vector3f const sides = (box.max() - box.min()).cwiseMax(0.0f);
    float const largest = sides.maxCoeff();
    float const minSide = largest > 0.0f ? largest * kMinSideFraction : kMinSideForAPoint;
    Eigen::Vector3f const widening = (minSide - sides.array()).cwiseMax(0.0f).matrix() * 0.5f;
    return {box.min() - widening, box.max() + widening};
}

std::vector<Eigen::Vector3f> corners(Math::NBoundingBox<float, 3> const& box)
{
    std::vector<Eigen::Vector3f> result;
    for (int i = 0; i < 8; ++i)
        result.emplace_back((i & 1) ? box.max().x() : box.min().x(), (i & 2) ? box.max().y() : box.min().y(),
                            (i & 4) ? box.max().z() : box.min().z());
    return result;
}

// The value below which `fraction` of `values` lie (reorders them).
float quantile(std::vector<float>& values, double fraction)
{
    auto const index = static_cast<std::size_t>(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

} // namespace

Eigen::Vector3f obliqueViewDirection()
{
    return Eigen::Vector3f(-0.55f, 0.65f, -0.52f).normalized();
}

std::array<Eigen::Vector3f, 4> obliqueViewDirections()
{
    std::array<Eigen::Vector3f, 4> directions;
    directions[0] = obliqueViewDirection();
    for (std::size_t i = 1; i < directions.size(); ++i)
        directions[i] = Eigen::Vector3f(-directions[i - 1].y(), directions[i - 1].x(), directions[i - 1].z());
    return directions;
}

CameraPlacement framePoints(std::vector<Eigen::Vector3f> const& points, Eigen::Vector3f const& direction,
                            float fieldOfViewYDegrees, double aspectRatio, float fill, double strayFraction)
{
    if (points.empty())
        throw std::invalid_argument("framePoints: there are no points");
    Eigen::Vector3f const forward = direction.normalized();
    Eigen::Vector3f const right = forward.cross(Eigen::Vector3f::UnitZ()).normalized();
    Eigen::Vector3f const up = right.cross(forward);
    Eigen::Vector3f center = Eigen::Vector3f::Zero();
    for (Eigen::Vector3f const& point : points)
        center += point / static_cast<float>(points.size());
    // The points relative to the centre, in the camera's right, up and forward coordinates.
    Eigen::Matrix3f axes;
    axes.row(0) = right;
    axes.row(1) = up;
    axes.row(2) = forward;
    std::vector<Eigen::Vector3f> inView;
    inView.reserve(points.size());
    for (Eigen::Vector3f const& point : points)
        inView.push_back(axes * (point - center));

    float const halfHeight = fill * std::tan(0.5f * fieldOfViewYDegrees * std::numbers::pi_v<float> / 180.0f);
    Eigen::Vector2f const halfExtent(halfHeight * static_cast<float>(aspectRatio), halfHeight);
    std::vector<float> values(inView.size());
    // `shift` moves the target sideways off the centre. The distance is the least at which the
    // points fit; each round centres the points' projections at the last distance.
    auto const fittingDistance = [&](Eigen::Vector2f const& shift) {
        std::transform(inView.begin(), inView.end(), values.begin(), [&](Eigen::Vector3f const& p) {
            return std::max(std::abs(p.x() - shift.x()) / halfExtent.x(), std::abs(p.y() - shift.y()) / halfExtent.y()) -
                   p.z();
        });
        return std::max(0.0f, quantile(values, 1.0 - 2.0 * strayFraction));
    };
    Eigen::Vector2f shift = Eigen::Vector2f::Zero();
    for (int round = 0; round < kCentringRounds; ++round) {
        float const distance = fittingDistance(shift);
        for (int axis = 0; axis < 2; ++axis) {
            std::transform(inView.begin(), inView.end(), values.begin(), [&](Eigen::Vector3f const& p) {
                return (p[axis] - shift[axis]) / std::max(distance + p.z(), kMinPointDepth);
            });
            float const low = quantile(values, strayFraction);
            float const high = quantile(values, 1.0 - strayFraction);
            shift[axis] += 0.5f * (low + high) * distance;
        }
    }
    float const distance = fittingDistance(shift);
    Math::Point<float, 3> const target(center + shift.x() * right + shift.y() * up);
    return {Math::Point<float, 3>(target - distance * forward), target};
}

CameraPlacement frameBox(Math::NBoundingBox<float, 3> const& box, Eigen::Vector3f const& direction,
                         float fieldOfViewYDegrees, double aspectRatio, float fill)
{
    if (box.isEmpty())
        throw std::invalid_argument("frameBox: the box is empty");
    return framePoints(corners(withoutFlatSides(box)), direction, fieldOfViewYDegrees, aspectRatio, fill, 0.0);
}

double framedCoverage(std::vector<Eigen::Vector3f> const& points, CameraPlacement const& placement,
                      float fieldOfViewYDegrees, double aspectRatio)
{
    Eigen::Vector3f const forward = Eigen::Vector3f(placement.target - placement.eye).normalized();
    Eigen::Vector3f const right = forward.cross(Eigen::Vector3f::UnitZ()).normalized();
    Eigen::Vector3f const up = right.cross(forward);
    double const cells = static_cast<double>(points.size() / kPointsPerCoverageCell);
    auto const rows = static_cast<std::size_t>(std::clamp(std::sqrt(cells / aspectRatio), 1.0, kMaxCoverageRows));
    auto const columns = std::max<std::size_t>(1, static_cast<std::size_t>(static_cast<double>(rows) * aspectRatio));
    float const halfHeight = std::tan(0.5f * fieldOfViewYDegrees * std::numbers::pi_v<float> / 180.0f);
    float const halfWidth = halfHeight * static_cast<float>(aspectRatio);
    std::vector<bool> covered(rows * columns);
    for (Eigen::Vector3f const& point : points) {
        Eigen::Vector3f const offset = point - Eigen::Vector3f(placement.eye);
        float const depth = offset.dot(forward);
        if (depth < kMinPointDepth)
            continue;
        // From the frame's top left corner, in cells.
        float const column = 0.5f * (offset.dot(right) / (depth * halfWidth) + 1.0f) * static_cast<float>(columns);
        float const row = 0.5f * (1.0f - offset.dot(up) / (depth * halfHeight)) * static_cast<float>(rows);
        if (column >= 0.0f && row >= 0.0f && column < static_cast<float>(columns) && row < static_cast<float>(rows))
            covered[static_cast<std::size_t>(row) * columns + static_cast<std::size_t>(column)] = true;
    }
    return static_cast<double>(std::ranges::count(covered, true)) / static_cast<double>(covered.size());
}

CameraPlacement frameCloud(PointCloudRenderable& cloud, float fieldOfViewYDegrees, double aspectRatio, float fill)
{
    CameraPlacement const boxPlacement =
        frameBox(cloud.boundingBoxWorld(), obliqueViewDirection(), fieldOfViewYDegrees, aspectRatio, fill);
    std::vector<Eigen::Vector3f> const points = cloud.coarsePoints();
    if (points.empty())
        return boxPlacement;
    std::optional<CameraPlacement> best;
    double bestCoverage = -1.0;
    for (Eigen::Vector3f const& direction : obliqueViewDirections()) {
        CameraPlacement const placement =
            framePoints(points, direction, fieldOfViewYDegrees, aspectRatio, fill, kStrayFraction);
        // Points all in one place give no distance to keep; the box has been widened for that.
        if (placement.eye == placement.target)
            return boxPlacement;
        if (double const coverage = framedCoverage(points, placement, fieldOfViewYDegrees, aspectRatio);
            coverage > bestCoverage) {
            best = placement;
            bestCoverage = coverage;
        }
    }
    return *best;
}

} // namespace Render
