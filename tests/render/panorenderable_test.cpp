#include "graphics/panoramatestsupport.h"
#include "octree/potreelocation.h"
#include "octree/potreewriter.h"
#include "render/camera.h"
#include "render/d3dtestsupport.h"
#include "render/grouprenderable.h"
#include "render/logsink.h"
#include "render/panorenderable.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"

#include "streamingtestsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Graphics::PanoramaLayout;
using Graphics::PanoramaLoader;
using Render::PanoRenderable;
using RenderTest::Float4;
using namespace std::chrono_literals;

constexpr std::size_t kViewSize = 64;
constexpr float kZNear = 0.1f;
constexpr float kZFar = 100.0f;
constexpr auto kDeadline = 60s;

// A panorama in memory whose every tile of a level is uniform: color levelColor(l), distance
// levelDistance(l). It records the order of the loads and can fail or misbehave on request.
class UniformLoader : public PanoramaLoader {
public:
    struct Load {
        bool color;
        TileId id;
        bool operator==(Load const&) const = default;
    };

    explicit UniformLoader(PanoramaLayout layout) : PanoramaLoader(std::move(layout)) {}

    static PanoramaLayout grid(std::size_t rows, std::size_t columns, std::size_t levels,
                               std::uint32_t projection = kProjectionEquirectangular)
    {
        PanoramaLayout layout;
        layout.projectionType = projection;
        layout.tileRows = rows;
        layout.tileColumns = columns;
        layout.colorLevels = layout.depthLevels = levels;
        for (std::size_t level = 0; level < levels; ++level)
            layout.levels.push_back({std::size_t{4} << level, std::size_t{4} << level});
        return layout;
    }

    static Math::Color levelColor(std::size_t level)
    {
        return Math::Color(static_cast<std::uint8_t>(60 + 60 * level), 200, static_cast<std::uint8_t>(30 * level));
    }
    static float levelDistance(std::size_t level) { return 10.0f + static_cast<float>(level); }

    std::string source() const override { return "uniform"; }

    Graphics::ColorImage loadColorTile(TileId id) override
    {
        record({true, id});
        Graphics::ColorImage image(width(id), tileHeight(level(id)));
        image.fill(levelColor(level(id)));
        return image;
    }

    Graphics::DepthImage loadDepthTile(TileId id) override
    {
        record({false, id});
        Graphics::DepthImage image(width(id), tileHeight(level(id)));
        image.fill(levelDistance(level(id)));
        return image;
    }

    std::vector<Load> loads() const
    {
        std::scoped_lock const lock(mMutex);
        return mLoads;
    }

    // The load attempt with this number (0 first) throws.
    std::size_t failingLoad = std::numeric_limits<std::size_t>::max();
    // Tiles of this level come this many pixels wider (or narrower) than the level's tiles.
    std::size_t misfitLevel = std::numeric_limits<std::size_t>::max();
    int misfitWidth = 1;
    std::chrono::milliseconds delay{0};

private:
    std::size_t width(TileId id) const
    {
        return tileWidth(level(id)) + (level(id) == misfitLevel ? misfitWidth : 0);
    }

    void record(Load const& load)
    {
        std::this_thread::sleep_for(delay);
        std::scoped_lock const lock(mMutex);
        if (mAttempts++ == failingLoad)
            throw std::runtime_error("the tile server went away");
        mLoads.push_back(load);
    }

    mutable std::mutex mMutex;
    std::size_t mAttempts = 0;
    std::vector<Load> mLoads;
};

// A loader that claims sizes the shader cannot draw.
class OversizedLoader : public UniformLoader {
public:
    using UniformLoader::UniformLoader;
    std::size_t numTilesPerLevel() const override { return 49; }
};

// A loader that lists a tile beyond its grid.
class StrayTileLoader : public UniformLoader {
public:
    using UniformLoader::UniformLoader;
    std::vector<TileId> colorTiles() const override
    {
        std::vector<TileId> tiles = UniformLoader::colorTiles();
        tiles.push_back(tileId(0, 99));
        return tiles;
    }
};

class PanoramaNodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        renderer = std::make_unique<Render::Renderer>();
        renderer->setViewport(kViewSize, kViewSize);
        renderer->setBackgroundColor(0, 0, 0, 255);
    }

    void look(Eigen::Vector3f const& direction, Eigen::Vector3f const& up = Eigen::Vector3f::UnitZ(),
              float fovDegrees = 60.0f)
    {
        renderer->setCameraPose(Math::Point<float, 3>(0.0f, 0.0f, 0.0f), direction.normalized(), up);
        renderer->setPerspective(fovDegrees, kZNear, kZFar);
    }

    std::vector<Math::Color> colors()
    {
        Graphics::ColorImage image;
        renderer->getColorImage(image);
        std::vector<Math::Color> result;
        for (std::size_t y = 0; y < image.height; ++y)
            for (std::size_t x = 0; x < image.width; ++x)
                result.push_back(image.pixel(x, y));
        return result;
    }

    std::vector<Float4> exactWorldPositions() { return StreamingTest::exactWorldPositions<Float4>(*renderer); }

    // The unit ray from the eye through the centre of pixel (x, y).
    Eigen::Vector3f rayAt(std::size_t x, std::size_t y) const
    {
        Math::Point<float, 3> const onFarPlane = renderer->camera()->unProject(x, y, renderer->ndcZFar());
        return Eigen::Vector3f(onFarPlane.x(), onFarPlane.y(), onFarPlane.z()).normalized();
    }

    Math::Color centerColor() { return colors()[kViewSize / 2 * kViewSize + kViewSize / 2]; }
    Float4 centerPosition() { return exactWorldPositions()[kViewSize / 2 * kViewSize + kViewSize / 2]; }

    std::unique_ptr<Render::Renderer> renderer;
};

bool sameColor(Math::Color const& a, Math::Color const& b, int tolerance = 2)
{
    return std::abs(a.r() - b.r()) <= tolerance && std::abs(a.g() - b.g()) <= tolerance &&
           std::abs(a.b() - b.b()) <= tolerance;
}

std::string describe(Math::Color const& color)
{
    return std::to_string(color.r()) + "," + std::to_string(color.g()) + "," + std::to_string(color.b());
}

// Where the ray from the room's centre meets its walls, and which wall (numbered like cube faces).
std::pair<Eigen::Vector3f, std::size_t> roomHit(Eigen::Vector3f const& ray)
{
    Eigen::Vector3f const reach = PanoramaTest::kRoomHalfExtent.cwiseQuotient(ray.cwiseAbs());
    Eigen::Index axis = 0;
    float const distance = reach.minCoeff(&axis);
    return {distance * ray, static_cast<std::size_t>(2 * axis) + (ray[axis] > 0.0f ? 0 : 1)};
}

class RoomPanoramaTest : public PanoramaNodeTest, public ::testing::WithParamInterface<std::uint32_t> {
protected:
    void SetUp() override
    {
        PanoramaNodeTest::SetUp();
        Graphics::PanoramaWriterOptions options;
        options.projectionType = GetParam();
        if (GetParam() == PanoramaLoader::kProjectionCubeMap)
            options.tileRows = options.tileColumns = 2;
        PanoramaTest::writeRoom(folder.path(), options, 512, 256);
        pano = PanoRenderable::create(std::make_shared<Graphics::TiledPanoramaLoader>(folder.path()), "room");
        renderer->setScene(pano);
        ASSERT_EQ(pano->loadPanoramaTiles(), Core::JobState::Finished) << pano->loadingError();
    }

