// Point queries and whole-cloud point collection on the real data sets, through the library.
#include "core/filereading.h"
#include "math/trianglemeshshell.h"
#include "octree/entwinelocation.h"
#include "octree/octreenodecache.h"
#include "octree/potreelocation.h"
#include "render/pointcloudquery.h"
#include "render/pointcloudrenderable.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Render::PointCloudQuery;
using Render::PointCloudRenderable;
using Render::VertexPosColor;
using Point3f = Math::Point<float, 3>;
using Box3f = Math::NBoundingBox<float, 3>;
using Octree::BoxTestResult;

constexpr std::size_t kAllLevels = 100;
constexpr std::size_t kChunk = 4096;
constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
constexpr std::chrono::nanoseconds kNoTimeLimit = std::chrono::nanoseconds::max();

std::filesystem::path realWorld(std::string const& relative)
{
    return std::filesystem::path(MORVID_TEST_DATA_DIR) / "realworld" / relative;
}

nlohmann::json manifest(std::string const& relative)
{
    return nlohmann::json::parse(Core::readLocalFile(realWorld(relative) / "manifest.json"));
}

std::shared_ptr<PointCloudRenderable> potreeCloud(std::string const& name)
{
    return PointCloudRenderable::create(std::make_shared<PoTree::FileSystemLocation>(realWorld("potree/" + name)),
                                        name, 1'000'000, 1.0);
}

std::shared_ptr<PointCloudRenderable> entwineCloud(std::string const& name)
{
    return PointCloudRenderable::create(std::make_shared<Entwine::FileSystemLocation>(realWorld("ept/" + name)), name,
                                        1'000'000, 1.0);
}

class BoxFilter : public Render::IFilter {
public:
    explicit BoxFilter(Box3f box) : mBox(box) {}
    bool testPosition(Point3f const& point) const override
    {
        ++positionTests;
        return mBox.contains(point);
    }
    BoxTestResult testBox(Box3f const& box) const override
    {
        if (!mBox.intersects(box))
            return BoxTestResult::Outside;
        return mBox.contains(box.min()) && mBox.contains(box.max()) ? BoxTestResult::Inside
                                                                    : BoxTestResult::Intersecting;
    }
    Box3f const& box() const { return mBox; }
    mutable std::size_t positionTests = 0;

private:
    Box3f mBox;
};

bool lexicographicallyLess(Point3f const& a, Point3f const& b)
{
    return std::tie(a.x(), a.y(), a.z()) < std::tie(b.x(), b.y(), b.z());
}

std::vector<Point3f> sorted(std::vector<Point3f> points)
{
    std::ranges::sort(points, lexicographicallyLess);
    return points;
}

// Every point the query returns, in chunks of `chunk`.
std::vector<Point3f> drain(PointCloudQuery& query, std::size_t chunk = kChunk)
{
    std::vector<VertexPosColor> buffer(chunk);
    std::vector<Point3f> points;
    while (!query.isExhausted()) {
        std::size_t const count = query.getNextPointChunk(buffer.data(), buffer.size());
        EXPECT_LE(count, chunk);
        for (std::size_t i = 0; i < count; ++i)
            points.push_back(buffer[i].position());
    }
    return sorted(std::move(points));
}

// Every point of the cloud in the model frame, read node by node: the reference for queries.
std::vector<Point3f> allModelPoints(Octree::Octree const& octree, std::size_t maxLevel = kAllLevels)
{
    std::vector<Octree::OctreeNodeId> nodes{octree.root()};
    std::vector<Point3f> points;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        for (auto const child : octree.children(nodes[i]))
            nodes.push_back(child);
        if (nodes[i].level() > maxLevel)
            continue;
        Octree::NodePointData data;
        EXPECT_TRUE(octree.loadNodePointData(nodes[i], data));
        for (std::size_t p = 0; p < data.size(); ++p)
            points.push_back(data.position(p).cast<float>());
    }
    return sorted(std::move(points));
}

std::vector<Point3f> inside(std::vector<Point3f> const& points, Box3f const& box)
{
    std::vector<Point3f> kept;
    std::ranges::copy_if(points, std::back_inserter(kept), [&](Point3f const& p) { return box.contains(p); });
    return kept;
}

// A box around the middle of the cloud's points whose faces fall between the centimetre grid of the data.
Box3f middleBox(Octree::Octree const& octree)
{
    Box3f const bounds = octree.boundingBox();
    Point3f const size = bounds.size();
    Point3f const offset = Point3f::Constant(0.0037f);
    return {Point3f(bounds.min() + size * 0.25f + offset), Point3f(bounds.min() + size * 0.7f + offset)};
}

