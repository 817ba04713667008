// The library driven as a host drives it: views a user asks for, scene changes, broken data.
#include "render/classificationcolortexture.h"
#include "render/grouprenderable.h"
#include "render/meshrenderable.h"

#include "support/thrownmessage.h"

#include "streamingtestsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <semaphore>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace StreamingTest;

// One node file of this Entwine set is garbage. The cloud loads and shows everything else that the
// intact copy of the same tree loads, names the file once and retries it later without a new line.
TEST_F(PointCloudTest, BrokenNodeIsSkippedWithItsSubtreeAndTheRestIsShown)
{
    constexpr std::size_t kBudget = 600'000;
    auto const brokenNode = Octree::OctreeNodeId::fromCell(2, 2, 2, 2);
    auto const loadedIds = [&](std::shared_ptr<PointCloudRenderable> const& cloud) {
        showSettled(cloud, cloud);
        std::vector<Octree::OctreeNodeId> ids = cloud->loadedNodeIds();
        return std::set<Octree::OctreeNodeId>(ids.begin(), ids.end());
    };
    std::set<Octree::OctreeNodeId> expected = loadedIds(startCloud(ept("lone-star-laszip"), kBudget));
    ASSERT_TRUE(expected.contains(brokenNode));
    std::erase_if(expected, [&](Octree::OctreeNodeId id) {
        while (id.level() > brokenNode.level())
            id = id.parent();
        return id == brokenNode;
    });

    ErrorLog const log;
    auto cloud = startCloud(ept("lone-star-invalid-tile"), kBudget);
    EXPECT_EQ(loadedIds(cloud), expected);
    EXPECT_EQ(cloud->numVisiblePoints(), cloud->loadedPointCount()) << "everything loaded is shown";
    EXPECT_EQ(log.count("2-2-2-2.laz"), 1u);
    std::string const message =
        TestSupport::thrownMessage<std::runtime_error>([&] { cloud->isAsyncReloadHealthy(true); });
    EXPECT_NE(message.find("2-2-2-2.laz"), std::string::npos) << message;

    // The first retry comes after two seconds; it fails again without a new log line.
    std::this_thread::sleep_for(2500ms);
    renderUntilSettled({cloud});
    EXPECT_EQ(log.count("2-2-2-2.laz"), 1u);
    EXPECT_EQ(cloud->loadedNodeIds().size(), expected.size());
    EXPECT_FALSE(cloud->isAsyncReloadHealthy(false));
}

// Whether every pixel is gray, as the gray map draws it.
bool isGrayPicture(std::vector<std::uint8_t> const& bytes)
{
    for (std::size_t i = 0; i + 3 < bytes.size(); i += 4)
        if (bytes[i] != bytes[i + 1] || bytes[i + 1] != bytes[i + 2])
            return false;
    return true;
}