    // Every pixel shows the wall its ray meets, at the point where it meets it.
    void expectRoomSeenAlong(Eigen::Vector3f const& direction, Eigen::Vector3f const& up)
    {
        look(direction, up);
        renderer->render();
        std::vector<Math::Color> const color = colors();
        std::vector<Float4> const positions = exactWorldPositions();
        std::size_t wrongColors = 0;
        std::size_t wrongPositions = 0;
        for (std::size_t y = 0; y < kViewSize; ++y) {
            for (std::size_t x = 0; x < kViewSize; ++x) {
                auto const [hit, wall] = roomHit(rayAt(x, y));
                Math::Color const wallColor = Graphics::roomWallColor(wall);
                Math::Color const lineColor(wallColor.r() / 2, wallColor.g() / 2, wallColor.b() / 2);
                Math::Color const seen = color[y * kViewSize + x];
                if (!sameColor(seen, wallColor) && !sameColor(seen, lineColor))
                    ++wrongColors;
                Float4 const p = positions[y * kViewSize + x];
                // Depth texels are a few degrees wide: allow for the slope of the wall across one.
                if ((Eigen::Vector3f(p.x, p.y, p.z) - hit).norm() > 0.04f * hit.norm() + 0.02f)
                    ++wrongPositions;
            }
        }
        // Pixels whose rays pass a room corner may take a texel of the neighbouring wall.
        std::size_t const allowed = kViewSize * kViewSize / 25;
        EXPECT_LE(wrongColors, allowed) << "looking along " << direction.transpose();
        EXPECT_LE(wrongPositions, allowed) << "looking along " << direction.transpose();
        auto const [centreHit, centreWall] = roomHit(direction.normalized());
        EXPECT_TRUE(sameColor(centerColor(), Graphics::roomWallColor(centreWall))) << describe(centerColor());
        Float4 const centre = centerPosition();
        EXPECT_NEAR(centre.x, centreHit.x(), 0.05f);
        EXPECT_NEAR(centre.y, centreHit.y(), 0.05f);
        EXPECT_NEAR(centre.z, centreHit.z(), 0.05f);
    }

    PanoramaTest::TempFolder folder{"room"};
    std::shared_ptr<PanoRenderable> pano;
};

TEST_P(RoomPanoramaTest, EveryDirectionShowsItsWallAtItsDistance)
{
    expectRoomSeenAlong(Eigen::Vector3f::UnitX(), Eigen::Vector3f::UnitZ());
    expectRoomSeenAlong(-Eigen::Vector3f::UnitY(), Eigen::Vector3f::UnitZ());
    expectRoomSeenAlong(Eigen::Vector3f(-1.0f, 1.0f, 0.3f), Eigen::Vector3f::UnitZ());
    expectRoomSeenAlong(Eigen::Vector3f::UnitZ(), Eigen::Vector3f::UnitX());
    expectRoomSeenAlong(-Eigen::Vector3f::UnitZ(), Eigen::Vector3f::UnitY());
}

TEST_P(RoomPanoramaTest, MovedAndScaledPanoramaKeepsItsWallsInPlace)
{
    constexpr float kScale = 2.0f;
    Eigen::Matrix4f model = Eigen::Matrix4f::Identity();
    model.topLeftCorner<3, 3>() *= kScale;
    model.col(3).head<3>() = Eigen::Vector3f(1.0f, -1.0f, 0.5f);
    pano->setMatrix(model);
    look(Eigen::Vector3f::UnitX());
    renderer->setCameraPose(Math::Point<float, 3>(1.0f, -1.0f, 0.5f), Eigen::Vector3f(Eigen::Vector3f::UnitX()),
                            Eigen::Vector3f(Eigen::Vector3f::UnitZ()));
    renderer->render();
    Float4 const centre = centerPosition();
    EXPECT_NEAR(centre.x, 1.0f + kScale * PanoramaTest::kRoomHalfExtent.x(), 0.1f);
    EXPECT_NEAR(centre.y, -1.0f, 0.1f);
    EXPECT_NEAR(centre.z, 0.5f, 0.1f);
    EXPECT_TRUE(sameColor(centerColor(), Graphics::roomWallColor(0))) << describe(centerColor());
}

INSTANTIATE_TEST_SUITE_P(Projections, RoomPanoramaTest,
                         ::testing::Values(PanoramaLoader::kProjectionEquirectangular,
                                           PanoramaLoader::kProjectionCubeMap),
                         [](auto const& info) { return info.param == 0 ? "Equirectangular" : "CubeMap"; });

