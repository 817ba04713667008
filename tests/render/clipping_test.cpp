#include "graphics/colorimage.h"
#include "math/boxclippingregion.h"
#include "math/halfspace.h"
#include "math/trianglemesh.h"
#include "octree/potreelocation.h"
#include "octree/potreewriter.h"
#include "octree/testdatasets.h"
#include "render/logsink.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"

#include "streamingtestsupport.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Render::PointCloudRenderable;
using Point3f = Math::Point<float, 3>;
using Box3f = Math::NBoundingBox<float, 3>;
using namespace std::chrono_literals;

constexpr std::size_t kViewSize = 128;
constexpr PointCloudRenderable::Duration kOneTick{1};
constexpr std::size_t kBudget = 100'000;

// The test cloud: a 10 x 10 square of gray points, its left half (x < 5) a step below its right half.
constexpr int kGridSteps = 160;
constexpr double kSide = 10.0;
constexpr double kHalfStep = 0.5;
constexpr double kLowZ = -0.5;
constexpr double kHighZ = 0.5;
constexpr std::uint16_t kGray = 40000;

// Pixels of a side must differ by this much (sum over the channels) to count as another color.
constexpr double kColorDifference = 30.0;
constexpr double kSameColor = 6.0;

Octree::SourcePoints steppedSquare()
{
    Octree::SourcePoints points;
    points.hasRgb = true;
    for (int i = 0; i < kGridSteps; ++i)
        for (int j = 0; j < kGridSteps; ++j) {
            Octree::SourcePoint point;
            double const x = (i + kHalfStep) * kSide / kGridSteps;
            double const y = (j + kHalfStep) * kSide / kGridSteps;
            point.position = {x, y, x < kSide / 2 ? kLowZ : kHighZ};
            point.rgb = {kGray, kGray, kGray};
            points.points.push_back(point);
        }
    return points;
}

struct SideColors {
    std::array<double, 3> left{};
    std::array<double, 3> right{};
    double leftCoverage = 0.0;
    double rightCoverage = 0.0;
};

double colorDistance(std::array<double, 3> const& a, std::array<double, 3> const& b)
{
    return std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]);
}

// A closed slab under the horizontal plane at height z (model frame), reaching well beyond the square:
// points above the plane have positive distances, points below negative ones.
std::shared_ptr<Math::TriangleMesh<float>> horizontalPlane(float z)
{
    constexpr float kLow = -20.0f;
    constexpr float kHigh = 30.0f;
    constexpr float kDepth = 50.0f;
    Box3f const slab({kLow, kLow, z - kDepth}, {kHigh, kHigh, z});
    std::vector<Point3f> corners;
    for (int corner = 0; corner < 8; ++corner)
        corners.push_back({corner & 1 ? slab.max().x() : slab.min().x(), corner & 2 ? slab.max().y() : slab.min().y(),
                           corner & 4 ? slab.max().z() : slab.min().z()});
    // Outward-facing triangles of the six faces; corner index bits are x, y, z.
    std::vector<std::int32_t> triangles{0, 2, 1, 1, 2, 3, 4, 5, 6, 5, 7, 6, 0, 1, 4, 1, 5, 4,
                                        2, 6, 3, 3, 6, 7, 0, 4, 2, 2, 4, 6, 1, 3, 5, 3, 7, 5};
    return std::make_shared<Math::TriangleMesh<float>>(std::move(corners), std::move(triangles));
}

class ClippingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        folder = std::make_unique<OctreeTest::TempFolder>("clipping");
        PoTree::WriterOptions options;
        options.maxPointsPerNode = 4000;
        PoTree::writePotree(steppedSquare(), folder->path(), options);
    }

    static void TearDownTestSuite() { folder.reset(); }

    void SetUp() override
    {
        renderer = std::make_unique<Render::Renderer>();
        renderer->setViewport(kViewSize, kViewSize);
        renderer->setBackgroundColor(0, 0, 0, 255);
        cloud = PointCloudRenderable::create(std::make_shared<PoTree::FileSystemLocation>(folder->path()), "square",
                                             kBudget, 1.0);
        cloud->setUpdateInterval(kOneTick);
        renderer->setScene(cloud);
        origin = cloud->referencePosition().cast<float>();
        // Straight down on the square, which fills the middle of the picture.
        Point3f const center = model({5.0f, 5.0f, 0.0f});
        renderer->setCameraPose(center + Point3f(0, 0, 12.0f), Eigen::Vector3f(0, 0, -1), Eigen::Vector3f(0, 1, 0));
        renderer->setPerspective(60.0f, 0.5f, 100.0f);
        renderer->setDistanceColorMapRange(-1.0f, 1.0f);
    }

    void TearDown() override
    {
        // The data set's files are closed before the folder goes.
        renderer.reset();
        cloud.reset();
    }

    // A position of the source points in the cloud's model frame (= world frame while the cloud is
    // not moved).
    Point3f model(Point3f const& source) const { return source - origin; }

    void load()
    {
        cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
        renderUntilSettled();
    }

    void renderUntilSettled() { StreamingTest::renderUntilSettled(*renderer, {cloud}); }

    SideColors sideColors() { return sideColors(*renderer); }

    // Mean colors and coverage of the left and right halves of the square, a margin away from the
    // step, where no point of the other half can be drawn.
    static SideColors sideColors(Render::Renderer& view)
    {
        Graphics::ColorImage image;
        view.getColorImage(image);
        SideColors result;
        std::size_t const quarter = image.width / 4;
        std::size_t leftCount = 0;
        std::size_t rightCount = 0;
        std::size_t leftPixels = 0;
        std::size_t rightPixels = 0;
        for (std::size_t y = image.height * 3 / 8; y < image.height * 5 / 8; ++y)
            for (std::size_t x = 0; x < image.width; ++x) {
                bool const left = x >= quarter + quarter / 4 && x < 2 * quarter - quarter / 4;
                bool const right = x >= 2 * quarter + quarter / 4 && x < 3 * quarter - quarter / 4;
                if (!left && !right)
                    continue;
                (left ? leftPixels : rightPixels) += 1;
                Math::Color const pixel = image.pixel(x, y);
                if (pixel.r() == 0 && pixel.g() == 0 && pixel.b() == 0)
                    continue;
                std::array<double, 3>& sum = left ? result.left : result.right;
                sum[0] += pixel.r();
                sum[1] += pixel.g();
                sum[2] += pixel.b();
                (left ? leftCount : rightCount) += 1;
            }
        for (double& channel : result.left)
            channel /= static_cast<double>(std::max<std::size_t>(leftCount, 1));
        for (double& channel : result.right)
            channel /= static_cast<double>(std::max<std::size_t>(rightCount, 1));
        result.leftCoverage = static_cast<double>(leftCount) / static_cast<double>(leftPixels);
        result.rightCoverage = static_cast<double>(rightCount) / static_cast<double>(rightPixels);
        return result;
    }

    // The square lies 9.5 to 10.5 below the distance plane or inside the distance mesh: signed
    // distances all miss the range [9, 11], unsigned ones all reach it.
    // Only the root's box is large enough to reach the range with signed distances.
    void expectOnlyUnsignedDistancesDrawTheSquare()
    {
        constexpr std::size_t kAllPoints = kGridSteps * kGridSteps;
        renderer->setDistanceColorMapRange(9.0f, 11.0f);
        renderer->setUseSignedDistance(false);
        load();
        EXPECT_EQ(cloud->numVisiblePoints(), kAllPoints) << "no node is culled";
        SideColors const colors = sideColors();
        EXPECT_GT(colors.leftCoverage, 0.9);
        EXPECT_GT(colors.rightCoverage, 0.9);
        renderer->setUseSignedDistance(true);
        renderUntilSettled();
        EXPECT_LT(cloud->numVisiblePoints(), kAllPoints / 2) << "the signed distances miss the range";
        renderer->setUseSignedDistance(false);
        renderUntilSettled();
        EXPECT_EQ(cloud->numVisiblePoints(), kAllPoints) << "the node culling follows the flag";
    }

    static std::unique_ptr<OctreeTest::TempFolder> folder;
    std::unique_ptr<Render::Renderer> renderer;
    std::shared_ptr<PointCloudRenderable> cloud;
    Point3f origin;
};

std::unique_ptr<OctreeTest::TempFolder> ClippingTest::folder;

