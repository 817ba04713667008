// Point queries and whole-cloud point collection on the real data sets, through the library.
#include "core/filereading.h"
#include "math/trianglemeshshell.h"
#include "octree/octreenodecache.h"
#include "render/pointcloudquery.h"

#include "streamingtestsupport.h"

#include <nlohmann/json.hpp>

#include <limits>

namespace {

using Render::PointCloudQuery;
using Render::PointCloudRenderable;
using Render::VertexPosColor;
using StreamingTest::lexicographicallyLess;
using StreamingTest::potree;
using Point3f = Math::Point<float, 3>;
using Box3f = Math::NBoundingBox<float, 3>;

constexpr std::size_t kAllLevels = 100;
constexpr std::size_t kChunk = 4096;
constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
constexpr std::chrono::nanoseconds kNoTimeLimit = std::chrono::nanoseconds::max();

// Keeps the points in a box, and counts the points it tests one by one.
class BoxFilter : public Render::IFilter {
public:
    explicit BoxFilter(Box3f box) : box(box) {}
    bool testPosition(Point3f const& point) const override
    {
        ++positionTests;
        return box.contains(point);
    }
    Octree::BoxTestResult testBox(Box3f const& other) const override
    {
        if (!box.intersects(other))
            return Octree::BoxTestResult::Outside;
        return box.contains(other.min()) && box.contains(other.max()) ? Octree::BoxTestResult::Inside
                                                                      : Octree::BoxTestResult::Intersecting;
    }
    Box3f const box;
    mutable std::size_t positionTests = 0;
};

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

// Every point of the cloud down to `maxLevel`, read node by node and moved by `matrix`: the reference.
std::vector<Point3f> allPoints(Octree::Octree const& octree, std::size_t maxLevel = kAllLevels,
                               Eigen::Matrix4f const& matrix = Eigen::Matrix4f::Identity())
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
            points.emplace_back((matrix * data.position(p).cast<float>().homogeneous()).hnormalized());
    }
    return sorted(std::move(points));
}

std::vector<Point3f> inside(std::vector<Point3f> const& points, Box3f const& box)
{
    std::vector<Point3f> kept;
    std::ranges::copy_if(points, std::back_inserter(kept), [&](Point3f const& p) { return box.contains(p); });
    return kept;
}

// A box around the middle of the cloud whose faces fall between the centimetre grid of the data.
Box3f middleBox(Octree::Octree const& octree)
{
    Box3f const bounds = octree.boundingBox();
    Point3f const offset = Point3f::Constant(0.0037f);
    return {Point3f(bounds.min() + bounds.size() * 0.25f + offset),
            Point3f(bounds.min() + bounds.size() * 0.7f + offset)};
}

