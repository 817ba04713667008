#include "core/httpclient.h"
#include "octree/entwinehttplocation.h"
#include "octree/testdatasets.h"
#include "render/grouprenderable.h"
#include "support/thrownmessage.h"

#include "streamingtestsupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace StreamingTest;

// The picture refines in steps within the budget; hiding empties it at once; a close view brings in the
// nodes there; without restarts a camera move leaves the loaded set alone but a projection change not;
// a cloud too small on screen for any node keeps its root.
TEST_F(PointCloudTest, CloudStreamsWithinTheBudgetAndFollowsTheView)
{
    constexpr std::size_t kBudget = 40'000;
    auto cloud = startCloud(potree("autzen-trim-default"), kBudget);
    renderer->setScene(cloud);
    auto const box = cloud->boundingBoxWorld();
    viewFromAbove(box);
    std::atomic<std::size_t> firstPublished = 0;
    std::atomic<int> publications = 0;
    cloud->startAsyncReload([&] {
        if (publications++ == 0)
            firstPublished = cloud->loadedPointCount();
    }, Octree::OctreeNodeId::kMaxLevel);
    renderUntilSettled({cloud});
    EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));
    std::size_t const loaded = cloud->loadedPointCount();
    ASSERT_GE(publications.load(), 2) << "the picture refines in steps";
    EXPECT_LT(firstPublished.load(), loaded);
    EXPECT_LE(loaded, kBudget);
    EXPECT_GT(loaded, kBudget / 2) << "a full view of 110,000 points fills most of the budget";
    EXPECT_EQ(cloud->numVisiblePoints(), loaded);
    EXPECT_GT(coverage().fraction, 0.2);

    cloud->setVisible(false);
    EXPECT_EQ(cloud->loadedPointCount(), 0u) << "no wait for the loader";
    renderer->render();
    EXPECT_EQ(coverage().fraction, 0.0);
    cloud->setVisible(true);
    renderUntilSettled({cloud});
    std::size_t const overviewNodes = cloud->numVisibleOctreeNodes();

    int const overview = publications;
    viewFromAbove(box.min() * 0.75f + box.max() * 0.25f, (box.max() - box.min()).x() * 0.2f);
    renderUntilSettled({cloud});
    EXPECT_GT(publications.load(), overview);
    EXPECT_NE(cloud->numVisibleOctreeNodes(), overviewNodes);
    EXPECT_GT(coverage().fraction, 0.3) << "the close view is filled by the nodes around the corner";

    cloud->setRestartLoadingAfterCameraChange(false);
    int const before = publications;
    renderer->setCameraPose(renderer->eye() + Math::Point<float, 3>(1, 1, 0), Eigen::Vector3f(0, 0, -1),
                            Eigen::Vector3f(0, 1, 0));
    renderUntilSettled({cloud});
    EXPECT_EQ(publications.load(), before);
    viewFromAbove(box);
    renderUntilSettled({cloud});
    EXPECT_GT(publications.load(), before);

    // So far away that no node is worth loading, the cloud keeps showing its root through the reload,
    // which refreshes the priorities of the nodes it holds.
    viewFromAbove(box.center(), (box.max() - box.min()).x() * 50.0f);
    renderUntilSettled({cloud});
    EXPECT_GT(cloud->numVisiblePoints(), 0u);
}

