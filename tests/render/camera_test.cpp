#include "render/camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace {

using Render::Camera;
using Vec3 = Eigen::Vector3f;
using Point3 = Math::Point<float, 3>;
using Box = Math::NBoundingBox<float, 3>;

// The camera at the origin looking down -z with y up.
void lookDownNegativeZ(Camera& camera) { camera.setPose(Vec3(0, 0, 0), Vec3(0, 0, -1), Vec3(0, 1, 0)); }

float depthOf(Camera const& camera, float viewDistance) { return camera.projectNDC(Vec3(0, 0, -viewDistance)).z(); }

TEST(Camera, PerspectiveMatrixMatchesHandComputedValues)
{
    Camera camera;
    camera.setPerspective(90.0f, 1.0f, 101.0f, 0.25f, -0.5f);
    Eigen::Matrix4f expected = Eigen::Matrix4f::Zero();
    expected(0, 0) = 0.75f; // cot(45 degrees) / (640 / 480)
    expected(1, 1) = 1.0f;
    expected(0, 2) = 0.25f;
    expected(1, 2) = -0.5f;
    expected(2, 2) = 1.0f / 100.0f; // reversed: near / (far - near)
    expected(2, 3) = 101.0f / 100.0f;
    expected(3, 2) = -1.0f;
    EXPECT_TRUE(camera.projectionMatrix().isApprox(expected, 1e-6f)) << camera.projectionMatrix();
    EXPECT_TRUE(camera.viewProjectionMatrix().isApprox(expected * camera.viewMatrix()));
    EXPECT_TRUE((camera.viewProjectionMatrix() * camera.invViewProjectionMatrix()).isIdentity(1e-5f));
}

TEST(Camera, DepthConventionMapsNearAndFarPlanes)
{
    Camera reversed;
    reversed.setPerspective(60.0f, 0.5f, 50.0f, 0, 0);
    EXPECT_NEAR(depthOf(reversed, 0.5f), 1.0f, 1e-6f);
    EXPECT_NEAR(depthOf(reversed, 50.0f), 0.0f, 1e-6f);

    Camera normal(false);
    normal.setPerspective(60.0f, 0.5f, 50.0f, 0, 0);
    EXPECT_NEAR(depthOf(normal, 0.5f), 0.0f, 1e-6f);
    EXPECT_NEAR(depthOf(normal, 50.0f), 1.0f, 1e-6f);
}

TEST(Camera, OrthographicMatrixMatchesHandComputedValues)
{
    Camera camera;
    camera.setOrthographic(4.0f, 3.0f, 1.0f, 11.0f);
    Eigen::Matrix4f expected = Eigen::Matrix4f::Zero();
    expected(0, 0) = 0.5f;
    expected(1, 1) = 2.0f / 3.0f;
    expected(2, 2) = 0.1f;
    expected(2, 3) = 1.1f;
    expected(3, 3) = 1.0f;
    EXPECT_TRUE(camera.projectionMatrix().isApprox(expected, 1e-6f)) << camera.projectionMatrix();
    EXPECT_TRUE(camera.isOrthographic());
    EXPECT_NEAR(depthOf(camera, 1.0f), 1.0f, 1e-6f);
    EXPECT_NEAR(depthOf(camera, 11.0f), 0.0f, 1e-6f);

    camera.setOrthographic(6.0f, -1.0f, 1.0f);
    EXPECT_FLOAT_EQ(camera.horizontalExtent(), 8.0f);
    EXPECT_FLOAT_EQ(camera.verticalExtent(), 6.0f);
    EXPECT_EQ(camera.zNear(), -1.0f);
}

TEST(CameraViewport, WiderViewportKeepsVerticalFieldOfView)
{
    Camera camera;
    Eigen::Matrix4f const before = camera.projectionMatrix();
    camera.setViewport(960, 480);
    EXPECT_FLOAT_EQ(camera.projectionMatrix()(0, 0), before(0, 0) / 1.5f);
    EXPECT_EQ(camera.projectionMatrix()(1, 1), before(1, 1));
    EXPECT_TRUE(camera.viewProjectionMatrix().isApprox(camera.projectionMatrix() * camera.viewMatrix()));
}

