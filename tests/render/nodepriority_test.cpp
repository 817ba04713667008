#include "render/camera.h"
#include "render/nodepriority.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

namespace {

using Render::NodePriority;
using Vec3 = Eigen::Vector3f;
using Box = Math::NBoundingBox<float, 3>;
constexpr float kFloatMax = std::numeric_limits<float>::max();
constexpr float kThreshold = 15.0f;

// A 90 degree camera at the origin looking down -z over a 640 x 480 viewport: a sphere of
// radius r at distance d covers 240 r / d pixels.
struct PerspectiveView {
    PerspectiveView()
    {
        camera.setPose(Vec3(0, 0, 0), Vec3(0, 0, -1), Vec3(0, 1, 0));
        camera.setPerspective(90.0f, 0.1f, 1000.0f, 0, 0);
    }

    NodePriority priority(Box const& box, float modelScale = 1.0f, Math::ConvexPolytope<float, 3> const& polytope = {}) const
    {
        return NodePriority::perspective(box, camera.frustum(), polytope, camera.eye(), modelScale, camera.viewport(),
            camera.fovYRad(), kThreshold);
    }

    Render::Camera camera;
};

// A segment of length 2 along x (bounding radius 1) centred `distance` in front of the eye.
Box unitRadiusAt(float distance) { return {Vec3(-1, 0, -distance), Vec3(1, 0, -distance)}; }

// A node of the given projected size (radius pixels * distance / 240) and distance.
NodePriority at(float pixels, float distance)
{
    PerspectiveView const view;
    float const radius = pixels * distance / 240.0f;
    NodePriority const built = NodePriority::perspective(Box(Vec3(-radius, 0, -distance), Vec3(radius, 0, -distance)),
        view.camera.frustum(), {}, view.camera.eye(), 1.0f, view.camera.viewport(), view.camera.fovYRad(), 0.0f);
    EXPECT_NEAR(built.priority(), pixels, pixels * 1e-5f);
    return built;
}

TEST(NodePriorityPerspective, ProjectedSizeOfTheBoundingSphere)
{
    PerspectiveView const view;
    NodePriority const priority = view.priority(unitRadiusAt(8.0f));
    EXPECT_NEAR(priority.priority(), 30.0f, 1e-4f);
    EXPECT_FLOAT_EQ(priority.distanceToEye(), 8.0f);
}

TEST(NodePriorityPerspective, ThresholdIsInclusive)
{
    PerspectiveView const view;
    EXPECT_NEAR(view.priority(unitRadiusAt(16.0f)).priority(), 15.0f, 1e-5f);
    EXPECT_EQ(view.priority(unitRadiusAt(240.0f / 14.9f)).priority(), 0.0f);
    EXPECT_EQ(view.priority(unitRadiusAt(240.0f / 14.9f)).distanceToEye(), kFloatMax);
}

TEST(NodePriorityPerspective, ModelScaleDoesNotChangeTheAngularSize)
{
    // Box, eye and frustum are all in the model frame; a small model scale must not push
    // every node below the threshold.
    PerspectiveView const view;
    Box const box = unitRadiusAt(8.0f);
    EXPECT_NEAR(view.priority(box, 0.001f).priority(), 30.0f, 1e-3f);
    EXPECT_NEAR(view.priority(box, 1000.0f).priority(), 30.0f, 1e-3f);
    EXPECT_FLOAT_EQ(view.priority(box, 0.001f).distanceToEye(), 8.0f);
}

TEST(NodePriorityPerspective, EyeInsideTheNodeLoadsIt)
{
    PerspectiveView const view;
    EXPECT_EQ(view.priority(Box(Vec3(-1, -1, -1), Vec3(1, 1, 1))).priority(), kFloatMax);
    EXPECT_NEAR(view.priority(Box(Vec3(-1, -1, -1.5f), Vec3(1, 1, -0.5f))).priority(), 360.0f, 1e-3f);
    NodePriority const degenerate = NodePriority::perspective(Box(Vec3(0, 0, 0), Vec3(0, 0, 0)), Math::Frustum<float>(),
        {}, Vec3(0, 0, 0), 1.0f, view.camera.viewport(), view.camera.fovYRad(), kThreshold);
    EXPECT_FALSE(std::isnan(degenerate.priority()));
    EXPECT_GT(degenerate, NodePriority::discard());
}

TEST(NodePriorityCulling, FrustumCullsOnlyNodesEntirelyOutside)
{
    PerspectiveView const view;
    Box const straddlingTop(Vec3(-1, 9, -11), Vec3(1, 11, -9));
    Box const aboveTop(Vec3(-1, 12, -11), Vec3(1, 14, -9));
    Box const behind(Vec3(-1, -1, 1), Vec3(1, 1, 3));
    EXPECT_GT(view.priority(straddlingTop).priority(), kThreshold);
    EXPECT_EQ(view.priority(aboveTop).priority(), 0.0f);
    EXPECT_EQ(view.priority(behind).priority(), 0.0f);
}

TEST(NodePriorityCulling, PolytopeCullsNodesOutsideTheClippingVolume)
{
    PerspectiveView const view;
    Math::ConvexPolytope<float, 3> const leftHalf({Math::HalfSpace<float, 3>(-1, 0, 0, 0)});
    EXPECT_EQ(view.priority(Box(Vec3(1, -1, -9), Vec3(2, 1, -8)), 1.0f, leftHalf).priority(), 0.0f);
    EXPECT_GT(view.priority(Box(Vec3(-1, -1, -9), Vec3(2, 1, -8)), 1.0f, leftHalf).priority(), kThreshold);
}

TEST(NodePriorityOrthographic, SizeScalesWithModelScaleNotDistance)
{
    Render::Camera camera;
    camera.setPose(Vec3(0, 0, 0), Vec3(0, 0, -1), Vec3(0, 1, 0));
    camera.setOrthographic(4.0f, 3.0f, 0.0f, 1000.0f);
    auto priority = [&](Box const& box, float modelScale) {
        return NodePriority::orthographic(box, camera.frustum(), {}, camera.eye(), modelScale,
            camera.projectionMatrix(), camera.viewport(), kThreshold);
    };
    // 4 units across 640 pixels: 160 pixels per unit.
    EXPECT_NEAR(priority(unitRadiusAt(10.0f), 1.0f).priority(), 160.0f, 1e-3f);
    EXPECT_NEAR(priority(unitRadiusAt(500.0f), 1.0f).priority(), 160.0f, 1e-3f);
    EXPECT_NEAR(priority(unitRadiusAt(10.0f), 0.5f).priority(), 80.0f, 1e-3f);
    EXPECT_FLOAT_EQ(priority(unitRadiusAt(10.0f), 0.5f).distanceToEye(), 10.0f);
    EXPECT_EQ(priority(unitRadiusAt(10.0f), 0.05f).priority(), 0.0f);
    EXPECT_EQ(priority(unitRadiusAt(1001.0f), 1.0f).priority(), 0.0f);
}

// Priorities within a small tolerance count as tied and are ordered by distance, nearer first;
// keep and discard bound everything.
TEST(NodePriorityComparison, OrdersByPriorityThenByDistance)
{
    struct Case {
        NodePriority higher;
        NodePriority lower;
        char const* why;
    };
    for (Case const& c : {Case{at(10.0f, 5.0f), at(10.05f, 9.0f), "tied priorities: the nearer"},
                          Case{at(10.2f, 50.0f), at(10.0f, 1.0f), "distinct priorities: the larger"},
                          Case{at(10.0f, 4.0f), at(10.05f, 4.5f), "tied priorities: the nearer by half a unit"},
                          Case{NodePriority::keep(), at(1e30f, 3.0f), "keep above everything"},
                          Case{at(0.2f, 3.0f), NodePriority::discard(), "discard below everything"}}) {
        EXPECT_GT(c.higher, c.lower) << c.why;
        EXPECT_GE(c.higher, c.lower) << c.why;
        EXPECT_LT(c.lower, c.higher) << c.why;
        EXPECT_LE(c.lower, c.higher) << c.why;
        EXPECT_NE(c.higher, c.lower) << c.why;
        EXPECT_FALSE(c.lower >= c.higher) << c.why;
    }
    EXPECT_EQ(at(10.0f, 4.0f), at(10.05f, 4.0f));
    EXPECT_TRUE(NodePriority::discard() >= NodePriority::discard());
    EXPECT_FALSE(NodePriority::discard() > NodePriority::discard());
}

TEST(NodePriorityComparison, SumAddsPrioritiesAtTheNearerDistance)
{
    NodePriority sum = at(10.0f, 4.0f) + at(5.0f, 2.0f);
    EXPECT_NEAR(sum.priority(), 15.0f, 1e-3f);
    EXPECT_EQ(sum.distanceToEye(), 2.0f);
    sum += at(1.0f, 7.0f);
    EXPECT_NEAR(sum.priority(), 16.0f, 1e-3f);
    EXPECT_EQ(sum.distanceToEye(), 2.0f);

    NodePriority copy = NodePriority::keep();
    copy = sum;
    EXPECT_EQ(copy, sum);
}

} // namespace
