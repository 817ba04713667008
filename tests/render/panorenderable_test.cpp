#include "graphics/panoramatestsupport.h"
#include "octree/potreewriter.h"
#include "render/camera.h"
#include "render/grouprenderable.h"
#include "render/meshrenderable.h"
#include "render/panorenderable.h"

#include "streamingtestsupport.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace {

using Graphics::PanoramaLayout;
using Graphics::PanoramaLoader;
using Render::PanoRenderable;
using ::testing::IsSubstring;
using Vector = Eigen::Vector3f;
using Core::JobState;
using namespace std::chrono_literals;

constexpr std::size_t kViewSize = 64;

// A panorama in memory whose every tile of a level is uniform: color levelColor(l), distance
// levelDistance(l). It records the order of the loads (color or not, tile) and can fail or misbehave
// on request.
class UniformLoader : public PanoramaLoader {
public:
    using Load = std::pair<bool, TileId>;

    explicit UniformLoader(PanoramaLayout layout) : PanoramaLoader(std::move(layout)) {}

    static PanoramaLayout grid(std::size_t rows, std::size_t columns, std::size_t levels,
                               std::uint32_t projection = kProjectionEquirectangular)
    {
        PanoramaLayout layout{projection, rows, columns, {}, levels, levels};
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

    // The load attempt with this number (0 first) throws.
    std::size_t failingLoad = std::numeric_limits<std::size_t>::max();
    // Tiles of this level come this many pixels wider (or narrower) than the level's tiles.
    std::size_t misfitLevel = std::numeric_limits<std::size_t>::max();
    int misfitWidth = 1;
    std::chrono::milliseconds delay{0};
    // Claims more tiles than the grid has, or lists a tile beyond it.
    std::size_t claimedTilesPerLevel = 0;
    bool listsStrayTile = false;
    // The loads made, on one thread at a time as loaders are used.
    std::vector<Load> loads;

private:
    template <class Image, class Value>
    Image uniformTile(Load const& load, Value value)
    {
        std::this_thread::sleep_for(delay);
        if (mAttempts++ == failingLoad)
            throw std::runtime_error("the tile server went away");
        loads.push_back(load);
        std::size_t const level = this->level(load.second);
        Image image(tileWidth(level) + (level == misfitLevel ? misfitWidth : 0), tileHeight(level));
        image.fill(value);
        return image;
    }

    std::size_t mAttempts = 0;
};

bool sameColor(Math::Color const& a, Math::Color const& b, int tolerance = 2)
{
    return std::abs(a.r() - b.r()) <= tolerance && std::abs(a.g() - b.g()) <= tolerance &&
           std::abs(a.b() - b.b()) <= tolerance;
}

class PanoramaNodeTest : public StreamingTest::PointCloudTest {
protected:
    void SetUp() override
    {
        PointCloudTest::SetUp();
        renderer->setViewport(kViewSize, kViewSize);
    }

    void look(Vector const& direction, Vector const& up = Vector::UnitZ(),
              float fovDegrees = 60.0f, Vector const& eye = Vector::Zero())
    {
        renderer->setCameraPose(eye, direction.normalized(), up);
        renderer->setPerspective(fovDegrees, 0.1f, 100.0f);
    }

    Vector positionAt(std::size_t x, std::size_t y) { return worldPositions()[y * kViewSize + x].head<3>(); }
    Vector centerPosition() { return positionAt(kViewSize / 2, kViewSize / 2); }
};

// Where the ray from the room's centre meets its walls, and which wall (numbered like cube faces).
std::pair<Vector, std::size_t> roomHit(Vector const& ray)
{
    Vector const reach = PanoramaTest::kRoomHalfExtent.cwiseQuotient(ray.cwiseAbs());
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
        ASSERT_EQ(pano->loadPanoramaTiles(), JobState::Finished) << pano->loadingError();
    }

