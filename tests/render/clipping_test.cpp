#include "math/boxclippingregion.h"
#include "math/halfspace.h"
#include "octree/testdatasets.h"
#include "support/thrownmessage.h"

#include "streamingtestsupport.h"

#include <atomic>
#include <stdexcept>
#include <utility>

namespace {

using Render::PointCloudRenderable;
using Point3f = Math::Point<float, 3>;
using Box3f = Math::NBoundingBox<float, 3>;
using Region = Math::BoxClippingRegion<float>;
using HalfSpace = Math::HalfSpace<float, 3>;
using StreamingTest::translation;

// The test cloud: a 10 x 10 square of gray points, its left half (x < 5) a step below its right half.
constexpr int kGridSteps = 160;
constexpr double kSide = 10.0;
constexpr double kLowZ = -0.5;
constexpr std::size_t kAllPoints = kGridSteps * kGridSteps;
// A half is drawn when this much of it is covered, and hidden below kHidden.
constexpr double kCovered = 0.9;
constexpr double kHidden = 0.02;
// Mean colors of a half must differ by this much (sum over the channels) to count as another color.
constexpr double kColorDifference = 30.0;
constexpr double kSameColor = 6.0;

Octree::SourcePoints steppedSquare()
{
    Octree::SourcePoints points;
    points.hasRgb = true;
    for (int i = 0; i < kGridSteps; ++i)
        for (int j = 0; j < kGridSteps; ++j) {
            double const x = (i + 0.5) * kSide / kGridSteps;
            double const y = (j + 0.5) * kSide / kGridSteps;
            double const z = x < kSide / 2 ? kLowZ : -kLowZ;
            points.points.push_back({Math::Point<double, 3>(x, y, z), {40000, 40000, 40000}});
        }
    return points;
}

using Half = StreamingTest::Coverage;

// The left and right half of the square, a margin away from the step, where no point of the other
// half can be drawn.
struct Halves {
    Half left, right;
};

Halves halvesOf(Render::Renderer& view)
{
    Graphics::ColorImage image;
    view.getColorImage(image);
    auto const half = [&](std::size_t left) {
        return StreamingTest::coverageOf(image, left, image.height * 3 / 8, left + image.width / 8,
                                         image.height * 5 / 8);
    };
    return {half(image.width * 5 / 16), half(image.width * 9 / 16)};
}

double colorDistance(Half const& a, Half const& b) { return (a.meanRgb - b.meanRgb).lpNorm<1>(); }

void expectDrawn(Halves const& drawn, bool left, bool right)
{
    for (auto const& [half, shown] : {std::pair{drawn.left, left}, std::pair{drawn.right, right}})
        EXPECT_TRUE(shown ? half.fraction > kCovered : half.fraction < kHidden) << half.fraction;
}

void expectSameColors(Halves const& actual, Halves const& expected)
{
    EXPECT_LT(colorDistance(actual.left, expected.left), kSameColor);
    EXPECT_LT(colorDistance(actual.right, expected.right), kSameColor);
}

class ClippingTest : public StreamingTest::PointCloudTest {
protected:
    static void SetUpTestSuite()
    {
        dataSet = std::make_unique<OctreeTest::WrittenDataSet>("clipping", steppedSquare(), 4000);
    }
    static void TearDownTestSuite() { dataSet.reset(); }

