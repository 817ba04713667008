// Boxes, planes and the volumes they bound, the view's mappings, and the geometry of picking.
#include "math/boundingbox.h"
#include "math/convexpolytope.h"
#include "math/frustum.h"
#include "math/halfspace.h"
#include "math/nplane.h"
#include "math/pointpicking.h"
#include "math/viewport.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using Box = Math::NBoundingBox<float, 3>;
using Vec3 = Eigen::Vector3f;
using Point3f = Math::Point<float, 3>;
using Plane = Math::NPlane<float, 3>;
using HalfSpace = Math::HalfSpace<float, 3>;
using Math::PixelWindow;
using Math::PositionImageView;
constexpr float kFloatMax = std::numeric_limits<float>::max();
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(BoundingBox, ExtentsSurviveHugeOrInvertedCoordinatesAndTransformsEncloseTheCorners)
{
    Box const huge(Vec3(-kFloatMax, 0, -1), Vec3(kFloatMax, 2, 3));
    EXPECT_EQ(huge.center(), Vec3(0, 1, 1));
    EXPECT_EQ(huge.halfExtent(), Vec3(kFloatMax, 1, 2));
    Box const inverted(Vec3(0, 5, 0), Vec3(2, 1, 2)); // a negative extent counts as zero
    EXPECT_EQ(inverted.halfExtent(), Vec3(1, 0, 1));
    EXPECT_FLOAT_EQ(inverted.boundingSphereRadius(), std::sqrt(2.0f));

    Box const box(Vec3(-1, -2, -3), Vec3(1, 2, 3));
    EXPECT_EQ(box.farthestCorner(Vec3(1, -1, 0)), Vec3(1, -2, -3));
    EXPECT_EQ(box.farthestCorner(Vec3(-1, 1, 1)), Vec3(-1, 2, 3));

    Eigen::Affine3f transform = Eigen::Translation3f(10, 0, 0) * Eigen::AngleAxisf(float(EIGEN_PI / 2), Vec3::UnitZ());
    Box const result = Box(Vec3(0, 0, 0), Vec3(2, 1, 1)).transformed(transform.matrix());
    EXPECT_LT((result.min() - Vec3(9, 0, 0)).norm(), 1e-5f);
    EXPECT_LT((result.max() - Vec3(10, 2, 1)).norm(), 1e-5f);
    EXPECT_TRUE(Box().transformed(transform.matrix()).isEmpty());
}

TEST(Plane, NormalizedKeepsSignedDistanceGeometry)
{
    Plane const plane(Vec3(0, 0, 2), -4);
    auto const unit = plane.normalized();
    EXPECT_FLOAT_EQ(unit.signedDistance(Vec3(7, 7, 5)), 3.0f);
    EXPECT_EQ(Plane().normalized(), Plane());
    EXPECT_FLOAT_EQ(Plane::throughPoint(Vec3(1, 0, 0), Vec3(4, 0, 0)).signedDistance(Vec3(1, 9, 9)), -3.0f);
}

TEST(HalfSpace, BoxOutsideOnlyWhenEveryCornerFailsAndTransformedKeepsTheSamePoints)
{
    HalfSpace const xAtLeast1(1, 0, 0, -1);
    EXPECT_TRUE(xAtLeast1.isOutside(Box(Vec3(-3, 0, 0), Vec3(0.5f, 1, 1))));
    EXPECT_FALSE(xAtLeast1.isOutside(Box(Vec3(-3, 0, 0), Vec3(1, 1, 1))));
    EXPECT_FALSE(xAtLeast1.isOutside(Box(Vec3(2, 0, 0), Vec3(3, 1, 1))));
    EXPECT_TRUE(xAtLeast1.isOutside(Box()));
    EXPECT_TRUE(HalfSpace().contains(Vec3(1e30f, -1e30f, 0)));
    float const inf = std::numeric_limits<float>::infinity(); // infinite along the axes it ignores
    EXPECT_FALSE(HalfSpace(1, 0, 0, 0).isOutside(Box(Vec3(0, -inf, -inf), Vec3(1, inf, inf))));

    HalfSpace const world(Vec3(0, 1, 0), -2);
    Eigen::Affine3f modelToWorld = Eigen::Translation3f(0, 5, 0) * Eigen::Scaling(2.0f);
    auto const model = world.transformed(modelToWorld.inverse().matrix());
    for (float y : {-3.0f, -1.6f, -1.4f, 0.0f}) {
        Vec3 const modelPoint(0.3f, y, 1);
        EXPECT_EQ(model.contains(modelPoint), world.contains(modelToWorld * modelPoint)) << y;
    }
}