TEST(CameraViewport, InvalidSizeThrowsAndChangesNothing)
{
    Camera camera;
    camera.setViewport(800, 600);
    Eigen::Matrix4f const projection = camera.projectionMatrix();
    for (auto [width, height] : {std::pair<std::size_t, std::size_t>{0, 600}, {800, 0}, {16385, 600}, {800, 16385}}) {
        EXPECT_THROW(camera.setViewport(width, height), std::invalid_argument) << width << " x " << height;
        EXPECT_EQ(camera.viewport(), Render::Viewport(800, 600));
        EXPECT_EQ(camera.projectionMatrix(), projection);
    }
    EXPECT_NO_THROW(camera.setViewport(16384, 16384));
    EXPECT_NO_THROW(camera.setViewport(1, 1));
}

TEST(CameraViewport, OrthographicRefitAfterResizeKeepsTheImageShape)
{
    Camera camera;
    lookDownNegativeZ(camera);
    camera.setOrthographic(4.0f, 3.0f, 1.0f, 100.0f);
    camera.setViewport(960, 480);
    float const widthScale = camera.projectionMatrix()(0, 0);
    EXPECT_FLOAT_EQ(widthScale, 2.0f / 6.0f);
    EXPECT_FLOAT_EQ(camera.horizontalExtent(), 6.0f);

    camera.setZNearAndFarViaBoundingBox(Box(Vec3(-1, -1, -20), Vec3(1, 1, -10)));
    EXPECT_FLOAT_EQ(camera.projectionMatrix()(0, 0), widthScale);
    EXPECT_FLOAT_EQ(camera.zNear(), 10.0f);
    EXPECT_FLOAT_EQ(camera.zFar(), 20.0f);
}

TEST(CameraViewport, PerspectiveRefitAfterResizeKeepsTheImage)
{
    Camera camera;
    lookDownNegativeZ(camera);
    camera.setPerspective(50.0f, 0.1f, 100.0f, 0.2f, 0.0f);
    camera.setViewport(1000, 400);
    Eigen::Matrix4f const resized = camera.projectionMatrix();
    camera.setZNearAndFarViaBoundingBox(Box(Vec3(-1, -1, -20), Vec3(1, 1, -10)));
    EXPECT_NEAR(camera.projectionMatrix()(0, 0), resized(0, 0), 1e-6f);
    EXPECT_NEAR(camera.projectionMatrix()(0, 2), resized(0, 2), 1e-6f);
}

TEST(CameraZRange, PerspectiveFitClampsNearAndKeepsFarBeyondIt)
{
    Camera camera;
    lookDownNegativeZ(camera);
    camera.setZNearAndFarViaBoundingBox(Box(Vec3(-1, -1, -1), Vec3(1, 1, 1)));
    EXPECT_EQ(camera.zNear(), 0.01f);
    EXPECT_FLOAT_EQ(camera.zFar(), 1.0f);

    camera.setZNearAndFarViaBoundingBox(Box(Vec3(-1, -1, 5), Vec3(1, 1, 6)));
    EXPECT_EQ(camera.zNear(), 0.01f);
    EXPECT_GE(camera.zFar(), 0.01f + 0.0001f);
    EXPECT_TRUE(camera.projectionMatrix().allFinite());
}

TEST(CameraZRange, FitsTightlyAroundARotatedView)
{
    Camera camera;
    camera.setPose(Vec3(10, 0, 0), Vec3(-1, 0, 0), Vec3(0, 0, 1));
    camera.setZNearAndFarViaBoundingBox(Box(Vec3(-2, -5, -5), Vec3(3, 5, 5)));
    EXPECT_FLOAT_EQ(camera.zNear(), 7.0f);
    EXPECT_FLOAT_EQ(camera.zFar(), 12.0f);
    EXPECT_NEAR(camera.projectNDC(Vec3(3, 0, 0)).z(), 1.0f, 1e-5f);
    EXPECT_NEAR(camera.projectNDC(Vec3(-2, 0, 0)).z(), 0.0f, 1e-5f);
}

TEST(CameraZRange, FlatBoxFarAwayStillGivesAFiniteProjection)
{
    // A flat box seen straight on has near == far; 0.0001 alone vanishes in float at 5000.
    for (bool orthographic : {false, true}) {
        Camera camera;
        lookDownNegativeZ(camera);
        if (orthographic)
            camera.setOrthographic(4.0f, 3.0f, 1.0f, 10.0f);
        camera.setZNearAndFarViaBoundingBox(Box(Vec3(-100, -100, -5000), Vec3(100, 100, -5000)));
        EXPECT_TRUE(camera.projectionMatrix().allFinite()) << camera.projectionMatrix();
        EXPECT_TRUE(camera.invViewProjectionMatrix().allFinite());
        float const depth = depthOf(camera, 5000.0f);
        EXPECT_GE(depth, -1e-3f) << orthographic;
        EXPECT_LE(depth, 1.0f + 1e-3f) << orthographic;
    }
}