    void SetUp() override
    {
        PointCloudTest::SetUp();
        cloud = startCloud(dataSet->location(), 100'000);
        renderer->setScene(cloud);
        origin = cloud->referencePosition().cast<float>();
        // Straight down on the square, which fills the middle of the picture.
        renderer->setCameraPose(model({5, 5, 12}), Eigen::Vector3f(0, 0, -1), Eigen::Vector3f(0, 1, 0));
        renderer->setPerspective(60.0f, 0.5f, 100.0f);
        renderer->setDistanceColorMapRange(-1.0f, 1.0f);
    }

    // A position of the source points in the cloud's model frame (= world frame while the cloud is
    // not moved).
    Point3f model(Point3f const& source) const { return source - origin; }

    // A closed slab under the horizontal plane at source height z, reaching well beyond the square:
    // points above the plane have positive distances, points below negative ones.
    std::shared_ptr<Math::TriangleMesh<float>> planeAt(double sourceZ) const
    {
        float const z = model({0, 0, static_cast<float>(sourceZ)}).z();
        return std::make_shared<Math::TriangleMesh<float>>(
            StreamingTest::closedBox(Box3f({-20.0f, -20.0f, z - 50.0f}, {30.0f, 30.0f, z})));
    }

    // The box between source x = `fromX` and `toX` around the whole square.
    std::shared_ptr<Region> regionBetween(float fromX, float toX) const
    {
        return std::make_shared<Region>(Box3f(model({fromX, -1, -1}), model({toX, 11, 1})));
    }

    void load()
    {
        cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
        settle();
    }

    void settle() { renderUntilSettled({cloud}); }

    Halves halves() { return halvesOf(*renderer); }

    void expectOnlyLeftHalfDrawn() { expectDrawn(halves(), true, false); }

    // The square lies 9.5 to 10.5 below the distance plane or inside the distance mesh: signed
    // distances all miss the range [9, 11], unsigned ones all reach it. Only the root's box is large
    // enough to reach the range with signed distances.
    void expectOnlyUnsignedDistancesDrawTheSquare()
    {
        renderer->setDistanceColorMapRange(9.0f, 11.0f);
        renderer->setUseSignedDistance(false);
        load();
        EXPECT_EQ(cloud->numVisiblePoints(), kAllPoints) << "no node is culled";
        EXPECT_GT(halves().left.fraction, kCovered);
        renderer->setUseSignedDistance(true);
        settle();
        EXPECT_LT(cloud->numVisiblePoints(), kAllPoints / 2) << "the node culling follows the flag";
    }

    inline static std::unique_ptr<OctreeTest::WrittenDataSet> dataSet;
    std::shared_ptr<PointCloudRenderable> cloud;
    Point3f origin;
};

// Distances to the mesh color each half by its own; only the sign tells the halves apart. A new mesh
// leaves nothing of the old one's values, a moved cloud is measured where it is, and a singular
// matrix is refused, changing nothing. The nodes in view get their values again without a reload.
TEST_F(ClippingTest, MeshDistancesColorEachHalfAndFollowMeshAndMatrix)
{
    // One gray for every point has no spread: the neutral pair, not an infinite contrast.
    float brightness = -1.0f;
    float contrast = -1.0f;
    cloud->brightnessAndContrast(0.01f, 1.0f, brightness, contrast);
    EXPECT_EQ(std::make_pair(brightness, contrast), std::make_pair(0.0f, 1.0f));
    renderer->setRenderMode(Render::RenderMode::ColorizeByMeshDistance);
    renderer->setClippingRegion(regionBetween(-1, 5));
    load();
    Halves const withoutMesh = halves();
    EXPECT_LT(colorDistance(withoutMesh.left, withoutMesh.right), kSameColor) << "no mesh, no distances";

    renderer->setMeshForDistanceColorization(planeAt(0));
    settle();
    Halves const atZero = halves();
    expectDrawn(atZero, true, true);
    EXPECT_GT(colorDistance(atZero.left, atZero.right), kColorDifference);
    renderer->setUseSignedDistance(false);
    settle();
    Halves const unsignedDistances = halves();
    EXPECT_LT(colorDistance(unsignedDistances.left, unsignedDistances.right), kSameColor);
    renderer->setUseSignedDistance(true);

    // The plane through the left half: the left half now has distance 0, the right half 1.
    renderer->setMeshForDistanceColorization(planeAt(kLowZ));
    settle();
    Halves const throughLeft = halves();
    EXPECT_GT(colorDistance(atZero.left, throughLeft.left), kColorDifference);
    EXPECT_GT(colorDistance(atZero.right, throughLeft.right), kColorDifference);
    renderer->setMeshForDistanceColorization(planeAt(0));
    settle();
    expectSameColors(halves(), atZero);

    Eigen::Matrix4f flat = Eigen::Matrix4f::Identity();
    flat(2, 2) = 0.0f;
    EXPECT_THROW(cloud->setMatrix(flat), std::invalid_argument);
    EXPECT_EQ(cloud->worldMatrix(), Eigen::Matrix4f::Identity());
    settle();
    expectSameColors(halves(), atZero);

    // Raised by 0.5, the left half lies on the plane at 0 as it lay on the plane through it.
    cloud->setMatrix(translation({0, 0, static_cast<float>(-kLowZ)}));
    settle();
    expectSameColors(halves(), throughLeft);
    EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));

