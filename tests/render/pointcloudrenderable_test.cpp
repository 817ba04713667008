#include "octree/entwinelocation.h"
#include "octree/nodevertexloader.h"
#include "octree/octree.h"
#include "octree/potreelocation.h"
#include "octree/potreewriter.h"
#include "octree/testdatasets.h"
#include "render/camera.h"
#include "render/grouprenderable.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"

#include "streamingtestsupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace StreamingTest;

TEST_F(PointCloudTest, CloudStreamsAndRefinesWithinTheBudget)
{
    constexpr std::size_t kBudget = 40'000;
    auto cloud = startCloud(potree("autzen-trim-default"), kBudget);
    renderer->setScene(cloud);
    viewFromAbove(cloud->boundingBoxWorld());
    std::vector<std::size_t> publishedCounts;
    std::mutex countsMutex;
    cloud->startAsyncReload([&] {
        std::lock_guard lock(countsMutex);
        publishedCounts.push_back(cloud->loadedPointCount());
    }, Octree::OctreeNodeId::kMaxLevel);
    renderUntilSettled({cloud});

    EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));
    std::lock_guard lock(countsMutex);
    ASSERT_GE(publishedCounts.size(), 2u) << "the picture refines in steps";
    EXPECT_LT(publishedCounts.front(), publishedCounts.back());
    EXPECT_LE(publishedCounts.back(), kBudget);
    EXPECT_GT(publishedCounts.back(), kBudget / 2) << "a full view of 110,000 points fills most of the budget";
    EXPECT_EQ(cloud->numVisiblePoints(), cloud->loadedPointCount());
    EXPECT_GT(cloud->numVisibleOctreeNodes(), 1u);
    EXPECT_GT(coverage().fraction, 0.2);
}