TEST(CameraZRange, OrthographicFitMayStartBehindTheEye)
{
    Camera camera;
    lookDownNegativeZ(camera);
    camera.setOrthographic(4.0f, 3.0f, 1.0f, 10.0f);
    camera.setZNearAndFarViaBoundingBox(Box(Vec3(-1, -1, -5), Vec3(1, 1, 2)));
    EXPECT_FLOAT_EQ(camera.zNear(), -2.0f);
    EXPECT_FLOAT_EQ(camera.zFar(), 5.0f);
    EXPECT_FLOAT_EQ(camera.horizontalExtent(), 4.0f);
}

TEST(CameraZRange, EmptyBoxLeavesTheRange)
{
    Camera camera;
    lookDownNegativeZ(camera);
    camera.setPerspective(60.0f, 2.0f, 30.0f, 0, 0);
    Eigen::Matrix4f const before = camera.projectionMatrix();
    camera.setZNearAndFarViaBoundingBox(Box());
    EXPECT_EQ(camera.zNear(), 2.0f);
    EXPECT_EQ(camera.zFar(), 30.0f);
    EXPECT_EQ(camera.projectionMatrix(), before);
}

TEST(CameraPose, EyeAndAxesFollowThePose)
{
    Camera camera;
    Vec3 const eye(3, -2, 7);
    camera.setPose(eye, Vec3(1, 1, 0), Vec3(0, 0, 1));
    EXPECT_LT((camera.eye() - eye).norm(), 1e-5f);
    EXPECT_LT((camera.viewDirection() - Vec3(1, 1, 0).normalized()).norm(), 1e-6f);
    EXPECT_LT((camera.upDirection() - Vec3(0, 0, 1)).norm(), 1e-6f);
    EXPECT_LT((camera.rightDirection() - Vec3(1, -1, 0).normalized()).norm(), 1e-6f);

    camera.setPose(eye, Point3(eye + Vec3(0, 0, -4)), Vec3(0, 1, 0));
    EXPECT_LT((camera.viewDirection() - Vec3(0, 0, -1)).norm(), 1e-6f);
    EXPECT_LT((camera.eye() - eye).norm(), 1e-5f);
}

TEST(CameraProjection, ProjectAndUnProjectRoundTrip)
{
    Camera camera;
    camera.setPose(Point3(1, 2, 3), Point3(0, 0, 0), Vec3(0, 0, 1));
    camera.setPerspective(60.0f, 0.1f, 100.0f, 0, 0);

    Vec3 const point = camera.unProject(100, 50, 0.3f);
    Vec3 const pixel = camera.project(point);
    EXPECT_NEAR(pixel.x(), 100.0f, 1e-3f);
    EXPECT_NEAR(pixel.y(), 50.0f, 1e-3f);
    EXPECT_NEAR(pixel.z(), 0.3f, 1e-5f);

    Vec3 const world(0.2f, -0.1f, 0.5f);
    EXPECT_LT((camera.unProjectNDC(camera.projectNDC(world)) - world).norm(), 1e-4f);
}

TEST(CameraProjection, PixelOriginIsTopLeft)
{
    Camera camera;
    lookDownNegativeZ(camera);
    camera.setOrthographic(4.0f, 3.0f, 1.0f, 10.0f);
    Vec3 const topLeft = camera.project(Vec3(-2, 1.5f, -5));
    EXPECT_NEAR(topLeft.x(), 0.0f, 1e-4f);
    EXPECT_NEAR(topLeft.y(), 0.0f, 1e-4f);
    Vec3 const center = camera.unProject(320, 240, 0.5f);
    EXPECT_NEAR(center.x(), 0.0f, 1e-5f);
    EXPECT_NEAR(center.y(), 0.0f, 1e-5f);
}