    cloud->stopAsyncReload();
    std::size_t const nodes = cloud->loadedNodeCount();
    ASSERT_GT(nodes, 1u);
    cloud->meshDistanceCache()->clear();
    cloud->clippingCache()->clear();
    cloud->updateMeshDistancesInVisibleOctreeNodes();
    cloud->updateClippingInVisibleOctreeNodes();
    EXPECT_EQ(cloud->meshDistanceCache()->size(), nodes);
    EXPECT_EQ(cloud->clippingCache()->size(), nodes);
    EXPECT_EQ(cloud->loadedNodeCount(), nodes);
}

// Plane distances, then mesh distances clipping the cloud.
TEST_F(ClippingTest, UnsignedPlaneAndMeshDistancesAreNotCulledBySign)
{
    renderer->setRenderMode(Render::RenderMode::ColorizeByPlaneDistance);
    renderer->setPlaneForDistanceColorization(Math::NPlane<float, 3>(Point3f(0, 0, 1), -model({0, 0, 10}).z()));
    expectOnlyUnsignedDistancesDrawTheSquare();
    renderer->setRenderMode(Render::RenderMode::Default);
    renderer->setMeshForDistanceColorization(planeAt(10));
    renderer->setMeshClippingActive(true);
    expectOnlyUnsignedDistancesDrawTheSquare();
}

// Mesh clipping draws the points whose distance lies in the range and loads no node entirely out of
// it (none without a mesh); region clipping keeps the points inside the region (none without one); up
// to eight planes cut the cloud, a ninth is refused and changes nothing, the same volume set again
// does not restart loading. All of them by world positions: the cloud moved, the same points stay.
TEST_F(ClippingTest, ClippingKeepsThePointsInsideByTheirWorldPositions)
{
    std::atomic<int> reloads = 0;
    renderer->setMeshClippingActive(true);
    cloud->startAsyncReload([&] { ++reloads; }, Octree::OctreeNodeId::kMaxLevel);
    settle();
    EXPECT_EQ(cloud->loadedPointCount(), 0u);
    renderer->setMeshForDistanceColorization(planeAt(0));
    renderer->setDistanceColorMapRange(0.0f, 1.0f);
    settle();
    expectDrawn(halves(), false, true); // distance -0.5 is below the range
    renderer->setMeshForDistanceColorization(planeAt(-100));
    settle();
    EXPECT_EQ(cloud->numVisiblePoints(), 0u);
    EXPECT_EQ(halves().right.fraction, 0.0);
    renderer->setMeshClippingActive(false);

    renderer->setRegionClippingActive(true);
    settle();
    EXPECT_EQ(cloud->numVisiblePoints(), 0u);
    EXPECT_EQ(halves().left.fraction, 0.0);
    renderer->setClippingRegion(regionBetween(-1, 5));
    settle();
    expectOnlyLeftHalfDrawn();
    EXPECT_GT(cloud->clippingCache()->size(), 0u);
    cloud->setMatrix(translation({-5, 0, 0}));
    settle();
    expectOnlyLeftHalfDrawn(); // the right half moved into the region and the picture's left
    renderer->setClippingRegion(nullptr);
    settle();
    EXPECT_EQ(cloud->clippingCache()->size(), 0u) << "a region taken away takes its values along";
    cloud->setMatrix(Eigen::Matrix4f::Identity());
    renderer->setRegionClippingActive(false);
    settle();
    expectDrawn(halves(), true, true);

    std::vector<HalfSpace> volume(PointCloudRenderable::kMaxClippingPlanes - 1, HalfSpace());
    volume.emplace_back(-1.0f, 0.0f, 0.0f, model({5, 0, 0}).x()); // keeps source x <= 5
    cloud->setClippingVolume(volume);
    settle();
    expectOnlyLeftHalfDrawn();
    std::vector<HalfSpace> tooMany = volume;
    tooMany.emplace_back();
    EXPECT_EQ(TestSupport::thrownMessage<std::runtime_error>([&] { cloud->setClippingVolume(tooMany); }),
              "Error: volume contains too many clipping planes, plane count = 9");
    EXPECT_EQ(cloud->clippingVolume(), volume);
    int const before = reloads;
    cloud->setClippingVolume(volume);
    settle();
    EXPECT_EQ(reloads.load(), before);
    // Moved by 2.5 and cut 2.5 further: the same points stay, seen from 2.5 further.
    cloud->setMatrix(translation({2.5f, 0, 0}));
    cloud->setClippingVolume({HalfSpace(-1.0f, 0.0f, 0.0f, model({5, 0, 0}).x() + 2.5f)});
    renderer->setCameraPose(renderer->eye() + Point3f(2.5f, 0, 0), Eigen::Vector3f(0, 0, -1),
                            Eigen::Vector3f(0, 1, 0));
    settle();
    EXPECT_GT(reloads.load(), before);
    expectOnlyLeftHalfDrawn();
    EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));
}