// A node that cannot be read is logged and reported naming its file; once it is back, a retry succeeds.
TEST_F(PointCloudTest, LoaderFailureIsLoggedReportedAndRetried)
{
    ErrorLog const log;
    OctreeTest::TempFolder const folder("streaming-failure");
    std::filesystem::copy(realWorld("potree/autzen-trim-default"), folder.path(),
                          std::filesystem::copy_options::recursive);
    // The shared data may be read-only; the copy must be writable to be truncated and removed.
    for (auto const& entry : std::filesystem::directory_iterator(folder.path()))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all);
    auto cloud = startCloud(std::make_shared<PoTree::FileSystemLocation>(folder.path()), 20'000);
    showSettled(cloud, cloud);
    auto const box = cloud->boundingBoxWorld();
    auto const octreeFile = folder.path() / "octree.bin";
    std::filesystem::path const intact = folder.path() / "octree.intact";
    std::filesystem::copy_file(octreeFile, intact);
    std::filesystem::resize_file(octreeFile, 1000);
    viewFromAbove(box.min() * 0.9f + box.max() * 0.1f, (box.max() - box.min()).x() * 0.1f);
    auto const renderWhile = [&](bool healthy) {
        repeatUntil([&] { return cloud->isAsyncReloadHealthy(false) != healthy; }, [&] {
            renderer->render();
            std::this_thread::sleep_for(5ms);
        });
    };
    renderWhile(true);
    std::string const message =
        TestSupport::thrownMessage<std::runtime_error>([&] { cloud->isAsyncReloadHealthy(true); });
    EXPECT_EQ(message.rfind("Error loading point data: ", 0), 0u) << message;
    EXPECT_NE(message.find("octree.bin"), std::string::npos) << "names the file: " << message;
    EXPECT_GT(log.count("octree.bin"), 0u) << "the log names the file that failed";

    std::filesystem::remove(octreeFile);
    std::filesystem::copy_file(intact, octreeFile);
    renderWhile(false);
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
    Math::NBoundingBox<float, 3> all;
    for (std::size_t i = 0; i < clouds.size(); ++i) {
        group->add("cloud" + std::to_string(i), clouds[i]);
        all.extend(clouds[i]->boundingBoxWorld());
        clouds[i]->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    }
    renderer->setScene(group);
    viewFromAbove(all); // each cloud sits about its own origin; side by side they all fit one view
    auto const sum = [&] {
        std::size_t total = 0;
        for (auto const& cloud : clouds)
            total += cloud->loadedPointCount();
        return total;
    };
    // Each count is read on its own while nodes move between clouds, so only settled sums are exact.
    renderUntilSettled(clouds);
    std::size_t const sharedTotal = sum();
    EXPECT_LE(sharedTotal, kBudget) << "the smallest budget of the sharing clouds applies";
    EXPECT_GT(sharedTotal, kBudget / 2);
    std::size_t const firstTwo = clouds[0]->loadedPointCount() + clouds[1]->loadedPointCount();

    group->removeByName("cloud2");
    clouds.pop_back();
    viewFromAbove(all, 1.01f);
    renderUntilSettled(clouds);
    EXPECT_LE(sum(), kBudget);
    // Freed points are only taken by a node that fits into them: a few hundred freed points may fit none
    // of the remaining clouds' nodes, a fifth of the budget fits some.
    EXPECT_GE(sum(), firstTwo + (sharedTotal - firstTwo >= kBudget / 5 ? 1 : 0));
}

// Misuse gives its messages; budgets whose buffers the device cannot hold are refused; the colors' spread
// gives a finite contrast (a single gray is checked in the clipping tests).
TEST(PointCloudSettings, MisuseBudgetsAndFlatColors)
{
    auto cloud = PointCloudRenderable::create(potree("mixed-conifer-default"), "cloud", 1000, 1.0);
    EXPECT_THROW(cloud->setUpdateInterval(PointCloudRenderable::Duration::zero()), std::invalid_argument);
    EXPECT_EQ(TestSupport::thrownMessage<std::runtime_error>([&] { cloud->reloadPoints(nullptr, 5, {}); }),
              "reloadingPoints is not allowed if PointCloudRenderable is not initialized");
    Render::Renderer renderer;
    renderer.setScene(cloud);
    EXPECT_EQ(TestSupport::thrownMessage<std::runtime_error>([&] {
                  cloud->init(renderer.id(), renderer.camera(), renderer.device(), renderer.deviceContext());
              }),
              "Error init was called on an already initialized PointCloudRenderable");
    EXPECT_THROW(PointCloudRenderable::create(potree("mixed-conifer-default"), "huge", 200'000'000, 1.0),
                 std::invalid_argument);
    EXPECT_NO_THROW(PointCloudRenderable::create(potree("mixed-conifer-default"), "largest",
                                                 PointCloudRenderable::kMaxPointBudget, 1.0));

    float brightness = -1.0f;
    float contrast = -1.0f;
    cloud->brightnessAndContrast(0.01f, 1.0f, brightness, contrast);
    EXPECT_TRUE(std::isfinite(contrast));
    EXPECT_GT(contrast, 1.0f);
}