TEST(BoxClippingRegion, AnswersForBoxesAndPoints)
{
    Math::BoxClippingRegion<float> const region(Box3f({0, 0, 0}, {10, 10, 10}));
    EXPECT_TRUE(region.contains({0, 5, 10})) << "faces belong to the region";
    EXPECT_FALSE(region.contains({-0.01f, 5, 5}));
    EXPECT_TRUE(region.isInside(Box3f({1, 1, 1}, {9, 9, 9})));
    EXPECT_FALSE(region.isInside(Box3f({1, 1, 1}, {11, 9, 9})));
    EXPECT_FALSE(region.isOutside(Box3f({9, 9, 9}, {11, 11, 11})));
    EXPECT_TRUE(region.intersects(Box3f({9, 9, 9}, {11, 11, 11})));
    EXPECT_TRUE(region.isOutside(Box3f({11, 0, 0}, {12, 10, 10})));
    EXPECT_TRUE(region.isOutside(Box3f())) << "an empty box holds no passing point";
    EXPECT_FALSE(region.isInside(Box3f()));
    EXPECT_FALSE(region.isEmpty());

    Math::BoxClippingRegion<float> const nothing{Box3f()};
    EXPECT_TRUE(nothing.isEmpty());
    EXPECT_FALSE(nothing.contains({0, 0, 0}));
    EXPECT_TRUE(nothing.isOutside(Box3f({-1, -1, -1}, {1, 1, 1})));
}

TEST_F(ClippingTest, MeshDistanceModeColorsEachSideByItsDistance)
{
    renderer->setRenderMode(Render::RenderMode::ColorizeByMeshDistance);
    load();
    SideColors const withoutMesh = sideColors();
    EXPECT_LT(colorDistance(withoutMesh.left, withoutMesh.right), kSameColor) << "no mesh, no distances";

    renderer->setMeshForDistanceColorization(horizontalPlane(model({0, 0, 0}).z()));
    renderUntilSettled();
    SideColors const withMesh = sideColors();
    EXPECT_GT(withMesh.leftCoverage, 0.9);
    EXPECT_GT(withMesh.rightCoverage, 0.9);
    EXPECT_GT(colorDistance(withMesh.left, withMesh.right), kColorDifference);
    EXPECT_GT(cloud->meshDistanceCache()->size(), 0u);
    EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));

    // Only the sign tells the sides apart: with unsigned distances they look alike.
    renderer->setUseSignedDistance(false);
    renderUntilSettled();
    SideColors const unsigned_ = sideColors();
    EXPECT_LT(colorDistance(unsigned_.left, unsigned_.right), kSameColor);
}

TEST_F(ClippingTest, MeshClippingHidesPointsOutsideTheDistanceRange)
{
    renderer->setMeshForDistanceColorization(horizontalPlane(model({0, 0, 0}).z()));
    renderer->setDistanceColorMapRange(0.0f, 1.0f);
    renderer->setMeshClippingActive(true);
    load();
    SideColors const colors = sideColors();
    EXPECT_LT(colors.leftCoverage, 0.02) << "distance -0.5 is below the range";
    EXPECT_GT(colors.rightCoverage, 0.9);

    renderer->setMeshClippingActive(false);
    renderUntilSettled();
    EXPECT_GT(sideColors().leftCoverage, 0.9);

    // Nodes entirely out of range are not even loaded.
    renderer->setMeshForDistanceColorization(horizontalPlane(model({0, 0, -100}).z()));
    renderer->setMeshClippingActive(true);
    renderUntilSettled();
    EXPECT_EQ(cloud->numVisiblePoints(), 0u);
    EXPECT_EQ(sideColors().rightCoverage, 0.0);
}

TEST_F(ClippingTest, MeshClippingWithoutMeshLoadsNothing)
{
    renderer->setMeshClippingActive(true);
    load();
    EXPECT_EQ(cloud->loadedPointCount(), 0u);
}

TEST_F(ClippingTest, RegionClippingKeepsThePointsInsideTheBox)
{
    Box3f const leftHalf(model({-1, -1, -1}), model({5, 11, 1}));
    renderer->setClippingRegion(std::make_shared<Math::BoxClippingRegion<float>>(leftHalf));
    renderer->setRegionClippingActive(true);
    load();
    SideColors const colors = sideColors();
    EXPECT_GT(colors.leftCoverage, 0.9);
    EXPECT_LT(colors.rightCoverage, 0.02);
    EXPECT_GT(cloud->clippingCache()->size(), 0u);

    // The same region with the cloud moved: clip values follow the world positions.
    Eigen::Matrix4f shifted = Eigen::Matrix4f::Identity();
    shifted(0, 3) = -5.0f;
    cloud->setMatrix(shifted);
    renderUntilSettled();
    SideColors const moved = sideColors();
    EXPECT_GT(moved.leftCoverage, 0.9) << "the right half moved into the region and the picture's left";
    EXPECT_LT(moved.rightCoverage, 0.02) << "nothing is left on the picture's right";
    EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));
}

