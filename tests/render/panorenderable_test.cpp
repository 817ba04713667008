#include "graphics/panoramatestsupport.h"
#include "octree/potreewriter.h"
#include "render/camera.h"
#include "render/d3dtestsupport.h"
#include "render/grouprenderable.h"
#include "render/panorenderable.h"

#include "streamingtestsupport.h"

#include <atomic>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace {

using Graphics::PanoramaLayout;
using Graphics::PanoramaLoader;
using Render::PanoRenderable;
using RenderTest::Float4;
using namespace std::chrono_literals;

constexpr std::size_t kViewSize = 64;
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

    std::size_t numTilesPerLevel() const override
    {
        return claimedTilesPerLevel ? claimedTilesPerLevel : PanoramaLoader::numTilesPerLevel();
    }

    std::vector<TileId> colorTiles() const override
    {
        std::vector<TileId> tiles = PanoramaLoader::colorTiles();
        if (listsStrayTile)
            tiles.push_back(tileId(0, 99));
        return tiles;
    }

    Graphics::ColorImage loadColorTile(TileId id) override
    {
        return uniformTile<Graphics::ColorImage>({true, id}, levelColor(level(id)));
    }

    Graphics::DepthImage loadDepthTile(TileId id) override
    {
        return uniformTile<Graphics::DepthImage>({false, id}, levelDistance(level(id)));
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
    // Claims more tiles than the grid has, or lists a tile beyond it.
    std::size_t claimedTilesPerLevel = 0;
    bool listsStrayTile = false;

private:
    template <class Image, class Value>
    Image uniformTile(Load const& load, Value value)
    {
        std::this_thread::sleep_for(delay);
        {
            std::scoped_lock const lock(mMutex);
            if (mAttempts++ == failingLoad)
                throw std::runtime_error("the tile server went away");
            mLoads.push_back(load);
        }
        std::size_t const level = this->level(load.id);
        Image image(tileWidth(level) + (level == misfitLevel ? misfitWidth : 0), tileHeight(level));
        image.fill(value);
        return image;
    }

    mutable std::mutex mMutex;
    std::size_t mAttempts = 0;
    std::vector<Load> mLoads;
};

class PanoramaNodeTest : public StreamingTest::PointCloudTest {
protected:
    void SetUp() override
    {
        PointCloudTest::SetUp();
        renderer->setViewport(kViewSize, kViewSize);
    }

    void look(Eigen::Vector3f const& direction, Eigen::Vector3f const& up = Eigen::Vector3f::UnitZ(),
              float fovDegrees = 60.0f)
    {
        renderer->setCameraPose(Math::Point<float, 3>(0.0f, 0.0f, 0.0f), direction.normalized(), up);
        renderer->setPerspective(fovDegrees, 0.1f, 100.0f);
    }

    Graphics::ColorImage colors()
    {
        Graphics::ColorImage image;
        renderer->getColorImage(image);
        return image;
    }

    std::vector<Float4> exactWorldPositions() { return StreamingTest::exactWorldPositions<Float4>(*renderer); }

    // The unit ray from the eye through the centre of pixel (x, y).
    Eigen::Vector3f rayAt(std::size_t x, std::size_t y) const
    {
        Math::Point<float, 3> const onFarPlane = renderer->camera()->unProject(x, y, renderer->ndcZFar());
        return Eigen::Vector3f(onFarPlane.x(), onFarPlane.y(), onFarPlane.z()).normalized();
    }

    Math::Color centerColor() { return colors().pixel(kViewSize / 2, kViewSize / 2); }
    Float4 centerPosition() { return exactWorldPositions()[kViewSize / 2 * kViewSize + kViewSize / 2]; }
};

