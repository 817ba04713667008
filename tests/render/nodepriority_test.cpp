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
using Polytope = Math::ConvexPolytope<float, 3>;
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

    NodePriority priority(Box const& box, float modelScale = 1.0f, Polytope const& polytope = {},
                          float threshold = kThreshold) const
    {
        return NodePriority::perspective(box, camera.frustum(), polytope, camera.eye(), modelScale,
                                         camera.viewport(), camera.fovYRad(), threshold);
    }

    Render::Camera camera;
};

// A segment of length 2 along x (bounding radius 1) centred `distance` in front of the eye.
Box unitRadiusAt(float distance) { return {Vec3(-1, 0, -distance), Vec3(1, 0, -distance)}; }

// A node of the given projected size (radius pixels * distance / 240) and distance.
NodePriority at(float pixels, float distance)
{
    float const radius = pixels * distance / 240.0f;
    Box const box(Vec3(-radius, 0, -distance), Vec3(radius, 0, -distance));
    return PerspectiveView().priority(box, 1.0f, {}, 0.0f);
}

// The projected size of the bounding sphere, independent of the model scale (box, eye and frustum are
// all in the model frame); the threshold is inclusive; nodes entirely outside the frustum or the
// clipping polytope are culled; an eye inside a node loads it.
TEST(NodePriorityPerspective, ProjectedSizeThresholdAndCulling)
{
    PerspectiveView const view;
    Polytope const leftHalf({Math::HalfSpace<float, 3>(-1, 0, 0, 0)});
    struct Case {
        Box box;
        float expected; // -1: above the threshold
        float modelScale = 1.0f;
        Polytope polytope = {};
    };
    for (Case const& c : {Case{unitRadiusAt(8.0f), 30.0f}, Case{unitRadiusAt(8.0f), 30.0f, 0.001f},
                          Case{unitRadiusAt(8.0f), 30.0f, 1000.0f}, Case{unitRadiusAt(16.0f), 15.0f},
                          Case{unitRadiusAt(240.0f / 14.9f), 0.0f},
                          Case{Box(Vec3(-1, 9, -11), Vec3(1, 11, -9)), -1.0f},
                          Case{Box(Vec3(-1, 12, -11), Vec3(1, 14, -9)), 0.0f},
                          Case{Box(Vec3(-1, -1, 1), Vec3(1, 1, 3)), 0.0f},
                          Case{Box(Vec3(1, -1, -9), Vec3(2, 1, -8)), 0.0f, 1.0f, leftHalf},
                          Case{Box(Vec3(-1, -1, -9), Vec3(2, 1, -8)), -1.0f, 1.0f, leftHalf},
                          Case{Box(Vec3(-1, -1, -1), Vec3(1, 1, 1)), kFloatMax},
                          Case{Box(Vec3(-1, -1, -1.5f), Vec3(1, 1, -0.5f)), 360.0f}}) {
        NodePriority const priority = view.priority(c.box, c.modelScale, c.polytope);
        SCOPED_TRACE(::testing::Message() << c.box.min().transpose() << " scale " << c.modelScale);
        if (c.expected < 0.0f)
            EXPECT_GT(priority.priority(), kThreshold);
        else
            EXPECT_NEAR(priority.priority(), c.expected, 1e-3f);
        if (c.expected == 0.0f) {
            EXPECT_EQ(priority.distanceToEye(), kFloatMax) << "a culled node has no distance";
        }
    }
    EXPECT_FLOAT_EQ(view.priority(unitRadiusAt(8.0f), 0.001f).distanceToEye(), 8.0f);
    NodePriority const degenerate = NodePriority::perspective(
        Box(Vec3(0, 0, 0), Vec3(0, 0, 0)), Math::Frustum<float>(), {}, Vec3(0, 0, 0), 1.0f,
        view.camera.viewport(), view.camera.fovYRad(), kThreshold);
    EXPECT_FALSE(std::isnan(degenerate.priority()));
    EXPECT_GT(degenerate, NodePriority::discard());
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
    for (Case const& c :
         {Case{at(10.0f, 5.0f), at(10.05f, 9.0f), "tied priorities: the nearer"},
          Case{at(10.2f, 50.0f), at(10.0f, 1.0f), "distinct priorities: the larger"},
          Case{at(10.0f, 4.0f), at(10.05f, 4.5f), "tied priorities: the nearer by half a unit"},
          Case{NodePriority::keep(), at(1e30f, 3.0f), "keep above everything"},
          Case{at(0.2f, 3.0f), NodePriority::discard(), "discard below everything"}}) {
        EXPECT_GT(c.higher, c.lower) << c.why;
        EXPECT_LT(c.lower, c.higher) << c.why;
        EXPECT_FALSE(c.lower >= c.higher) << c.why;
    }
    EXPECT_EQ(at(10.0f, 4.0f), at(10.05f, 4.0f));
    EXPECT_TRUE(NodePriority::discard() >= NodePriority::discard());
    EXPECT_FALSE(NodePriority::discard() > NodePriority::discard());

    // Sums add the priorities, at the nearer distance.
    NodePriority sum = at(10.0f, 4.0f) + at(5.0f, 2.0f);
    sum += at(1.0f, 7.0f);
    EXPECT_NEAR(sum.priority(), 16.0f, 1e-3f);
    EXPECT_EQ(sum.distanceToEye(), 2.0f);
}

} // namespace