TEST_F(ClippingTest, RegionClippingWithoutRegionDrawsNothing)
{
    load();
    ASSERT_GT(sideColors().leftCoverage, 0.9);
    renderer->setRegionClippingActive(true);
    renderUntilSettled();
    SideColors const colors = sideColors();
    EXPECT_EQ(colors.leftCoverage, 0.0);
    EXPECT_EQ(colors.rightCoverage, 0.0);
    EXPECT_EQ(cloud->numVisiblePoints(), 0u);
}

TEST_F(ClippingTest, RemovingTheRegionDropsItsClipValues)
{
    renderer->setClippingRegion(
        std::make_shared<Math::BoxClippingRegion<float>>(Box3f(model({-1, -1, -1}), model({5, 11, 1}))));
    renderer->setRegionClippingActive(true);
    load();
    ASSERT_LT(sideColors().rightCoverage, 0.02);
    renderer->setClippingRegion(nullptr);
    renderer->setRegionClippingActive(false);
    renderUntilSettled();
    EXPECT_EQ(cloud->clippingCache()->size(), 0u);
    EXPECT_GT(sideColors().rightCoverage, 0.9);
}

TEST_F(ClippingTest, ClippingVolumeCutsTheCloudAndHoldsAtMostEightPlanes)
{
    std::atomic<int> reloads = 0;
    cloud->startAsyncReload([&] { ++reloads; }, Octree::OctreeNodeId::kMaxLevel);
    renderUntilSettled();
    // World x >= 5 of the source frame: a point passes when x - 5 >= 0.
    float const cut = model({5, 0, 0}).x();
    Math::HalfSpace<float, 3> const rightOfCut(1.0f, 0.0f, 0.0f, -cut);
    Math::HalfSpace<float, 3> const everything;
    std::vector<Math::HalfSpace<float, 3>> volume(Render::PointCloudRenderable::kMaxClippingPlanes - 1, everything);
    volume.push_back(rightOfCut);
    cloud->setClippingVolume(volume);
    renderUntilSettled();
    SideColors const colors = sideColors();
    EXPECT_LT(colors.leftCoverage, 0.02);
    EXPECT_GT(colors.rightCoverage, 0.9);

    std::vector<Math::HalfSpace<float, 3>> tooMany = volume;
    tooMany.push_back(everything);
    try {
        cloud->setClippingVolume(tooMany);
        FAIL() << "nine planes were accepted";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Error: volume contains too many clipping planes, plane count = 9");
    }
    EXPECT_EQ(cloud->clippingVolume(), volume) << "a refused volume changes nothing";
    EXPECT_EQ(cloud->clippingPolytope().halfSpaces().size(), volume.size());

    // Setting the same volume again does not restart loading; another one does.
    int const before = reloads;
    cloud->setClippingVolume(volume);
    renderUntilSettled();
    EXPECT_EQ(reloads.load(), before);
    cloud->setClippingVolume({});
    renderUntilSettled();
    EXPECT_GT(reloads.load(), before);
    EXPECT_GT(sideColors().leftCoverage, 0.9);
}

TEST_F(ClippingTest, ClippingVolumeFollowsTheWorldMatrix)
{
    Eigen::Matrix4f shifted = Eigen::Matrix4f::Identity();
    shifted(0, 3) = 2.5f;
    cloud->setMatrix(shifted);
    // Keeps world x <= cut + 2.5: all of the moved left half, none of the moved right half.
    float const cut = model({5, 0, 0}).x() + 2.5f;
    cloud->setClippingVolume({Math::HalfSpace<float, 3>(-1.0f, 0.0f, 0.0f, cut)});
    renderer->setCameraPose(renderer->eye() + Point3f(2.5f, 0, 0), Eigen::Vector3f(0, 0, -1), Eigen::Vector3f(0, 1, 0));
    load();
    SideColors const colors = sideColors();
    EXPECT_GT(colors.leftCoverage, 0.9);
    EXPECT_LT(colors.rightCoverage, 0.02);
}

