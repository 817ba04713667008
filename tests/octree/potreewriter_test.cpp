#include "testdatasets.h"

#include "core/filereading.h"
#include "octree/nodevertexloader.h"
#include "octree/potreenodedecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <tuple>

namespace {

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

std::vector<Record> readRecords(PoTree::FileSystemLocation const& location, Octree::Octree const& octree)
{
    std::vector<Record> records;
    for (auto const id : Octree::allNodeIds(octree)) {
        PoTree::DecodedPoints points;
        EXPECT_TRUE(PoTree::readNodePoints(location, *octree.potreeTree()->nodeById(id), points, {}));
        for (std::size_t p = 0; p < points.count; ++p) {
            auto const& q = points.positions[p];
            auto const& c = points.colors[p];
            records.emplace_back(q[0], q[1], q[2], c[0], c[1], c[2], points.intensities[p], points.classifications[p],
                                 points.scanIndices[p]);
        }
    }
    std::sort(records.begin(), records.end());
    return records;
}

class PotreeWriterRoundTrip : public testing::TestWithParam<PoTree::Encoding> {};

TEST_P(PotreeWriterRoundTrip, ReaderGetsBackEveryRecordExactlyInsideItsNodesCube)
{
    auto const source = OctreeTest::randomPoints(5000);
    PoTree::WriterOptions options;
    options.encoding = GetParam();
    options.hierarchyStepSize = 2;
    OctreeTest::WrittenDataSet const dataSet("roundtrip", source, 300, options);
    EXPECT_GT(dataSet.summary.hierarchyChunks, 1u) << "proxies are exercised";
    auto const location = dataSet.location();
    Octree::Octree const octree(location, 1.0);
    EXPECT_EQ(readRecords(*location, octree), writtenRecords(source, options));
    auto const ids = Octree::allNodeIds(octree);
    EXPECT_EQ(ids.size(), dataSet.summary.nodes);
    for (auto const id : ids) {
        Render::VertexContainer vertices;
        ASSERT_TRUE(Octree::loadNodeVertices(octree, id, vertices, {}));
        auto const cube = octree.boundingCube(id);
        for (std::size_t p = 0; p < vertices.size(); ++p) {
            Eigen::Array3f const position = vertices.position(p).array();
            ASSERT_TRUE((position >= cube.min().array() - 1e-3f).all() && (position <= cube.max().array() + 1e-3f).all())
                << id.name();
        }
    }
    // Millimetre grid points come back to within float precision of the source.
    EXPECT_NEAR(octree.boundingBox().max().x() + octree.position().x(), source.bounds().max().x(), 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Encodings, PotreeWriterRoundTrip,
                         testing::Values(PoTree::Encoding::Default, PoTree::Encoding::Brotli));

TEST(PotreeWriter, WritesTheMetadataTheReaderNeedsRejectsWhatItCannotStoreAndStopsWhenAsked)
{
    auto source = OctreeTest::randomPoints(10);
    source.hasScanIndex = false;
    OctreeTest::WrittenDataSet const dataSet("metadata", source, 100);
    auto const metadata = PoTree::Metadata::parse(Core::readLocalFile(dataSet.file("metadata.json")), "metadata.json");
    EXPECT_EQ(metadata.points, 10u);
    EXPECT_EQ(metadata.bytesPerPoint, 12u + 6u + 2u + 1u);
    EXPECT_TRUE(metadata.hasRgb && metadata.hasIntensity && metadata.hasClassification);
    EXPECT_FALSE(metadata.hasScanIndex);
    EXPECT_EQ(metadata.firstChunkSize, std::filesystem::file_size(dataSet.file("hierarchy.bin")));

    OctreeTest::TempFolder const folder("reject");
    EXPECT_THROW(PoTree::writePotree({}, folder.path(), {}), std::invalid_argument);
    Octree::SourcePoints wide;
    wide.points.resize(2);
    wide.points[1].position = {1e9, 0.0, 0.0};
    PoTree::WriterOptions fine;
    fine.scale = Math::Point<double, 3>::Constant(1e-4);
    EXPECT_THROW(PoTree::writePotree(wide, folder.path(), fine), std::invalid_argument);
    wide.points[1].position.y() = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(PoTree::writePotree(wide, folder.path(), {}), std::invalid_argument);

    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(PoTree::writePotree(OctreeTest::randomPoints(100), folder.path(), {}, {}, stop.get_token()).nodes, 0u);
}

} // namespace
