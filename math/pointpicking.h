#pragma once

#include "math/nplane.h"
#include "math/point.h"
#include "math/trianglemesh.h"

#include <Eigen/Core>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The CPU side of picking: searching a read-back image of world positions (x, y, z, w per
// pixel, w > 0 where something was drawn) and fitting planes to what was found.
namespace Math {

// Row-major pixels of a position image, not owned.
class PositionImageView {
public:
    // Throws std::invalid_argument when `pixels` holds fewer than width x height pixels.
    PositionImageView(std::span<Eigen::Vector4f const> pixels, std::size_t width, std::size_t height);

    std::size_t width() const { return mWidth; }
    std::size_t height() const { return mHeight; }
    Eigen::Vector4f const& at(std::size_t column, std::size_t row) const { return mPixels[row * mWidth + column]; }

private:
    std::span<Eigen::Vector4f const> mPixels;
    std::size_t mWidth;
    std::size_t mHeight;
};

// Something was drawn there at a usable position: w > 0 and finite x, y, z.
bool isPositionHit(Eigen::Vector4f const& pixel);

// Half-open ranges of columns [columnBegin, columnEnd) and rows [rowBegin, rowEnd).
struct PixelWindow {
    std::size_t columnBegin = 0;
    std::size_t columnEnd = 0;
    std::size_t rowBegin = 0;
    std::size_t rowEnd = 0;

    bool operator==(PixelWindow const&) const = default;
};

// The pixels within `tolerance` of (x, y), each bound clamped to the image; the far bounds
// are exclusive, so a window at the right or bottom border loses its last column or row.
// Empty (a tolerance of 0, an empty image) yields nothing. Any 64-bit input is safe.
std::optional<PixelWindow> pickWindow(std::uint64_t x, std::uint64_t y, std::uint64_t tolerance, std::size_t width,
                                      std::size_t height);

// Every pixel of the image as a window.
PixelWindow wholeImage(PositionImageView const& image);

// The hit nearest to `eye` in the window; of equally near hits the first in scan order
// (column by column, each column top down).
std::optional<Point<float, 3>> closestHit(PositionImageView const& image, PixelWindow const& window,
                                          Point<float, 3> const& eye);

// The positions of all hits in the window, in scan order.
std::vector<Point<float, 3>> hitsInWindow(PositionImageView const& image, PixelWindow const& window);

// Sorts lexicographically by (x, y, z) on the shared task executor and removes exact duplicates.
// The positions must be finite (hits are), or the order is undefined.
void sortUniquePositions(std::vector<Point<float, 3>>& positions);

// The plane most of `points` lie on, within `inlierDistance`: a seeded RANSAC search of
// 100 samples (the same points always give the same plane) refined by a least-squares fit
// to its inliers. Nothing when fewer than 3 points are given, no sample spans a plane, or
// the inliers do not span one.
std::optional<NPlane<float, 3>> fitPlane(std::span<Point<float, 3> const> points, double inlierDistance);

// The least-squares plane through `points` (unit normal); nothing unless they span a plane.
std::optional<NPlane<float, 3>> leastSquaresPlane(std::span<Point<float, 3> const> points);

// The plane with its normal flipped if needed so that `viewer` lies on the positive side.
NPlane<float, 3> facing(NPlane<float, 3> const& plane, Point<float, 3> const& viewer);

// Where origin + s * direction with s >= 0 meets the plane; a ray within the plane meets it
// at its origin, a parallel ray off the plane never.
std::optional<Point<float, 3>> intersectRay(NPlane<float, 3> const& plane, Point<float, 3> const& origin,
                                            Eigen::Vector3f const& direction);

// Distance from `point` to the nearest point of the mesh, or the mesh's signed distance
// (negative inside); nothing for a mesh without triangles. A mesh whose tree was not built is
// searched through a private indexed copy, so that the shared mesh is never written.
std::optional<float> distanceToMesh(TriangleMesh<float> const& mesh, Point<float, 3> const& point, bool signedDistance);

} // namespace Math