// What the renderer reports is what it draws, from the first frame on, and a setting put back brings
// back its picture. Looking straight down with z as up has no defined roll: the camera falls back to
// +y up, the plan view a user expects. Every setting made while the scene is shown survives the deinit
// and init of setting the same scene again, in every mode. A node added next to the settled cloud
// leaves its loaded nodes and picture alone.
TEST_F(PointCloudTest, PictureIsTheOneReportedAndKeptThroughSceneChangesInEveryMode)
{
    auto group = Render::GroupRenderable::create("scene");
    auto cloud = startCloud(potree("lone-star-default"), 60'000);
    group->add(cloud);
    renderer->setScene(group);
    Math::NBoundingBox<float, 3> const box = cloud->boundingBoxWorld();
    viewFromAbove(box);
    renderer->setRenderMode(Render::RenderMode::ColorizeByIntensity);
    renderer->setIntensityBlendFactor(0.0f);
    cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    renderUntilSettled({cloud});
    ASSERT_EQ(renderer->intensityColorMap(), Render::ColorMap::Gray);
    std::vector<std::uint8_t> const gray = picture();
    ASSERT_GT(coverage().fraction, 0.2);
    EXPECT_TRUE(isGrayPicture(gray));
    // A new range loads nothing: the very next frame shades the points with it.
    std::uint16_t const low = renderer->minIntensity(), high = renderer->maxIntensity();
    renderer->setIntensityColorMapRange(low, static_cast<std::uint16_t>(low + (high - low) / 4));
    renderer->render();
    EXPECT_NE(picture(), gray);
    renderer->setIntensityColorMapRange(low, high);
    renderer->setIntensityColorMap(Render::ColorMap::Magma);
    renderUntilSettled({cloud});
    EXPECT_FALSE(isGrayPicture(picture()));
    renderer->setIntensityColorMap(Render::ColorMap::Gray);
    Math::Point<float, 3> const eye = renderer->eye();
    Math::Point<float, 3> const below = eye - Math::Point<float, 3>(0, 0, 100);
    renderer->setCameraPose(eye, below, Eigen::Vector3f::UnitZ());
    renderUntilSettled({cloud});
    EXPECT_EQ(picture(), gray) << "z up looking down is the plan view with y up";

    renderer->setPlaneForDistanceColorization(
        Math::NPlane<float, 3>(Math::Point<float, 3>(0, 0, 1), -box.center().z()));
    renderer->setDistanceColorMapRange(-20.0f, 20.0f);
    renderer->setDistanceColorMap(Render::ColorMap::PassFail);
    renderer->setPassFailDistanceRange(-5.0f, 5.0f);
    renderer->setWarnDistanceRange(-2.0f, 2.0f);
    renderer->setUseSignedDistance(false);
    renderer->setIntensityBlendFactor(0.25f);
    renderer->setClassVisibilityActive(true);
    cloud->setTomographicContrast(0.05f); // held by the cloud alone
    auto const pictureOfEveryMode = [&] {
        std::vector<std::vector<std::uint8_t>> pictures;
        for (int mode = 0; mode <= static_cast<int>(Render::RenderMode::ColorizeByClassIndex); ++mode) {
            renderer->setRenderMode(static_cast<Render::RenderMode>(mode));
            renderUntilSettled({cloud});
            pictures.push_back(picture());
        }
        return pictures;
    };
    auto const pictures = pictureOfEveryMode();
    renderer->setScene(group);
    EXPECT_TRUE(pictureOfEveryMode() == pictures) << "a picture changed when the scene was set again";

    std::vector<Octree::OctreeNodeId> const loaded = cloud->loadedNodeIds();
    std::vector<std::uint8_t> const before = picture();
    // Far behind the camera, so that it adds nothing to the picture.
    auto mesh = Render::MeshRenderable::create(realWorld("obj/cornell-box/cornell_box.obj"), 0.01, "mesh");
    mesh->setMatrix(translation(renderer->eye() + Eigen::Vector3f(0, 0, 1000)));
    group->add(mesh);
    EXPECT_FALSE(cloud->isLoading()) << "nothing of the cloud is loaded again";
    renderer->render();
    EXPECT_EQ(cloud->loadedNodeIds(), loaded);
    renderUntilSettled({cloud});
    EXPECT_EQ(cloud->loadedNodeIds(), loaded);
    EXPECT_EQ(picture(), before);
}

// A data set whose node reads hang, once stalled, until the test releases them, as a stalled network
// share would. Should a host call wait for the loader after all, the read gives up after a while and
// counts as overrun, so that the test fails instead of hanging.
class StallingLocation : public PoTree::FileSystemLocation {
public:
    using FileSystemLocation::FileSystemLocation;

    std::future<std::string> fetchOctreeChunk(std::uint64_t offset, std::uint64_t size,
                                              std::stop_token stopToken) const override
    {
        if (stalled) {
            stalledReads.release();
            if (released.wait_for(30s) == std::future_status::timeout) {
                overrun = true;
                stalled = false;
            }
        }
        return FileSystemLocation::fetchOctreeChunk(offset, size, stopToken);
    }

    mutable std::atomic<bool> stalled = false;
    mutable std::atomic<bool> overrun = false;
    mutable std::counting_semaphore<> stalledReads{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
};

// While the loader hangs in a read, every host call that changes what the cloud shows returns at
// once; what the loader finishes afterwards for the old state is never shown.
TEST_F(PointCloudTest, HostCallsReturnWhileTheLoaderHangsInARead)
{
    auto location = std::make_shared<StallingLocation>(realWorld("potree/autzen-trim-default"));
    auto group = Render::GroupRenderable::create("scene");
    auto cloud = startCloud(location, 20'000);
    group->add(cloud);
    showSettled(group, cloud);
    Math::NBoundingBox<float, 3> const box = cloud->boundingBoxWorld();

    location->stalled = true;
    // A close view needs nodes that are not cached yet: the loader hangs in their read.
    viewFromAbove(box.min() * 0.8f + box.max() * 0.2f, (box.max() - box.min()).x() * 0.1f);
    ASSERT_TRUE(location->stalledReads.try_acquire_for(30s));
    cloud->setOctreeNodePriorityThreshold(20.0f);
    Eigen::Matrix4f shifted = Eigen::Matrix4f::Identity();
    shifted(0, 3) = 1.0f;
    cloud->setMatrix(shifted);
    group->add(Render::GroupRenderable::create("added"));
    cloud->clearVisibleOctreeNodes();
    cloud->setUnitScale(2.0);
    cloud->setVisible(false);
    cloud->setVisible(true);
    location->release.set_value();
    EXPECT_FALSE(location->overrun) << "a host call waited for the loader";

    viewFromAbove(cloud->boundingBoxWorld());
    renderUntilSettled({cloud});
    EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));
    EXPECT_EQ(cloud->numVisiblePoints(), cloud->loadedPointCount());
    EXPECT_GT(coverage().fraction, 0.2);
    renderer->setScene(Render::GroupRenderable::create("empty"));
}

// A loader requested before the cloud joins a scene starts with init instead of racing it. A frame that
// fails half way leaves nothing bound: once the cause is gone, the next frame renders. After the shared
// registries are emptied for shutdown, clouds keep drawing from the caches they hold. Deinit joins.
TEST_F(PointCloudTest, EarlyLoaderFailedFrameAndSharedResourceShutdownLeaveThePicture)
{
    std::shared_ptr<PointCloudRenderable> cloud;
    for (int round = 0; round < 8; ++round) {
        cloud = startCloud(potree("mixed-conifer-default"), 20'000);
        cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
        EXPECT_TRUE(cloud->isAsyncReloadActive());
        renderer->setScene(cloud);
        viewFromAbove(cloud->boundingBoxWorld());
        EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));
        renderUntilSettled({cloud});
        EXPECT_TRUE(cloud->isAsyncReloadHealthy(true));
        EXPECT_GT(cloud->numVisiblePoints(), 0u) << "round " << round;
    }
    auto colors = std::make_shared<Render::ClassificationColorTexture>(renderer->device());
    cloud->onUpdateClassificationColorTexture(colors);
    renderer->render();
    std::vector<std::uint8_t> const before = picture();
    // The host holds the class colors bound, so the cloud's frame fails after its first bindings when
    // a changed setting has it shade its points again.
    renderer->setIntensityBlendFactor(0.25f);
    colors->begin(renderer->deviceContext(), Render::ShaderConfiguration::Pixel, 0);
    EXPECT_THROW(renderer->render(), std::logic_error);
    colors->end(renderer->deviceContext());
    EXPECT_NO_THROW(renderer->render());
    EXPECT_EQ(picture(), before);

    auto const held = cloud->vertexContainerCache();
    auto const shared = [&] {
        return PointCloudRenderable::createOrGetSharedVertexContainerCache(cloud->octree()->location(), 1.0,
                                                                           1000, 10);
    };
    ASSERT_EQ(shared(), held);
    PointCloudRenderable::destroySharedResources();
    EXPECT_NE(shared(), held);
    EXPECT_EQ(cloud->vertexContainerCache(), held);
    EXPECT_GT(held->currentSize(), 0u);
    renderUntilSettled({cloud});
    EXPECT_EQ(picture(), before);

    // A cloud taken out of the scene while it loads, and one whose renderer goes, join their loaders.
    for (int round = 0; round < 2; ++round) {
        auto const loading = startCloud(potree("lone-star-default"), 100'000);
        renderer->setScene(loading);
        viewFromAbove(loading->boundingBoxWorld());
        loading->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
        renderer->render();
        if (round == 0)
            renderer->setScene(cloud);
        else
            renderer.reset();
        EXPECT_FALSE(loading->isLoading()) << "round " << round;
    }
}

} // namespace