// A flat patch of white points across the view at x = 2, between the eye and the room's +x wall.
std::filesystem::path writeWhiteWall(std::filesystem::path const& folder)
{
    Octree::SourcePoints points;
    points.hasRgb = true;
    constexpr int kSide = 120;
    for (int i = 0; i < kSide; ++i) {
        for (int j = 0; j < kSide; ++j) {
            Octree::SourcePoint point;
            point.position = {2.0, -0.5 + i / double(kSide - 1), -0.5 + j / double(kSide - 1)};
            point.rgb = {65535, 65535, 65535};
            points.points.push_back(point);
        }
    }
    PoTree::writePotree(points, folder, PoTree::WriterOptions{});
    return folder;
}

TEST_F(PanoramaNodeTest, NearerPointCloudWinsInTheDepthBuffer)
{
    PanoramaTest::TempFolder const roomFolder("depth-room");
    PanoramaTest::TempFolder const cloudFolder("depth-cloud");
    PanoramaTest::writeRoom(roomFolder.path(), Graphics::PanoramaWriterOptions{}, 256, 128);
    auto pano = PanoRenderable::create(std::make_shared<Graphics::TiledPanoramaLoader>(roomFolder.path()), "room");
    auto cloud = Render::PointCloudRenderable::create(
        std::make_shared<PoTree::FileSystemLocation>(writeWhiteWall(cloudFolder.path())), "wall", 100'000, 1.0);
    // The cloud is drawn first, so the panorama's pixels must lose the depth test, not merely come later.
    auto group = Render::GroupRenderable::create("scene");
    group->add(cloud);
    group->add(pano);
    renderer->setScene(group);
    // Wherever the cloud's own frame puts the patch, move it to x = 2, centred on the view axis.
    Math::NBoundingBox<float, 3> const box = cloud->boundingBoxWorld();
    Eigen::Matrix4f placement = Eigen::Matrix4f::Identity();
    placement.col(3).head<3>() = Eigen::Vector3f(2.0f, 0.0f, 0.0f) - 0.5f * (box.min() + box.max());
    cloud->setMatrix(placement);
    look(Eigen::Vector3f::UnitX(), Eigen::Vector3f::UnitZ(), 60.0f);
    ASSERT_EQ(pano->loadPanoramaTiles(), Core::JobState::Finished);
    cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    StreamingTest::renderUntilSettled(*renderer, {cloud});

    Float4 const centre = centerPosition();
    EXPECT_NEAR(centre.x, 2.0f, 0.05f);
    EXPECT_TRUE(sameColor(centerColor(), Math::Color(255, 255, 255))) << describe(centerColor());
    // Beside the patch the room shows through.
    Float4 const side = exactWorldPositions()[kViewSize / 2 * kViewSize + 2];
    EXPECT_NEAR(side.x, PanoramaTest::kRoomHalfExtent.x(), 0.1f);
}

TEST_F(PanoramaNodeTest, CreateRefusesPanoramasTheShaderCannotDraw)
{
    EXPECT_THROW(PanoRenderable::create(std::make_shared<UniformLoader>(UniformLoader::grid(7, 7, 1)), "many"),
                 std::invalid_argument);
    EXPECT_THROW(PanoRenderable::create(std::make_shared<UniformLoader>(UniformLoader::grid(1, 1, 5)), "deep"),
                 std::invalid_argument);
    EXPECT_THROW(PanoRenderable::create(std::make_shared<OversizedLoader>(UniformLoader::grid(1, 1, 1)), "claims"),
                 std::invalid_argument);
    EXPECT_THROW(PanoRenderable::create(std::make_shared<UniformLoader>(
                                            UniformLoader::grid(3, 3, 1, PanoramaLoader::kProjectionCubeMap)),
                                        "cube"),
                 std::invalid_argument);
    EXPECT_NO_THROW(PanoRenderable::create(std::make_shared<UniformLoader>(
                                               UniformLoader::grid(2, 4, 1, PanoramaLoader::kProjectionCubeMap)),
                                           "cube"));
}

class UniformPanoramaTest : public PanoramaNodeTest {
protected:
    void SetUp() override
    {
        PanoramaNodeTest::SetUp();
        pano = PanoRenderable::create(loader, "uniform");
        renderer->setScene(pano);
        // Towards tile 6 of the 2 x 4 grid (row 1, column 2), well inside it.
        look(kViewDirection, Eigen::Vector3f::UnitZ(), 30.0f);
    }

    static inline Eigen::Vector3f const kViewDirection{1.0f, -0.3f, -0.3f};
    static constexpr std::size_t kViewedTile = 6;
    static constexpr std::size_t kLevels = 3;
    std::shared_ptr<UniformLoader> loader = std::make_shared<UniformLoader>(UniformLoader::grid(2, 4, kLevels));
    std::shared_ptr<PanoRenderable> pano;
};

TEST_F(UniformPanoramaTest, LowerLevelsLoadFirstAndTheViewedTileFirstWithinALevel)
{
    ASSERT_EQ(pano->loadPanoramaTiles(), Core::JobState::Finished);
    std::vector<UniformLoader::Load> const loads = loader->loads();
    ASSERT_EQ(loads.size(), 2 * kLevels * 8);
    for (std::size_t i = 1; i < loads.size(); ++i)
        EXPECT_LE(loader->level(loads[i - 1].id), loader->level(loads[i].id)) << "load " << i;
    // Color and depth of one tile share their direction: color comes first.
    EXPECT_EQ(loads[0], (UniformLoader::Load{true, PanoramaLoader::tileId(0, kViewedTile)}));
    EXPECT_EQ(loads[1], (UniformLoader::Load{false, PanoramaLoader::tileId(0, kViewedTile)}));
    EXPECT_EQ(loads[16], (UniformLoader::Load{true, PanoramaLoader::tileId(1, kViewedTile)}));
    EXPECT_TRUE(pano->isLoadingComplete());
}

TEST_F(UniformPanoramaTest, LevelsUpgradeAsTilesArrive)
{
    std::vector<std::size_t> shownLevels;
    std::vector<float> shownDistances;
    auto const frame = [&] {
        renderer->render();
        Math::Color const color = centerColor();
        std::size_t level = 0;
        while (level < kLevels && !sameColor(color, UniformLoader::levelColor(level)))
            ++level;
        shownLevels.push_back(level);
        Float4 const p = centerPosition();
        shownDistances.push_back(Eigen::Vector3f(p.x, p.y, p.z).norm());
    };
    ASSERT_EQ(pano->loadPanoramaTiles(std::stop_token(), frame), Core::JobState::Finished);
    ASSERT_EQ(shownLevels.size(), 2 * kLevels * 8);
    // The viewed tile is the first of each level: it shows that level from its first load on.
    EXPECT_EQ(shownLevels[0], 0u);
    EXPECT_EQ(shownLevels[16], 1u);
    EXPECT_EQ(shownLevels[32], 2u);
    EXPECT_NEAR(shownDistances[1], UniformLoader::levelDistance(0), 1e-3f);
    EXPECT_NEAR(shownDistances[17], UniformLoader::levelDistance(1), 1e-3f);
    EXPECT_NEAR(shownDistances.back(), UniformLoader::levelDistance(2), 1e-3f);
    for (std::size_t i = 1; i < shownLevels.size(); ++i)
        EXPECT_LE(shownLevels[i - 1], shownLevels[i]) << "frame " << i;
    EXPECT_FALSE(pano->needsRedraw());
}

TEST_F(UniformPanoramaTest, ReloadedLowerLevelsDoNotLowerATile)
{
    ASSERT_EQ(pano->loadPanoramaTiles(), Core::JobState::Finished);
    renderer->render();
    ASSERT_EQ(pano->loadPanoramaTiles(), Core::JobState::Finished);
    renderer->render();
    EXPECT_TRUE(sameColor(centerColor(), UniformLoader::levelColor(kLevels - 1))) << describe(centerColor());
    EXPECT_EQ(pano->constants().maxColorLevelPerTile[kViewedTile].value, kLevels - 1);
    EXPECT_EQ(pano->constants().maxDepthLevelPerTile[kViewedTile].value, kLevels - 1);
}

TEST_F(UniformPanoramaTest, UnreadableTileIsReportedAndTheOthersStillLoad)
{
    std::vector<std::string> errors;
    Render::setLogSink([&](Core::LogLevel level, std::string_view line) {
        if (level == Core::LogLevel::Error)
            errors.emplace_back(line);
    });
    struct SinkReset {
        ~SinkReset() { Render::setLogSink({}); }
    } const sinkReset;

    // Attempt 16 is the viewed tile's level 1 color, after all of level 0.
    loader->failingLoad = 16;
    EXPECT_EQ(pano->loadPanoramaTiles(), Core::JobState::Failed);
    EXPECT_EQ(loader->loads().size(), 2 * kLevels * 8 - 1) << "every other tile loads";
    EXPECT_EQ(pano->loadingError(), "color tile 6 of level 1 of panorama \"uniform\": the tile server went away");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], pano->loadingError());
    renderer->render();
    EXPECT_TRUE(sameColor(centerColor(), UniformLoader::levelColor(kLevels - 1))) << describe(centerColor());
    Float4 const p = centerPosition();
    EXPECT_NEAR(Eigen::Vector3f(p.x, p.y, p.z).norm(), UniformLoader::levelDistance(kLevels - 1), 1e-3f);
}

