// Decodes the real data sets under the shared test data folder and compares them with the
// figures their manifests record.
#include "octree/nodevertexloader.h"
#include "octree/pointiterator.h"
#include "octree/potreenodedecoder.h"

#include "core/filereading.h"
#include "testdatasets.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>

namespace {

using OctreeTest::kRealWorld;

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

struct PotreeDataSet {
    char const* name;
    // The denser scans are left to the decoder; vertices are checked on the smaller sets.
    bool checkVertices;
};

class PotreeRealData : public testing::TestWithParam<PotreeDataSet> {};

TEST_P(PotreeRealData, DecodesEveryNodeAsTheManifestRecordsIntoVerticesInsideTheBounds)
{
    std::filesystem::path const folder = kRealWorld / "potree" / GetParam().name;
    nlohmann::json const expected = manifest(folder);
    auto location = std::make_shared<PoTree::FileSystemLocation>(folder);
    ASSERT_TRUE(location->exists());
    Octree::Octree const octree(location, 1.0);
    auto const bounds = octree.boundingBox();
    // Stored positions may lie one scale unit beyond the recorded range.
    float const slack = static_cast<float>(location->metadata().scale.maxCoeff()) * 1.01f;

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
            for (int c = 0; c < 3 && !points.colors.empty(); ++c)
                sums.rgb[c] += points.colors[i][c];
            ++sums.classes[points.classifications[i]];
        }
        if (!GetParam().checkVertices)
            continue;
        Render::VertexContainer vertices;
        std::string error;
        ASSERT_TRUE(Octree::loadNodeVertices(octree, id, vertices, {}, &error)) << error;
        ASSERT_EQ(vertices.size(), points.count) << id.name();
        for (std::size_t i = 0; i < vertices.size(); ++i) {
            auto const p = vertices.position(i);
            ASSERT_TRUE((p.array() >= bounds.min().array() - slack).all() &&
                        (p.array() <= bounds.max().array() + slack).all())
                << id.name() << " point " << i;
            ASSERT_EQ(vertices.data()[i].color.a(), 255);
        }
    }
    nlohmann::json const& decoded = expected["all_nodes_decoded_sums"];
    EXPECT_EQ(sums.points, expected["points"].get<std::uint64_t>());
    auto const& positionSums = decoded.contains("position_stored_sum") ? decoded["position_stored_sum"]
                                                                        : decoded["position_morton_decoded_sum"];
    for (int axis = 0; axis < 3; ++axis)
        EXPECT_EQ(sums.positions[axis], positionSums[axis].get<std::uint64_t>());
    EXPECT_EQ(sums.intensity, decoded["intensity_sum"].get<std::uint64_t>());
    for (int c = 0; c < 3 && decoded.contains("rgb_sum"); ++c)
        EXPECT_EQ(sums.rgb[c], decoded["rgb_sum"][c].get<std::uint64_t>());
    for (auto const& [name, count] : decoded["classification_counts"].items())
        EXPECT_EQ(sums.classes[std::stoi(name)], count.get<std::uint64_t>()) << "class " << name;
}

INSTANTIATE_TEST_SUITE_P(
    Potree, PotreeRealData,
    testing::Values(PotreeDataSet{"autzen-trim-default", true}, PotreeDataSet{"autzen-trim-brotli", true},
                    PotreeDataSet{"autzen-trim-las14-default", false}, PotreeDataSet{"autzen-trim-las14-brotli", false},
                    PotreeDataSet{"lone-star-default", false}, PotreeDataSet{"lone-star-brotli", false},
                    PotreeDataSet{"mixed-conifer-default", true}, PotreeDataSet{"mixed-conifer-brotli", true}));

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
        EXPECT_EQ(vertex.color, Math::Color(point["rgb"][0].get<std::uint8_t>(), point["rgb"][1].get<std::uint8_t>(),
                                            point["rgb"][2].get<std::uint8_t>()));
    }
}

class EntwineRealData : public testing::TestWithParam<std::string> {};

// Colors come from RGB where the scan has them, else gray from the intensity's high byte.
TEST_P(EntwineRealData, DecodesEveryNodeOfTheHierarchyWithItsColors)
{
    std::filesystem::path const folder = kRealWorld / "ept" / GetParam();
    nlohmann::json const expected = manifest(folder);
    auto location = std::make_shared<Entwine::FileSystemLocation>(folder);
    Octree::Octree const octree(location, 1.0);
    auto const nodes = Octree::allNodeIds(octree);
    EXPECT_EQ(nodes.size(), expected["node_count"].get<std::size_t>());
    auto const bounds = octree.boundingBox();
    bool const colored = octree.entwineTree()->hasColors();
    EXPECT_EQ(colored, GetParam() == "1.2-with-color");
    bool anyColorNotGray = false;
    std::uint64_t total = 0;
    for (auto const id : nodes) {
        Render::VertexContainer vertices;
        std::string error;
        ASSERT_TRUE(Octree::loadNodeVertices(octree, id, vertices, {}, &error)) << error;
        EXPECT_EQ(vertices.size(), octree.entwineTree()->nodeById(id)->pointCount) << id.name();
        total += vertices.size();
        for (auto const& vertex : vertices.vertices) {
            ASSERT_TRUE(bounds.contains(vertex.position())) << id.name();
            ASSERT_TRUE(colored || vertex.color == Math::Color::gray(std::uint8_t(vertex.intensity >> 8)));
            anyColorNotGray |= vertex.color.r() != vertex.color.g() || vertex.color.g() != vertex.color.b();
        }
    }
    EXPECT_EQ(total, expected["points"].get<std::uint64_t>());
    EXPECT_EQ(anyColorNotGray, colored);
}

INSTANTIATE_TEST_SUITE_P(Entwine, EntwineRealData, testing::Values("lone-star-laszip", "1.2-with-color"));

TEST(PotreeRealData, ColorsAreGrayFromIntensityWithinTheMetadataRange)
{
    auto potree = std::make_shared<PoTree::FileSystemLocation>(kRealWorld / "potree" / "lone-star-brotli");
    Octree::Octree const intensityOnly(potree, 1.0);
    Render::VertexContainer vertices;
    ASSERT_TRUE(Octree::loadNodeVertices(intensityOnly, intensityOnly.root(), vertices, {}));
    ASSERT_GT(vertices.size(), 0u);
    auto const* intensity = potree->metadata().find("intensity");
    for (auto const& vertex : vertices.vertices)
        ASSERT_EQ(vertex.color, Math::Color::gray(PoTree::intensityGray(vertex.intensity, intensity->min, intensity->max)));
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

// The point counts of both are checked against their manifests above.
TEST(RealData, SameScanHasTheSameBoundsInPotreeAndEntwine)
{
    auto potree = std::make_shared<PoTree::FileSystemLocation>(kRealWorld / "potree" / "lone-star-default");
    auto entwine = std::make_shared<Entwine::FileSystemLocation>(kRealWorld / "ept" / "lone-star-laszip");
    Octree::Octree const a(potree, 1.0);
    Octree::Octree const b(entwine, 1.0);
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