// The 12 triangles of a closed box.
Math::TriangleMesh<float> boxMesh(Box3f const& box)
{
    std::vector<Point3f> corners;
    for (int corner = 0; corner < 8; ++corner)
        corners.emplace_back(corner & 1 ? box.max().x() : box.min().x(), corner & 2 ? box.max().y() : box.min().y(),
                             corner & 4 ? box.max().z() : box.min().z());
    std::vector<std::int32_t> const triangles{0, 2, 1, 1, 2, 3, 4, 5, 6, 5, 7, 6, 0, 1, 4, 1, 5, 4,
                                              2, 6, 3, 3, 6, 7, 0, 4, 2, 2, 4, 6, 1, 3, 5, 3, 7, 5};
    return Math::TriangleMesh<float>(std::move(corners), triangles);
}

class PotreeQuery : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sCloud = potreeCloud("autzen-trim-default");
        sAllPoints = allModelPoints(*sCloud->octree());
    }
    static void TearDownTestSuite()
    {
        sCloud.reset();
        sAllPoints.clear();
    }

    static std::shared_ptr<PointCloudRenderable> sCloud;
    static std::vector<Point3f> sAllPoints;
};

std::shared_ptr<PointCloudRenderable> PotreeQuery::sCloud;
std::vector<Point3f> PotreeQuery::sAllPoints;

TEST_F(PotreeQuery, WholeCloudMatchesTheManifest)
{
    auto const expected = manifest("potree/autzen-trim-default");
    auto query = sCloud->createPointCloudQuery(nullptr, kAllLevels, 0.0f, kNoTimeLimit);
    auto const points = drain(*query);
    ASSERT_EQ(points.size(), expected["points"].get<std::size_t>());
    EXPECT_EQ(points, sAllPoints);

    // Model coordinates are relative to the octree's reference position.
    Box3f bounds;
    for (Point3f const& p : points)
        bounds.extend(p);
    auto const position = sCloud->octree()->position();
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_NEAR(bounds.min()[axis] + position[axis], expected["tight_bounds_of_points"]["min"][axis].get<double>(), 0.02);
        EXPECT_NEAR(bounds.max()[axis] + position[axis], expected["tight_bounds_of_points"]["max"][axis].get<double>(), 0.02);
    }
}

TEST_F(PotreeQuery, MaxLevelReturnsThePointsOfTheLevelsAbove)
{
    auto const perLevel = manifest("potree/autzen-trim-default")["hierarchy_facts"]["nodes_and_points_per_level"];
    std::size_t points = 0;
    std::size_t nodes = 0;
    for (std::size_t level = 0; level <= 4; ++level) {
        points += perLevel[std::to_string(level)]["points"].get<std::size_t>();
        nodes += perLevel[std::to_string(level)]["nodes"].get<std::size_t>();
        auto query = sCloud->createPointCloudQuery(nullptr, level, 0.0f, kNoTimeLimit);
        EXPECT_EQ(drain(*query).size(), points) << "level " << level;
        auto const loaded = query->loadedNodesPerLevel();
        EXPECT_EQ(loaded.size(), level + 1);
        EXPECT_EQ(std::accumulate(loaded.begin(), loaded.end(), std::size_t{0}), nodes);
    }
}

TEST_F(PotreeQuery, MinSpacingLeavesOutFinerLevels)
{
    auto const& octree = *sCloud->octree();
    auto query = sCloud->createPointCloudQuery(nullptr, kAllLevels, octree.spacing(std::size_t{2}), kNoTimeLimit);
    EXPECT_EQ(drain(*query), allModelPoints(octree, 1));
    auto none = sCloud->createPointCloudQuery(nullptr, kAllLevels, octree.spacing() * 1.5f, kNoTimeLimit);
    VertexPosColor buffer[16];
    EXPECT_EQ(none->getNextPointChunk(buffer, 16), 0u);
    EXPECT_TRUE(none->isExhausted());
}

TEST_F(PotreeQuery, BoxFilterReturnsExactlyThePointsInside)
{
    BoxFilter const filter(middleBox(*sCloud->octree()));
    auto query = sCloud->createPointCloudQuery(&filter, kAllLevels, 0.0f, kNoTimeLimit);
    auto const expected = inside(sAllPoints, filter.box());
    ASSERT_GT(expected.size(), 1000u);
    for (std::size_t chunk : {std::size_t{1}, std::size_t{333}, kChunk}) {
        auto again = sCloud->createPointCloudQuery(&filter, kAllLevels, 0.0f, kNoTimeLimit);
        EXPECT_EQ(drain(*again, chunk), expected) << "chunk " << chunk;
    }
    filter.positionTests = 0;
    drain(*query);
    EXPECT_LT(filter.positionTests, sAllPoints.size());
}

