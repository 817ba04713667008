// The filtered breadth-first point walk behind point queries, and the collection of all points of
// a cloud, on small Potree data sets written for the test.
#include "testdatasets.h"

#include "octree/filteredpointwalk.h"
#include "octree/pointcollection.h"
#include "octree/potreehierarchy.h"
#include "octree/potreelocation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <thread>

namespace {

using OctreeTest::TempFolder;
using Point3f = Math::Point<float, 3>;
using Box3f = Math::NBoundingBox<float, 3>;
using Walk = Octree::FilteredPointWalk<OctreeTest::WalkFilter>;
using Octree::BoxTestResult;

constexpr std::size_t kAllLevels = 100;
constexpr std::chrono::nanoseconds kNoTimeLimit = std::chrono::nanoseconds::max();

// Keeps the points inside an axis-aligned box and counts how often it is asked.
class BoxFilter : public OctreeTest::Region {
public:
    explicit BoxFilter(Box3f box) : mBox(box) {}

    bool testPosition(Point3f const& point) const override
    {
        ++positionTests;
        return mBox.contains(point);
    }
    BoxTestResult testBox(Box3f const& box) const override
    {
        ++boxTests;
        if (!mBox.intersects(box))
            return BoxTestResult::Outside;
        return mBox.contains(box.min()) && mBox.contains(box.max()) ? BoxTestResult::Inside
                                                                    : BoxTestResult::Intersecting;
    }

    mutable std::size_t positionTests = 0;
    mutable std::size_t boxTests = 0;

private:
    Box3f mBox;
};

// Every box needs testing, and no point passes.
class RejectAllFilter : public OctreeTest::Region {
public:
    bool testPosition(Point3f const&) const override { return false; }
    BoxTestResult testBox(Box3f const&) const override { return BoxTestResult::Intersecting; }
};

// Passes every point until the given number of position tests, then throws something that is not a
// std::runtime_error, as a host's filter may.
class ThrowingFilter : public OctreeTest::Region {
public:
    explicit ThrowingFilter(std::size_t passing) : mPassing(passing) {}
    bool testPosition(Point3f const&) const override
    {
        if (mTests++ == mPassing)
            throw std::logic_error("host filter failed");
        return true;
    }
    BoxTestResult testBox(Box3f const&) const override { return BoxTestResult::Intersecting; }

private:
    std::size_t mPassing;
    mutable std::size_t mTests = 0;
};

struct QueriedPoint {
    Point3f position;
    std::uint32_t color;
    auto operator<=>(QueriedPoint const& other) const
    {
        return std::tie(position.x(), position.y(), position.z(), color) <=>
               std::tie(other.position.x(), other.position.y(), other.position.z(), other.color);
    }
    bool operator==(QueriedPoint const& other) const = default;
};

Point3f toWorld(Eigen::Matrix4f const& matrix, Math::Point<double, 3> const& model)
{
    Eigen::Vector4f const transformed = matrix * model.cast<float>().homogeneous();
    return Point3f(transformed.head<3>() / transformed.w());
}

// Every point of every node down to `maxLevel` that `keep` accepts, sorted: what a query must return.
template <class Keep>
std::vector<QueriedPoint> bruteForce(Octree::Octree const& octree, Eigen::Matrix4f const& matrix, std::size_t maxLevel,
                                     Keep keep)
{
    std::vector<QueriedPoint> points;
    for (auto const id : Octree::allNodeIds(octree)) {
        if (id.level() > maxLevel)
            continue;
        Octree::NodePointData data;
        EXPECT_TRUE(octree.loadNodePointData(id, data));
        for (std::size_t i = 0; i < data.size(); ++i) {
            Point3f const world = toWorld(matrix, data.position(i));
            if (keep(world))
                points.push_back({world, data.color(i).packed()});
        }
    }
    std::ranges::sort(points);
    return points;
}

std::vector<QueriedPoint> drain(Walk& walk, std::size_t chunkSize)
{
    std::vector<QueriedPoint> points;
    while (!walk.isExhausted()) {
        std::size_t const before = points.size();
        std::size_t const count =
            walk.next(chunkSize, [&](Point3f const& p, Math::Color color) { points.push_back({p, color.packed()}); });
        EXPECT_EQ(count, points.size() - before);
        EXPECT_LE(count, chunkSize);
    }
    std::ranges::sort(points);
    return points;
}

class FilteredPointWalkTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sFolder = std::make_unique<TempFolder>("pointquery");
        PoTree::WriterOptions options;
        options.maxPointsPerNode = 150;
        PoTree::writePotree(OctreeTest::randomPoints(6000), sFolder->path(), options);
        sOctree = std::make_shared<Octree::Octree>(std::make_shared<PoTree::FileSystemLocation>(sFolder->path()), 1.0);
    }
    static void TearDownTestSuite()
    {
        sOctree.reset();
        sFolder.reset();
    }

    static Walk walk(OctreeTest::Region const* filter, std::size_t maxLevel = kAllLevels, float minSpacing = 0.0f,
                     std::shared_ptr<Octree::NodePointDataCache> cache = {},
                     Eigen::Matrix4f const& matrix = Eigen::Matrix4f::Identity(),
                     std::chrono::nanoseconds duration = kNoTimeLimit)
    {
        return Walk(sOctree, std::move(cache), matrix, OctreeTest::WalkFilter{filter, maxLevel, minSpacing}, duration);
    }

    // A box around the middle of the cloud, cutting through nodes of every level.
    static Box3f middleBox()
    {
        Box3f const bounds = sOctree->boundingBox();
        Point3f const size = bounds.size();
        return {Point3f(bounds.min() + size * 0.3f), Point3f(bounds.min() + size * 0.6f)};
    }

    static std::unique_ptr<TempFolder> sFolder;
    static std::shared_ptr<Octree::Octree> sOctree;
};