// Changing one cloud's unit scale must not empty or refill the caches that other clouds of the same data
// set draw from.
TEST_F(PointCloudTest, UnitScaleChangeLeavesSharedCachesAlone)
{
    auto group = Render::GroupRenderable::create("clouds");
    auto stays = startCloud(potree("mixed-conifer-default"), 50'000);
    auto scaled = startCloud(potree("mixed-conifer-default"), 50'000);
    group->add("stays", stays);
    group->add("scaled", scaled);
    scaled->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    showSettled(group, stays);
    renderUntilSettled({stays, scaled});
    auto const sharedCache = stays->vertexContainerCache();
    ASSERT_EQ(scaled->vertexContainerCache(), sharedCache);
    std::size_t const cachedPoints = sharedCache->currentSize();
    ASSERT_GT(cachedPoints, 0u);
    scaled->setUnitScale(scaled->unitScale());
    EXPECT_EQ(scaled->vertexContainerCache(), sharedCache) << "an unchanged scale does nothing";

    scaled->setUnitScale(2.0);
    EXPECT_NE(scaled->vertexContainerCache(), sharedCache);
    renderUntilSettled({stays, scaled});
    EXPECT_EQ(stays->vertexContainerCache(), sharedCache);
    EXPECT_EQ(sharedCache->currentSize(), cachedPoints) << "nothing decoded at the new scale went into it";
    EXPECT_GT(scaled->vertexContainerCache()->currentSize(), 0u);
    EXPECT_FLOAT_EQ(scaled->boundingCube().max().x() - scaled->boundingCube().min().x(),
                    2.0f * (stays->boundingCube().max().x() - stays->boundingCube().min().x()));
    EXPECT_TRUE(scaled->isAsyncReloadHealthy(true));
}

// Over HTTP the loader asks for the next nodes of its queue while it decodes, up to the client's
// bound on requests at once, and fetches no node that the budget refuses.
TEST_F(PointCloudTest, OverHttpRequestsOverlapAndStayWithinTheBudget)
{
    char const* const server = std::getenv("MORVID_TEST_HTTP_URL");
    ASSERT_NE(server, nullptr) << "run this test through tests/support/rangeserver.py";
    using Run = std::pair<std::string, std::size_t>;
    // Every node answered late, with room for all of them; then room for the root and a few more.
    for (auto const& [scenario, budget] : {Run{"slow-nodes", 1'000'000}, Run{"plain", 150'000}}) {
        SCOPED_TRACE(scenario);
        Core::HttpClientOptions const options;
        auto const client =
            std::make_shared<Core::HttpClient>(Core::createSystemHttpTransport(options.requestTimeout), options);
        std::string const url = Core::joinUrl(server, scenario + "/ept/lone-star-laszip");
        auto const cloud = startCloud(std::make_shared<Entwine::HttpLocation>(url, client), budget);
        std::uint64_t const descriptionRequests = client->statistics().requests;
        showSettled(cloud, cloud);
        EXPECT_GT(cloud->loadedNodeCount(), 1u);
        EXPECT_EQ(client->statistics().requests - descriptionRequests, cloud->loadedNodeCount());
        auto const statistics = nlohmann::json::parse(client->fetch(Core::joinUrl(server, "__stats")).get());
        if (scenario == "slow-nodes") {
            EXPECT_EQ(statistics["scenarios"]["slow-nodes"]["peak_in_flight"], options.maxRequestsInFlight);
        }
    }
}

} // namespace
