#include "math/nplane.h"
#include "octree/potreewriter.h"
#include "octree/testdatasets.h"

#include "streamingtestsupport.h"

#include <cmath>
#include <limits>
#include <utility>

namespace {

using Point3f = Math::Point<float, 3>;
using Plane = Math::NPlane<float, 3>;

constexpr std::size_t kWidth = 160;
constexpr std::size_t kHeight = 120;
constexpr std::size_t kCenterX = kWidth / 2;
constexpr std::size_t kCenterY = kHeight / 2;
// The cloud: a 10 x 10 patch of the tilted plane z = 0.2 x + 0.1 y, stored in millimetres. Its lowest
// corner is the origin, where the data set's offset puts the world origin too.
constexpr int kGridSteps = 200;
constexpr double kGridSpacing = 0.05;
constexpr float kStoredPrecision = 0.002f;

Eigen::Vector3f cloudNormal() { return Eigen::Vector3f(-0.2f, -0.1f, 1.0f).normalized(); }

float offCloudPlane(Point3f const& point) { return std::abs(point.z() - 0.2f * point.x() - 0.1f * point.y()); }

class PickingTest : public StreamingTest::PointCloudTest {
protected:
    static void SetUpTestSuite()
    {
        folder = std::make_unique<OctreeTest::TempFolder>("picking");
        Octree::SourcePoints source;
        for (int i = 0; i < kGridSteps; ++i)
            for (int j = 0; j < kGridSteps; ++j) {
                double const x = i * kGridSpacing;
                double const y = j * kGridSpacing;
                source.points.push_back({Math::Point<double, 3>(x, y, 0.2 * x + 0.1 * y)});
            }
        PoTree::writePotree(source, folder->path(), {});
    }

    static void TearDownTestSuite() { folder.reset(); }