TEST(ConvexPolytope, SlabCullsBoxesOutsideEitherSideAndNoPlanesContainEverything)
{
    Math::ConvexPolytope<float, 3> const all;
    EXPECT_FALSE(all.isOutside(Box(Vec3(1, 1, 1), Vec3(2, 2, 2))));
    EXPECT_TRUE(all.contains(Vec3(1e20f, 0, 0)));
    Math::ConvexPolytope<float, 3> const slab({{0, 0, 1, 0}, {0, 0, -1, 1}});
    EXPECT_FALSE(slab.isOutside(Box(Vec3(0, 0, 0.5f), Vec3(1, 1, 0.6f))));
    EXPECT_FALSE(slab.isOutside(Box(Vec3(0, 0, -5), Vec3(1, 1, 5))));
    EXPECT_TRUE(slab.isOutside(Box(Vec3(0, 0, 1.5f), Vec3(1, 1, 2))));
    EXPECT_TRUE(slab.isOutside(Box(Vec3(0, 0, -2), Vec3(1, 1, -0.1f))));
    EXPECT_FALSE(slab.contains(Vec3(9, 9, 1.5f)));
}

// Orthographic Direct3D projection of the box x, y in [-1, 1], view depth 1 to 3.
Eigen::Matrix4f orthographicUnitBox(bool reversed)
{
    Eigen::Matrix4f m = Eigen::Matrix4f::Identity();
    float const n = 1, f = 3;
    float const u = reversed ? f : n, v = reversed ? n : f;
    m(2, 2) = 1 / (u - v);
    m(2, 3) = u / (u - v);
    return m;
}

TEST(Frustum, PlanesAreUnitAndCullOnlyBoxesFullyBehindOnePlane)
{
    for (bool reversed : {false, true}) {
        Math::Frustum<float> const frustum(orthographicUnitBox(reversed), reversed);
        for (auto const& plane : frustum.planes())
            EXPECT_NEAR(plane.normal().norm(), 1.0f, 1e-6f);
        EXPECT_TRUE(frustum.contains(Vec3(0.5f, -0.5f, -2)));
        EXPECT_NEAR(frustum.plane(Math::Frustum<float>::Near).signedDistance(Vec3(0, 0, -1.25f)), 0.25f, 1e-5f)
            << reversed;
        EXPECT_NEAR(frustum.plane(Math::Frustum<float>::Far).signedDistance(Vec3(0, 0, -2.5f)), 0.5f, 1e-5f)
            << reversed;
        EXPECT_NEAR(frustum.plane(Math::Frustum<float>::Left).signedDistance(Vec3(0, 0, -2)), 1.0f, 1e-5f);
        EXPECT_NEAR(frustum.plane(Math::Frustum<float>::Top).signedDistance(Vec3(0, 0.25f, -2)), 0.75f, 1e-5f);
    }
    Math::Frustum<float> const frustum(orthographicUnitBox(true), true);
    EXPECT_FALSE(frustum.isOutside(Box(Vec3(0.9f, 0, -2), Vec3(1.5f, 0.1f, -1.9f))));
    EXPECT_TRUE(frustum.isOutside(Box(Vec3(1.1f, 0, -2), Vec3(1.5f, 0.1f, -1.9f))));
    EXPECT_TRUE(frustum.isOutside(Box(Vec3(0, 0, -0.9f), Vec3(0.1f, 0.1f, 0))));
    EXPECT_TRUE(frustum.isOutside(Box(Vec3(0, 0, -5), Vec3(0.1f, 0.1f, -3.1f))));
    EXPECT_FALSE(frustum.isOutside(Box(Vec3(-9, -9, -9), Vec3(9, 9, 9))));
}

TEST(Viewport, PixelAndNdcConversionsInvertEachOther)
{
    Math::Viewport<float> const viewport(10, 20, 200, 100);
    Eigen::Vector2f const topLeft = viewport.pixelToNdc(Eigen::Vector2f(10, 20));
    EXPECT_EQ(topLeft, Eigen::Vector2f(-1, 1));
    EXPECT_EQ(viewport.ndcToPixel(Eigen::Vector2f(1, -1)), Eigen::Vector2f(210, 120));
    Eigen::Vector2f const ndc(0.3f, -0.7f);
    EXPECT_LT((viewport.pixelToNdc(viewport.ndcToPixel(ndc)) - ndc).norm(), 1e-6f);
}

// A position image of `width` x `height` empty pixels with hits placed by (column, row).
struct PositionImage {
    std::size_t width, height;
    std::vector<Eigen::Vector4f> pixels =
        std::vector<Eigen::Vector4f>(width * height, Eigen::Vector4f::Zero());

    void set(std::size_t column, std::size_t row, Point3f const& position, float w = 1.0f)
    {
        pixels[row * width + column] << position, w;
    }
    PositionImageView view() const { return {pixels, width, height}; }
};

