#include "render/camera.h"
#include "render/viewframing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <numbers>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using Render::Camera;
using Vec3 = Eigen::Vector3f;
using Point3 = Math::Point<float, 3>;
using Box = Math::NBoundingBox<float, 3>;

// The camera at the origin looking down -z with y up.
void lookDownNegativeZ(Camera& camera) { camera.setPose(Vec3(0, 0, 0), Vec3(0, 0, -1), Vec3(0, 1, 0)); }

// Each way of setting a projection against corners worked out by hand: the near top right and the far
// bottom left corner of the view volume (view space, 640 x 480) land on the corners of NDC in the
// projection's depth convention (reversed: near at 1), which the clear value and the frustum follow. The
// near, far and vertical view (degrees, or the extent when orthographic) are read back from it.
TEST(Camera, ProjectionsMapTheirCornersInTheirDepthConvention)
{
    struct Case {
        char const* name;
        bool cameraReversed, reversed;
        std::function<void(Camera&)> project;
        Vec3 nearTopRight, farBottomLeft;
        float zNear, zFar, vertical;
    };
    float const t30 = std::tan(std::numbers::pi_v<float> / 6), t20 = std::tan(std::numbers::pi_v<float> / 9);
    Camera usual(false), box;
    usual.setPerspective(40.0f, 2.0f, 50.0f, 0, 0);
    box.setOrthographic(8.0f, 6.0f, 1.0f, 20.0f);
    auto const offCentre = [](bool reversed) {
        return [=](Camera& c) { c.setPerspectiveOffCenter(-1, 3, -1, 1, 1, 9, reversed); };
    };
    auto const given = [](Camera const& source, bool reversed) {
        return [projection = source.projectionMatrix(), reversed](Camera& c) {
            c.setProjection(projection, 0, 1, reversed);
        };
    };
    Case const cases[] = {
        {"centre offset", true, true, [](Camera& c) { c.setPerspective(90, 1, 101, 0.25f, -0.5f); },
         {5.0f / 3.0f, 0.5f, -1}, {-101, -151.5f, -101}, 1, 101, 90},
        {"usual depth", false, false, [](Camera& c) { c.setPerspective(60, 0.5f, 50, 0, 0); },
         Vec3(4 * t30, 3 * t30, -3) / 6, Vec3(-4 * t30, -3 * t30, -3) * 50 / 3, 0.5f, 50, 60},
        {"orthographic", true, true, [](Camera& c) { c.setOrthographic(4, 3, 1, 11); }, {2, 1.5f, -1},
         {-2, -1.5f, -11}, 1, 11, 3},
        {"off centre", false, true, offCentre(true), {3, 1, -1}, {-9, -9, -9}, 1, 9, 90},
        {"off centre, usual depth", true, false, offCentre(false), {3, 1, -1}, {-9, -9, -9}, 1, 9, 90},
        {"usual matrix", true, false, given(usual, false), Vec3(8 * t20, 6 * t20, -6) / 3,
         Vec3(-4 * t20, -3 * t20, -3) * 50 / 3, 2, 50, 40},
        {"reversed orthographic matrix", false, true, given(box, true), {4, 3, -1}, {-4, -3, -20}, 1, 20, 6},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        Camera camera(c.cameraReversed);
        lookDownNegativeZ(camera);
        c.project(camera);
        float const nearDepth = c.reversed ? 1.0f : 0.0f;
        EXPECT_LT((camera.projectNDC(c.nearTopRight) - Vec3(1, 1, nearDepth)).norm(), 1e-4f);
        EXPECT_LT((camera.projectNDC(c.farBottomLeft) - Vec3(-1, -1, 1 - nearDepth)).norm(), 1e-4f);
        EXPECT_EQ(camera.clearDepthValue(), 1 - nearDepth);
        EXPECT_NEAR(camera.zNear(), c.zNear, 1e-4f * c.zFar);
        EXPECT_NEAR(camera.zFar(), c.zFar, 1e-4f * c.zFar);
        EXPECT_NEAR(camera.isOrthographic() ? camera.verticalExtent() : camera.fovYDeg(), c.vertical, 1e-3f);
        EXPECT_TRUE((camera.viewProjectionMatrix() * camera.invViewProjectionMatrix()).isIdentity(1e-5f));
        for (float const depth : {0.5f * c.zNear, 0.5f * (c.zNear + c.zFar), 1.05f * c.zFar}) {
            bool const between = depth > c.zNear && depth < c.zFar;
            EXPECT_EQ(camera.frustum().contains(Vec3(0, 0, -depth)), between) << depth;
        }
    }
}