TEST(CameraProjection, OffCenterRecordsItsDepthConvention)
{
    Camera camera;
    lookDownNegativeZ(camera);
    camera.setPerspectiveOffCenter(-1.0f, 3.0f, -1.0f, 1.0f, 1.0f, 9.0f, false);
    EXPECT_FALSE(camera.isZBufferReversed());
    EXPECT_EQ(camera.clearDepthValue(), 1.0f);
    EXPECT_NEAR(depthOf(camera, 1.0f), 0.0f, 1e-6f);
    EXPECT_NEAR(depthOf(camera, 9.0f), 1.0f, 1e-6f);
    EXPECT_FLOAT_EQ(camera.projectionMatrix()(0, 0), 0.5f);
    EXPECT_FLOAT_EQ(camera.centerOffsetX(), 0.5f);
    EXPECT_FLOAT_EQ(camera.fovYDeg(), 90.0f);
    // The frustum must use the same convention: a point at depth 5 is inside, 0.5 is not.
    EXPECT_TRUE(camera.frustum().contains(Vec3(0.5f, 0, -5)));
    EXPECT_FALSE(camera.frustum().contains(Vec3(0, 0, -0.5f)));
    EXPECT_FALSE(camera.frustum().contains(Vec3(0, 0, -9.5f)));

    camera.setPerspectiveOffCenter(-1.0f, 3.0f, -1.0f, 1.0f, 1.0f, 9.0f, true);
    EXPECT_TRUE(camera.isZBufferReversed());
    EXPECT_NEAR(depthOf(camera, 1.0f), 1.0f, 1e-6f);
    EXPECT_TRUE(camera.frustum().contains(Vec3(0.5f, 0, -5)));
    EXPECT_FALSE(camera.frustum().contains(Vec3(0, 0, -0.5f)));
}

TEST(CameraProjection, SetProjectionDerivesParametersInViewSpace)
{
    Camera source(false);
    source.setPerspective(40.0f, 2.0f, 50.0f, 0, 0);

    Camera camera;
    camera.setPose(Vec3(0, 0, 10), Vec3(0, 0, -1), Vec3(0, 1, 0));
    camera.setProjection(source.projectionMatrix(), 0.0f, 1.0f, false);
    EXPECT_FALSE(camera.isZBufferReversed());
    EXPECT_FLOAT_EQ(camera.fovYDeg(), 40.0f);
    EXPECT_NEAR(camera.zNear(), 2.0f, 1e-4f);
    EXPECT_NEAR(camera.zFar(), 50.0f, 1e-2f);

    Camera reversedSource;
    reversedSource.setOrthographic(8.0f, 6.0f, 1.0f, 20.0f);
    camera.setProjection(reversedSource.projectionMatrix(), 0.0f, 1.0f, true);
    EXPECT_TRUE(camera.isOrthographic());
    EXPECT_FLOAT_EQ(camera.horizontalExtent(), 8.0f);
    EXPECT_FLOAT_EQ(camera.verticalExtent(), 6.0f);
    EXPECT_NEAR(camera.zNear(), 1.0f, 1e-5f);
    EXPECT_NEAR(camera.zFar(), 20.0f, 1e-4f);
    EXPECT_EQ(camera.clearDepthValue(), 0.0f);
}

TEST(CameraFrustum, PlanesAreUnitAndBoundTheViewVolume)
{
    Camera camera;
    lookDownNegativeZ(camera);
    camera.setPerspective(90.0f, 1.0f, 100.0f, 0, 0);
    auto const frustum = camera.frustum();
    for (auto const& plane : frustum.planes())
        EXPECT_NEAR(plane.normal().norm(), 1.0f, 1e-5f);
    EXPECT_TRUE(frustum.contains(Vec3(0, 0, -50)));
    EXPECT_FALSE(frustum.contains(Vec3(0, 0, 1)));
    EXPECT_FALSE(frustum.contains(Vec3(0, 0, -101)));
    EXPECT_FALSE(frustum.contains(Vec3(0, 11, -10)));
    EXPECT_TRUE(frustum.contains(Vec3(0, 9, -10)));
}

TEST(CameraFrustum, ModelAndScaledFrustaAreInModelCoordinates)
{
    Camera camera;
    lookDownNegativeZ(camera);
    camera.setPerspective(90.0f, 1.0f, 100.0f, 0, 0);
    Eigen::Matrix4f model = Eigen::Matrix4f::Identity();
    model(2, 3) = -50.0f; // the model's origin lies 50 in front of the eye
    EXPECT_TRUE(camera.frustum(model).contains(Vec3(0, 0, 0)));
    EXPECT_FALSE(camera.frustum(model).contains(Vec3(0, 0, 51)));

    Vec3 const beyondTop(0, 60, 0);
    EXPECT_FALSE(camera.frustum(model).contains(beyondTop));
    EXPECT_TRUE(camera.scaledFrustum(2.0f, 2.0f, 1.0f, model).contains(beyondTop));
    EXPECT_FALSE(camera.scaledFrustum(2.0f, 2.0f, 1.0f, model).contains(Vec3(0, 0, -51)));
}

} // namespace