TEST_F(UniformPanoramaTest, SmallerTilesAreDrawnAndLargerOnesDoNotFit)
{
    Render::setLogSink([](Core::LogLevel, std::string_view) {});
    struct SinkReset {
        ~SinkReset() { Render::setLogSink({}); }
    } const sinkReset;
    loader->misfitLevel = 1;
    loader->misfitWidth = 1;
    EXPECT_EQ(pano->loadPanoramaTiles(), Core::JobState::Failed);
    EXPECT_NE(pano->loadingError().find("color tile 6 of level 1 of panorama \"uniform\": Color tile does not fit "
                                        "into texture."),
              std::string::npos)
        << pano->loadingError();
    EXPECT_NE(pano->loadingError().find("Depth tile does not fit into texture."), std::string::npos);
    EXPECT_NO_THROW(renderer->render());
    EXPECT_TRUE(sameColor(centerColor(), UniformLoader::levelColor(kLevels - 1))) << describe(centerColor());

    // A tile narrower than its level fills the left of its slot; the rest is cleared, not stale.
    loader->misfitLevel = kLevels - 1;
    loader->misfitWidth = -static_cast<int>(UniformLoader::grid(1, 1, kLevels).levels.back().width / 2);
    EXPECT_EQ(pano->loadPanoramaTiles(), Core::JobState::Finished) << pano->loadingError();
    EXPECT_NO_THROW(renderer->render());
}