// The vertical field of view (or extent) stays; refitting the z range later keeps the new shape.
TEST(Camera, ResizedViewportKeepsTheVerticalViewAndRefusesImpossibleSizes)
{
    Camera camera;
    lookDownNegativeZ(camera);
    camera.setPerspective(50.0f, 0.1f, 100.0f, 0.2f, 0.0f);
    Eigen::Matrix4f const before = camera.projectionMatrix();
    camera.setViewport(960, 480);
    EXPECT_FLOAT_EQ(camera.projectionMatrix()(0, 0), before(0, 0) / 1.5f);
    EXPECT_EQ(camera.projectionMatrix()(1, 1), before(1, 1));
    Eigen::Matrix4f const resized = camera.projectionMatrix();
    camera.setZNearAndFarViaBoundingBox(Box(Vec3(-1, -1, -20), Vec3(1, 1, -10)));
    EXPECT_NEAR(camera.projectionMatrix()(0, 0), resized(0, 0), 1e-6f);
    EXPECT_NEAR(camera.projectionMatrix()(0, 2), resized(0, 2), 1e-6f);

    camera.setViewport(640, 480);
    camera.setOrthographic(4.0f, 3.0f, 1.0f, 100.0f);
    camera.setViewport(960, 480);
    EXPECT_FLOAT_EQ(camera.horizontalExtent(), 6.0f);
    camera.setZNearAndFarViaBoundingBox(Box(Vec3(-1, -1, -20), Vec3(1, 1, -10)));
    EXPECT_FLOAT_EQ(camera.projectionMatrix()(0, 0), 2.0f / 6.0f);

    Eigen::Matrix4f const projection = camera.projectionMatrix();
    for (auto [width, height] : {std::pair<std::size_t, std::size_t>{0, 600}, {800, 0}, {16385, 600}, {800, 16385}}) {
        EXPECT_THROW(camera.setViewport(width, height), std::invalid_argument) << width << " x " << height;
        EXPECT_EQ(camera.viewport(), Render::Viewport(960, 480));
        EXPECT_EQ(camera.projectionMatrix(), projection);
    }
    EXPECT_NO_THROW(camera.setViewport(16384, 16384));
    EXPECT_NO_THROW(camera.setViewport(1, 1));
}

TEST(Camera, ZRangeFitsTheBoxTightly)
{
    struct Case {
        char const* name;
        bool orthographic;
        Vec3 eye, direction, up;
        Box box;
        float zNear, zFar;
    };
    Case const cases[] = {
        {"near clamped", false, {0, 0, 0}, {0, 0, -1}, {0, 1, 0}, Box({-1, -1, -1}, {1, 1, 1}), 0.01f, 1},
        {"rotated view", false, {10, 0, 0}, {-1, 0, 0}, {0, 0, 1}, Box({-2, -5, -5}, {3, 5, 5}), 7, 12},
        {"orthographic, behind", true, {0, 0, 0}, {0, 0, -1}, {0, 1, 0}, Box({-1, -1, -5}, {1, 1, 2}), -2, 5},
        {"empty box leaves the range", false, {0, 0, 0}, {0, 0, -1}, {0, 1, 0}, Box(), 2, 30},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        Camera camera;
        camera.setPose(c.eye, c.direction, c.up);
        if (c.orthographic)
            camera.setOrthographic(4.0f, 3.0f, 1.0f, 10.0f);
        else
            camera.setPerspective(60.0f, 2.0f, 30.0f, 0, 0);
        camera.setZNearAndFarViaBoundingBox(c.box);
        EXPECT_FLOAT_EQ(camera.zNear(), c.zNear);
        EXPECT_FLOAT_EQ(camera.zFar(), c.zFar);
        if (!c.box.isEmpty()) {
            EXPECT_NEAR(camera.projectNDC(c.eye + c.zNear * c.direction).z(), 1.0f, 1e-5f);
            EXPECT_NEAR(camera.projectNDC(c.eye + c.zFar * c.direction).z(), 0.0f, 1e-5f);
        }
    }

    // A flat box seen straight on has near == far (0.0001 alone vanishes in float at 5000); a box behind
    // a perspective eye leaves nothing to fit: both still give a finite projection.
    for (bool orthographic : {false, true}) {
        Camera camera;
        lookDownNegativeZ(camera);
        if (orthographic)
            camera.setOrthographic(4.0f, 3.0f, 1.0f, 10.0f);
        camera.setZNearAndFarViaBoundingBox(Box({-100, -100, -5000}, {100, 100, -5000}));
        EXPECT_TRUE(camera.invViewProjectionMatrix().allFinite()) << camera.projectionMatrix();
        float const depth = camera.projectNDC(Vec3(0, 0, -5000.0f)).z();
        EXPECT_GE(depth, -1e-3f) << orthographic;
        EXPECT_LE(depth, 1.0f + 1e-3f) << orthographic;
        camera.setZNearAndFarViaBoundingBox(Box({-1, -1, 5}, {1, 1, 6}));
        EXPECT_TRUE(camera.invViewProjectionMatrix().allFinite()) << camera.projectionMatrix();
        EXPECT_GT(camera.zFar(), camera.zNear());
    }
}