std::unique_ptr<TempFolder> FilteredPointWalkTest::sFolder;
std::shared_ptr<Octree::Octree> FilteredPointWalkTest::sOctree;

TEST_F(FilteredPointWalkTest, DataSetHasSeveralLevels)
{
    auto const nodes = Octree::allNodeIds(*sOctree);
    ASSERT_GT(std::ranges::max(nodes, {}, &Octree::OctreeNodeId::level).level(), 2u);
}

TEST_F(FilteredPointWalkTest, BoxFilterReturnsExactlyThePointsInside)
{
    BoxFilter const filter(middleBox());
    auto query = walk(&filter);
    auto const points = drain(query, 1000);
    auto const expected = bruteForce(*sOctree, Eigen::Matrix4f::Identity(), kAllLevels,
                                     [&](Point3f const& p) { return middleBox().contains(p); });
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(points, expected);
    // Pruning: far fewer points were tested than the cloud holds.
    EXPECT_LT(filter.positionTests, 6000u);
}

TEST_F(FilteredPointWalkTest, SmallChunksReturnEveryPointOnce)
{
    auto query = walk(nullptr);
    auto const points = drain(query, 7);
    EXPECT_EQ(points.size(), 6000u);
    EXPECT_EQ(points, bruteForce(*sOctree, Eigen::Matrix4f::Identity(), kAllLevels, [](Point3f const&) { return true; }));
}

TEST_F(FilteredPointWalkTest, MaxLevelLimitsTheLevels)
{
    for (std::size_t maxLevel : {0u, 1u, 2u}) {
        auto query = walk(nullptr, maxLevel);
        auto const points = drain(query, 500);
        EXPECT_EQ(points, bruteForce(*sOctree, Eigen::Matrix4f::Identity(), maxLevel, [](Point3f const&) { return true; }))
            << "maxLevel " << maxLevel;
        EXPECT_EQ(query.loadedNodesPerLevel().size(), maxLevel + 1);
    }
}

