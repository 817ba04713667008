#include "math/nplane.h"
#include "math/trianglemesh.h"
#include "octree/potreelocation.h"
#include "octree/potreewriter.h"
#include "octree/testdatasets.h"
#include "render/camera.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"

#include "streamingtestsupport.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace {

using Point3f = Math::Point<float, 3>;
using Plane = Math::NPlane<float, 3>;
using Render::PointCloudRenderable;

constexpr std::size_t kWidth = 160;
constexpr std::size_t kHeight = 120;
constexpr std::size_t kCenterX = kWidth / 2;
constexpr std::size_t kCenterY = kHeight / 2;
// The cloud: a 10 x 10 patch of the tilted plane z = 0.2 x + 0.1 y, stored in millimetres. Its lowest
// corner is the origin, where the data set's offset puts the world origin too.
constexpr int kGridSteps = 200;
constexpr double kGridSpacing = 0.05;
constexpr float kStoredPrecision = 0.002f;
constexpr std::size_t kBudget = 100'000;

float cloudHeight(float x, float y) { return 0.2f * x + 0.1f * y; }

Eigen::Vector3f cloudNormal() { return Eigen::Vector3f(-0.2f, -0.1f, 1.0f).normalized(); }

float offCloudPlane(Point3f const& point) { return std::abs(point.z() - cloudHeight(point.x(), point.y())); }

bool lexicographicallyLess(Point3f const& a, Point3f const& b)
{
    return std::lexicographical_compare(a.data(), a.data() + 3, b.data(), b.data() + 3);
}

class PickingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        folder = std::make_unique<OctreeTest::TempFolder>("picking");
        Octree::SourcePoints source;
        for (int i = 0; i < kGridSteps; ++i)
            for (int j = 0; j < kGridSteps; ++j) {
                Octree::SourcePoint point;
                double const x = i * kGridSpacing;
                double const y = j * kGridSpacing;
                point.position = {x, y, 0.2 * x + 0.1 * y};
                source.points.push_back(point);
            }
        PoTree::writePotree(source, folder->path(), {});
    }

    static void TearDownTestSuite() { folder.reset(); }

    void SetUp() override
    {
        renderer = std::make_unique<Render::Renderer>();
        renderer->setViewport(kWidth, kHeight);
        cloud = PointCloudRenderable::create(std::make_shared<PoTree::FileSystemLocation>(folder->path()), "plane",
                                             kBudget, 1.0);
        cloud->setUpdateInterval(PointCloudRenderable::Duration{1});
        renderer->setScene(cloud);
        // From above the patch's centre: the patch fills the middle of the view, the corners stay empty.
        renderer->setCameraPose(Point3f(5, 5, 25), Eigen::Vector3f(0, 0, -1), Eigen::Vector3f(0, 1, 0));
        renderer->setPerspective(60.0f, 1.0f, 100.0f);
    }

    void renderUntilSettled()
    {
        cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
        StreamingTest::renderUntilSettled(*renderer, {cloud});
    }

    // The scene's world position target, read independently of the picking code.
    std::vector<Eigen::Vector4f> exactWorldPositions() const
    {
        return StreamingTest::exactWorldPositions<Eigen::Vector4f>(*renderer);
    }

    void expectProjectsInto(Point3f const& point, float x, float y, float tolerance)
    {
        Point3f const pixel = renderer->project(point);
        EXPECT_NEAR(pixel.x(), x, tolerance);
        EXPECT_NEAR(pixel.y(), y, tolerance);
    }

    static std::unique_ptr<OctreeTest::TempFolder> folder;
    std::unique_ptr<Render::Renderer> renderer;
    std::shared_ptr<PointCloudRenderable> cloud;
};

std::unique_ptr<OctreeTest::TempFolder> PickingTest::folder;

TEST_F(PickingTest, PickPointGivesTheDrawnPositionUnderThePixel)
{
    renderUntilSettled();
    Point3f point;
    ASSERT_TRUE(renderer->pickPoint(kCenterX, kCenterY, point));
    EXPECT_LT(offCloudPlane(point), kStoredPrecision);
    // A point's quad covers a few pixels around the point itself.
    expectProjectsInto(point, kCenterX + 0.5f, kCenterY + 0.5f, 3.0f);
}