TEST_F(ClippingTest, NewMeshClearsTheSharedCacheAndDistancesAreComputedAgain)
{
    renderer->setRenderMode(Render::RenderMode::ColorizeByMeshDistance);
    renderer->setMeshForDistanceColorization(horizontalPlane(model({0, 0, 0}).z()));
    load();
    SideColors const first = sideColors();
    auto const cache = cloud->meshDistanceCache();
    ASSERT_GT(cache->size(), 0u);

    // The plane through the left half: the left half now has distance 0, the right half 1.
    auto const through = horizontalPlane(model({0, 0, static_cast<float>(kLowZ)}).z());
    renderer->setMeshForDistanceColorization(through);
    renderUntilSettled();
    SideColors const second = sideColors();
    EXPECT_GT(colorDistance(first.left, second.left), kColorDifference);
    EXPECT_GT(colorDistance(first.right, second.right), kColorDifference);
    EXPECT_GT(cache->size(), 0u);

    // Back to the first plane: its colors come back, so nothing of the second mesh was kept.
    renderer->setMeshForDistanceColorization(horizontalPlane(model({0, 0, 0}).z()));
    renderUntilSettled();
    SideColors const third = sideColors();
    EXPECT_LT(colorDistance(first.left, third.left), kSameColor);
    EXPECT_LT(colorDistance(first.right, third.right), kSameColor);
}

TEST_F(ClippingTest, WorldMatrixChangeRebuildsTheModelMesh)
{
    renderer->setRenderMode(Render::RenderMode::ColorizeByMeshDistance);
    // The reference: the plane through the left half gives that half the color of distance 0.
    renderer->setMeshForDistanceColorization(horizontalPlane(model({0, 0, static_cast<float>(kLowZ)}).z()));
    load();
    SideColors const reference = sideColors();

    // The plane at 0 with the cloud raised by 0.5: the left half is again on the plane.
    renderer->setMeshForDistanceColorization(horizontalPlane(model({0, 0, 0}).z()));
    renderUntilSettled();
    ASSERT_GT(colorDistance(sideColors().left, reference.left), kColorDifference);
    Eigen::Matrix4f raised = Eigen::Matrix4f::Identity();
    raised(2, 3) = static_cast<float>(-kLowZ);
    cloud->setMatrix(raised);
    renderUntilSettled();
    SideColors const moved = sideColors();
    EXPECT_LT(colorDistance(moved.left, reference.left), kSameColor);
    EXPECT_LT(colorDistance(moved.right, reference.right), kSameColor);
}

TEST_F(ClippingTest, ReplacingTheMeshWhileLoadingKeepsOnlyTheLastMeshesDistances)
{
    renderer->setRenderMode(Render::RenderMode::ColorizeByMeshDistance);
    auto const atZero = horizontalPlane(model({0, 0, 0}).z());
    auto const throughLeft = horizontalPlane(model({0, 0, static_cast<float>(kLowZ)}).z());
    renderer->setMeshForDistanceColorization(atZero);
    load();
    SideColors const expected = sideColors();

    for (int round = 0; round < 6; ++round) {
        renderer->setMeshForDistanceColorization(round % 2 == 0 ? throughLeft : atZero);
        renderer->render();
        std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
    }
    renderUntilSettled();
    SideColors const colors = sideColors();
    EXPECT_LT(colorDistance(colors.left, expected.left), kSameColor);
    EXPECT_LT(colorDistance(colors.right, expected.right), kSameColor);
    EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));
}

TEST_F(ClippingTest, VisibleNodesGetTheirValuesWithoutReloading)
{
    renderer->setMeshForDistanceColorization(horizontalPlane(model({0, 0, 0}).z()));
    renderer->setClippingRegion(
        std::make_shared<Math::BoxClippingRegion<float>>(Box3f(model({-1, -1, -1}), model({5, 11, 1}))));
    load();
    cloud->stopAsyncReload();
    std::size_t const nodes = cloud->loadedNodeCount();
    ASSERT_GT(nodes, 1u);
    cloud->meshDistanceCache()->clear();
    cloud->clippingCache()->clear();

    cloud->updateMeshDistancesInVisibleOctreeNodes();
    EXPECT_EQ(cloud->meshDistanceCache()->size(), nodes);
    cloud->updateClippingInVisibleOctreeNodes();
    EXPECT_EQ(cloud->clippingCache()->size(), nodes);
    EXPECT_EQ(cloud->loadedNodeCount(), nodes);
}