TEST_F(FilteredPointWalkTest, MinSpacingStopsAtTheLevelWhoseSpacingReachesIt)
{
    // Nodes of level 2 have a spacing equal to this; they and all below are left out.
    auto query = walk(nullptr, kAllLevels, sOctree->spacing(std::size_t{2}));
    auto const points = drain(query, 500);
    EXPECT_EQ(points, bruteForce(*sOctree, Eigen::Matrix4f::Identity(), 1, [](Point3f const&) { return true; }));

    auto nothing = walk(nullptr, kAllLevels, sOctree->spacing() * 2.0f);
    EXPECT_TRUE(nothing.isExhausted());
    EXPECT_EQ(nothing.next(100, [](Point3f const&, Math::Color) {}), 0u);
}

TEST_F(FilteredPointWalkTest, RootOutsideTheFilterGivesNothing)
{
    Box3f const cube = sOctree->boundingCube(sOctree->root());
    BoxFilter const filter({Point3f(cube.max() + Point3f::Constant(10.0f)), Point3f(cube.max() + Point3f::Constant(20.0f))});
    auto query = walk(&filter);
    EXPECT_EQ(query.next(100, [](Point3f const&, Math::Color) {}), 0u);
    EXPECT_TRUE(query.isExhausted());
    EXPECT_EQ(filter.positionTests, 0u);
}

TEST_F(FilteredPointWalkTest, PointsOfInsideNodesAreNotTestedOneByOne)
{
    Box3f const bounds = sOctree->boundingCube(sOctree->root());
    BoxFilter const filter({Point3f(bounds.min() - Point3f::Ones()), Point3f(bounds.max() + Point3f::Ones())});
    auto query = walk(&filter);
    EXPECT_EQ(drain(query, 1000).size(), 6000u);
    EXPECT_EQ(filter.positionTests, 0u);
    EXPECT_EQ(filter.boxTests, 1u);
}

TEST_F(FilteredPointWalkTest, FilterRejectingEveryPointEndsWithNothing)
{
    RejectAllFilter const filter;
    auto query = walk(&filter);
    EXPECT_EQ(query.next(100, [](Point3f const&, Math::Color) {}), 0u);
    EXPECT_TRUE(query.isExhausted());
}