    void SetUp() override
    {
        PointCloudTest::SetUp();
        renderer->setViewport(kWidth, kHeight);
        cloud = startCloud(std::make_shared<PoTree::FileSystemLocation>(folder->path()), 100'000);
        renderer->setScene(cloud);
    }

    void streamFrom(Point3f const& eye)
    {
        renderer->setCameraPose(eye, Eigen::Vector3f(0, 0, -1), Eigen::Vector3f(0, 1, 0));
        cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
        renderUntilSettled({cloud});
    }

    void expectProjectsInto(Point3f const& point, float x, float y, float tolerance)
    {
        Point3f const pixel = renderer->project(point);
        EXPECT_NEAR(pixel.x(), x, tolerance);
        EXPECT_NEAR(pixel.y(), y, tolerance);
    }

    // A plane picked at (x, y) is the cloud's (facing up, as the eye looks down) and meets the view ray
    // under the pixel: returns the plane and where it meets the ray.
    std::pair<Plane, Point3f> expectPlanePicked(std::size_t x, std::size_t y, std::size_t tolerance)
    {
        Plane plane;
        Point3f point;
        EXPECT_TRUE(renderer->pickPlane(x, y, tolerance, plane, point, 0.01));
        EXPECT_GT(plane.normal().dot(cloudNormal()), 0.9999f);
        EXPECT_LT(offCloudPlane(point), kStoredPrecision);
        expectProjectsInto(point, x, y, 0.05f);
        return {plane, point};
    }

    inline static std::unique_ptr<OctreeTest::TempFolder> folder;
    std::shared_ptr<Render::PointCloudRenderable> cloud;
};

// From above the patch's centre: the patch fills the middle of the view, the corners stay empty. The
// scene's world positions, read independently of the picking code, are the reference. Distances from
// the picked point to the colorization plane (signed on request) and mesh, below the cloud.
TEST_F(PickingTest, PicksGiveTheDrawnPositionsUnderThePixelsAndMissElsewhere)
{
    renderer->setPerspective(60.0f, 1.0f, 100.0f);
    streamFrom(Point3f(5, 5, 25));
    auto const positions = worldPositions();

    Point3f point;
    ASSERT_TRUE(renderer->pickPoint(kCenterX, kCenterY, point));
    EXPECT_LT(offCloudPlane(point), kStoredPrecision);
    // A point's quad covers a few pixels around the point itself.
    expectProjectsInto(point, kCenterX + 0.5f, kCenterY + 0.5f, 3.0f);

    constexpr std::size_t kTolerance = 4;
    float best = std::numeric_limits<float>::max();
    Point3f nearest;
    for (std::size_t x = kCenterX - kTolerance; x < kCenterX + kTolerance; ++x)
        for (std::size_t y = kCenterY - kTolerance; y < kCenterY + kTolerance; ++y) {
            Eigen::Vector4f const& pixel = positions[y * kWidth + x];
            float const squaredDistance = (Point3f(pixel.head<3>()) - renderer->eye()).squaredNorm();
            if (pixel.w() > 0.0f && squaredDistance < best) {
                best = squaredDistance;
                nearest = pixel.head<3>();
            }
        }
    ASSERT_TRUE(renderer->pickClosestPointWithTolerance(kCenterX, kCenterY, kTolerance, point));
    EXPECT_EQ(point, nearest) << "the window's hit nearest the eye";

    auto const picked = expectPlanePicked(kCenterX, kCenterY, 10);
    EXPECT_EQ(expectPlanePicked(kCenterX, kCenterY, 10), picked) << "the fit is seeded";

    // The visible points are the distinct drawn positions in order.
    std::vector<Point3f> expected;
    for (Eigen::Vector4f const& pixel : positions)
        if (pixel.w() > 0.0f)
            expected.emplace_back(pixel.head<3>());
    std::size_t const drawnPixels = expected.size();
    std::sort(expected.begin(), expected.end(), StreamingTest::lexicographicallyLess);
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    EXPECT_LT(expected.size(), drawnPixels) << "quads of several pixels share one position";
    std::vector<Point3f> visible;
    renderer->getVisiblePoints(visible);
    EXPECT_EQ(visible, expected);

    // The background, pixels outside the view, empty windows and distances without a mesh find nothing.
    point = Point3f(7, 7, 7);
    EXPECT_FALSE(renderer->pickPoint(0, 0, point));
    EXPECT_EQ(point, Point3f(0, 0, 0)) << "the background's stored position is written all the same";
    constexpr std::uint64_t kFar = std::numeric_limits<std::uint64_t>::max();
    EXPECT_FALSE(renderer->pickPoint(kWidth, kCenterY, point));
    EXPECT_FALSE(renderer->pickPoint(kCenterX, kHeight, point));
    EXPECT_FALSE(renderer->pickPoint(kFar, 0, point));
    EXPECT_FALSE(renderer->pickClosestPointWithTolerance(kFar, 0, 3, point));
    EXPECT_FALSE(renderer->pickClosestPointWithTolerance(3, 3, 3, point));
    EXPECT_FALSE(renderer->pickClosestPointWithTolerance(kCenterX, kCenterY, 0, point));
    Plane plane;
    EXPECT_FALSE(renderer->pickPlane(3, 3, 3, plane, point, 0.01));
    float distance = 0.0f;
    EXPECT_FALSE(renderer->pickPointWithDistanceToColorizationPlane(3, 3, 3, point, distance));
    EXPECT_FALSE(renderer->pickPointWithDistanceToColorizationMesh(kCenterX, kCenterY, 3, point, distance))
        << "no mesh was set";

    Render::Renderer empty;
    empty.setViewport(kWidth, kHeight);
    empty.render();
    visible = {Point3f(1, 2, 3)};
    empty.getVisiblePoints(visible);
    EXPECT_TRUE(visible.empty());
    EXPECT_FALSE(empty.pickClosestPointWithTolerance(kCenterX, kCenterY, 20, point));

    renderer->setPlaneForDistanceColorization(Plane(Point3f(0, 0, -1), -1.0f));
    std::vector<Point3f> const corners{Point3f(-10, -10, -1), Point3f(30, -10, -1), Point3f(-10, 30, -1),
                                       Point3f(30, 30, -1)};
    Math::TriangleMesh<float> const mesh(corners, std::vector<std::int32_t>{0, 1, 2, 1, 3, 2});
    // A copy comes without its tree: it is built once for all picks, not copied and built per pick.
    auto const copy = std::make_shared<Math::TriangleMesh<float>>(mesh);
    ASSERT_FALSE(copy->hasTree());
    renderer->setMeshForDistanceColorization(copy);
    for (bool const isSigned : {true, false}) {
        renderer->setUseSignedDistance(isSigned);
        ASSERT_TRUE(renderer->pickPointWithDistanceToColorizationPlane(kCenterX, kCenterY, 3, point, distance));
        // The plane's normal points down: the cloud lies on its negative side.
        EXPECT_FLOAT_EQ(distance, isSigned ? -1.0f - point.z() : point.z() + 1.0f);
        ASSERT_TRUE(renderer->pickPointWithDistanceToColorizationMesh(kCenterX, kCenterY, 3, point, distance));
        EXPECT_NEAR(distance, point.z() + 1.0f, 1e-4f);
    }
    EXPECT_TRUE(copy->hasTree());
    EXPECT_FALSE(renderer->pickPointWithDistanceToColorizationMesh(3, 3, 3, point, distance)) << "background";
}

// Rays run along the view direction; a negative near plane shows, and picks, what lies behind the eye.
TEST_F(PickingTest, OrthographicPicksReachBehindTheEyePlane)
{
    renderer->setOrthographic(24.0f, 18.0f, 1.0f, 100.0f);
    streamFrom(Point3f(5, 5, 25));
    expectPlanePicked(50, 40, 6);
    // The eye under the middle of the tilted patch.
    renderer->setOrthographic(24.0f, 18.0f, -10.0f, 100.0f);
    streamFrom(Point3f(5, 5, 1));
    Plane plane;
    Point3f point;
    ASSERT_TRUE(renderer->pickPlane(kCenterX, kCenterY, 6, plane, point, 0.01));
    EXPECT_GT(point.z(), 1.0f) << "behind the eye's plane";
    EXPECT_LT(offCloudPlane(point), kStoredPrecision);
    expectProjectsInto(point, kCenterX, kCenterY, 0.05f);
}

} // namespace
