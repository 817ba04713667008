// The filtered breadth-first point walk behind point queries, and the collection of all points of
// a cloud, on small Potree data sets written for the test.
#include "testdatasets.h"

#include "octree/filteredpointwalk.h"
#include "octree/pointcollection.h"
#include "octree/potreehierarchy.h"
#include "octree/potreelocation.h"
#include "support/thrownmessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <tuple>

namespace {

using Point3f = Math::Point<float, 3>;
using Box3f = Math::NBoundingBox<float, 3>;
using Walk = Octree::FilteredPointWalk<OctreeTest::WalkFilter>;
using Octree::BoxTestResult;

constexpr std::size_t kAllLevels = 100;
constexpr std::chrono::nanoseconds kNoTimeLimit = std::chrono::nanoseconds::max();

// Keeps the points inside an axis-aligned box and counts how often it is asked. When told, it finds
// every node box intersecting, so that each point is tested, and the test number `throwAt` throws
// something that is not a std::runtime_error, as a host's filter may.
class BoxFilter : public OctreeTest::Region {
public:
    explicit BoxFilter(Box3f box, bool testEveryPoint = false, std::size_t throwAt = SIZE_MAX)
        : mBox(box)
        , mTestEveryPoint(testEveryPoint)
        , mThrowAt(throwAt)
    {
    }

    bool testPosition(Point3f const& point) const override
    {
        if (positionTests++ == mThrowAt)
            throw std::logic_error("host filter failed");
        return mBox.contains(point);
    }
    BoxTestResult testBox(Box3f const& box) const override
    {
        ++boxTests;
        if (mTestEveryPoint)
            return BoxTestResult::Intersecting;
        if (!mBox.intersects(box))
            return BoxTestResult::Outside;
        return mBox.contains(box.min()) && mBox.contains(box.max()) ? BoxTestResult::Inside
                                                                    : BoxTestResult::Intersecting;
    }

    mutable std::size_t positionTests = 0;
    mutable std::size_t boxTests = 0;

private:
    Box3f mBox;
    bool mTestEveryPoint;
    std::size_t mThrowAt;
};

// A point as a walk returns it: its position and packed colour.
using QueriedPoint = std::tuple<float, float, float, std::uint32_t>;

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
                points.emplace_back(world.x(), world.y(), world.z(), data.color(i).packed());
        }
    }
    std::ranges::sort(points);
    return points;
}

std::vector<QueriedPoint> drain(Walk& query, std::size_t chunkSize)
{
    std::vector<QueriedPoint> points;
    while (!query.isExhausted()) {
        std::size_t const before = points.size();
        std::size_t const count = query.next(chunkSize, [&](Point3f const& p, Math::Color color) {
            points.emplace_back(p.x(), p.y(), p.z(), color.packed());
        });
        EXPECT_EQ(count, points.size() - before);
        EXPECT_LE(count, chunkSize);
    }
    std::ranges::sort(points);
    return points;
}

// The cloud every walk below reads, written once.
std::shared_ptr<Octree::Octree> const& cloud()
{
    static OctreeTest::WrittenDataSet const dataSet("pointquery", OctreeTest::randomPoints(6000), 150);
    static std::shared_ptr<Octree::Octree> const octree = dataSet.open();
    return octree;
}

Walk walk(OctreeTest::Region const* filter, std::size_t maxLevel = kAllLevels, float minSpacing = 0.0f,
          std::shared_ptr<Octree::NodePointDataCache> cache = {},
          Eigen::Matrix4f const& matrix = Eigen::Matrix4f::Identity(),
          std::chrono::nanoseconds limit = kNoTimeLimit)
{
    OctreeTest::WalkFilter const walkFilter{filter, maxLevel, minSpacing};
    return Walk(cloud(), std::move(cache), matrix, walkFilter, limit);
}

std::vector<QueriedPoint> all(std::size_t maxLevel = kAllLevels,
                              Eigen::Matrix4f const& matrix = Eigen::Matrix4f::Identity())
{
    return bruteForce(*cloud(), matrix, maxLevel, [](Point3f const&) { return true; });
}

constexpr auto kIgnore = [](Point3f const&, Math::Color) {};