TEST_F(ClippingTest, CachedValuesOfAnotherSizeFailTheLoaderWithTheirMessage)
{
    std::vector<std::string> logged;
    std::mutex loggedMutex;
    Render::setLogSink([&](Core::LogLevel, std::string_view message) {
        std::lock_guard lock(loggedMutex);
        logged.emplace_back(message);
    });
    auto const mesh = horizontalPlane(model({0, 0, 0}).z());
    renderer->setMeshForDistanceColorization(mesh);
    auto const cache = PointCloudRenderable::createOrGetSharedMeshDistanceCache(
        std::make_shared<PoTree::FileSystemLocation>(folder->path()), 1.0, 1);
    ASSERT_EQ(cache, cloud->meshDistanceCache()) << "clouds of one data set share the cache";
    Render::NodeValueKey const root{cloud->octree()->root(), mesh.get(), cloud->worldMatrix()};
    ASSERT_TRUE(cache->put(root, std::vector<float>(1, 0.0f), 0, cache->version(0)));

    cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    auto const deadline = std::chrono::steady_clock::now() + StreamingTest::kDeadline;
    while (cloud->isAsyncReloadHealthy(false) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    try {
        cloud->isAsyncReloadHealthy(true);
        FAIL() << "the loader took values of the wrong size";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Error loading point data: Error VertexContainer::setDistances: size mismatch");
    }
    cloud->stopAsyncReload();
    Render::setLogSink({});
    std::lock_guard lock(loggedMutex);
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.front(), "Error VertexContainer::setDistances: size mismatch");
}

TEST_F(ClippingTest, UnsignedPlaneDistancesAreNotCulledBySign)
{
    renderer->setRenderMode(Render::RenderMode::ColorizeByPlaneDistance);
    renderer->setPlaneForDistanceColorization(Math::NPlane<float, 3>(Point3f(0, 0, 1), -model({0, 0, 10}).z()));
    expectOnlyUnsignedDistancesDrawTheSquare();
}

TEST_F(ClippingTest, UnsignedMeshDistancesAreNotCulledBySign)
{
    renderer->setMeshForDistanceColorization(horizontalPlane(model({0, 0, 10}).z()));
    renderer->setMeshClippingActive(true);
    expectOnlyUnsignedDistancesDrawTheSquare();
}

// A second view of the same data set with the cloud raised by 1: the caches are shared, the values not.
TEST_F(ClippingTest, CloudsOfOneDataSetPlacedApartKeepTheirOwnValues)
{
    Render::Renderer raisedView;
    raisedView.setViewport(kViewSize, kViewSize);
    raisedView.setBackgroundColor(0, 0, 0, 255);
    auto const raised =
        PointCloudRenderable::create(std::make_shared<PoTree::FileSystemLocation>(folder->path()), "raised", kBudget, 1.0);
    raised->setUpdateInterval(kOneTick);
    raisedView.setScene(raised);
    Eigen::Matrix4f up = Eigen::Matrix4f::Identity();
    up(2, 3) = 1.0f;
    raised->setMatrix(up);
    raisedView.setCameraPose(renderer->eye() + Point3f(0, 0, 1), Eigen::Vector3f(0, 0, -1), Eigen::Vector3f(0, 1, 0));
    raisedView.setPerspective(60.0f, 0.5f, 100.0f);
    ASSERT_EQ(raised->meshDistanceCache(), cloud->meshDistanceCache());

    // Distances: the left half is at -0.5 here and at +0.5 raised, where the right half is here.
    auto const mesh = horizontalPlane(model({0, 0, 0}).z());
    // Clipping keeps heights 0 to 1: the right half here, the left half raised.
    auto const region = std::make_shared<Math::BoxClippingRegion<float>>(Box3f(model({-1, -1, 0}), model({11, 11, 1})));
    for (bool const clipping : {false, true}) {
        SCOPED_TRACE(clipping ? "region clipping" : "mesh distances");
        for (Render::Renderer* view : {renderer.get(), &raisedView}) {
            view->setRenderMode(clipping ? Render::RenderMode::Default : Render::RenderMode::ColorizeByMeshDistance);
            view->setDistanceColorMapRange(-1.0f, 2.0f);
            view->setMeshForDistanceColorization(clipping ? nullptr : mesh);
            view->setClippingRegion(clipping ? region : nullptr);
            view->setRegionClippingActive(clipping);
        }
        load();
        raised->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
        StreamingTest::renderUntilSettled(raisedView, {raised});
        SideColors const here = sideColors();
        SideColors const there = sideColors(raisedView);
        if (clipping) {
            EXPECT_LT(here.leftCoverage, 0.02);
            EXPECT_GT(here.rightCoverage, 0.9);
            EXPECT_GT(there.leftCoverage, 0.9);
            EXPECT_LT(there.rightCoverage, 0.02);
        } else {
            EXPECT_LT(colorDistance(there.left, here.right), kSameColor);
            EXPECT_GT(colorDistance(there.left, here.left), kColorDifference);
        }
    }
    raisedView.setScene(nullptr);
}