// Pixels count from the top left corner; looking straight down with z up shows north (+y) up.
TEST(Camera, PosePixelsAndFrustaRoundTrip)
{
    Camera camera;
    Vec3 const eye(3, -2, 7);
    camera.setPose(eye, Vec3(1, 1, 0), Vec3(0, 0, 1));
    EXPECT_LT((camera.eye() - eye).norm(), 1e-5f);
    EXPECT_LT((camera.viewDirection() - Vec3(1, 1, 0).normalized()).norm(), 1e-6f);
    EXPECT_LT((camera.upDirection() - Vec3(0, 0, 1)).norm(), 1e-6f);
    EXPECT_LT((camera.rightDirection() - Vec3(1, -1, 0).normalized()).norm(), 1e-6f);
    camera.setPose(eye, Vec3(0, 0, -1), Vec3(0, 0, 1));
    EXPECT_LT((camera.upDirection() - Vec3(0, 1, 0)).norm(), 1e-6f);

    camera.setPose(Point3(1, 2, 3), Point3(0, 0, 0), Vec3(0, 0, 1));
    camera.setPerspective(60.0f, 0.1f, 100.0f, 0, 0);
    Vec3 const pixel = camera.project(camera.unProject(100, 50, 0.3f));
    EXPECT_LT((pixel - Vec3(100, 50, 0.3f)).norm(), 1e-3f);
    Vec3 const world(0.2f, -0.1f, 0.5f);
    EXPECT_LT((camera.unProjectNDC(camera.projectNDC(world)) - world).norm(), 1e-4f);

    lookDownNegativeZ(camera);
    camera.setOrthographic(4.0f, 3.0f, 1.0f, 10.0f);
    EXPECT_LT(camera.project(Vec3(-2, 1.5f, -5)).head<2>().norm(), 1e-4f);
    EXPECT_LT(camera.unProject(320, 240, 0.5f).head<2>().norm(), 1e-5f);

    // Frusta bound the view volume in world and in model coordinates.
    camera.setPerspective(90.0f, 1.0f, 100.0f, 0, 0);
    auto const frustum = camera.frustum();
    for (auto const& plane : frustum.planes())
        EXPECT_NEAR(plane.normal().norm(), 1.0f, 1e-5f) << "unit normals: signed distances in world units";
    EXPECT_TRUE(frustum.contains(Vec3(0, 9, -10)));
    EXPECT_FALSE(frustum.contains(Vec3(0, 11, -10)));

    Eigen::Matrix4f model = Eigen::Matrix4f::Identity();
    model(2, 3) = -50.0f; // the model's origin lies 50 in front of the eye
    EXPECT_TRUE(camera.frustum(model).contains(Vec3(0, 0, 0)));
    EXPECT_FALSE(camera.frustum(model).contains(Vec3(0, 0, 51)));
    Vec3 const beyondTop(0, 60, 0);
    EXPECT_FALSE(camera.frustum(model).contains(beyondTop));
    EXPECT_TRUE(camera.scaledFrustum(2.0f, 2.0f, 1.0f, model).contains(beyondTop));
    EXPECT_FALSE(camera.scaledFrustum(2.0f, 2.0f, 1.0f, model).contains(Vec3(0, 0, -51)));
}