// Queries against the manifest and against reading node by node: every point; a minimum spacing leaves
// out the finer levels (node counts per maximum level are checked through `morvid query`); a box filter
// gets exactly the points inside without testing every point one by one; the queries of one cloud share
// a node cache; once the time is up a call returns after one node (the root first) without error; empty
// chunks and missing buffers. All points collected in world coordinates with zero normals, appended up
// to a maximum; the shell of a box keeps what the box filter keeps.
TEST(PotreeQuery, QueriesAndCollectedPointsMatchTheDataSet)
{
    auto const cloud = PointCloudRenderable::create(potree("autzen-trim-default"), "cloud", 1'000'000, 1.0);
    auto const& octree = *cloud->octree();
    std::vector<Point3f> const everyPoint = allPoints(octree);
    nlohmann::json const manifest = nlohmann::json::parse(
        Core::readLocalFile(StreamingTest::realWorld("potree/autzen-trim-default") / "manifest.json"));
    auto levelOne = cloud->createPointCloudQuery(nullptr, 1, 0.0f, kNoTimeLimit);
    auto const sharedCache =
        PointCloudQuery::createOrGetSharedCache(octree.location(), octree.unitScale(), 1, 0);
    EXPECT_NE(PointCloudQuery::createOrGetSharedCache(octree.location(), 2.0, 1, 0), sharedCache);
    EXPECT_EQ(levelOne->getNextPointChunk(nullptr, 0), 0u);
    EXPECT_THROW(levelOne->getNextPointChunk(nullptr, 1), std::invalid_argument);
    EXPECT_EQ(drain(*levelOne), allPoints(octree, 1));
    EXPECT_EQ(sharedCache->entryCount(), 3u) << "the first query of the cloud read its nodes into it";

    auto const points = drain(*cloud->createPointCloudQuery(nullptr, kAllLevels, 0.0f, kNoTimeLimit));
    ASSERT_EQ(points.size(), manifest["points"].get<std::size_t>());
    EXPECT_EQ(points, everyPoint);

    float const levelTwoSpacing = octree.spacing(std::size_t{2});
    auto coarse = cloud->createPointCloudQuery(nullptr, kAllLevels, levelTwoSpacing, kNoTimeLimit);
    EXPECT_EQ(drain(*coarse), allPoints(octree, 1));
    auto none = cloud->createPointCloudQuery(nullptr, kAllLevels, octree.spacing() * 1.5f, kNoTimeLimit);
    VertexPosColor few[16];
    EXPECT_EQ(none->getNextPointChunk(few, 16), 0u);
    EXPECT_TRUE(none->isExhausted());

    BoxFilter const filter(middleBox(octree));
    auto const expected = inside(everyPoint, filter.box);
    ASSERT_GT(expected.size(), 1000u);
    EXPECT_EQ(drain(*cloud->createPointCloudQuery(&filter, kAllLevels, 0.0f, kNoTimeLimit), 333), expected);
    EXPECT_LT(filter.positionTests, everyPoint.size());

    auto timed = cloud->createPointCloudQuery(nullptr, kAllLevels, 0.0f, std::chrono::nanoseconds::zero());
    std::vector<VertexPosColor> buffer(everyPoint.size());
    std::size_t const first = timed->getNextPointChunk(buffer.data(), buffer.size());
    EXPECT_GT(first, 0u);
    EXPECT_LE(first, manifest["root_node"]["numPoints"].get<std::size_t>());
    std::size_t total = first;
    std::size_t calls = 1;
    for (; !timed->isExhausted(); ++calls)
        total += timed->getNextPointChunk(buffer.data(), buffer.size());
    EXPECT_EQ(total, everyPoint.size());
    EXPECT_GE(calls, manifest["hierarchy_facts"]["node_count"].get<std::size_t>());

    // The cloud's matrix moves what it collects, not what its queries return: it is set last.
    Eigen::Matrix4f matrix = Eigen::Matrix4f::Identity();
    matrix.topLeftCorner<3, 3>() *= 0.5f;
    matrix.col(3).head<3>() = Eigen::Vector3f(-500.0f, 250.0f, 10.0f);
    cloud->setMatrix(matrix);
    Octree::OctreeNodeCache cache;
    std::vector<Point3f> positions;
    std::vector<Eigen::Vector3f> normals;
    EXPECT_TRUE(cloud->getAllPoints(cache, positions, normals, kNoLimit, 0.0f, false, {}));
    std::vector<Point3f> const world = allPoints(octree, kAllLevels, matrix);
    EXPECT_EQ(sorted(positions), world);
    ASSERT_EQ(normals.size(), positions.size());
    EXPECT_TRUE(std::ranges::all_of(normals, [](Eigen::Vector3f const& n) { return n.isZero(); }));
    std::size_t const before = positions.size();
    EXPECT_TRUE(cloud->getAllPoints(cache, positions, normals, before + 17, 0.0f, true, {}));
    EXPECT_EQ(positions.size(), before + 17);

    Box3f const worldBox = middleBox(octree).transformed(matrix);
    std::vector<Point3f> const byBox = inside(world, worldBox);
    ASSERT_GT(byBox.size(), 1000u);
    Math::TriangleMeshShell<float> const shell(StreamingTest::closedBox(worldBox));
    EXPECT_TRUE(cloud->getAllPointsInsideShell(cache, positions, normals, shell, kNoLimit, 0.0f, false, {}));
    EXPECT_EQ(normals.size(), positions.size());
    // The shell is tested in the model frame, so a point may fall either way by a rounding step.
    std::vector<Point3f> onlyInOne;
    std::ranges::set_symmetric_difference(sorted(positions), byBox, std::back_inserter(onlyInOne),
                                          lexicographicallyLess);
    EXPECT_LE(onlyInOne.size(), byBox.size() / 1000) << positions.size() << " vs " << byBox.size();
}

} // namespace
