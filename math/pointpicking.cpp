#include "math/pointpicking.h"

#include "core/taskflow.h"
#include "core/taskflowexecutor.h"

#include <Eigen/Geometry>
#include <Eigen/SVD>

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <limits>
#include <random>
#include <stdexcept>
#include <utility>

namespace Math {
namespace {

using Point3f = Point<float, 3>;
using Plane = NPlane<float, 3>;

constexpr unsigned kRansacSeed = 5489;
constexpr int kRansacIterations = 100;
constexpr std::size_t kPointsPerSample = 3;
constexpr int kMinimumPlaneRank = 2;

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b)
{
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

std::uint64_t saturatingSubtract(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

// [value - tolerance, value + tolerance) clamped to [0, last], or nothing when that is empty.
std::optional<std::pair<std::size_t, std::size_t>> clampedRange(std::uint64_t value, std::uint64_t tolerance,
                                                                std::size_t size)
{
    if (size == 0)
        return std::nullopt;
    std::uint64_t const last = size - 1;
    std::uint64_t const begin = std::min(saturatingSubtract(value, tolerance), last);
    std::uint64_t const end = std::min(saturatingAdd(value, tolerance), last);
    if (begin == end)
        return std::nullopt;
    return std::pair{static_cast<std::size_t>(begin), static_cast<std::size_t>(end)};
}

template <class Visit>
void forEachHit(PositionImageView const& image, PixelWindow const& window, Visit&& visit)
{
    std::size_t const columnEnd = std::min(window.columnEnd, image.width());
    std::size_t const rowEnd = std::min(window.rowEnd, image.height());
    for (std::size_t column = window.columnBegin; column < columnEnd; ++column)
        for (std::size_t row = window.rowBegin; row < rowEnd; ++row) {
            Eigen::Vector4f const& pixel = image.at(column, row);
            if (isPositionHit(pixel))
                visit(Point3f(pixel.head<3>()));
        }
}

bool lexicographicallyLess(Point3f const& a, Point3f const& b)
{
    if (a.x() != b.x())
        return a.x() < b.x();
    if (a.y() != b.y())
        return a.y() < b.y();
    return a.z() < b.z();
}

// A uniform draw from [0, bound), bound > 0, by rejection so that every standard library
// gives the same sequence (the distributions of the standard library are not portable).
std::uint64_t uniformBelow(std::mt19937& random, std::uint64_t bound)
{
    constexpr std::uint64_t kWordRange = std::uint64_t{1} << 32;
    if (bound <= kWordRange) {
        std::uint64_t const limit = kWordRange - kWordRange % bound;
        for (;;) {
            std::uint64_t const draw = random();
            if (draw < limit)
                return draw % bound;
        }
    }
    std::uint64_t const limit = std::numeric_limits<std::uint64_t>::max() - std::numeric_limits<std::uint64_t>::max() % bound;
    for (;;) {
        std::uint64_t const high = random();
        std::uint64_t const draw = (high << 32) | random();
        if (draw < limit)
            return draw % bound;
    }
}

// Selection sampling: each point in turn is taken when a draw from [0, unvisited) falls
// below the number still needed, which yields distinct indices in increasing order.
std::array<std::size_t, kPointsPerSample> samplePoints(std::mt19937& random, std::size_t count)
{
    std::array<std::size_t, kPointsPerSample> sample{};
    std::size_t needed = kPointsPerSample;
    for (std::size_t index = 0; index < count && needed > 0; ++index) {
        if (uniformBelow(random, count - index) < needed) {
            sample[kPointsPerSample - needed] = index;
            --needed;
        }
    }
    return sample;
}

std::optional<Plane> planeThrough(Point3f const& p0, Point3f const& p1, Point3f const& p2)
{
    Eigen::Vector3f const normal = (p0 - p1).cross(p2 - p1);
    float const length = normal.norm();
    if (!(length >= std::numeric_limits<float>::epsilon()))
        return std::nullopt;
    return Plane::throughPoint(normal / length, p1);
}

bool isInlier(Plane const& plane, Point3f const& point, double inlierDistance)
{
    return std::abs(static_cast<double>(plane.signedDistance(point))) < inlierDistance;
}

std::size_t countInliers(Plane const& plane, std::span<Point3f const> points, double inlierDistance)
{
    return static_cast<std::size_t>(std::count_if(points.begin(), points.end(), [&](Point3f const& point) {
        return isInlier(plane, point, inlierDistance);
    }));
}

} // namespace

PositionImageView::PositionImageView(std::span<Eigen::Vector4f const> pixels, std::size_t width, std::size_t height)
    : mPixels(pixels)
    , mWidth(width)
    , mHeight(height)
{
    if (height != 0 && width > pixels.size() / height)
        throw std::invalid_argument("position image holds fewer pixels than its size");
}

bool isPositionHit(Eigen::Vector4f const& pixel)
{
    return pixel.w() > 0.0f && std::isfinite(pixel.x()) && std::isfinite(pixel.y()) && std::isfinite(pixel.z());
}

std::optional<PixelWindow> pickWindow(std::uint64_t x, std::uint64_t y, std::uint64_t tolerance, std::size_t width,
                                      std::size_t height)
{
    auto const columns = clampedRange(x, tolerance, width);
    auto const rows = clampedRange(y, tolerance, height);
    if (!columns || !rows)
        return std::nullopt;
    return PixelWindow{columns->first, columns->second, rows->first, rows->second};
}

PixelWindow wholeImage(PositionImageView const& image) { return {0, image.width(), 0, image.height()}; }

std::optional<Point3f> closestHit(PositionImageView const& image, PixelWindow const& window, Point3f const& eye)
{
    float best = std::numeric_limits<float>::max();
    std::optional<Point3f> closest;
    forEachHit(image, window, [&](Point3f const& position) {
        float const squaredDistance = (position - eye).squaredNorm();
        if (squaredDistance < best) {
            best = squaredDistance;
            closest = position;
        }
    });
    return closest;
}

std::vector<Point3f> hitsInWindow(PositionImageView const& image, PixelWindow const& window)
{
    std::vector<Point3f> positions;
    positions.reserve((window.columnEnd - window.columnBegin) * (window.rowEnd - window.rowBegin));
    forEachHit(image, window, [&](Point3f const& position) { positions.push_back(position); });
    return positions;
}

void sortUniquePositions(std::vector<Point3f>& positions)
{
    tf::Taskflow taskflow;
    taskflow.sort(positions.begin(), positions.end(), lexicographicallyLess);
    Core::TaskFlowExecutor::instance().run(taskflow).wait();
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
}

std::optional<Plane> fitPlane(std::span<Point3f const> points, double inlierDistance)
{
    if (points.size() < kPointsPerSample)
        return std::nullopt;
    std::mt19937 random(kRansacSeed);
    Plane best(Point3f(0.0f, 1.0f, 0.0f), 0.0f);
    std::size_t bestInliers = 0;
    for (int iteration = 0; iteration < kRansacIterations; ++iteration) {
        auto const sample = samplePoints(random, points.size());
        auto const candidate = planeThrough(points[sample[0]], points[sample[1]], points[sample[2]]);
        if (!candidate)
            continue;
        std::size_t const inliers = countInliers(*candidate, points, inlierDistance);
        if (inliers > bestInliers) {
            best = *candidate;
            bestInliers = inliers;
        }
    }
    // The refit needs three inliers; fewer cannot span a plane.
    if (bestInliers < kPointsPerSample)
        return std::nullopt;
    std::vector<Point3f> inliers;
    inliers.reserve(bestInliers);
    std::copy_if(points.begin(), points.end(), std::back_inserter(inliers),
                 [&](Point3f const& point) { return isInlier(best, point, inlierDistance); });
    return leastSquaresPlane(inliers);
}

std::optional<Plane> leastSquaresPlane(std::span<Point3f const> points)
{
    if (points.size() < kPointsPerSample)
        return std::nullopt;
    // The centroid in double: clouds sit far from their origin and hold many points.
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    for (Point3f const& point : points)
        sum += point.cast<double>();
    Eigen::Vector3d const centroid = sum / static_cast<double>(points.size());
    Eigen::MatrixXf centered(static_cast<Eigen::Index>(points.size()), 3);
    for (std::size_t i = 0; i < points.size(); ++i)
        centered.row(static_cast<Eigen::Index>(i)) = (points[i].cast<double>() - centroid).cast<float>().transpose();

    Eigen::JacobiSVD<Eigen::MatrixXf> const svd(centered, Eigen::ComputeThinV);
    Eigen::VectorXf const& singularValues = svd.singularValues();
    float const threshold = std::max(static_cast<float>(std::max<Eigen::Index>(singularValues.size(), 1))
                                         * std::numeric_limits<float>::epsilon() * singularValues(0),
                                     std::numeric_limits<float>::min());
    if ((singularValues.array() > threshold).count() < kMinimumPlaneRank)
        return std::nullopt;
    Point3f const normal = svd.matrixV().col(singularValues.size() - 1);
    return Plane::throughPoint(normal, centroid.cast<float>());
}

Plane facing(Plane const& plane, Point3f const& viewer)
{
    if (plane.signedDistance(viewer) < 0.0f)
        return {Point3f(-plane.normal()), -plane.d()};
    return plane;
}

std::optional<Point3f> intersectRay(Plane const& plane, Point3f const& origin, Eigen::Vector3f const& direction)
{
    float const denominator = plane.normal().dot(direction);
    float const numerator = plane.signedDistance(origin);
    if (denominator == 0.0f) {
        if (numerator == 0.0f)
            return origin;
        return std::nullopt;
    }
    float const s = -numerator / denominator;
    if (!(s >= 0.0f))
        return std::nullopt;
    return Point3f(origin + s * direction);
}

std::optional<float> distanceToMesh(TriangleMesh<float> const& mesh, Point3f const& point, bool signedDistance)
{
    if (mesh.triangleCount() == 0)
        return std::nullopt;
    if (!mesh.hasTree()) {
        TriangleMesh<float> indexed(mesh);
        indexed.buildTree();
        return distanceToMesh(indexed, point, signedDistance);
    }
    if (signedDistance)
        return mesh.signedDistance(point);
    return std::sqrt(mesh.closestPoint(point).squaredDistance);
}

} // namespace Math