TEST_F(PanoramaNodeTest, TileArrivingWhileAFrameUploadsIsNotLost)
{
    // Large tiles make the upload a long part of each frame. A render that takes the pending tiles and
    // clears the redraw flag only afterwards loses a tile that arrives in between: the host, waiting
    // for a redraw request, never draws it.
    constexpr std::size_t kLargeTile = 512;
    constexpr std::size_t kTiles = 8;
    PanoramaLayout layout = UniformLoader::grid(2, 4, 2);
    layout.levels[1] = {kLargeTile, kLargeTile};
    auto const loader = std::make_shared<UniformLoader>(std::move(layout));
    for (int round = 0; round < 4; ++round) {
        auto const pano = PanoRenderable::create(loader, "large");
        renderer->setScene(pano);
        renderer->render();
        pano->startAsyncPanoramaTilesLoading();
        auto const deadline = std::chrono::steady_clock::now() + kDeadline;
        while ((pano->jobState() != Core::JobState::Finished || renderer->needsRedraw()) &&
               std::chrono::steady_clock::now() < deadline) {
            if (renderer->needsRedraw())
                renderer->render();
        }
        std::size_t uploaded = 0;
        for (std::size_t tile = 0; tile < kTiles; ++tile)
            uploaded += pano->constants().maxColorLevelPerTile[tile].value == 1 &&
                        pano->constants().maxDepthLevelPerTile[tile].value == 1;
        ASSERT_EQ(pano->jobState(), Core::JobState::Finished);
        ASSERT_EQ(uploaded, kTiles) << "round " << round;
    }
}