TEST_F(PotreeQuery, WorldMatrixMovesTheQueriedPoints)
{
    Eigen::Matrix4f matrix = Eigen::Matrix4f::Identity();
    matrix.col(3).head<3>() = Eigen::Vector3f(1000.0f, -20.0f, 3.0f);
    PointCloudQuery query(sCloud->octree(), {}, matrix, nullptr, 0, 0.0f, kNoTimeLimit);
    auto const points = drain(query);
    auto const model = allModelPoints(*sCloud->octree(), 0);
    ASSERT_EQ(points.size(), model.size());
    std::vector<Point3f> moved;
    for (Point3f const& p : model)
        moved.push_back(Point3f((matrix * p.homogeneous()).hnormalized()));
    EXPECT_EQ(points, sorted(moved));
}

TEST_F(PotreeQuery, ExpiredTimeLimitEndsCallsEarlyWithoutError)
{
    auto query = sCloud->createPointCloudQuery(nullptr, kAllLevels, 0.0f, std::chrono::nanoseconds::zero());
    std::vector<VertexPosColor> buffer(sAllPoints.size());
    std::size_t const first = query->getNextPointChunk(buffer.data(), buffer.size());
    // At most one node per call once the time is up, and the root comes first.
    EXPECT_GT(first, 0u);
    EXPECT_LE(first, manifest("potree/autzen-trim-default")["root_node"]["numPoints"].get<std::size_t>());
    EXPECT_FALSE(query->isExhausted());
    std::size_t total = first;
    std::size_t calls = 1;
    while (!query->isExhausted()) {
        total += query->getNextPointChunk(buffer.data(), buffer.size());
        ++calls;
    }
    EXPECT_EQ(total, sAllPoints.size());
    EXPECT_GE(calls, manifest("potree/autzen-trim-default")["hierarchy_facts"]["node_count"].get<std::size_t>());
}

TEST_F(PotreeQuery, QueriesOfOneCloudShareTheNodeCache)
{
    auto const& octree = *sCloud->octree();
    auto query = sCloud->createPointCloudQuery(nullptr, 1, 0.0f, kNoTimeLimit);
    auto const cache = PointCloudQuery::createOrGetSharedCache(octree.location(), octree.unitScale(), 1, 0);
    EXPECT_EQ(cache->capacity(), 2'000'000u);
    drain(*query);
    EXPECT_EQ(cache->entryCount(), 3u);
    EXPECT_NE(PointCloudQuery::createOrGetSharedCache(octree.location(), 2.0, 1, 0), cache);
}

TEST_F(PotreeQuery, EmptyChunksAndMissingBuffers)
{
    auto query = sCloud->createPointCloudQuery(nullptr, 0, 0.0f, kNoTimeLimit);
    EXPECT_EQ(query->getNextPointChunk(nullptr, 0), 0u);
    EXPECT_THROW(query->getNextPointChunk(nullptr, 1), std::invalid_argument);
    EXPECT_EQ(drain(*query).size(), allModelPoints(*sCloud->octree(), 0).size());
}

TEST_F(PotreeQuery, MovedQueryContinuesWhereItWas)
{
    PointCloudQuery query(sCloud->octree(), {}, Eigen::Matrix4f::Identity(), nullptr, kAllLevels, 0.0f, kNoTimeLimit);
    std::vector<VertexPosColor> buffer(10);
    ASSERT_EQ(query.getNextPointChunk(buffer.data(), buffer.size()), 10u);
    PointCloudQuery moved(std::move(query));
    EXPECT_EQ(drain(moved).size() + 10, sAllPoints.size());
}