bool sameColor(Math::Color const& a, Math::Color const& b, int tolerance = 2)
{
    return std::abs(a.r() - b.r()) <= tolerance && std::abs(a.g() - b.g()) <= tolerance &&
           std::abs(a.b() - b.b()) <= tolerance;
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
        Graphics::ColorImage const color = colors();
        std::vector<Float4> const positions = exactWorldPositions();
        std::size_t wrongColors = 0;
        std::size_t wrongPositions = 0;
        for (std::size_t y = 0; y < kViewSize; ++y) {
            for (std::size_t x = 0; x < kViewSize; ++x) {
                auto const [hit, wall] = roomHit(rayAt(x, y));
                Math::Color const wallColor = Graphics::roomWallColor(wall);
                Math::Color const lineColor(wallColor.r() / 2, wallColor.g() / 2, wallColor.b() / 2);
                Math::Color const seen = color.pixel(x, y);
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
        Float4 const centre = centerPosition();
        Eigen::Vector3f const centreHit = roomHit(direction.normalized()).first;
        EXPECT_LT((Eigen::Vector3f(centre.x, centre.y, centre.z) - centreHit).cwiseAbs().maxCoeff(), 0.05f);
    }

    PanoramaTest::TempFolder folder{"room"};
    std::shared_ptr<PanoRenderable> pano;
};

// Looking out of the room in the axis directions, up, down and obliquely; then the panorama moved
// and scaled, seen from its new centre.
TEST_P(RoomPanoramaTest, EveryDirectionShowsItsWallAtItsDistance)
{
    expectRoomSeenAlong(Eigen::Vector3f::UnitX(), Eigen::Vector3f::UnitZ());
    expectRoomSeenAlong(-Eigen::Vector3f::UnitY(), Eigen::Vector3f::UnitZ());
    expectRoomSeenAlong(Eigen::Vector3f(-1.0f, 1.0f, 0.3f), Eigen::Vector3f::UnitZ());
    expectRoomSeenAlong(Eigen::Vector3f::UnitZ(), Eigen::Vector3f::UnitX());
    expectRoomSeenAlong(-Eigen::Vector3f::UnitZ(), Eigen::Vector3f::UnitY());

    constexpr float kScale = 2.0f;
    Eigen::Vector3f const centre(1.0f, -1.0f, 0.5f);
    Eigen::Matrix4f model = Eigen::Matrix4f::Identity();
    model.topLeftCorner<3, 3>() *= kScale;
    model.col(3).head<3>() = centre;
    pano->setMatrix(model);
    Eigen::Vector3f const alongX = Eigen::Vector3f::UnitX();
    renderer->setCameraPose(centre, alongX, Eigen::Vector3f(Eigen::Vector3f::UnitZ()));
    renderer->render();
    Float4 const seen = centerPosition();
    Eigen::Vector3f const wall = centre + Eigen::Vector3f(kScale * PanoramaTest::kRoomHalfExtent.x(), 0.0f, 0.0f);
    EXPECT_LT((Eigen::Vector3f(seen.x, seen.y, seen.z) - wall).cwiseAbs().maxCoeff(), 0.1f);
    EXPECT_TRUE(sameColor(centerColor(), Graphics::roomWallColor(0)));
}

INSTANTIATE_TEST_SUITE_P(Projections, RoomPanoramaTest,
                         ::testing::Values(PanoramaLoader::kProjectionEquirectangular,
                                           PanoramaLoader::kProjectionCubeMap),
                         [](auto const& info) { return info.param == 0 ? "Equirectangular" : "CubeMap"; });

// A flat patch of white points across the view at x = 2, between the eye and the room's +x wall. The
// cloud is drawn first, so the panorama's pixels must lose the depth test, not merely come later.
TEST_F(PanoramaNodeTest, NearerPointCloudWinsInTheDepthBuffer)
{
    PanoramaTest::TempFolder const roomFolder("depth-room");
    PanoramaTest::TempFolder const cloudFolder("depth-cloud");
    PanoramaTest::writeRoom(roomFolder.path(), Graphics::PanoramaWriterOptions{}, 256, 128);
    Octree::SourcePoints points;
    points.hasRgb = true;
    for (int i = 0; i < 120; ++i)
        for (int j = 0; j < 120; ++j)
            points.points.push_back({Math::Point<double, 3>(2.0, i / 119.0, j / 119.0), {65535, 65535, 65535}});
    PoTree::writePotree(points, cloudFolder.path(), PoTree::WriterOptions{});
    auto pano = PanoRenderable::create(std::make_shared<Graphics::TiledPanoramaLoader>(roomFolder.path()), "room");
    auto cloud = Render::PointCloudRenderable::create(std::make_shared<PoTree::FileSystemLocation>(cloudFolder.path()),
                                                      "wall", 100'000, 1.0);
    auto group = Render::GroupRenderable::create("scene");
    group->add(cloud);
    group->add(pano);
    renderer->setScene(group);
    // Wherever the cloud's own frame puts the patch, move it to x = 2, centred on the view axis.
    Eigen::Vector3f const patchCentre = cloud->boundingBoxWorld().center();
    cloud->setMatrix(StreamingTest::translation(Eigen::Vector3f(2.0f, 0.0f, 0.0f) - patchCentre));
    look(Eigen::Vector3f::UnitX());
    ASSERT_EQ(pano->loadPanoramaTiles(), Core::JobState::Finished);
    cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    StreamingTest::renderUntilSettled(*renderer, {cloud});

    EXPECT_NEAR(centerPosition().x, 2.0f, 0.05f);
    EXPECT_TRUE(sameColor(centerColor(), Math::Color(255, 255, 255)));
    Float4 const beside = exactWorldPositions()[kViewSize / 2 * kViewSize + 2];
    EXPECT_NEAR(beside.x, PanoramaTest::kRoomHalfExtent.x(), 0.1f) << "beside the patch the room shows through";
}

// Grids beyond 6 x 6 tiles or 4 levels, loaders claiming more tiles than that, and cube maps whose
// faces do not split into the tiles; a node without a loader draws nothing and fails to load.
TEST_F(PanoramaNodeTest, CreateRefusesPanoramasTheShaderCannotDraw)
{
    auto const loader = [](std::size_t rows, std::size_t columns, std::size_t levels, std::uint32_t projection) {
        return std::make_shared<UniformLoader>(UniformLoader::grid(rows, columns, levels, projection));
    };
    constexpr auto kCube = PanoramaLoader::kProjectionCubeMap;
    constexpr auto kSphere = PanoramaLoader::kProjectionEquirectangular;
    auto const claiming = loader(1, 1, 1, kSphere);
    claiming->claimedTilesPerLevel = 49;
    for (auto const& refused : {loader(7, 7, 1, kSphere), loader(1, 1, 5, kSphere), claiming, loader(3, 3, 1, kCube)})
        EXPECT_THROW(PanoRenderable::create(refused, "refused"), std::invalid_argument);
    EXPECT_NO_THROW(PanoRenderable::create(loader(2, 4, 1, kCube), "cube"));

    auto const empty = PanoRenderable::create(nullptr, "empty");
    renderer->setScene(empty);
    look(Eigen::Vector3f::UnitX());
    renderer->render();
    EXPECT_TRUE(sameColor(centerColor(), Math::Color(0, 0, 0)));
    EXPECT_EQ(empty->loadPanoramaTiles(), Core::JobState::Failed);
    EXPECT_EQ(empty->waitForLoadingComplete(), Core::JobState::Failed);
}

class UniformPanoramaTest : public PanoramaNodeTest {
protected:
    void SetUp() override
    {
        PanoramaNodeTest::SetUp();
        pano = PanoRenderable::create(loader, "uniform");
        renderer->setScene(pano);
        // Towards tile 6 of the 2 x 4 grid (row 1, column 2), well inside it.
        look(Eigen::Vector3f(1.0f, -0.3f, -0.3f), Eigen::Vector3f::UnitZ(), 30.0f);
    }

    void expectTopLevelShown()
    {
        renderer->render();
        EXPECT_TRUE(sameColor(centerColor(), UniformLoader::levelColor(kLevels - 1)));
        Float4 const p = centerPosition();
        EXPECT_NEAR(Eigen::Vector3f(p.x, p.y, p.z).norm(), UniformLoader::levelDistance(kLevels - 1), 1e-3f);
    }

    static constexpr std::size_t kViewedTile = 6;
    static constexpr std::size_t kLevels = 3;
    static constexpr std::size_t kAllLoads = 2 * kLevels * 8;
    std::shared_ptr<UniformLoader> loader = std::make_shared<UniformLoader>(UniformLoader::grid(2, 4, kLevels));
    std::shared_ptr<PanoRenderable> pano;
};

// Lower levels load first, the viewed tile first within a level, its color before its depth; each
// frame shows the best level arrived, and loading the levels again lowers no tile.
TEST_F(UniformPanoramaTest, LevelsLoadAndUpgradeInOrderOfTheView)
{
    std::vector<std::size_t> shownLevels;
    std::vector<float> shownDistances;
    auto const frame = [&] {
        renderer->render();
        std::size_t level = 0;
        while (level < kLevels && !sameColor(centerColor(), UniformLoader::levelColor(level)))
            ++level;
        shownLevels.push_back(level);
        Float4 const p = centerPosition();
        shownDistances.push_back(Eigen::Vector3f(p.x, p.y, p.z).norm());
    };
    ASSERT_EQ(pano->loadPanoramaTiles(std::stop_token(), frame), Core::JobState::Finished);
    EXPECT_TRUE(pano->isLoadingComplete());
    std::vector<UniformLoader::Load> const loads = loader->loads();
    ASSERT_EQ(loads.size(), kAllLoads);
    ASSERT_EQ(shownLevels.size(), kAllLoads);
    for (std::size_t i = 1; i < kAllLoads; ++i) {
        EXPECT_LE(loader->level(loads[i - 1].id), loader->level(loads[i].id)) << "load " << i;
        EXPECT_LE(shownLevels[i - 1], shownLevels[i]) << "frame " << i;
    }
    for (std::size_t level = 0; level < kLevels; ++level) {
        std::size_t const first = level * 16;
        EXPECT_EQ(loads[first], (UniformLoader::Load{true, PanoramaLoader::tileId(level, kViewedTile)}));
        EXPECT_EQ(loads[first + 1], (UniformLoader::Load{false, PanoramaLoader::tileId(level, kViewedTile)}));
        EXPECT_EQ(shownLevels[first], level);
        EXPECT_NEAR(shownDistances[first + 1], UniformLoader::levelDistance(level), 1e-3f);
    }
    EXPECT_FALSE(pano->needsRedraw());

    ASSERT_EQ(pano->loadPanoramaTiles(), Core::JobState::Finished);
    expectTopLevelShown();
    EXPECT_EQ(pano->constants().maxColorLevelPerTile[kViewedTile].value, kLevels - 1);
    EXPECT_EQ(pano->constants().maxDepthLevelPerTile[kViewedTile].value, kLevels - 1);
}

// An unreadable tile is reported by name and the others still load; a tile larger than its level's
// slot fails, a smaller one fills the left of it; a tile beyond the grid fails before any load.
TEST_F(UniformPanoramaTest, BrokenTilesAreReportedAndTheOthersDrawn)
{
    StreamingTest::ErrorLog const errors;
    loader->failingLoad = 16; // the viewed tile's level 1 color, after all of level 0
    EXPECT_EQ(pano->loadPanoramaTiles(), Core::JobState::Failed);
    EXPECT_EQ(loader->loads().size(), kAllLoads - 1) << "every other tile loads";
    EXPECT_EQ(pano->loadingError(), "color tile 6 of level 1 of panorama \"uniform\": the tile server went away");
    EXPECT_EQ(errors.count(pano->loadingError()), 1u);
    expectTopLevelShown();

    loader->failingLoad = std::numeric_limits<std::size_t>::max();
    loader->misfitLevel = 1;
    EXPECT_EQ(pano->loadPanoramaTiles(), Core::JobState::Failed);
    EXPECT_NE(pano->loadingError().find("color tile 6 of level 1 of panorama \"uniform\": Color tile does not fit "
                                        "into texture."),
              std::string::npos)
        << pano->loadingError();
    EXPECT_NE(pano->loadingError().find("Depth tile does not fit into texture."), std::string::npos);
    expectTopLevelShown();
    loader->misfitLevel = kLevels - 1;
    loader->misfitWidth = -static_cast<int>(UniformLoader::grid(1, 1, kLevels).levels.back().width / 2);
    EXPECT_EQ(pano->loadPanoramaTiles(), Core::JobState::Finished) << pano->loadingError();
    EXPECT_NO_THROW(renderer->render());

    auto const stray = std::make_shared<UniformLoader>(UniformLoader::grid(2, 4, 1));
    stray->listsStrayTile = true;
    auto const strayPano = PanoRenderable::create(stray, "stray");
    renderer->setScene(strayPano);
    EXPECT_EQ(strayPano->loadPanoramaTiles(), Core::JobState::Failed);
    EXPECT_NE(strayPano->loadingError().find("lists color tile 0x63 outside its levels"), std::string::npos)
        << strayPano->loadingError();
    EXPECT_TRUE(stray->loads().empty());
}

// Large tiles make the upload a long part of each frame. A render that takes the pending tiles and
// clears the redraw flag only afterwards loses a tile that arrives in between: the host, waiting for
// a redraw request, never draws it.
TEST_F(PanoramaNodeTest, TileArrivingWhileAFrameUploadsIsNotLost)
{
    PanoramaLayout layout = UniformLoader::grid(2, 4, 2);
    layout.levels[1] = {512, 512};
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
        ASSERT_EQ(pano->jobState(), Core::JobState::Finished);
        for (std::size_t tile = 0; tile < 8; ++tile) {
            ASSERT_EQ(pano->constants().maxColorLevelPerTile[tile].value, 1u) << "round " << round << " tile " << tile;
            ASSERT_EQ(pano->constants().maxDepthLevelPerTile[tile].value, 1u) << "round " << round << " tile " << tile;
        }
    }
}

// Asynchronous loading calls back once a tile and ends, also when it fails; a stop requested before the
// start still loads one tile; a second loading while one runs is refused.
TEST_F(UniformPanoramaTest, AsyncLoadingCallsBackPerTileAndEnds)
{
    std::atomic<std::size_t> callbacks = 0;
    pano->startAsyncPanoramaTilesLoading([&] { ++callbacks; });
    EXPECT_EQ(pano->waitForLoadingComplete(), Core::JobState::Finished);
    EXPECT_EQ(callbacks, kAllLoads);
    EXPECT_TRUE(renderer->needsRedraw());
    expectTopLevelShown();

    StreamingTest::ErrorLog const errors;
    loader->failingLoad = kAllLoads + 3;
    pano->startAsyncPanoramaTilesLoading();
    EXPECT_EQ(pano->waitForLoadingComplete(), Core::JobState::Failed);

    std::stop_source stop;
    stop.request_stop();
    std::size_t const loaded = loader->loads().size();
    EXPECT_EQ(pano->loadPanoramaTiles(stop.get_token(), {}), Core::JobState::Stopped);
    EXPECT_EQ(loader->loads().size(), loaded + 1);

    loader->delay = 50ms;
    pano->startAsyncPanoramaTilesLoading();
    auto const deadline = std::chrono::steady_clock::now() + kDeadline;
    while (pano->jobState() != Core::JobState::Running && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_THROW(pano->loadPanoramaTiles(), std::logic_error);
    // Taking the node out of the scene stops the loading thread and waits for it.
    renderer->setScene(nullptr);
    EXPECT_EQ(pano->jobState(), Core::JobState::Stopped);
    std::size_t const loadedWhenStopped = loader->loads().size();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(loader->loads().size(), loadedWhenStopped);
}

} // namespace