TEST(PickWindow, CoversTheToleranceClampedToTheImageWithExclusiveFarBounds)
{
    struct Case {
        std::uint64_t x, y, tolerance;
        std::size_t width, height;
        std::optional<PixelWindow> window;
    };
    std::vector<Case> const cases{
        {50, 40, 3, 100, 80, PixelWindow{47, 53, 37, 43}},
        {1, 2, 5, 100, 80, PixelWindow{0, 6, 0, 7}},
        // The far borders lose the last column and row.
        {99, 79, 2, 100, 80, PixelWindow{97, 99, 77, 79}},
        {50, 40, 0, 100, 80, std::nullopt},
        {0, 0, 3, 0, 80, std::nullopt},
        {0, 0, 3, 100, 0, std::nullopt},
        {0, 0, 3, 1, 80, std::nullopt},
        // Huge coordinates and tolerances clamp without wrapping.
        {kMax64, kMax64, kMax64, 100, 80, PixelWindow{0, 99, 0, 79}},
        {10, 10, kMax64 - 5, 100, 80, PixelWindow{0, 99, 0, 79}},
        {kMax64, 10, 3, 100, 80, std::nullopt},
        {std::uint64_t{1} << 32, 10, 3, 100, 80, std::nullopt},
    };
    for (Case const& c : cases)
        EXPECT_EQ(Math::pickWindow(c.x, c.y, c.tolerance, c.width, c.height), c.window)
            << c.x << ", " << c.y << " tolerance " << c.tolerance << " in " << c.width << " x " << c.height;
}

TEST(ClosestHit, TakesTheNearestUsableHitInTheWindowFirstInColumnOrder)
{
    PositionImage image{8, 8};
    image.set(2, 2, Point3f(0, 0, 5));
    image.set(3, 3, Point3f(0, 0, 2));
    image.set(4, 1, Point3f(0, 0, 9));
    EXPECT_EQ(Math::closestHit(image.view(), PixelWindow{0, 8, 0, 8}, Point3f(0, 0, 0)), Point3f(0, 0, 2));

    PositionImage ties{8, 8};
    ties.set(2, 0, Point3f(1, 0, 0));
    ties.set(1, 5, Point3f(0, 1, 0));
    ties.set(1, 3, Point3f(0, 0, 1));
    EXPECT_EQ(Math::closestHit(ties.view(), PixelWindow{0, 8, 0, 8}, Point3f(0, 0, 0)), Point3f(0, 0, 1));

    PositionImage unusable{8, 8};
    unusable.set(5, 5, Point3f(0, 0, 1)); // on the exclusive far bound
    unusable.set(2, 2, Point3f(kNaN, 0, 0));
    unusable.set(3, 3, Point3f(0, 0, 0.5f), 0.0f);
    unusable.set(4, 4, Point3f(0, 0, 7));
    EXPECT_EQ(Math::closestHit(unusable.view(), PixelWindow{1, 5, 1, 5}, Point3f(0, 0, 0)), Point3f(0, 0, 7));
    EXPECT_FALSE(Math::closestHit(unusable.view(), PixelWindow{0, 4, 0, 4}, Point3f(0, 0, 0)));
}

TEST(HitsInWindow, ListsUsableHitsColumnByColumnAndSortUniqueDropsDuplicates)
{
    PositionImage image{4, 4};
    image.set(2, 0, Point3f(3, 0, 0));
    image.set(1, 2, Point3f(2, 0, 0));
    image.set(1, 1, Point3f(1, 0, 0));
    image.set(3, 3, Point3f(4, 0, 0));
    // Not hits: w not positive, or a position that is not finite.
    image.set(3, 0, Point3f(5, 0, 0), -1.0f);
    image.set(0, 0, Point3f(6, 0, 0), kNaN);
    image.set(0, 3, Point3f(7, std::numeric_limits<float>::infinity(), 0));
    image.set(2, 2, Point3f(8, 0, kNaN));
    EXPECT_EQ(Math::hitsInWindow(image.view(), Math::wholeImage(image.view())),
              (std::vector<Point3f>{Point3f(1, 0, 0), Point3f(2, 0, 0), Point3f(3, 0, 0), Point3f(4, 0, 0)}));
    EXPECT_TRUE(Math::hitsInWindow(image.view(), PixelWindow{0, 1, 0, 4}).empty());
    EXPECT_THROW(PositionImageView(std::span(image.pixels).first(11), 4, 3), std::invalid_argument);

    std::vector<Point3f> positions{Point3f(1, 2, 3), Point3f(0, 5, 5), Point3f(1, 2, 3), Point3f(1, 1, 9),
                                   Point3f(1, 2, 2), Point3f(0, 5, 5)};
    Math::sortUniquePositions(positions);
    EXPECT_EQ(positions,
              (std::vector<Point3f>{Point3f(0, 5, 5), Point3f(1, 1, 9), Point3f(1, 2, 2), Point3f(1, 2, 3)}));
}

