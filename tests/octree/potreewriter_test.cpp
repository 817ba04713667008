#include "testdatasets.h"

#include "core/filereading.h"
#include "octree/nodevertexloader.h"
#include "octree/potreenodedecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <tuple>

namespace {

using OctreeTest::TempFolder;

// Stored form of a point as the reader returns it, for comparing multisets.
using Record = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t, std::uint16_t,
                          std::uint16_t, std::uint8_t, std::int32_t>;

std::vector<Record> writtenRecords(Octree::SourcePoints const& source, PoTree::WriterOptions const& options)
{
    std::vector<Record> records;
    PoTree::Quantization const grid = PoTree::quantization(source, options);
    for (auto const& point : source.points) {
        auto const q = PoTree::quantize(point.position, grid.origin, grid.scale);
        records.emplace_back(q[0], q[1], q[2], point.rgb[0], point.rgb[1], point.rgb[2], point.intensity,
                             point.classification, point.scanIndex);
    }
    std::sort(records.begin(), records.end());
    return records;
}

std::vector<Record> readRecords(std::filesystem::path const& folder, std::size_t& nodes)
{
    auto location = std::make_shared<PoTree::FileSystemLocation>(folder);
    Octree::Octree const octree(location, 1.0);
    std::vector<Octree::OctreeNodeId> ids{octree.root()};
    std::vector<Record> records;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        for (auto const child : octree.children(ids[i]))
            ids.push_back(child);
        PoTree::DecodedPoints points;
        EXPECT_TRUE(PoTree::readNodePoints(*location, *octree.potreeTree()->nodeById(ids[i]), points, {}));
        for (std::size_t p = 0; p < points.count; ++p) {
            auto const& q = points.positions[p];
            auto const& c = points.colors[p];
            records.emplace_back(q[0], q[1], q[2], c[0], c[1], c[2], points.intensities[p], points.classifications[p],
                                 points.scanIndices[p]);
        }
    }
    nodes = ids.size();
    std::sort(records.begin(), records.end());
    return records;
}

class PotreeWriterRoundTrip : public testing::TestWithParam<PoTree::Encoding> {};

TEST_P(PotreeWriterRoundTrip, ReaderGetsBackEveryRecordExactly)
{
    TempFolder const folder("roundtrip");
    auto const source = OctreeTest::randomPoints(5000);
    PoTree::WriterOptions options;
    options.encoding = GetParam();
    options.maxPointsPerNode = 300;
    options.hierarchyStepSize = 2;
    auto const summary = PoTree::writePotree(source, folder.path(), options);
    EXPECT_GT(summary.hierarchyChunks, 1u) << "proxies are exercised";
    std::size_t nodes = 0;
    EXPECT_EQ(readRecords(folder.path(), nodes), writtenRecords(source, options));
    EXPECT_EQ(nodes, summary.nodes);
}

TEST_P(PotreeWriterRoundTrip, NodesLieInsideTheirCubesAndPositionsMatchTheSource)
{
    TempFolder const folder("cubes");
    auto const source = OctreeTest::randomPoints(2000, 11);
    PoTree::WriterOptions options;
    options.encoding = GetParam();
    options.maxPointsPerNode = 200;
    PoTree::writePotree(source, folder.path(), options);
    Octree::Octree const octree(std::make_shared<PoTree::FileSystemLocation>(folder.path()), 1.0);
    std::vector<Octree::OctreeNodeId> ids{octree.root()};
    std::size_t total = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        for (auto const child : octree.children(ids[i]))
            ids.push_back(child);
        Render::VertexContainer vertices;
        ASSERT_TRUE(Octree::loadNodeVertices(octree, ids[i], vertices, {}));
        total += vertices.size();
        auto const cube = octree.boundingCube(ids[i]);
        for (std::size_t p = 0; p < vertices.size(); ++p) {
            Eigen::Array3f const position = vertices.position(p).array();
            ASSERT_TRUE((position >= cube.min().array() - 1e-3f).all() && (position <= cube.max().array() + 1e-3f).all())
                << ids[i].name();
        }
    }
    EXPECT_EQ(total, source.points.size());
    // Millimetre grid points come back to within float precision of the source.
    auto const bounds = octree.boundingBox();
    EXPECT_NEAR(bounds.max().x() + octree.position().x(), source.bounds().max().x(), 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Encodings, PotreeWriterRoundTrip,
                         testing::Values(PoTree::Encoding::Default, PoTree::Encoding::Brotli));

TEST(PotreeWriter, WritesTheMetadataTheReaderNeeds)
{
    TempFolder const folder("metadata");
    auto source = OctreeTest::randomPoints(10);
    source.hasScanIndex = false;
    PoTree::writePotree(source, folder.path(), {});
    auto const metadata =
        PoTree::Metadata::parse(Core::readLocalFile(folder.path() / "metadata.json"), "metadata.json");
    EXPECT_EQ(metadata.points, 10u);
    EXPECT_EQ(metadata.bytesPerPoint, 12u + 6u + 2u + 1u);
    EXPECT_TRUE(metadata.hasRgb && metadata.hasIntensity && metadata.hasClassification);
    EXPECT_FALSE(metadata.hasScanIndex);
    EXPECT_EQ(metadata.firstChunkSize, std::filesystem::file_size(folder.path() / "hierarchy.bin"));
}

TEST(PotreeWriter, RejectsWhatItCannotStore)
{
    TempFolder const folder("reject");
    EXPECT_THROW(PoTree::writePotree({}, folder.path(), {}), std::invalid_argument);
    Octree::SourcePoints wide;
    wide.points.resize(2);
    wide.points[1].position = {1e9, 0.0, 0.0};
    PoTree::WriterOptions fine;
    fine.scale = Math::Point<double, 3>::Constant(1e-4);
    EXPECT_THROW(PoTree::writePotree(wide, folder.path(), fine), std::invalid_argument);
    wide.points[1].position.y() = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(PoTree::writePotree(wide, folder.path(), {}), std::invalid_argument);
}

TEST(PotreeWriter, StopsWhenAsked)
{
    TempFolder const folder("stop");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(PoTree::writePotree(OctreeTest::randomPoints(100), folder.path(), {}, {}, stop.get_token()).nodes, 0u);
}

} // namespace