// Meshes and regions replaced while the loader measures and clips leave the values of the last ones.
TEST_F(ClippingTest, SettingsReplacedWhileTheLoaderWorksLeaveTheLastOnes)
{
    renderer->setRenderMode(Render::RenderMode::ColorizeByMeshDistance);
    auto const atZero = planeAt(0);
    auto const throughLeft = planeAt(kLowZ);
    renderer->setMeshForDistanceColorization(atZero);
    load();
    Halves const expected = halves();
    auto const leftHalf = regionBetween(-1, 5);
    auto const rightHalf = regionBetween(5, 11);
    renderer->setRegionClippingActive(true);
    for (int round = 0; round < 60; ++round) {
        renderer->setMeshForDistanceColorization(round % 2 == 0 ? throughLeft : atZero);
        renderer->setClippingRegion(round % 3 == 0 ? nullptr : round % 3 == 1 ? rightHalf : leftHalf);
        renderer->render();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
    }
    settle();
    EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));
    expectOnlyLeftHalfDrawn();
    EXPECT_LT(colorDistance(halves().left, expected.left), kSameColor);
}

// A second view of the same data set with the cloud raised by 1: the caches are shared, the values are
// not (they are kept by world matrix).
TEST_F(ClippingTest, CloudsOfOneDataSetPlacedApartKeepTheirOwnValues)
{
    Render::Renderer raisedView;
    raisedView.setViewport(StreamingTest::kViewSize, StreamingTest::kViewSize);
    raisedView.setBackgroundColor(0, 0, 0, 255);
    auto const raised = startCloud(dataSet->location(), 100'000);
    raisedView.setScene(raised);
    raised->setMatrix(translation({0, 0, 1}));
    raisedView.setCameraPose(renderer->eye() + Point3f(0, 0, 1), Eigen::Vector3f(0, 0, -1), Eigen::Vector3f(0, 1, 0));
    raisedView.setPerspective(60.0f, 0.5f, 100.0f);
    ASSERT_EQ(raised->meshDistanceCache(), cloud->meshDistanceCache());

    // Distances: the left half is at -0.5 here and at +0.5 raised, where the right half is here.
    // Clipping keeps heights 0 to 1: the right half here, the left half raised.
    auto const mesh = planeAt(0);
    auto const region = std::make_shared<Region>(Box3f(model({-1, -1, 0}), model({11, 11, 1})));
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
        Halves const here = halves();
        Halves const there = halvesOf(raisedView);
        if (clipping) {
            expectDrawn(here, false, true);
            expectDrawn(there, true, false);
        } else {
            EXPECT_LT(colorDistance(there.left, here.right), kSameColor);
            EXPECT_GT(colorDistance(there.left, here.left), kColorDifference);
        }
    }
    raisedView.setScene(nullptr);
}

} // namespace