// Every corner projects inside the frame, the projection is centred, and it reaches the frame's
// border (less the margin) in one direction: the box fills the frame as far as it can. Scans: a flat
// airborne tile, a tall tree, a long road corridor, and a box far from the origin.
TEST(ViewFraming, BoxFillsTheFrameCentredFromTheObliqueDirection)
{
    struct Case {
        char const* name;
        Box box;
        float fieldOfView;
        double aspectRatio;
    };
    Case const cases[] = {
        {"flat tile", Box({0.0f, 0.0f, 0.0f}, {500.0f, 500.0f, 30.0f}), 50.0f, 16.0 / 9.0},
        {"tree", Box({-3.0f, -3.0f, 0.0f}, {3.0f, 3.0f, 25.0f}), 50.0f, 16.0 / 9.0},
        {"corridor", Box({0.0f, 0.0f, 0.0f}, {2000.0f, 40.0f, 10.0f}), 20.0f, 1.0},
        {"far away", Box({6.0e5f, 5.2e6f, 100.0f}, {6.01e5f, 5.201e6f, 160.0f}), 50.0f, 4.0 / 3.0},
    };
    constexpr float kFill = 0.9f;
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        Box const& box = c.box;
        Render::CameraPlacement const placement =
            Render::frameBox(box, Render::obliqueViewDirection(), c.fieldOfView, c.aspectRatio, kFill);
        Vec3 const forward = Vec3(placement.target - placement.eye).normalized();
        EXPECT_LT((forward - Render::obliqueViewDirection()).norm(), 1e-4f);
        // The corners seen by a camera placed there, with a frame of the same shape.
        Camera camera;
        camera.setViewport(static_cast<std::size_t>(std::lround(900 * c.aspectRatio)), 900);
        camera.setPose(placement.eye, forward, Vec3::UnitZ());
        camera.setPerspective(c.fieldOfView, 1.0f, 1e5f, 0, 0);
        Eigen::Vector2f low = Eigen::Vector2f::Constant(1e9f), high = -low;
        for (int i = 0; i < 8; ++i) {
            Vec3 corner;
            for (int axis = 0; axis < 3; ++axis)
                corner[axis] = (i >> axis) & 1 ? box.max()[axis] : box.min()[axis];
            Vec3 const ndc = camera.projectNDC(corner);
            ASSERT_TRUE(ndc.z() > 0.0f && ndc.z() < 1.0f) << "in front of the eye";
            low = low.cwiseMin(ndc.head<2>());
            high = high.cwiseMax(ndc.head<2>());
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
TEST(ViewFraming, CoverageCornersStrayAndSinglePoints)
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

    // A thousand points on a 10 m square and one stray return a kilometre up: the square is framed. A
    // single point is widened to a unit cube seen from a place of its own; nothing at all is refused.
    Eigen::Vector3f const oblique = corners[0];
    std::vector<Eigen::Vector3f> points;
    for (int i = 0; i < 1000; ++i)
        points.emplace_back(static_cast<float>(i % 32) * 0.32f, static_cast<float>(i / 32) * 0.32f, 0.0f);
    Render::CameraPlacement const square = Render::framePoints(points, oblique, 50.0f, 1.0, 0.95f, 0.0);
    points.emplace_back(5.0f, 5.0f, 1000.0f);
    Render::CameraPlacement const withStray = Render::framePoints(points, oblique, 50.0f, 1.0, 0.95f, 0.001);
    EXPECT_LT((withStray.eye - square.eye).norm(), 0.5f);

    Math::Point<float, 3> const point(10.0f, 20.0f, 30.0f);
    Render::CameraPlacement const single = Render::frameBox(Box(point, point), oblique, 50.0f, 1.0);
    EXPECT_GT((single.eye - point).norm(), 1.0f);
    EXPECT_LT((single.target - point).norm(), 0.5f);
    EXPECT_THROW(Render::framePoints({}, oblique, 50.0f, 1.0, 0.95f, 0.0), std::invalid_argument);
    EXPECT_THROW(Render::frameBox(Box(), oblique, 50.0f, 1.0), std::invalid_argument);
}

} // namespace