    // From the centre of the room, scaled by `scale` about it: every pixel shows the wall its ray
    // meets, at the point where it meets it.
    void expectRoomSeenAlong(Vector const& direction, Vector const& up,
                             Vector const& centre = Vector::Zero(), float scale = 1.0f)
    {
        look(direction, up, 60.0f, centre);
        renderer->render();
        Graphics::ColorImage const color = colorImage();
        std::vector<Eigen::Vector4f> const positions = worldPositions();
        std::size_t wrongColors = 0;
        std::size_t wrongPositions = 0;
        for (std::size_t y = 0; y < kViewSize; ++y) {
            for (std::size_t x = 0; x < kViewSize; ++x) {
                Vector const onFarPlane = renderer->camera()->unProject(x, y, renderer->ndcZFar());
                auto const [hit, wall] = roomHit((onFarPlane - centre).normalized());
                Math::Color const wallColor = Graphics::roomWallColor(wall);
                Math::Color const lineColor(wallColor.r() / 2, wallColor.g() / 2, wallColor.b() / 2);
                Math::Color const seen = color.pixel(x, y);
                if (!sameColor(seen, wallColor) && !sameColor(seen, lineColor))
                    ++wrongColors;
                // Depth texels are a few degrees wide: allow for the slope of the wall across one.
                Vector const seenAt = positions[y * kViewSize + x].head<3>();
                if ((seenAt - centre - scale * hit).norm() > scale * (0.04f * hit.norm() + 0.02f))
                    ++wrongPositions;
            }
        }
        // Pixels whose rays pass a room corner may take a texel of the neighbouring wall.
        std::size_t const allowed = kViewSize * kViewSize / 25;
        EXPECT_LE(wrongColors, allowed) << "looking along " << direction.transpose();
        EXPECT_LE(wrongPositions, allowed) << "looking along " << direction.transpose();
        Vector const centreHit = centre + scale * roomHit(direction.normalized()).first;
        EXPECT_LT((centerPosition() - centreHit).cwiseAbs().maxCoeff(), 0.05f * scale);
    }

    PanoramaTest::TempFolder folder{"room"};
    std::shared_ptr<PanoRenderable> pano;
};