TEST_F(PickingTest, MissesOutsideTheDrawnPointsAndTheView)
{
    renderUntilSettled();
    Point3f point(7, 7, 7);
    EXPECT_FALSE(renderer->pickPoint(0, 0, point));
    EXPECT_EQ(point, Point3f(0, 0, 0)) << "the background's stored position is written all the same";
    EXPECT_FALSE(renderer->pickPoint(kWidth, kCenterY, point));
    EXPECT_FALSE(renderer->pickPoint(kCenterX, kHeight, point));
    EXPECT_FALSE(renderer->pickClosestPointWithTolerance(3, 3, 3, point));
    EXPECT_FALSE(renderer->pickClosestPointWithTolerance(kCenterX, kCenterY, 0, point));
    Plane plane;
    EXPECT_FALSE(renderer->pickPlane(kCenterX, kCenterY, 0, plane, point, 0.01));
    EXPECT_FALSE(renderer->pickPlane(3, 3, 3, plane, point, 0.01));
    float distance = 0.0f;
    EXPECT_FALSE(renderer->pickPointWithDistanceToColorizationPlane(3, 3, 3, point, distance));
    EXPECT_FALSE(renderer->pickPointWithDistanceToColorizationMesh(kCenterX, kCenterY, 3, point, distance))
        << "no mesh was set";
    EXPECT_FALSE(renderer->pickPoint(std::numeric_limits<std::uint64_t>::max(), 0, point));
    EXPECT_FALSE(renderer->pickClosestPointWithTolerance(std::numeric_limits<std::uint64_t>::max(), 0, 3, point));
}

TEST_F(PickingTest, ClosestPointIsTheWindowsHitNearestTheEye)
{
    renderUntilSettled();
    constexpr std::size_t kTolerance = 4;
    Point3f closest;
    ASSERT_TRUE(renderer->pickClosestPointWithTolerance(kCenterX, kCenterY, kTolerance, closest));

    auto const positions = exactWorldPositions();
    Point3f const eye = renderer->eye();
    float best = std::numeric_limits<float>::max();
    Point3f expected;
    for (std::size_t x = kCenterX - kTolerance; x < kCenterX + kTolerance; ++x)
        for (std::size_t y = kCenterY - kTolerance; y < kCenterY + kTolerance; ++y) {
            Eigen::Vector4f const& pixel = positions[y * kWidth + x];
            float const squaredDistance = (Point3f(pixel.head<3>()) - eye).squaredNorm();
            if (pixel.w() > 0.0f && squaredDistance < best) {
                best = squaredDistance;
                expected = pixel.head<3>();
            }
        }
    ASSERT_LT(best, std::numeric_limits<float>::max());
    EXPECT_EQ(closest, expected);
}

TEST_F(PickingTest, PickPlaneRecoversTheCloudsPlaneAndMeetsItUnderThePixel)
{
    renderUntilSettled();
    Plane plane;
    Point3f point;
    ASSERT_TRUE(renderer->pickPlane(kCenterX, kCenterY, 10, plane, point, 0.01));
    EXPECT_GT(plane.normal().dot(cloudNormal()), 0.9999f);
    EXPECT_GT(plane.signedDistance(renderer->eye()), 0.0f) << "the plane faces the eye";
    EXPECT_LT(offCloudPlane(point), kStoredPrecision);
    expectProjectsInto(point, kCenterX, kCenterY, 0.05f);

    Plane again;
    Point3f pointAgain;
    ASSERT_TRUE(renderer->pickPlane(kCenterX, kCenterY, 10, again, pointAgain, 0.01));
    EXPECT_EQ(again, plane);
    EXPECT_EQ(pointAgain, point);
}

TEST_F(PickingTest, OrthographicRaysRunAlongTheViewDirection)
{
    renderer->setOrthographic(24.0f, 18.0f, 1.0f, 100.0f);
    renderUntilSettled();
    constexpr std::size_t kX = 50;
    constexpr std::size_t kY = 40;
    Plane plane;
    Point3f point;
    ASSERT_TRUE(renderer->pickPlane(kX, kY, 6, plane, point, 0.01));
    EXPECT_GT(plane.normal().dot(cloudNormal()), 0.9999f);
    EXPECT_LT(offCloudPlane(point), kStoredPrecision);
    expectProjectsInto(point, kX, kY, 0.05f);
}

TEST_F(PickingTest, OrthographicPickingReachesBehindTheEyePlane)
{
    // The eye sits under the middle of the tilted patch; a negative near plane still shows what is
    // above it, and what is shown can be picked.
    renderer->setCameraPose(Point3f(5, 5, 1), Eigen::Vector3f(0, 0, -1), Eigen::Vector3f(0, 1, 0));
    renderer->setOrthographic(24.0f, 18.0f, -10.0f, 100.0f);
    renderUntilSettled();
    Plane plane;
    Point3f point;
    ASSERT_TRUE(renderer->pickPlane(kCenterX, kCenterY, 6, plane, point, 0.01));
    EXPECT_GT(point.z(), 1.0f) << "behind the eye's plane";
    EXPECT_LT(offCloudPlane(point), kStoredPrecision);
    expectProjectsInto(point, kCenterX, kCenterY, 0.05f);
}