TEST_F(PotreeQuery, AllPointsInWorldCoordinatesWithZeroNormals)
{
    auto cloud = potreeCloud("autzen-trim-default");
    Eigen::Matrix4f matrix = Eigen::Matrix4f::Identity();
    matrix.topLeftCorner<3, 3>() *= 0.5f;
    cloud->setMatrix(matrix);
    Octree::OctreeNodeCache cache;
    std::vector<Point3f> positions;
    std::vector<Eigen::Vector3f> normals;
    EXPECT_TRUE(cloud->getAllPoints(cache, positions, normals, kNoLimit, 0.0f, false, {}));
    std::vector<Point3f> expected;
    for (Point3f const& p : sAllPoints)
        expected.push_back(Point3f((matrix * p.homogeneous()).hnormalized()));
    EXPECT_EQ(sorted(positions), sorted(expected));
    ASSERT_EQ(normals.size(), positions.size());
    EXPECT_TRUE(std::ranges::all_of(normals, [](Eigen::Vector3f const& n) { return n.isZero(); }));

    // Appending keeps what is there and stops at maxPoints, also inside a node.
    std::size_t const before = positions.size();
    EXPECT_TRUE(cloud->getAllPoints(cache, positions, normals, before + 17, 0.0f, true, {}));
    EXPECT_EQ(positions.size(), before + 17);
    EXPECT_EQ(normals.size(), before + 17);
    EXPECT_TRUE(cloud->getAllPoints(cache, positions, normals, 5, 0.0f, true, {}));
    EXPECT_EQ(positions.size(), before + 17);
}

TEST_F(PotreeQuery, ShellOfABoxKeepsWhatTheBoxFilterKeeps)
{
    auto cloud = potreeCloud("autzen-trim-default");
    Eigen::Matrix4f matrix = Eigen::Matrix4f::Identity();
    matrix.col(3).head<3>() = Eigen::Vector3f(-500.0f, 250.0f, 10.0f);
    cloud->setMatrix(matrix);
    Box3f const worldBox = middleBox(*cloud->octree()).transformed(matrix);

    BoxFilter const filter(worldBox);
    PointCloudQuery query(cloud->octree(), {}, matrix, &filter, kAllLevels, 0.0f, kNoTimeLimit);
    auto const byFilter = drain(query);

    Octree::OctreeNodeCache cache;
    std::vector<Point3f> positions;
    std::vector<Eigen::Vector3f> normals;
    EXPECT_TRUE(cloud->getAllPointsInsideShell(cache, positions, normals, Math::TriangleMeshShell<float>(boxMesh(worldBox)),
                                               kNoLimit, 0.0f, false, {}));
    ASSERT_GT(byFilter.size(), 1000u);
    EXPECT_EQ(normals.size(), positions.size());
    // The shell is tested in the model frame, so a point may fall either way by a rounding step.
    auto const byShell = sorted(positions);
    std::vector<Point3f> onlyInOne;
    std::ranges::set_symmetric_difference(byShell, byFilter, std::back_inserter(onlyInOne), lexicographicallyLess);
    EXPECT_LE(onlyInOne.size(), byFilter.size() / 1000) << byShell.size() << " vs " << byFilter.size();
}

TEST(EntwineQuery, WholeCloudAndBoxMatchTheNodes)
{
    auto cloud = entwineCloud("lone-star-laszip");
    auto const all = allModelPoints(*cloud->octree());
    ASSERT_EQ(all.size(), manifest("ept/lone-star-laszip")["points"].get<std::size_t>());
    BoxFilter const filter(middleBox(*cloud->octree()));
    auto query = cloud->createPointCloudQuery(&filter, kAllLevels, 0.0f, kNoTimeLimit);
    EXPECT_EQ(drain(*query), inside(all, filter.box()));
}

TEST(EntwineQuery, BrokenNodeIsReportedAndSkipped)
{
    auto cloud = entwineCloud("lone-star-invalid-tile");
    auto const expected = manifest("ept/lone-star-invalid-tile");
    std::size_t brokenNodePoints = 0;
    for (auto const& node : expected["nodes"]) {
        if (node["key"] == "2-2-2-2")
            brokenNodePoints = node["points"].get<std::size_t>();
    }
    ASSERT_GT(brokenNodePoints, 0u);
    PointCloudQuery query(cloud->octree(), {}, Eigen::Matrix4f::Identity(), nullptr, kAllLevels, 0.0f, kNoTimeLimit);
    std::vector<VertexPosColor> buffer(kChunk);
    std::size_t total = 0;
    std::size_t failures = 0;
    while (!query.isExhausted()) {
        try {
            total += query.getNextPointChunk(buffer.data(), buffer.size());
        } catch (std::runtime_error const& error) {
            EXPECT_STREQ(error.what(), "Querying node data failed");
            ++failures;
        }
    }
    EXPECT_EQ(failures, 1u);
    EXPECT_EQ(total, expected["points"].get<std::size_t>() - brokenNodePoints);
    EXPECT_EQ(total, expected["checks"]["readable_nodes_point_sum"].get<std::size_t>());
}

} // namespace