// The exact points of a box cutting through nodes are checked on real data by the render query tests.
TEST(FilteredPointWalk, BoxFiltersTestOnlyTheBoxesTheyCut)
{
    Box3f const bounds = cloud()->boundingCube(cloud()->root());
    BoxFilter const around({Point3f(bounds.min() - Point3f::Ones()), Point3f(bounds.max() + Point3f::Ones())});
    auto whole = walk(&around);
    EXPECT_EQ(drain(whole, 1000).size(), 6000u);
    EXPECT_EQ(around.positionTests, 0u) << "points of inside nodes are not tested one by one";
    EXPECT_EQ(around.boxTests, 1u);

    BoxFilter const beyond(
        {Point3f(bounds.max() + Point3f::Constant(10.0f)), Point3f(bounds.max() + Point3f::Constant(20.0f))});
    BoxFilter const rejectAll(Box3f(), true);
    for (BoxFilter const* filter : {&beyond, &rejectAll}) {
        auto nothing = walk(filter);
        EXPECT_EQ(nothing.next(100, kIgnore), 0u);
        EXPECT_TRUE(nothing.isExhausted());
    }
    EXPECT_EQ(beyond.positionTests, 0u);
}

TEST(FilteredPointWalk, ChunksOfAnySizeReturnEveryPointOnceAndFillTheSharedCache)
{
    ASSERT_GT(std::ranges::max(Octree::allNodeIds(*cloud()), {}, &Octree::OctreeNodeId::level).level(), 2u);
    auto cache = std::make_shared<Octree::NodePointDataCache>(100'000);
    auto first = walk(nullptr, kAllLevels, 0.0f, cache);
    EXPECT_EQ(first.next(0, kIgnore), 0u);
    EXPECT_EQ(cache->entryCount(), 1u) << "an empty request loads the next node, the root";
    EXPECT_EQ(first.loadedNodesPerLevel(), std::vector<std::size_t>{1});
    auto const points = drain(first, 7);
    EXPECT_EQ(points, all()) << "nothing is skipped or returned twice";
    EXPECT_EQ(cache->entryCount(), Octree::allNodeIds(*cloud()).size());
    EXPECT_EQ(cache->currentSize(), 6000u);
    auto second = walk(nullptr, kAllLevels, 0.0f, cache);
    EXPECT_EQ(drain(second, 1000), points);
    EXPECT_THROW(Walk({}, {}, Eigen::Matrix4f::Identity(), OctreeTest::WalkFilter{}, kNoTimeLimit),
                 std::invalid_argument);
}

// Deadlines computed from extreme time limits must neither overflow nor end the walk.
TEST(FilteredPointWalk, ThrowingFilterKeepsThePointsAlreadyWrittenAndExtremeTimeLimitsAreSafe)
{
    Box3f const bounds = cloud()->boundingCube(cloud()->root());
    BoxFilter const filter(bounds, true, 10);
    auto query = walk(&filter);
    std::size_t emitted = 0;
    auto const count = [&](Point3f const&, Math::Color) { ++emitted; };
    EXPECT_EQ(query.next(100, count), 10u);
    EXPECT_EQ(emitted, 10u);
    EXPECT_THROW(query.next(100, count), std::logic_error) << "reported by the next call";
    EXPECT_EQ(query.next(100, count), 100u) << "the walk goes on";

    auto past = walk(nullptr, kAllLevels, 0.0f, {}, Eigen::Matrix4f::Identity(), std::chrono::nanoseconds::min());
    EXPECT_GT(past.next(1'000'000, kIgnore), 0u);
    EXPECT_FALSE(past.isExhausted());
    auto never = walk(nullptr, kAllLevels, 0.0f, {}, Eigen::Matrix4f::Identity(),
                      std::chrono::nanoseconds::max() - std::chrono::nanoseconds(1));
    EXPECT_EQ(never.next(1'000'000, kIgnore), 6000u);
}

TEST(FilteredPointWalk, WorldMatrixMovesPointsBoxesAndSpacing)
{
    Eigen::Matrix4f matrix = Eigen::Matrix4f::Identity();
    matrix.topLeftCorner<3, 3>() *= 2.0f;
    matrix.col(3).head<3>() = Eigen::Vector3f(100.0f, -50.0f, 7.0f);
    Box3f const worldBox = cloud()->boundingBox().transformed(matrix);
    Box3f const lowerHalf(worldBox.min(), Point3f(worldBox.center()));
    BoxFilter const filter(lowerHalf);
    auto query = walk(&filter, kAllLevels, 0.0f, {}, matrix);
    EXPECT_FLOAT_EQ(query.scale(), 2.0f);
    auto const expected =
        bruteForce(*cloud(), matrix, kAllLevels, [&](Point3f const& p) { return lowerHalf.contains(p); });
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(drain(query, 1000), expected);

    // Spacings are in world units: twice the model spacing of level 1 still admits level 1.
    auto scaled = walk(nullptr, kAllLevels, cloud()->spacing(std::size_t{1}) * 1.5f, {}, matrix);
    EXPECT_EQ(drain(scaled, 1000), all(1, matrix));
}

// A node or a hierarchy chunk that cannot be read fails the call that reaches it, with the cause
// nested, and the walk goes on with the rest.
TEST(FilteredPointWalk, UnreadableNodesAndHierarchyChunksAreReportedAndTheWalkGoesOn)
{
    PoTree::WriterOptions options;
    options.hierarchyStepSize = 1;
    for (auto const& [file, keptBytes] : {std::pair<char const*, std::uintmax_t>{"octree.bin", 0},
                                          {"hierarchy.bin", PoTree::kHierarchyRecordBytes}}) {
        SCOPED_TRACE(file);
        OctreeTest::WrittenDataSet const dataSet("pointquery-broken", OctreeTest::randomPoints(3000), 150, options);
        ASSERT_GT(dataSet.summary.hierarchyChunks, 1u);
        auto const octree = dataSet.open();
        // Half of the points, or the first hierarchy chunk alone: the chunks it points to are cut off.
        std::filesystem::resize_file(dataSet.file(file),
                                     keptBytes ? keptBytes : std::filesystem::file_size(dataSet.file(file)) / 2);
        // With the hierarchy whole, the walk returns every point of the nodes that still load.
        std::size_t loadable = 0;
        for (auto const id : keptBytes ? std::vector<Octree::OctreeNodeId>{} : Octree::allNodeIds(*octree)) {
            Octree::NodePointData data;
            try {
                octree->loadNodePointData(id, data);
                loadable += data.size();
            } catch (std::runtime_error const&) {
            }
        }
        Walk query(octree, {}, Eigen::Matrix4f::Identity(), OctreeTest::WalkFilter{}, kNoTimeLimit);
        std::size_t failures = 0;
        std::size_t points = 0;
        while (!query.isExhausted()) {
            try {
                points += query.next(1000, kIgnore);
            } catch (std::runtime_error const& error) {
                ++failures;
                EXPECT_STREQ(error.what(), "Querying node data failed");
                std::string const cause = TestSupport::thrownMessage([&] { std::rethrow_if_nested(error); });
                EXPECT_NE(cause.find(file), std::string::npos) << cause;
            }
        }
        EXPECT_GT(failures, 0u);
        EXPECT_TRUE(keptBytes || (points > 0 && points == loadable)) << points << " of " << loadable;
    }
}

// Collecting all points of a cloud into position and normal vectors; what is collected, and that a full
// output takes nothing more, is checked through the renderable in the render tests.
TEST(FilteredPointWalk, CollectingPointsChangesNothingOnMisuseOrStop)
{
    auto const collect = [](std::vector<Point3f>& positions, std::vector<Eigen::Vector3f>& normals,
                            std::size_t maxPoints, std::stop_token stopToken) {
        Octree::OctreeNodeCache cache;
        auto points = Octree::allPoints(*cloud(), cache, 0.0f, stopToken);
        return Octree::collectPoints(points, cloud()->hasNormals(), Eigen::Matrix4f::Identity(),
                                     {positions, normals}, maxPoints, true, stopToken);
    };
    std::vector<Point3f> positions(5, Point3f(1, 1, 1));
    std::vector<Eigen::Vector3f> normals(6, Eigen::Vector3f::UnitX());
    EXPECT_THROW(collect(positions, normals, 100, {}), std::invalid_argument) << "more normals than positions";
    EXPECT_EQ(positions.size(), 5u);
    EXPECT_EQ(normals.size(), 6u);

    std::stop_source stop;
    stop.request_stop();
    normals.clear();
    EXPECT_FALSE(collect(positions, normals, 1'000'000, stop.get_token()));
    EXPECT_EQ(positions.size(), 5u);
    EXPECT_EQ(normals.size(), 5u) << "normals still match the positions";
}

} // namespace