TEST_F(ClippingTest, SingularMatrixIsRefusedAndTheCloudStaysAsItWas)
{
    renderer->setRenderMode(Render::RenderMode::ColorizeByMeshDistance);
    renderer->setMeshForDistanceColorization(horizontalPlane(model({0, 0, 0}).z()));
    load();
    SideColors const before = sideColors();
    Eigen::Matrix4f flat = Eigen::Matrix4f::Identity();
    flat(2, 2) = 0.0f;
    EXPECT_THROW(cloud->setMatrix(flat), std::invalid_argument);
    EXPECT_EQ(cloud->matrix(), Eigen::Matrix4f::Identity());
    EXPECT_EQ(cloud->worldMatrix(), Eigen::Matrix4f::Identity());
    renderUntilSettled();
    SideColors const after = sideColors();
    EXPECT_GT(after.leftCoverage, 0.9);
    EXPECT_LT(colorDistance(before.left, after.left), kSameColor);
    EXPECT_LT(colorDistance(before.right, after.right), kSameColor);
}

TEST_F(ClippingTest, RegionsReplacedWhileTheLoaderClipsLeaveTheLastOne)
{
    auto const leftHalf = std::make_shared<Math::BoxClippingRegion<float>>(Box3f(model({-1, -1, -1}), model({5, 11, 1})));
    auto const rightHalf = std::make_shared<Math::BoxClippingRegion<float>>(Box3f(model({5, -1, -1}), model({11, 11, 1})));
    renderer->setRegionClippingActive(true);
    load();
    for (int round = 0; round < 60; ++round) {
        renderer->setClippingRegion(round % 3 == 0 ? nullptr : round % 3 == 1 ? rightHalf : leftHalf);
        renderer->render();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
    }
    renderUntilSettled();
    EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));
    SideColors const colors = sideColors();
    EXPECT_GT(colors.leftCoverage, 0.9);
    EXPECT_LT(colors.rightCoverage, 0.02);
}

TEST_F(ClippingTest, DiagnoseDumpsTheMeshInBothFrames)
{
    OctreeTest::TempFolder const dumps("clipping-diagnose");
    std::filesystem::path const previous = std::filesystem::current_path();
    std::filesystem::current_path(dumps.path());
    Eigen::Matrix4f shifted = Eigen::Matrix4f::Identity();
    shifted(0, 3) = 3.0f;
    cloud->setMatrix(shifted);
    cloud->diagnose();
    renderer->setMeshForDistanceColorization(horizontalPlane(0.0f));
    cloud->diagnose();
    std::filesystem::current_path(previous);

    std::vector<std::filesystem::path> files;
    for (auto const& entry : std::filesystem::directory_iterator(dumps.path()))
        files.push_back(entry.path().filename());
    ASSERT_EQ(files.size(), 2u) << "nothing is written without a mesh";
    // "diagnoseModelCS_" sorts before "diagnose_".
    std::sort(files.begin(), files.end());
    std::string const world = files[1].string();
    std::string const modelCs = files[0].string();
    ASSERT_TRUE(world.starts_with("diagnose_")) << world;
    ASSERT_TRUE(modelCs.starts_with("diagnoseModelCS_")) << modelCs;
    EXPECT_EQ(world.substr(world.find('_')), modelCs.substr(modelCs.find('_'))) << "one counter for both";
    auto const text = [&](std::string const& name) {
        std::ifstream file(dumps.path() / name);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    EXPECT_NE(text(world), text(modelCs)) << "the model-frame copy is moved by the inverse world matrix";
    EXPECT_NE(text(modelCs).find("number of triangles in tree: 12"), std::string::npos);
}

} // namespace