// Looking out of the room in the axis directions, up, down and obliquely; then the panorama moved
// and scaled, seen from its new centre; then among points and a mesh drawn before it, so that its
// pixels must lose the depth test where those are nearer.
TEST_P(RoomPanoramaTest, EveryDirectionShowsItsWallAtItsDistanceBehindNearerPointsAndMeshes)
{
    Vector const x = Vector::UnitX(), y = Vector::UnitY(), z = Vector::UnitZ();
    std::pair<Vector, Vector> const views[]{{x, z}, {-y, z}, {{-1.0f, 1.0f, 0.3f}, z}, {z, x}, {-z, y}};
    for (auto const& [direction, up] : views)
        expectRoomSeenAlong(direction, up);

    Vector const centre(1.0f, -1.0f, 0.5f);
    Eigen::Matrix4f model = StreamingTest::translation(centre);
    model.topLeftCorner<3, 3>() *= 2.0f;
    pano->setMatrix(model);
    expectRoomSeenAlong(x, z, centre, 2.0f);
    pano->setMatrix(Eigen::Matrix4f::Identity());

    // Points in front of the +x wall, and a mesh through it beside them: the points hide the wall; the
    // mesh shows in front of the wall and is hidden behind it, also when the renderer refits the z range
    // to the scene every frame (from a far plane in front of them all).
    Octree::SourcePoints points;
    points.hasRgb = true;
    for (int i = 0; i < 120; ++i)
        for (int j = 0; j < 120; ++j)
            points.points.push_back({Math::Point<double, 3>(2.0, i / 119.0, j / 119.0), {65535, 65535, 65535}});
    std::filesystem::path const cloudFolder = folder.path() / "cloud";
    PoTree::writePotree(points, cloudFolder, PoTree::WriterOptions{});
    auto const cloud = startCloud(std::make_shared<PoTree::FileSystemLocation>(cloudFolder), 100'000);
    std::ofstream(folder.path() / "strip.obj") << "v 3.2 -0.9 -0.5\nv 4.8 -2.6 -0.5\nv 4.8 -2.6 0.5\n"
                                                  "v 3.2 -0.9 0.5\nf 1 2 3 4\n";
    auto const group = Render::GroupRenderable::create("scene");
    group->add(cloud);
    group->add(Render::MeshRenderable::create(folder.path() / "strip.obj", 1.0, "strip"));
    group->add(pano);
    renderer->setScene(group);
    ASSERT_EQ(pano->loadPanoramaTiles(), JobState::Finished); // its new textures
    // Wherever the cloud's own frame puts the patch, move it to x = 2, centred on the view axis.
    Vector const patchCentre = cloud->boundingBoxWorld().center();
    cloud->setMatrix(StreamingTest::translation(Vector(2.0f, 0.0f, 0.0f) - patchCentre));
    look(x);
    cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    for (bool const automaticZRange : {false, true}) {
        SCOPED_TRACE(automaticZRange ? "automatic z range" : "fixed z range");
        if (automaticZRange)
            renderer->setPerspective(60.0f, 0.1f, 1.5f);
        renderer->setAutoAdjustZRange(automaticZRange);
        renderUntilSettled({cloud});
        EXPECT_NEAR(centerPosition().x(), 2.0f, 0.05f);
        EXPECT_NEAR(positionAt(2, kViewSize / 2).x(), PanoramaTest::kRoomHalfExtent.x(), 0.1f)
            << "beside the points the room shows through";
        std::size_t meshInFront = 0, meshBehind = 0;
        for (Eigen::Vector4f const& position : worldPositions()) {
            bool const onMesh = position.y() < -0.8f &&
                                std::abs(1.7f * (position.x() - 3.2f) + 1.6f * (position.y() + 0.9f)) < 1e-2f;
            meshInFront += onMesh && position.x() < 3.9f ? 1 : 0;
            meshBehind += onMesh && position.x() > 4.2f ? 1 : 0;
        }
        EXPECT_GT(meshInFront, 20u);
        EXPECT_EQ(meshBehind, 0u) << "the wall hides the mesh behind it";
    }
}

INSTANTIATE_TEST_SUITE_P(Projections, RoomPanoramaTest,
                         ::testing::Values(PanoramaLoader::kProjectionEquirectangular,
                                           PanoramaLoader::kProjectionCubeMap),
                         [](auto const& info) { return info.param == 0 ? "Equirectangular" : "CubeMap"; });

class UniformPanoramaTest : public PanoramaNodeTest {
protected:
    void SetUp() override
    {
        PanoramaNodeTest::SetUp();
        pano = PanoRenderable::create(loader, "uniform");
        renderer->setScene(pano);
        // Towards tile 6 of the 2 x 4 grid (row 1, column 2), well inside it.
        look(Vector(1.0f, -0.3f, -0.3f), Vector::UnitZ(), 30.0f);
    }

    // The level a frame shows at the centre (kLevels for none).
    std::size_t shownLevel()
    {
        renderer->render();
        std::size_t level = 0;
        while (level < kLevels && !sameColor(centerColor(), UniformLoader::levelColor(level)))
            ++level;
        return level;
    }

    void expectTopLevelShown()
    {
        EXPECT_EQ(shownLevel(), kLevels - 1);
        EXPECT_NEAR(centerPosition().norm(), UniformLoader::levelDistance(kLevels - 1), 1e-3f);
    }

    static constexpr std::size_t kViewedTile = 6;
    static constexpr std::size_t kLevels = 3;
    static constexpr std::size_t kAllLoads = 2 * kLevels * 8;
    std::shared_ptr<UniformLoader> loader = std::make_shared<UniformLoader>(UniformLoader::grid(2, 4, kLevels));
    std::shared_ptr<PanoRenderable> pano;
};

// An unreadable tile is reported by name and the others still load; a tile larger than its level's
// slot fails, a smaller one fills the left of it; a tile beyond the grid fails before any load. Grids
// beyond 6 x 6 tiles or 4 levels, loaders claiming more tiles than that, and cube maps whose faces do
// not split into the tiles are refused; a node without a loader draws nothing and fails to load.
TEST_F(UniformPanoramaTest, BrokenTilesAndPanoramasTheShaderCannotDrawAreReported)
{
    auto const uniform = [](auto... grid) { return std::make_shared<UniformLoader>(UniformLoader::grid(grid...)); };
    StreamingTest::ErrorLog const errors;
    loader->failingLoad = 16; // the viewed tile's level 1 color, after all of level 0
    EXPECT_EQ(pano->loadPanoramaTiles(), JobState::Failed);
    EXPECT_EQ(loader->loads.size(), kAllLoads - 1) << "every other tile loads";
    EXPECT_EQ(pano->loadingError(), "color tile 6 of level 1 of panorama \"uniform\": the tile server went away");
    EXPECT_EQ(errors.count(pano->loadingError()), 1u);
    expectTopLevelShown();

    loader->failingLoad = std::numeric_limits<std::size_t>::max();
    loader->misfitLevel = 1;
    EXPECT_EQ(pano->loadPanoramaTiles(), JobState::Failed);
    EXPECT_PRED_FORMAT2(IsSubstring, "color tile 6 of level 1 of panorama \"uniform\": Color tile does not",
                        pano->loadingError());
    EXPECT_PRED_FORMAT2(IsSubstring, "Depth tile does not fit into texture.", pano->loadingError());
    expectTopLevelShown();
    loader->misfitLevel = kLevels - 1;
    loader->misfitWidth = -static_cast<int>(loader->tileWidth(kLevels - 1) / 2);
    EXPECT_EQ(pano->loadPanoramaTiles(), JobState::Finished) << pano->loadingError();
    EXPECT_NO_THROW(renderer->render());

    auto const stray = uniform(2, 4, 1);
    stray->listsStrayTile = true;
    auto const strayPano = PanoRenderable::create(stray, "stray");
    EXPECT_EQ(strayPano->loadPanoramaTiles(), JobState::Failed);
    EXPECT_PRED_FORMAT2(IsSubstring, "lists color tile 0x63 outside its levels", strayPano->loadingError());
    EXPECT_TRUE(stray->loads.empty());

    constexpr auto kCube = PanoramaLoader::kProjectionCubeMap;
    auto const claiming = uniform(1, 1, 1);
    claiming->claimedTilesPerLevel = 49;
    for (auto const& refused : {uniform(7, 7, 1), uniform(1, 1, 5), claiming, uniform(3, 3, 1, kCube)})
        EXPECT_THROW(PanoRenderable::create(refused, "refused"), std::invalid_argument);
    EXPECT_NO_THROW(PanoRenderable::create(uniform(2, 4, 1, kCube), "cube"));

    auto const empty = PanoRenderable::create(nullptr, "empty");
    renderer->setScene(empty);
    renderer->render();
    EXPECT_TRUE(sameColor(centerColor(), Math::Color(0, 0, 0)));
    EXPECT_EQ(empty->loadPanoramaTiles(), JobState::Failed);
    EXPECT_EQ(empty->waitForLoadingComplete(), JobState::Failed);
}

// Lower levels load first, the viewed tile first within a level, its color before its depth; each
// frame shows the best level arrived, and loading again lowers no tile. Loading on a thread of the
// node's own calls back once a tile and ends, also when it fails, and runs again when the node is
// initialised again; a stop ends it; a second loading while one runs is refused; no tile that arrives
// while a frame uploads is lost.
TEST_F(UniformPanoramaTest, TilesLoadInOrderOfTheViewOnTheCallingThreadOrItsOwn)
{
    std::vector<std::size_t> shownLevels;
    std::vector<float> shownDistances;
    auto const frame = [&] {
        shownLevels.push_back(shownLevel());
        shownDistances.push_back(centerPosition().norm());
    };
    ASSERT_EQ(pano->loadPanoramaTiles(std::stop_token(), frame), JobState::Finished);
    EXPECT_TRUE(pano->isLoadingComplete());
    std::vector<UniformLoader::Load> const loads = loader->loads;
    ASSERT_EQ(loads.size(), kAllLoads);
    ASSERT_EQ(shownLevels.size(), kAllLoads);
    for (std::size_t i = 1; i < kAllLoads; ++i) {
        EXPECT_LE(loader->level(loads[i - 1].second), loader->level(loads[i].second)) << "load " << i;
        EXPECT_LE(shownLevels[i - 1], shownLevels[i]) << "frame " << i;
    }
    for (std::size_t level = 0; level < kLevels; ++level) {
        std::size_t const first = level * 16;
        EXPECT_EQ(loads[first], UniformLoader::Load(true, PanoramaLoader::tileId(level, kViewedTile)));
        EXPECT_EQ(loads[first + 1], UniformLoader::Load(false, PanoramaLoader::tileId(level, kViewedTile)));
        EXPECT_EQ(shownLevels[first], level);
        EXPECT_NEAR(shownDistances[first + 1], UniformLoader::levelDistance(level), 1e-3f);
    }
    EXPECT_FALSE(pano->needsRedraw());
    shownLevels.clear();
    ASSERT_EQ(pano->loadPanoramaTiles(std::stop_token(), frame), JobState::Finished);
    EXPECT_EQ(shownLevels, std::vector<std::size_t>(kAllLoads, kLevels - 1)) << "a tile was lowered";

    std::atomic<std::size_t> callbacks = 0;
    pano->startAsyncPanoramaTilesLoading([&] { ++callbacks; });
    EXPECT_EQ(pano->waitForLoadingComplete(), JobState::Finished);
    EXPECT_EQ(callbacks, kAllLoads);
    EXPECT_TRUE(renderer->needsRedraw());
    expectTopLevelShown();
    // Set into the scene again, the node gets new textures, and the loading asked for runs again.
    renderer->setScene(pano);
    EXPECT_EQ(pano->waitForLoadingComplete(), JobState::Finished);
    EXPECT_EQ(callbacks, 2 * kAllLoads);
    expectTopLevelShown();

    StreamingTest::ErrorLog const errors;
    loader->failingLoad = loader->loads.size() + 3;
    pano->startAsyncPanoramaTilesLoading();
    EXPECT_EQ(pano->waitForLoadingComplete(), JobState::Failed);

    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(pano->loadPanoramaTiles(stop.get_token(), {}), JobState::Stopped);

    loader->delay = 50ms;
    pano->startAsyncPanoramaTilesLoading();
    StreamingTest::repeatUntil([&] { return pano->jobState() == JobState::Running; },
                               [] { std::this_thread::sleep_for(1ms); });
    EXPECT_THROW(pano->loadPanoramaTiles(), std::logic_error);
    // Taking the node out of the scene stops the loading thread and waits for it.
    renderer->setScene(nullptr);
    EXPECT_EQ(pano->jobState(), JobState::Stopped);
    std::size_t const loadedWhenStopped = loader->loads.size();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(loader->loads.size(), loadedWhenStopped);

    // Large tiles make the upload a long part of each frame. A render that takes the pending tiles and
    // clears the redraw flag only afterwards loses a tile that arrives in between: the host, waiting
    // for a redraw request, never draws it.
    PanoramaLayout layout = UniformLoader::grid(2, 4, 2);
    layout.levels[1] = {512, 512};
    auto const largeTiles = std::make_shared<UniformLoader>(std::move(layout));
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        auto const large = PanoRenderable::create(largeTiles, "large");
        renderer->setScene(large);
        renderer->render();
        large->startAsyncPanoramaTilesLoading();
        auto const done = [&] { return !renderer->needsRedraw() && large->jobState() == JobState::Finished; };
        StreamingTest::repeatUntil(done, [&] {
            if (renderer->needsRedraw())
                renderer->render();
        });
        ASSERT_EQ(large->jobState(), JobState::Finished);
        for (std::size_t tile = 0; tile < 8; ++tile) {
            ASSERT_EQ(large->constants().maxColorLevelPerTile[tile].value, 1u) << "tile " << tile;
            ASSERT_EQ(large->constants().maxDepthLevelPerTile[tile].value, 1u) << "tile " << tile;
        }
    }
}

} // namespace
