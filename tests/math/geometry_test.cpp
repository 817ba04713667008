#include "math/boundingbox.h"
#include "math/convexpolytope.h"
#include "math/frustum.h"
#include "math/halfspace.h"
#include "math/nplane.h"
#include "math/viewport.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <limits>

namespace {

using Box = Math::NBoundingBox<float, 3>;
using Vec3 = Eigen::Vector3f;
using Plane = Math::NPlane<float, 3>;
using HalfSpace = Math::HalfSpace<float, 3>;
constexpr float kFloatMax = std::numeric_limits<float>::max();

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

} // namespace