TEST_F(PointCloudTest, CameraMoveRestartsLoadingAndBringsInNodesInView)
{
    auto cloud = startCloud(potree("autzen-trim-default"), 20'000);
    renderer->setScene(cloud);
    auto const box = cloud->boundingBoxWorld();
    viewFromAbove(box);
    std::atomic<int> publications = 0;
    cloud->startAsyncReload([&] { ++publications; }, Octree::OctreeNodeId::kMaxLevel);
    renderUntilSettled({cloud});
    std::size_t const overviewNodes = cloud->numVisibleOctreeNodes();
    int const overviewPublications = publications;

    // Close above one corner: the nodes there are now worth far more than the distant rest.
    Math::Point<float, 3> const corner = box.min() * 0.75f + box.max() * 0.25f;
    viewFromAbove(corner, (box.max() - box.min()).x() * 0.2f);
    renderUntilSettled({cloud});
    EXPECT_GT(publications.load(), overviewPublications);
    EXPECT_NE(cloud->numVisibleOctreeNodes(), overviewNodes);
    EXPECT_GT(coverage().fraction, 0.3) << "the close view is filled by the nodes around the corner";

    // Without restarts a camera move leaves the loaded set alone, but a projection change does not.
    cloud->setRestartLoadingAfterCameraChange(false);
    int const before = publications;
    renderer->setCameraPose(renderer->eye() + Math::Point<float, 3>(1, 1, 0), Eigen::Vector3f(0, 0, -1),
                            Eigen::Vector3f(0, 1, 0));
    renderUntilSettled({cloud});
    EXPECT_EQ(publications.load(), before);
    viewFromAbove(box);
    renderUntilSettled({cloud});
    EXPECT_GT(publications.load(), before);
}

TEST_F(PointCloudTest, HidingPublishesAnEmptyBufferAtOnce)
{
    auto cloud = startCloud(potree("mixed-conifer-default"), 30'000);
    showSettled(cloud, cloud);
    ASSERT_GT(coverage().fraction, 0.05);

    cloud->setVisible(false);
    EXPECT_EQ(cloud->loadedPointCount(), 0u) << "no wait for the loader";
    renderer->render();
    EXPECT_EQ(coverage().fraction, 0.0);

    cloud->setVisible(true);
    renderUntilSettled({cloud});
    EXPECT_GT(cloud->loadedPointCount(), 0u);
    EXPECT_GT(coverage().fraction, 0.05);
}

TEST_F(PointCloudTest, LoaderFailureIsLoggedReportedAndRetried)
{
    ErrorLog const log;
    OctreeTest::TempFolder const folder("streaming-failure");
    std::filesystem::copy(realWorld("potree/autzen-trim-default"), folder.path(),
                          std::filesystem::copy_options::recursive);
    // The shared data may be read-only; the copy must be writable to be truncated and removed.
    for (auto const& entry : std::filesystem::directory_iterator(folder.path()))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all);
    auto cloud = startCloud(std::make_shared<PoTree::FileSystemLocation>(folder.path()), 10'000);
    showSettled(cloud, cloud);
    auto const box = cloud->boundingBoxWorld();
    ASSERT_TRUE(cloud->isAsyncReloadHealthy(false));

    // The nodes that a close view needs are no longer readable.
    auto const octreeFile = folder.path() / "octree.bin";
    std::filesystem::path const intact = folder.path() / "octree.intact";
    std::filesystem::copy_file(octreeFile, intact);
    std::filesystem::resize_file(octreeFile, 1000);
    viewFromAbove(box.min() * 0.9f + box.max() * 0.1f, (box.max() - box.min()).x() * 0.1f);

    auto const deadline = std::chrono::steady_clock::now() + kDeadline;
    while (cloud->isAsyncReloadHealthy(false) && std::chrono::steady_clock::now() < deadline) {
        renderer->render();
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_FALSE(cloud->isAsyncReloadHealthy(false));
    try {
        cloud->isAsyncReloadHealthy(true);
        ADD_FAILURE() << "the stored failure is not rethrown";
    } catch (std::runtime_error const& error) {
        std::string const message = error.what();
        EXPECT_EQ(message.rfind("Error loading point data: ", 0), 0u) << message;
        EXPECT_NE(message.find("octree.bin"), std::string::npos) << "names the file: " << message;
    }
    EXPECT_GT(log.count("octree.bin"), 0u) << "the log names the file that failed";

    // Once the data is back, a retry succeeds and clears the error.
    std::filesystem::remove(octreeFile);
    std::filesystem::copy_file(intact, octreeFile);
    while (!cloud->isAsyncReloadHealthy(false) && std::chrono::steady_clock::now() < deadline) {
        renderer->render();
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));
    // The data set's files are closed before the folder goes.
    renderer->setScene(Render::GroupRenderable::create("empty"));
    cloud.reset();
}

TEST_F(PointCloudTest, CloudsShareOneBudgetAndRemovalFreesIt)
{
    constexpr std::size_t kBudget = 30'000;
    auto group = Render::GroupRenderable::create("clouds");
    std::vector<std::shared_ptr<PointCloudRenderable>> clouds{
        startCloud(potree("autzen-trim-default"), kBudget), startCloud(potree("lone-star-default"), kBudget),
        startCloud(potree("mixed-conifer-default"), kBudget * 2)};
    for (std::size_t i = 0; i < clouds.size(); ++i)
        group->add("cloud" + std::to_string(i), clouds[i]);
    renderer->setScene(group);
    // Each cloud sits about its own origin; side by side they all fit one view.
    Math::NBoundingBox<float, 3> all;
    for (auto const& cloud : clouds)
        all.extend(cloud->boundingBoxWorld());
    viewFromAbove(all);
    auto const sum = [&] {
        std::size_t total = 0;
        for (auto const& cloud : clouds)
            total += cloud->loadedPointCount();
        return total;
    };
    for (auto const& cloud : clouds)
        cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    // Each count is read on its own while nodes move between clouds, so only settled sums are exact.
    renderUntilSettled(clouds);
    std::size_t const sharedTotal = sum();
    EXPECT_LE(sharedTotal, kBudget) << "the smallest budget of the sharing clouds applies";
    EXPECT_GT(sharedTotal, kBudget / 2);
    std::size_t const firstTwo = clouds[0]->loadedPointCount() + clouds[1]->loadedPointCount();

    // The freed points go to the remaining clouds on their next reload.
    group->removeByName("cloud2");
    clouds.pop_back();
    ASSERT_EQ(group->size(), 2u);
    viewFromAbove(all, 1.01f);
    renderUntilSettled(clouds);
    EXPECT_LE(sum(), kBudget);
    // Freed points are only taken by a node that fits into them: a few hundred freed points
    // may fit none of the remaining clouds' nodes, a fifth of the budget fits some.
    if (sharedTotal - firstTwo >= kBudget / 5)
        EXPECT_GT(sum(), firstTwo);
    else
        EXPECT_GE(sum(), firstTwo);
}

TEST_F(PointCloudTest, DestroyingRenderersAndCloudsWhileLoadingJoinsCleanly)
{
    for (int round = 0; round < 4; ++round) {
        auto cloud = startCloud(potree("lone-star-default"), 100'000);
        renderer->setScene(cloud);
        viewFromAbove(cloud->boundingBoxWorld());
        cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
        renderer->render();
        if (round % 2 == 0) {
            renderer.reset();
            renderer = std::make_unique<Render::Renderer>();
            renderer->setViewport(kViewSize, kViewSize);
        } else {
            renderer->setScene(Render::GroupRenderable::create("empty"));
        }
        EXPECT_FALSE(cloud->isLoading()) << "deinit joined the loader";
        cloud.reset();
    }
    // A cloud destroyed while still in the scene and loading.
    auto cloud = startCloud(potree("lone-star-default"), 100'000);
    auto group = Render::GroupRenderable::create("group");
    group->add(cloud);
    renderer->setScene(group);
    cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    group.reset();
    cloud.reset();
    renderer->setScene(Render::GroupRenderable::create("after"));
    renderer->render();
}

// The rendered picture of a real data set shows the colors of the nodes it loaded.
TEST_F(PointCloudTest, RealDataSetsLookRight)
{
    for (std::shared_ptr<Octree::Location> const& location : {potree("autzen-trim-brotli"), ept("1.2-with-color")}) {
        auto cloud = PointCloudRenderable::create(location, "real", 200'000, 1.0);
        showSettled(cloud, cloud);
        ASSERT_TRUE(cloud->isAsyncReloadHealthy(true));

        Octree::Octree octree(location, 1.0);
        std::array<double, 3> meanRgb{};
        std::size_t points = 0;
        for (Octree::OctreeNodeId const id : cloud->loadedNodeIds()) {
            Render::VertexContainer vertices;
            ASSERT_TRUE(Octree::loadNodeVertices(octree, id, vertices, {}));
            for (auto const& vertex : vertices.vertices) {
                meanRgb[0] += vertex.color.r();
                meanRgb[1] += vertex.color.g();
                meanRgb[2] += vertex.color.b();
            }
            points += vertices.size();
        }
        ASSERT_GT(points, 0u);
        EXPECT_EQ(points, cloud->loadedPointCount());
        Coverage const picture = coverage();
        // Seen from above, the data set's footprint fills a good part of the picture.
        EXPECT_GT(picture.fraction, 0.15);
        constexpr double kColorTolerance = 25.0;
        for (std::size_t channel = 0; channel < 3; ++channel)
            EXPECT_NEAR(picture.meanRgb[channel], meanRgb[channel] / static_cast<double>(points), kColorTolerance)
                << "channel " << channel;
    }
}

TEST(PointCloudSettings, MisuseGivesItsMessages)
{
    auto cloud = PointCloudRenderable::create(potree("mixed-conifer-default"), "cloud", 1000, 1.0);
    EXPECT_THROW(cloud->setUpdateInterval(PointCloudRenderable::Duration::zero()), std::invalid_argument);
    try {
        cloud->reloadPoints(nullptr, 5, {});
        FAIL() << "no exception";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "reloadingPoints is not allowed if PointCloudRenderable is not initialized");
    }
    Render::Renderer renderer;
    renderer.setScene(cloud);
    try {
        cloud->init(renderer.id(), renderer.camera(), renderer.device(), renderer.deviceContext());
        FAIL() << "no exception";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Error init was called on an already initialized PointCloudRenderable");
    }
}

// A single gray value has no spread: the neutral pair instead of an infinite contrast.
TEST(PointCloudSettings, BrightnessAndContrastOfOneColorIsNeutral)
{
    OctreeTest::TempFolder const folder("one-color");
    Octree::SourcePoints source = OctreeTest::randomPoints(500);
    for (auto& point : source.points)
        point.rgb = {200 * 256, 200 * 256, 200 * 256};
    PoTree::writePotree(source, folder.path(), {});
    auto cloud = PointCloudRenderable::create(std::make_shared<PoTree::FileSystemLocation>(folder.path()), "gray",
                                              1000, 1.0);
    float brightness = -1.0f;
    float contrast = -1.0f;
    cloud->brightnessAndContrast(0.01f, 1.0f, brightness, contrast);
    EXPECT_EQ(brightness, 0.0f);
    EXPECT_EQ(contrast, 1.0f);

    auto varied = PointCloudRenderable::create(potree("autzen-trim-default"), "varied", 1000, 1.0);
    varied->brightnessAndContrast(0.01f, 1.0f, brightness, contrast);
    EXPECT_TRUE(std::isfinite(contrast));
    EXPECT_GT(contrast, 1.0f);
}

TEST(PointCloudSettings, DefaultColorsFollowTheLocation)
{
    auto first = PointCloudRenderable::create(potree("autzen-trim-las14-default"), "a", 1000, 1.0);
    auto again = PointCloudRenderable::create(potree("autzen-trim-las14-default"), "b", 1000, 0.5);
    auto other = PointCloudRenderable::create(potree("autzen-trim-las14-brotli"), "c", 1000, 1.0);
    EXPECT_EQ(first->uniformColor(), again->uniformColor());
    EXPECT_NE(first->uniformColor(), other->uniformColor());
}

// Changing one cloud's unit scale must not empty or refill the caches that other clouds of the same
// data set draw from.
TEST_F(PointCloudTest, UnitScaleChangeLeavesSharedCachesAlone)
{
    auto group = Render::GroupRenderable::create("clouds");
    auto stays = startCloud(potree("mixed-conifer-default"), 50'000);
    auto scaled = startCloud(potree("mixed-conifer-default"), 50'000);
    group->add("stays", stays);
    group->add("scaled", scaled);
    renderer->setScene(group);
    viewFromAbove(stays->boundingBoxWorld());
    ASSERT_EQ(stays->vertexContainerCache(), scaled->vertexContainerCache());
    stays->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    scaled->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    renderUntilSettled({stays, scaled});
    auto const sharedCache = stays->vertexContainerCache();
    std::size_t const cachedPoints = sharedCache->currentSize();
    ASSERT_GT(cachedPoints, 0u);

    scaled->setUnitScale(scaled->unitScale());
    EXPECT_EQ(scaled->vertexContainerCache(), sharedCache) << "an unchanged scale does nothing";

    scaled->setUnitScale(2.0);
    EXPECT_NE(scaled->vertexContainerCache(), sharedCache);
    EXPECT_EQ(stays->vertexContainerCache(), sharedCache);
    renderUntilSettled({stays, scaled});
    EXPECT_EQ(sharedCache->currentSize(), cachedPoints) << "nothing decoded at the new scale went into it";
    EXPECT_GT(scaled->vertexContainerCache()->currentSize(), 0u);
    EXPECT_FLOAT_EQ(scaled->boundingCube().max().x() - scaled->boundingCube().min().x(),
                    2.0f * (stays->boundingCube().max().x() - stays->boundingCube().min().x()));
    EXPECT_TRUE(scaled->isAsyncReloadHealthy(true));
}

} // namespace
