#include "render/viewframing.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <vector>

namespace {

struct FramingCase {
    char const* name;
    Math::Point<float, 3> min;
    Math::Point<float, 3> max;
    float fieldOfView;
    double aspectRatio;
};

// Scans: a flat airborne tile, a tall tree, a long road corridor, and a box far from the origin.
FramingCase const kCases[] = {
    {"flat tile", {0.0f, 0.0f, 0.0f}, {500.0f, 500.0f, 30.0f}, 50.0f, 16.0 / 9.0},
    {"tree", {-3.0f, -3.0f, 0.0f}, {3.0f, 3.0f, 25.0f}, 50.0f, 16.0 / 9.0},
    {"corridor", {0.0f, 0.0f, 0.0f}, {2000.0f, 40.0f, 10.0f}, 20.0f, 1.0},
    {"far away", {6.0e5f, 5.2e6f, 100.0f}, {6.01e5f, 5.201e6f, 160.0f}, 50.0f, 4.0 / 3.0},
};

// Every corner projects inside the frame, the projection is centred, and it reaches the frame's
// border (less the margin) in one direction: the box fills the frame as far as it can.
TEST(ViewFraming, BoxFillsTheFrameCentredFromTheObliqueDirection)
{
    constexpr float kFill = 0.9f;
    for (FramingCase const& c : kCases) {
        SCOPED_TRACE(c.name);
        Math::NBoundingBox<float, 3> const box(c.min, c.max);
        Render::CameraPlacement const placement =
            Render::frameBox(box, Render::obliqueViewDirection(), c.fieldOfView, c.aspectRatio, kFill);
        Eigen::Vector3f const forward = Eigen::Vector3f(placement.target - placement.eye).normalized();
        EXPECT_LT((forward - Render::obliqueViewDirection()).norm(), 1e-4f);
        Eigen::Vector3f const right = forward.cross(Eigen::Vector3f::UnitZ()).normalized();
        Eigen::Vector3f const up = right.cross(forward);
        float const tanY = std::tan(0.5f * c.fieldOfView * std::numbers::pi_v<float> / 180.0f);
        Eigen::Vector2f const half(tanY * static_cast<float>(c.aspectRatio), tanY);
        Eigen::Vector2f low = Eigen::Vector2f::Constant(1e9f), high = -low;
        for (int i = 0; i < 8; ++i) {
            Eigen::Vector3f const corner((i & 1) ? c.max.x() : c.min.x(), (i & 2) ? c.max.y() : c.min.y(),
                                         (i & 4) ? c.max.z() : c.min.z());
            Eigen::Vector3f const offset = corner - Eigen::Vector3f(placement.eye);
            float const depth = offset.dot(forward);
            ASSERT_GT(depth, 0.0f);
            Eigen::Vector2f const ndc(offset.dot(right) / depth / half.x(), offset.dot(up) / depth / half.y());
            low = low.cwiseMin(ndc);
            high = high.cwiseMax(ndc);
        }
        EXPECT_GE(low.minCoeff(), -kFill - 1e-3f);
        EXPECT_LE(high.maxCoeff(), kFill + 1e-3f);
        EXPECT_NEAR(low.x() + high.x(), 0.0f, 0.02f);
        EXPECT_NEAR(low.y() + high.y(), 0.0f, 0.02f);
        EXPECT_NEAR(std::max(high.x(), high.y()), kFill, 0.01f);
    }
}

// A dense vertical wall framed head-on covers the whole frame, its left half the left half; four
// oblique corners turn the first one by quarter turns.
TEST(ViewFraming, CoverageMeasuresTheFramedShapeFromEachCorner)
{
    constexpr double kAspectRatio = 16.0 / 9.0;
    std::vector<Eigen::Vector3f> wall;
    for (int i = 0; i <= 320; ++i)
        for (int j = 0; j <= 180; ++j)
            wall.emplace_back(static_cast<float>(i) * 0.1f, 0.0f, static_cast<float>(j) * 0.1f);
    Eigen::Vector3f const headOn(0.0f, 1.0f, 0.0f);
    Render::CameraPlacement const placement = Render::framePoints(wall, headOn, 50.0f, kAspectRatio, 1.0f, 0.0);
    EXPECT_GT(Render::framedCoverage(wall, placement, 50.0f, kAspectRatio), 0.97);
    std::erase_if(wall, [](Eigen::Vector3f const& point) { return point.x() > 16.0f; });
    EXPECT_NEAR(Render::framedCoverage(wall, placement, 50.0f, kAspectRatio), 0.5, 0.03);

    std::array<Eigen::Vector3f, 4> const corners = Render::obliqueViewDirections();
    EXPECT_EQ(corners[0], Render::obliqueViewDirection());
    for (std::size_t i = 1; i < corners.size(); ++i) {
        EXPECT_NEAR(corners[i].dot(corners[i - 1]), corners[0].z() * corners[0].z(), 1e-6f) << "a quarter turn";
        EXPECT_EQ(corners[i].z(), corners[0].z());
    }
}

// A thousand points on a 10 m square and one stray return a kilometre up: the square is framed. A
// single point is widened to a unit cube seen from a place of its own; nothing at all is refused.
TEST(ViewFraming, StrayPointsAndSinglePointsAreFramedAndNothingIsRefused)
{
    Eigen::Vector3f const oblique = Render::obliqueViewDirection();
    std::vector<Eigen::Vector3f> points;
    for (int i = 0; i < 1000; ++i)
        points.emplace_back(static_cast<float>(i % 32) * 0.32f, static_cast<float>(i / 32) * 0.32f, 0.0f);
    Render::CameraPlacement const square = Render::framePoints(points, oblique, 50.0f, 1.0, 0.95f, 0.0);
    points.emplace_back(5.0f, 5.0f, 1000.0f);
    Render::CameraPlacement const withStray = Render::framePoints(points, oblique, 50.0f, 1.0, 0.95f, 0.001);
    EXPECT_LT((withStray.eye - square.eye).norm(), 0.5f);

    Math::Point<float, 3> const point(10.0f, 20.0f, 30.0f);
    Render::CameraPlacement const placement =
        Render::frameBox(Math::NBoundingBox<float, 3>(point, point), oblique, 50.0f, 1.0);
    EXPECT_GT((placement.eye - point).norm(), 1.0f);
    EXPECT_LT((placement.target - point).norm(), 0.5f);
    EXPECT_THROW(Render::framePoints({}, oblique, 50.0f, 1.0, 0.95f, 0.0), std::invalid_argument);
    EXPECT_THROW(Render::frameBox(Math::NBoundingBox<float, 3>(), oblique, 50.0f, 1.0), std::invalid_argument);
}

} // namespace