TEST_F(PickingTest, VisiblePointsAreTheDistinctDrawnPositionsInOrder)
{
    renderUntilSettled();
    std::vector<Point3f> visible;
    renderer->getVisiblePoints(visible);

    std::vector<Point3f> expected;
    std::size_t drawnPixels = 0;
    for (Eigen::Vector4f const& pixel : exactWorldPositions())
        if (pixel.w() > 0.0f) {
            ++drawnPixels;
            expected.emplace_back(pixel.head<3>());
        }
    std::sort(expected.begin(), expected.end(), lexicographicallyLess);
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    ASSERT_FALSE(expected.empty());
    EXPECT_LT(expected.size(), drawnPixels) << "quads of several pixels share one position";
    EXPECT_EQ(visible, expected);
    for (Point3f const& point : visible)
        ASSERT_LT(offCloudPlane(point), kStoredPrecision);
}

TEST(PickingEmptyFrame, FindsNothing)
{
    Render::Renderer renderer;
    renderer.setViewport(kWidth, kHeight);
    renderer.render();
    std::vector<Point3f> visible{Point3f(1, 2, 3)};
    renderer.getVisiblePoints(visible);
    EXPECT_TRUE(visible.empty());
    Point3f point;
    EXPECT_FALSE(renderer.pickClosestPointWithTolerance(kCenterX, kCenterY, 20, point));
}

TEST_F(PickingTest, DistanceToThePlaneIsSignedOnRequest)
{
    // Below the cloud at z = -1, normal pointing down: the cloud lies on its negative side.
    renderer->setPlaneForDistanceColorization(Plane(Point3f(0, 0, -1), -1.0f));
    renderer->setUseSignedDistance(true);
    renderUntilSettled();
    Point3f point;
    float distance = 0.0f;
    ASSERT_TRUE(renderer->pickPointWithDistanceToColorizationPlane(kCenterX, kCenterY, 3, point, distance));
    EXPECT_FLOAT_EQ(distance, -1.0f - point.z());
    EXPECT_LT(distance, 0.0f);
    // The setting changes the arithmetic only: the same frame is picked again.
    renderer->setUseSignedDistance(false);
    ASSERT_TRUE(renderer->pickPointWithDistanceToColorizationPlane(kCenterX, kCenterY, 3, point, distance));
    EXPECT_FLOAT_EQ(distance, point.z() + 1.0f);
}

TEST_F(PickingTest, DistanceToTheMeshIsMeasuredFromThePickedPoint)
{
    // A horizontal square at z = -1 under the whole cloud.
    std::vector<Point3f> const corners{Point3f(-10, -10, -1), Point3f(30, -10, -1), Point3f(-10, 30, -1),
                                       Point3f(30, 30, -1)};
    auto const mesh = std::make_shared<Math::TriangleMesh<float>>(corners, std::vector<std::int32_t>{0, 1, 2, 1, 3, 2});
    renderer->setMeshForDistanceColorization(mesh);
    renderUntilSettled();
    Point3f point;
    float distance = 0.0f;
    ASSERT_TRUE(renderer->pickPointWithDistanceToColorizationMesh(kCenterX, kCenterY, 3, point, distance));
    EXPECT_NEAR(distance, point.z() + 1.0f, 1e-4f);
    renderer->setUseSignedDistance(false);
    ASSERT_TRUE(renderer->pickPointWithDistanceToColorizationMesh(kCenterX, kCenterY, 3, point, distance));
    EXPECT_NEAR(distance, point.z() + 1.0f, 1e-4f);

    // Copies come without their tree; the pick measures all the same.
    auto const copy = std::make_shared<Math::TriangleMesh<float>>(*mesh);
    ASSERT_FALSE(copy->hasTree());
    renderer->setMeshForDistanceColorization(copy);
    ASSERT_TRUE(renderer->pickPointWithDistanceToColorizationMesh(kCenterX, kCenterY, 3, point, distance));
    EXPECT_NEAR(distance, point.z() + 1.0f, 1e-4f);
    EXPECT_TRUE(copy->hasTree()) << "built once for all picks, not copied and built per pick";
    EXPECT_FALSE(renderer->pickPointWithDistanceToColorizationMesh(3, 3, 3, point, distance)) << "background";
}

TEST(PickingProjection, ForwardsToTheCameraAndRoundTrips)
{
    Render::Renderer renderer;
    renderer.setViewport(kWidth, kHeight);
    renderer.setCameraPose(Point3f(1, 2, 30), Point3f(0, 0, 0), Eigen::Vector3f(0, 1, 0));
    renderer.setPerspective(45.0f, 0.5f, 200.0f);
    Point3f const world = renderer.unProject(40, 90, 0.5f);
    EXPECT_EQ(world, renderer.camera()->unProject(40, 90, 0.5f));
    Point3f const pixel = renderer.project(world);
    EXPECT_NEAR(pixel.x(), 40.0f, 1e-3f);
    EXPECT_NEAR(pixel.y(), 90.0f, 1e-3f);
    EXPECT_NEAR(pixel.z(), 0.5f, 1e-5f);

    Point3f const point(3, -2, 5);
    Point3f const ndc = renderer.projectNDC(point);
    EXPECT_EQ(ndc, renderer.camera()->projectNDC(point));
    EXPECT_LT((renderer.unProjectNDC(ndc) - point).norm(), 1e-4f);
}

} // namespace