TEST_F(UniformPanoramaTest, StopRequestedBeforeTheStartStillLoadsOneTile)
{
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(pano->loadPanoramaTiles(stop.get_token(), {}), Core::JobState::Stopped);
    EXPECT_EQ(loader->loads().size(), 1u);
    EXPECT_EQ(pano->jobState(), Core::JobState::Stopped);
}

TEST_F(UniformPanoramaTest, AsyncLoadingCallsBackPerTileAndEnds)
{
    std::atomic<std::size_t> callbacks = 0;
    pano->startAsyncPanoramaTilesLoading([&] { ++callbacks; });
    EXPECT_EQ(pano->waitForLoadingComplete(), Core::JobState::Finished);
    EXPECT_TRUE(pano->isLoadingComplete());
    EXPECT_EQ(callbacks, 2 * kLevels * 8);
    EXPECT_TRUE(renderer->needsRedraw());
    renderer->render();
    EXPECT_TRUE(sameColor(centerColor(), UniformLoader::levelColor(kLevels - 1))) << describe(centerColor());
}

TEST_F(UniformPanoramaTest, WaitEndsWhenAsyncLoadingFails)
{
    Render::setLogSink([](Core::LogLevel, std::string_view) {});
    struct SinkReset {
        ~SinkReset() { Render::setLogSink({}); }
    } const sinkReset;
    loader->failingLoad = 3;
    pano->startAsyncPanoramaTilesLoading();
    EXPECT_EQ(pano->waitForLoadingComplete(), Core::JobState::Failed);
}

TEST_F(UniformPanoramaTest, SecondLoadingWhileOneRunsIsRefused)
{
    loader->delay = 50ms;
    pano->startAsyncPanoramaTilesLoading();
    auto const deadline = std::chrono::steady_clock::now() + kDeadline;
    while (pano->jobState() != Core::JobState::Running && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_THROW(pano->loadPanoramaTiles(), std::logic_error);
    pano->stopAsyncPanoramaTilesLoading();
    EXPECT_EQ(pano->jobState(), Core::JobState::Stopped);
    loader->delay = 0ms;
    EXPECT_EQ(pano->loadPanoramaTiles(), Core::JobState::Finished);
}

TEST_F(UniformPanoramaTest, RemovingTheSceneStopsAndJoinsTheLoadingThread)
{
    loader->delay = 50ms;
    pano->startAsyncPanoramaTilesLoading();
    std::this_thread::sleep_for(50ms);
    renderer->setScene(nullptr);
    EXPECT_EQ(pano->jobState(), Core::JobState::Stopped);
    std::size_t const loaded = loader->loads().size();
    EXPECT_LT(loaded, 2 * kLevels * 8);
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(loader->loads().size(), loaded);
}

TEST_F(PanoramaNodeTest, TileOutsideTheGridFailsTheLoadingBeforeAnyLoad)
{
    Render::setLogSink([](Core::LogLevel, std::string_view) {});
    struct SinkReset {
        ~SinkReset() { Render::setLogSink({}); }
    } const sinkReset;
    auto loader = std::make_shared<StrayTileLoader>(UniformLoader::grid(2, 4, 1));
    auto pano = PanoRenderable::create(loader, "stray");
    renderer->setScene(pano);
    EXPECT_EQ(pano->loadPanoramaTiles(), Core::JobState::Failed);
    EXPECT_NE(pano->loadingError().find("lists color tile 0x63 outside its levels"), std::string::npos)
        << pano->loadingError();
    EXPECT_TRUE(loader->loads().empty());
}

TEST_F(PanoramaNodeTest, NodeWithoutLoaderDrawsNothingAndFailsToLoad)
{
    auto pano = PanoRenderable::create(nullptr, "empty");
    renderer->setScene(pano);
    look(Eigen::Vector3f::UnitX());
    renderer->render();
    EXPECT_TRUE(sameColor(centerColor(), Math::Color(0, 0, 0)));
    EXPECT_EQ(pano->loadPanoramaTiles(), Core::JobState::Failed);
    EXPECT_EQ(pano->waitForLoadingComplete(), Core::JobState::Failed);
}

} // namespace