// Points of the plane z = 0.5 x - 0.25 y + 3 on a grid, then random outliers off it.
std::vector<Point3f> planeWithOutliers(std::size_t outliers)
{
    std::vector<Point3f> points;
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 20; ++j) {
            float const x = static_cast<float>(i) * 0.1f;
            float const y = static_cast<float>(j) * 0.1f;
            points.emplace_back(x, y, 0.5f * x - 0.25f * y + 3.0f);
        }
    std::mt19937 random(11);
    std::uniform_real_distribution<float> coordinate(0.0f, 2.0f);
    std::uniform_real_distribution<float> offset(0.5f, 4.0f);
    for (std::size_t i = 0; i < outliers; ++i) {
        float const x = coordinate(random);
        float const y = coordinate(random);
        points.emplace_back(x, y, 0.5f * x - 0.25f * y + 3.0f + offset(random));
    }
    Math::sortUniquePositions(points);
    return points;
}

void expectPlane(std::optional<Plane> const& plane, Eigen::Vector3f const& normal, float d, float tolerance)
{
    ASSERT_TRUE(plane);
    // Unoriented: compare after choosing the sign that matches.
    float const sign = plane->normal().dot(normal) < 0.0f ? -1.0f : 1.0f;
    EXPECT_NEAR(plane->normal().norm(), 1.0f, 1e-5f);
    EXPECT_LT((sign * plane->normal() - normal).norm(), tolerance);
    EXPECT_NEAR(sign * plane->d(), d, tolerance);
}

TEST(FitPlane, FindsThePlaneAmongOutliersTheSameEachTimeAndFailsWithoutThreeSpanningPointsOrAnInlierDistance)
{
    Eigen::Vector3f const plane(0.5f, -0.25f, -1.0f);
    expectPlane(Math::fitPlane(planeWithOutliers(150), 0.01), plane.normalized(), 3.0f / plane.norm(), 1e-4f);
    auto const points = planeWithOutliers(300);
    EXPECT_EQ(Math::fitPlane(points, 0.05)->coefficients(), Math::fitPlane(points, 0.05)->coefficients());
    expectPlane(Math::fitPlane(std::vector<Point3f>{Point3f(0, 0, 2), Point3f(1, 0, 2), Point3f(0, 1, 2)}, 1e-3),
                Eigen::Vector3f(0, 0, 1), -2.0f, 1e-6f);

    EXPECT_FALSE(Math::fitPlane(std::vector<Point3f>{}, 1.0));
    EXPECT_FALSE(Math::fitPlane(std::vector<Point3f>{Point3f(0, 0, 0), Point3f(1, 0, 0)}, 1.0));
    std::vector<Point3f> collinear;
    for (int i = 0; i < 50; ++i)
        collinear.emplace_back(static_cast<float>(i), 2.0f * static_cast<float>(i), 1.0f);
    EXPECT_FALSE(Math::fitPlane(collinear, 1.0));
    EXPECT_FALSE(Math::leastSquaresPlane(collinear));
    EXPECT_FALSE(Math::leastSquaresPlane(std::vector<Point3f>(10, Point3f(4, 5, 6))));
    for (double const inlierDistance : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_FALSE(Math::fitPlane(points, inlierDistance)) << inlierDistance;

    // The least squares fit averages noise far from the origin.
    std::vector<Point3f> farAway;
    for (int i = 0; i < 10; ++i)
        for (int j = 0; j < 10; ++j)
            farAway.emplace_back(500000.0f + float(i), 4000000.0f + float(j), (i + j) % 2 ? 99.99f : 100.01f);
    expectPlane(Math::leastSquaresPlane(farAway), Eigen::Vector3f(0, 0, 1), -100.0f, 1e-3f);
}

TEST(IntersectRay, MeetsThePlaneInFrontOrAlongItAndFacingFlipsTowardsTheViewer)
{
    Plane const plane(Point3f(0, 0, 1), -2.0f);
    EXPECT_EQ(Math::intersectRay(plane, Point3f(1, 1, 10), Eigen::Vector3f(0, 0, -2)), Point3f(1, 1, 2));
    EXPECT_FALSE(Math::intersectRay(plane, Point3f(1, 1, 10), Eigen::Vector3f(0, 0, 1)));
    EXPECT_FALSE(Math::intersectRay(plane, Point3f(0, 0, 5), Eigen::Vector3f(1, 0, 0)));
    EXPECT_EQ(Math::intersectRay(plane, Point3f(3, 0, 2), Eigen::Vector3f(1, 0, 0)), Point3f(3, 0, 2));

    EXPECT_EQ(Math::facing(plane, Point3f(0, 0, 5)), plane);
    EXPECT_EQ(Math::facing(plane, Point3f(0, 0, -5)), Plane(Point3f(0, 0, -1), 2.0f));
}

} // namespace
