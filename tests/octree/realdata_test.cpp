// Decodes the real data sets under the shared test data folder and compares them with the
// figures their manifests record.
#include "octree/nodevertexloader.h"
#include "octree/pointiterator.h"
#include "octree/potreenodedecoder.h"

#include "core/filereading.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>

namespace {

std::filesystem::path const kRealWorld = std::filesystem::path(MORVID_TEST_DATA_DIR) / "realworld";

nlohmann::json manifest(std::filesystem::path const& folder)
{
    return nlohmann::json::parse(Core::readLocalFile(folder / "manifest.json"));
}

struct Sums {
    std::uint64_t points = 0;
    std::array<std::uint64_t, 3> positions{0, 0, 0};
    std::uint64_t intensity = 0;
    std::array<std::uint64_t, 3> rgb{0, 0, 0};
    std::map<int, std::uint64_t> classes;
};

class PotreeRealData : public testing::TestWithParam<std::string> {};

TEST_P(PotreeRealData, DecodesEveryNodeAsTheManifestRecords)
{
    std::filesystem::path const folder = kRealWorld / "potree" / GetParam();
    nlohmann::json const expected = manifest(folder);
    auto location = std::make_shared<PoTree::FileSystemLocation>(folder);
    ASSERT_TRUE(location->exists());
    Octree::Octree const octree(location, 1.0);

    auto const nodes = Octree::allNodeIds(octree);
    EXPECT_EQ(nodes.size(), expected["hierarchy_facts"]["node_count"].get<std::size_t>());
    Sums sums;
    for (auto const id : nodes) {
        PoTree::DecodedPoints points;
        ASSERT_TRUE(PoTree::readNodePoints(*location, *octree.potreeTree()->nodeById(id), points, {}));
        sums.points += points.count;
        for (std::size_t i = 0; i < points.count; ++i) {
            for (int axis = 0; axis < 3; ++axis)
                sums.positions[axis] += points.positions[i][axis];
            sums.intensity += points.intensities[i];
            if (!points.colors.empty()) {
                for (int c = 0; c < 3; ++c)
                    sums.rgb[c] += points.colors[i][c];
            }
            ++sums.classes[points.classifications[i]];
        }
    }
    nlohmann::json const& decoded = expected["all_nodes_decoded_sums"];
    EXPECT_EQ(sums.points, expected["points"].get<std::uint64_t>());
    auto const& positionSums = decoded.contains("position_stored_sum") ? decoded["position_stored_sum"]
                                                                        : decoded["position_morton_decoded_sum"];
    for (int axis = 0; axis < 3; ++axis)
        EXPECT_EQ(sums.positions[axis], positionSums[axis].get<std::uint64_t>());
    EXPECT_EQ(sums.intensity, decoded["intensity_sum"].get<std::uint64_t>());
    if (decoded.contains("rgb_sum")) {
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(sums.rgb[c], decoded["rgb_sum"][c].get<std::uint64_t>());
    }
    for (auto const& [name, count] : decoded["classification_counts"].items())
        EXPECT_EQ(sums.classes[std::stoi(name)], count.get<std::uint64_t>()) << "class " << name;
}

// The denser scan is covered by the decoding test above; vertices are checked on the smaller sets.
class PotreeVertexData : public testing::TestWithParam<std::string> {};

TEST_P(PotreeVertexData, VertexContainersHoldEveryPointInsideTheBounds)
{
    std::filesystem::path const folder = kRealWorld / "potree" / GetParam();
    auto location = std::make_shared<PoTree::FileSystemLocation>(folder);
    Octree::Octree const octree(location, 1.0);
    auto const bounds = octree.boundingBox();
    // Stored positions may lie one scale unit beyond the recorded range.
    float const slack = static_cast<float>(location->metadata().scale.maxCoeff()) * 1.01f;
    std::uint64_t total = 0;
    for (auto const id : Octree::allNodeIds(octree)) {
        Render::VertexContainer vertices;
        std::string error;
        ASSERT_TRUE(Octree::loadNodeVertices(octree, id, vertices, {}, &error)) << error;
        total += vertices.size();
        for (std::size_t i = 0; i < vertices.size(); ++i) {
            auto const p = vertices.position(i);
            ASSERT_TRUE((p.array() >= bounds.min().array() - slack).all() &&
                        (p.array() <= bounds.max().array() + slack).all())
                << id.name() << " point " << i;
            ASSERT_EQ(vertices.data()[i].color.a(), 255);
        }
    }
    EXPECT_EQ(total, location->metadata().points);
}

INSTANTIATE_TEST_SUITE_P(Potree, PotreeRealData,
                         testing::Values("autzen-trim-default", "autzen-trim-brotli", "autzen-trim-las14-default",
                                         "autzen-trim-las14-brotli", "lone-star-default", "lone-star-brotli",
                                         "mixed-conifer-default", "mixed-conifer-brotli"));
INSTANTIATE_TEST_SUITE_P(Potree, PotreeVertexData,
                         testing::Values("autzen-trim-default", "autzen-trim-brotli", "mixed-conifer-default",
                                         "mixed-conifer-brotli"));

TEST(PotreeRealData, RootPointsMatchTheFirstRecordedPoints)
{
    std::filesystem::path const folder = kRealWorld / "potree" / "autzen-trim-default";
    nlohmann::json const expected = manifest(folder)["root_node"]["first_points_in_file_order"];
    auto location = std::make_shared<PoTree::FileSystemLocation>(folder);
    Octree::Octree const octree(location, 1.0);
    Render::VertexContainer vertices;
    ASSERT_TRUE(Octree::loadNodeVertices(octree, octree.root(), vertices, {}));
    for (std::size_t i = 0; i < expected.size(); ++i) {
        auto const& point = expected[i];
        for (int axis = 0; axis < 3; ++axis) {
            double const relative = point["xyz"][axis].get<double>() - octree.position()[axis];
            EXPECT_NEAR(vertices.position(i)[axis], relative, 1e-3);
        }
        auto const& vertex = vertices.data()[i];
        EXPECT_EQ(vertex.intensity, point["intensity"].get<int>());
        EXPECT_EQ(vertex.classIndex, point["classification"].get<int>());
        EXPECT_EQ(vertex.color.r(), point["rgb"][0].get<int>());
        EXPECT_EQ(vertex.color.g(), point["rgb"][1].get<int>());
        EXPECT_EQ(vertex.color.b(), point["rgb"][2].get<int>());
    }
}

TEST(PotreeRealData, IntensityOnlyDataSetIsGray)
{
    auto location = std::make_shared<PoTree::FileSystemLocation>(kRealWorld / "potree" / "lone-star-brotli");
    Octree::Octree const octree(location, 1.0);
    Render::VertexContainer vertices;
    ASSERT_TRUE(Octree::loadNodeVertices(octree, octree.root(), vertices, {}));
    ASSERT_GT(vertices.size(), 0u);
    auto const* intensity = location->metadata().find("intensity");
    for (std::size_t i = 0; i < vertices.size(); ++i) {
        auto const& vertex = vertices.data()[i];
        ASSERT_EQ(vertex.color.r(), vertex.color.g());
        ASSERT_EQ(vertex.color.r(), PoTree::intensityGray(vertex.intensity, intensity->min, intensity->max));
    }
}

class EntwineRealData : public testing::TestWithParam<std::string> {};

TEST_P(EntwineRealData, DecodesEveryNodeOfTheHierarchy)
{
    std::filesystem::path const folder = kRealWorld / "ept" / GetParam();
    nlohmann::json const expected = manifest(folder);
    auto location = std::make_shared<Entwine::FileSystemLocation>(folder);
    Octree::Octree const octree(location, 1.0);
    auto const nodes = Octree::allNodeIds(octree);
    EXPECT_EQ(nodes.size(), expected["node_count"].get<std::size_t>());
    auto const bounds = octree.boundingBox();
    std::uint64_t total = 0;
    for (auto const id : nodes) {
        Render::VertexContainer vertices;
        std::string error;
        ASSERT_TRUE(Octree::loadNodeVertices(octree, id, vertices, {}, &error)) << error;
        EXPECT_EQ(vertices.size(), octree.entwineTree()->nodeById(id)->pointCount) << id.name();
        total += vertices.size();
        for (std::size_t i = 0; i < vertices.size(); ++i)
            ASSERT_TRUE(bounds.contains(vertices.position(i))) << id.name() << " point " << i;
    }
    EXPECT_EQ(total, expected["points"].get<std::uint64_t>());
}

INSTANTIATE_TEST_SUITE_P(Entwine, EntwineRealData, testing::Values("lone-star-laszip", "1.2-with-color"));

TEST(EntwineRealData, ColorsComeFromRgbAndGrayFromIntensity)
{
    auto colored = std::make_shared<Entwine::FileSystemLocation>(kRealWorld / "ept" / "1.2-with-color");
    Octree::Octree const coloredOctree(colored, 1.0);
    EXPECT_TRUE(coloredOctree.entwineTree()->hasColors());
    Render::VertexContainer vertices;
    ASSERT_TRUE(Octree::loadNodeVertices(coloredOctree, coloredOctree.root(), vertices, {}));
    bool anyNotGray = false;
    for (auto const& vertex : vertices.vertices)
        anyNotGray |= vertex.color.r() != vertex.color.g() || vertex.color.g() != vertex.color.b();
    EXPECT_TRUE(anyNotGray);

    auto gray = std::make_shared<Entwine::FileSystemLocation>(kRealWorld / "ept" / "lone-star-laszip");
    Octree::Octree const grayOctree(gray, 1.0);
    EXPECT_FALSE(grayOctree.entwineTree()->hasColors());
    ASSERT_TRUE(Octree::loadNodeVertices(grayOctree, grayOctree.root(), vertices, {}));
    for (auto const& vertex : vertices.vertices) {
        ASSERT_EQ(vertex.color.r(), vertex.intensity >> 8);
        ASSERT_EQ(vertex.color.a(), 255);
    }
}

TEST(EntwineRealData, BrokenNodeFileFailsNamingTheFile)
{
    auto location = std::make_shared<Entwine::FileSystemLocation>(kRealWorld / "ept" / "lone-star-invalid-tile");
    Octree::Octree const octree(location, 1.0);
    Render::VertexContainer vertices;
    std::string error;
    EXPECT_FALSE(Octree::loadNodeVertices(octree, Octree::OctreeNodeId::fromCell(2, 2, 2, 2), vertices, {}, &error));
    EXPECT_NE(error.find("2-2-2-2.laz"), std::string::npos) << error;
    Octree::OctreeNodeCache cache;
    Octree::NodePointData points;
    EXPECT_THROW(cache.getOrLoad(octree, Octree::OctreeNodeId::fromCell(2, 2, 2, 2), points), std::runtime_error);
}

TEST(RealData, SameScanHasTheSamePointsAndBoundsInPotreeAndEntwine)
{
    auto potree = std::make_shared<PoTree::FileSystemLocation>(kRealWorld / "potree" / "lone-star-default");
    auto entwine = std::make_shared<Entwine::FileSystemLocation>(kRealWorld / "ept" / "lone-star-laszip");
    Octree::Octree const a(potree, 1.0);
    Octree::Octree const b(entwine, 1.0);
    std::uint64_t countA = 0;
    for (auto const id : Octree::allNodeIds(a))
        countA += a.potreeTree()->nodeById(id)->numPoints;
    std::uint64_t countB = 0;
    for (auto const id : Octree::allNodeIds(b))
        countB += b.entwineTree()->nodeById(id)->pointCount;
    EXPECT_EQ(countA, countB);
    // Both boxes enclose the same scan; the Entwine one is rounded out to whole units.
    auto const boxA = a.boundingBox().cast<double>();
    auto const boxB = b.boundingBox().cast<double>();
    Math::Point<double, 3> const minA = boxA.min() + a.position();
    Math::Point<double, 3> const maxA = boxA.max() + a.position();
    EXPECT_TRUE((minA.array() >= (boxB.min() + b.position()).array()).all());
    EXPECT_TRUE((maxA.array() <= (boxB.max() + b.position()).array()).all());
    EXPECT_LT(((boxB.min() + b.position()) - minA).cwiseAbs().maxCoeff(), 1.0);
}

} // namespace