TEST_F(FilteredPointWalkTest, EmptyChunkRequestLoadsTheNextNode)
{
    auto cache = std::make_shared<Octree::NodePointDataCache>(100'000);
    auto query = walk(nullptr, kAllLevels, 0.0f, cache);
    EXPECT_EQ(query.next(0, [](Point3f const&, Math::Color) {}), 0u);
    EXPECT_EQ(cache->entryCount(), 1u) << "the root is loaded";
    EXPECT_EQ(query.loadedNodesPerLevel(), std::vector<std::size_t>{1});
    EXPECT_EQ(drain(query, 1000).size(), 6000u) << "nothing is skipped";
}

TEST_F(FilteredPointWalkTest, ThrowingFilterKeepsThePointsAlreadyWritten)
{
    ThrowingFilter const filter(10);
    auto query = walk(&filter);
    std::size_t emitted = 0;
    auto const count = [&](Point3f const&, Math::Color) { ++emitted; };
    EXPECT_EQ(query.next(100, count), 10u);
    EXPECT_EQ(emitted, 10u);
    EXPECT_THROW(query.next(100, count), std::logic_error) << "reported by the next call";
    EXPECT_EQ(query.next(100, count), 100u) << "the walk goes on";
}

TEST_F(FilteredPointWalkTest, SharedCacheServesLaterQueries)
{
    auto cache = std::make_shared<Octree::NodePointDataCache>(100'000);
    auto first = walk(nullptr, kAllLevels, 0.0f, cache);
    auto const points = drain(first, 1000);
    EXPECT_EQ(cache->entryCount(), Octree::allNodeIds(*sOctree).size());
    EXPECT_EQ(cache->currentSize(), 6000u);
    auto second = walk(nullptr, kAllLevels, 0.0f, cache);
    EXPECT_EQ(drain(second, 1000), points);
}

TEST_F(FilteredPointWalkTest, ExpiredTimeLimitEndsEachCallAfterOneNode)
{
    auto query = walk(nullptr, kAllLevels, 0.0f, {}, Eigen::Matrix4f::Identity(), std::chrono::nanoseconds::zero());
    std::size_t calls = 0;
    std::size_t total = 0;
    while (!query.isExhausted()) {
        std::size_t const before = total;
        total += query.next(1'000'000, [](Point3f const&, Math::Color) {});
        ++calls;
        std::size_t loaded = 0;
        for (std::size_t count : query.loadedNodesPerLevel())
            loaded += count;
        EXPECT_EQ(loaded, calls);
        EXPECT_LE(total - before, 150u);
    }
    EXPECT_EQ(total, 6000u);
    EXPECT_EQ(calls, Octree::allNodeIds(*sOctree).size());
}

TEST_F(FilteredPointWalkTest, NegativeAndHugeTimeLimitsAreSafe)
{
    auto past = walk(nullptr, kAllLevels, 0.0f, {}, Eigen::Matrix4f::Identity(), std::chrono::nanoseconds::min());
    EXPECT_GT(past.next(1'000'000, [](Point3f const&, Math::Color) {}), 0u);
    EXPECT_FALSE(past.isExhausted());
    auto never = walk(nullptr, kAllLevels, 0.0f, {}, Eigen::Matrix4f::Identity(),
                      std::chrono::nanoseconds::max() - std::chrono::nanoseconds(1));
    EXPECT_EQ(never.next(1'000'000, [](Point3f const&, Math::Color) {}), 6000u);
}

TEST_F(FilteredPointWalkTest, WorldMatrixMovesPointsBoxesAndSpacing)
{
    Eigen::Matrix4f matrix = Eigen::Matrix4f::Identity();
    matrix.topLeftCorner<3, 3>() *= 2.0f;
    matrix.col(3).head<3>() = Eigen::Vector3f(100.0f, -50.0f, 7.0f);
    Box3f const modelBox = middleBox();
    Box3f const worldBox = modelBox.transformed(matrix);
    BoxFilter const filter(worldBox);
    auto query = walk(&filter, kAllLevels, 0.0f, {}, matrix);
    EXPECT_FLOAT_EQ(query.scale(), 2.0f);
    EXPECT_EQ(drain(query, 1000), bruteForce(*sOctree, matrix, kAllLevels, [&](Point3f const& p) { return worldBox.contains(p); }));

    // Spacings are in world units: twice the model spacing of level 1 still admits level 1.
    auto scaled = walk(nullptr, kAllLevels, sOctree->spacing(std::size_t{1}) * 1.5f, {}, matrix);
    auto const points = drain(scaled, 1000);
    EXPECT_EQ(points, bruteForce(*sOctree, matrix, 1, [](Point3f const&) { return true; }));
}

TEST(FilteredPointWalk, UnreadableNodeThrowsAndTheWalkGoesOn)
{
    TempFolder const folder("pointquery-broken");
    PoTree::WriterOptions options;
    options.maxPointsPerNode = 150;
    PoTree::writePotree(OctreeTest::randomPoints(3000), folder.path(), options);
    std::filesystem::resize_file(folder.path() / "octree.bin", std::filesystem::file_size(folder.path() / "octree.bin") / 2);
    auto octree = std::make_shared<Octree::Octree>(std::make_shared<PoTree::FileSystemLocation>(folder.path()), 1.0);
    Walk query(octree, {}, Eigen::Matrix4f::Identity(), OctreeTest::WalkFilter{}, kNoTimeLimit);

    std::size_t failures = 0;
    std::size_t points = 0;
    std::size_t loadable = 0;
    for (auto const id : Octree::allNodeIds(*octree)) {
        Octree::NodePointData data;
        try {
            octree->loadNodePointData(id, data);
            loadable += data.size();
        } catch (std::runtime_error const&) {
        }
    }
    while (!query.isExhausted()) {
        try {
            points += query.next(1000, [](Point3f const&, Math::Color) {});
        } catch (std::runtime_error const& error) {
            ++failures;
            EXPECT_STREQ(error.what(), "Querying node data failed");
            try {
                std::rethrow_if_nested(error);
                ADD_FAILURE() << "the cause is not nested";
            } catch (std::runtime_error const& cause) {
                EXPECT_NE(std::string(cause.what()).find("octree.bin"), std::string::npos) << cause.what();
            }
        }
    }
    EXPECT_GT(failures, 0u);
    EXPECT_GT(points, 0u);
    EXPECT_EQ(points, loadable);
}

TEST(FilteredPointWalk, UnreadableHierarchyChunkIsReportedLikeANode)
{
    TempFolder const folder("pointquery-hierarchy");
    PoTree::WriterOptions options;
    options.maxPointsPerNode = 150;
    options.hierarchyStepSize = 1;
    auto const summary = PoTree::writePotree(OctreeTest::randomPoints(3000), folder.path(), options);
    ASSERT_GT(summary.hierarchyChunks, 1u);
    auto octree = std::make_shared<Octree::Octree>(std::make_shared<PoTree::FileSystemLocation>(folder.path()), 1.0);
    // The first chunk stays readable; the chunks it points to are cut off.
    std::filesystem::resize_file(folder.path() / "hierarchy.bin", PoTree::kHierarchyRecordBytes);
    Walk query(octree, {}, Eigen::Matrix4f::Identity(), OctreeTest::WalkFilter{}, kNoTimeLimit);
    std::size_t failures = 0;
    while (!query.isExhausted()) {
        try {
            query.next(1000, [](Point3f const&, Math::Color) {});
        } catch (std::runtime_error const& error) {
            EXPECT_STREQ(error.what(), "Querying node data failed");
            ++failures;
        }
    }
    EXPECT_GT(failures, 0u);
}

TEST(FilteredPointWalk, NullOctreeIsRejected)
{
    EXPECT_THROW(Walk({}, {}, Eigen::Matrix4f::Identity(), OctreeTest::WalkFilter{}, kNoTimeLimit),
                 std::invalid_argument);
}

// Collecting all points of a cloud into position and normal vectors.
class CollectPointsTest : public FilteredPointWalkTest {
protected:
    static bool collect(std::vector<Point3f>& positions, std::vector<Eigen::Vector3f>& normals, std::size_t maxPoints,
                        bool append, Eigen::Matrix4f const& matrix = Eigen::Matrix4f::Identity(),
                        std::stop_token stopToken = {})
    {
        Octree::OctreeNodeCache cache;
        auto points = Octree::allPoints(*sOctree, cache, 0.0f, stopToken);
        return Octree::collectPoints(points, sOctree->hasNormals(), matrix, {positions, normals}, maxPoints, append,
                                     stopToken);
    }

    static std::vector<Point3f> sorted(std::vector<Point3f> points)
    {
        std::ranges::sort(points, [](Point3f const& a, Point3f const& b) {
            return std::tie(a.x(), a.y(), a.z()) < std::tie(b.x(), b.y(), b.z());
        });
        return points;
    }

    static std::vector<Point3f> expectedPositions(Eigen::Matrix4f const& matrix)
    {
        std::vector<Point3f> positions;
        for (auto const& point : bruteForce(*sOctree, matrix, kAllLevels, [](Point3f const&) { return true; }))
            positions.push_back(point.position);
        return positions;
    }
};

TEST_F(CollectPointsTest, AllPointsTransformedWithZeroNormals)
{
    Eigen::Matrix4f matrix = Eigen::Matrix4f::Identity();
    matrix.col(3).head<3>() = Eigen::Vector3f(-1000.0f, -2000.0f, 5.0f);
    std::vector<Point3f> positions{Point3f(1, 2, 3)};
    std::vector<Eigen::Vector3f> normals;
    EXPECT_TRUE(collect(positions, normals, 1'000'000, false, matrix));
    EXPECT_EQ(sorted(positions), expectedPositions(matrix));
    ASSERT_EQ(normals.size(), positions.size());
    EXPECT_TRUE(std::ranges::all_of(normals, [](Eigen::Vector3f const& n) { return n.isZero(); }));
}

TEST_F(CollectPointsTest, MaxPointsCutsInsideANode)
{
    std::vector<Point3f> positions;
    std::vector<Eigen::Vector3f> normals;
    EXPECT_TRUE(collect(positions, normals, 200, false));
    EXPECT_EQ(positions.size(), 200u);
    EXPECT_EQ(normals.size(), 200u);
}

TEST_F(CollectPointsTest, AppendKeepsEarlierContentAndTransformsOnlyTheNewPart)
{
    Eigen::Matrix4f matrix = Eigen::Matrix4f::Identity();
    matrix(0, 3) = 10.0f;
    std::vector<Point3f> positions{Point3f(1, 2, 3), Point3f(4, 5, 6)};
    std::vector<Eigen::Vector3f> normals{Eigen::Vector3f::UnitZ()};
    EXPECT_TRUE(collect(positions, normals, 102, true, matrix));
    ASSERT_EQ(positions.size(), 102u);
    EXPECT_EQ(positions[0], Point3f(1, 2, 3));
    EXPECT_EQ(positions[1], Point3f(4, 5, 6));
    ASSERT_EQ(normals.size(), 102u);
    EXPECT_EQ(normals[0], Eigen::Vector3f::UnitZ());
    EXPECT_TRUE(normals[1].isZero());
    auto const expected = expectedPositions(matrix);
    for (std::size_t i = 2; i < positions.size(); ++i)
        EXPECT_TRUE(std::ranges::binary_search(expected, positions[i], [](Point3f const& a, Point3f const& b) {
            return std::tie(a.x(), a.y(), a.z()) < std::tie(b.x(), b.y(), b.z());
        })) << i;
}

TEST_F(CollectPointsTest, MaxPointsNotAboveTheCurrentSizeAddsNothing)
{
    std::vector<Point3f> positions(5, Point3f(1, 1, 1));
    std::vector<Eigen::Vector3f> normals(5, Eigen::Vector3f::UnitX());
    EXPECT_TRUE(collect(positions, normals, 5, true));
    EXPECT_EQ(positions.size(), 5u);
    EXPECT_TRUE(collect(positions, normals, 3, true));
    EXPECT_EQ(positions.size(), 5u);
    EXPECT_EQ(normals.size(), 5u);
}

TEST_F(CollectPointsTest, MoreNormalsThanPositionsIsRejectedUnchanged)
{
    std::vector<Point3f> positions(1, Point3f(1, 1, 1));
    std::vector<Eigen::Vector3f> normals(2, Eigen::Vector3f::UnitX());
    EXPECT_THROW(collect(positions, normals, 100, true), std::invalid_argument);
    EXPECT_EQ(positions.size(), 1u);
    EXPECT_EQ(normals.size(), 2u);
}

TEST_F(CollectPointsTest, StopEndsEarlyWithoutError)
{
    std::stop_source stop;
    stop.request_stop();
    std::vector<Point3f> positions(1, Point3f(1, 1, 1));
    std::vector<Eigen::Vector3f> normals;
    EXPECT_FALSE(collect(positions, normals, 1'000'000, true, Eigen::Matrix4f::Identity(), stop.get_token()));
    EXPECT_EQ(positions.size(), 1u);
    EXPECT_EQ(normals.size(), 1u);
}

} // namespace
