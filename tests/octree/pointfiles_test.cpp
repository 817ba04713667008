// Point files in and out: the readers of text, PLY and LAS points, and the Potree writer's round
// trips, in which random points and the shared LAS and LAZ files written and read back through the
// library keep every attribute of every point. The LAS side of those is read by the small LAS
// reader below, written for this test and sharing nothing with the library's reader.
#include "testdatasets.h"

#include "core/filereading.h"
#include "octree/lasheader.h"
#include "octree/lasreader.h"
#include "octree/nodevertexloader.h"
#include "octree/octree.h"
#include "octree/plyreader.h"
#include "octree/potreenodedecoder.h"
#include "octree/textpointreader.h"
#include "support/thrownmessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <numeric>
#include <tuple>

namespace {

using OctreeTest::TempFolder;

std::filesystem::path const kLasFolder = OctreeTest::kRealWorld / "las";

std::string errorOf(std::function<void()> const& read)
{
    return TestSupport::thrownMessage<std::runtime_error>(read);
}

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

    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(PoTree::writePotree(OctreeTest::randomPoints(100), folder.path(), {}, {}, stop.get_token()).nodes, 0u);
}

template <class T>
T at(std::string_view bytes, std::size_t offset)
{
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

// An uncompressed LAS file as the format's tables describe it, nothing more.
struct TestLasFile {
    std::string bytes;
    unsigned format = 0;
    std::size_t recordLength = 0;
    std::size_t firstRecord = 0;
    std::uint64_t count = 0;
    double scale[3]{};
    double offset[3]{};

    explicit TestLasFile(std::string fileBytes) : bytes(std::move(fileBytes))
    {
        format = at<std::uint8_t>(bytes, 104) & 0x3f;
        recordLength = at<std::uint16_t>(bytes, 105);
        firstRecord = at<std::uint32_t>(bytes, 96);
        count = at<std::uint32_t>(bytes, 107);
        if (count == 0 && at<std::uint8_t>(bytes, 25) >= 4)
            count = at<std::uint64_t>(bytes, 247);
        for (int axis = 0; axis < 3; ++axis) {
            scale[axis] = at<double>(bytes, 131 + 8 * axis);
            offset[axis] = at<double>(bytes, 155 + 8 * axis);
        }
    }

    std::string_view record(std::uint64_t i) const
    {
        return std::string_view(bytes).substr(firstRecord + i * recordLength, recordLength);
    }
};

// The stored bytes of one named attribute of a record; extra bytes follow the standard record.
std::string expectedValue(std::string const& name, std::string_view record, unsigned format)
{
    static std::size_t const kStandardSize[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
    bool const legacy = format < 6;
    auto byte = [&](std::size_t offset) { return static_cast<std::uint8_t>(record[offset]); };
    auto bits = [](unsigned value) { return std::string(1, static_cast<char>(value)); };
    auto raw = [&](std::size_t offset, std::size_t size) { return std::string(record.substr(offset, size)); };
    if (name == "intensity")
        return raw(12, 2);
    if (name == "return number")
        return bits(legacy ? byte(14) & 7u : byte(14) & 15u);
    if (name == "number of returns")
        return bits(legacy ? byte(14) >> 3 & 7u : byte(14) >> 4);
    if (name == "scan direction flag")
        return bits((legacy ? byte(14) : byte(15)) >> 6 & 1u);
    if (name == "edge of flight line")
        return bits((legacy ? byte(14) : byte(15)) >> 7);
    if (name == "classification")
        return legacy ? bits(byte(15) & 31u) : raw(16, 1);
    if (name == "classification flags")
        return bits(legacy ? byte(15) >> 5 : byte(15) & 15u);
    if (name == "scanner channel")
        return bits(byte(15) >> 4 & 3u);
    if (name == "scan angle rank")
        return raw(16, 1);
    if (name == "scan angle")
        return raw(18, 2);
    if (name == "user data")
        return raw(17, 1);
    if (name == "point source id")
        return raw(legacy ? 18 : 20, 2);
    if (name == "gps-time")
        return raw(legacy ? 20 : 22, 8);
    if (name == "rgb")
        return raw(format == 2 ? 20 : legacy ? 28 : 30, 6);
    if (name == "treeID")
        return raw(kStandardSize[format], 8);
    ADD_FAILURE() << "unexpected attribute '" << name << "'";
    return {};
}

// The file with only its first `count` points (all when 0): the header's counts are lowered, so that
// the records after them, or the rest of a LASzip stream, are never read.
std::string firstPoints(std::filesystem::path const& path, std::uint32_t count)
{
    std::string bytes = Core::readLocalFile(path);
    if (count > 0 && at<std::uint32_t>(bytes, 107) != 0)
        std::memcpy(bytes.data() + 107, &count, sizeof(count));
    if (std::uint64_t const wideCount = count; count > 0 && at<std::uint8_t>(bytes, 25) >= 4)
        std::memcpy(bytes.data() + 247, &wideCount, sizeof(wideCount));
    return bytes;
}

struct RoundTripCase {
    char const* file;
    char const* reference;
    PoTree::Encoding encoding;
    std::vector<std::string> attributes;
    char const* crsStart;
    std::uint32_t points = 0;
};

std::vector<std::string> const kLegacyAttributes{
    "position", "intensity", "classification", "return number", "number of returns", "scan direction flag",
    "edge of flight line", "classification flags", "scan angle rank", "user data", "point source id", "gps-time"};

std::vector<std::string> with(std::vector<std::string> names, std::vector<std::string> const& more)
{
    names.insert(names.end(), more.begin(), more.end());
    return names;
}

class LasRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(LasRoundTrip, KeepsEveryAttributeOfEveryPoint)
{
    RoundTripCase const& c = GetParam();
    TempFolder const folder("las-round-trip");
    PoTree::WriterOptions options;
    options.encoding = c.encoding;
    options.maxPointsPerNode = 5000;
    PoTree::writePotree(Las::readPoints(firstPoints(kLasFolder / c.file, c.points), c.file), folder.path(), options);
    TestLasFile const source(firstPoints(kLasFolder / c.reference, c.points));

    auto const location = std::make_shared<PoTree::FileSystemLocation>(folder.path());
    PoTree::Metadata const& metadata = location->metadata();
    std::vector<std::string> names;
    for (PoTree::Attribute const& attribute : metadata.attributes)
        names.push_back(attribute.name);
    std::vector<std::string> expectedNames = c.attributes;
    std::ranges::sort(names);
    std::ranges::sort(expectedNames);
    EXPECT_EQ(names, expectedNames);
    EXPECT_TRUE(metadata.projection.starts_with(c.crsStart)) << metadata.projection;
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_EQ(metadata.scale[axis], source.scale[axis]);
        double const steps = (metadata.offset[axis] - source.offset[axis]) / source.scale[axis];
        EXPECT_NEAR(steps, std::round(steps), 1e-6) << "the offset leaves the source's grid";
    }

    // Every point as the bytes of its attributes in the metadata's order; positions on the
    // source's integer grid.
    std::vector<std::string> read;
    Octree::Octree const octree(location, 1.0);
    for (auto const id : Octree::allNodeIds(octree)) {
        std::vector<std::string> values;
        ASSERT_TRUE(PoTree::readNodeAttributes(*location, *octree.potreeTree()->nodeById(id), values, {}));
        std::size_t const count = octree.potreeTree()->nodeById(id)->numPoints;
        for (std::size_t i = 0; i < count; ++i) {
            std::string& key = read.emplace_back();
            for (std::size_t a = 0; a < metadata.attributes.size(); ++a) {
                std::size_t const size = metadata.attributes[a].size;
                if (metadata.attributes[a].name != "position") {
                    key += values[a].substr(i * size, size);
                    continue;
                }
                for (int axis = 0; axis < 3; ++axis) {
                    double const x = at<std::uint32_t>(values[a], i * size + 4 * axis) * metadata.scale[axis] +
                                     metadata.offset[axis];
                    auto const stored = static_cast<std::int32_t>(std::llround((x - source.offset[axis]) / source.scale[axis]));
                    key.append(reinterpret_cast<char const*>(&stored), sizeof(stored));
                }
            }
        }
    }
    std::vector<std::string> expected;
    for (std::uint64_t i = 0; i < source.count; ++i) {
        std::string& key = expected.emplace_back();
        for (PoTree::Attribute const& attribute : metadata.attributes)
            key += attribute.name == "position" ? std::string(source.record(i).substr(0, 12))
                                                : expectedValue(attribute.name, source.record(i), source.format);
    }
    ASSERT_EQ(read.size(), source.count);
    std::ranges::sort(read);
    std::ranges::sort(expected);
    std::size_t const differing =
        std::inner_product(read.begin(), read.end(), expected.begin(), std::size_t{0}, std::plus<>(), std::not_equal_to<>());
    EXPECT_EQ(differing, 0u) << "of " << source.count << " points";
}

// The larger files are cut to their first points, which keep every attribute the whole file has.
INSTANTIATE_TEST_SUITE_P(
    SharedFiles, LasRoundTrip,
    testing::Values(RoundTripCase{"1.2-with-color.las", "1.2-with-color.las", PoTree::Encoding::Default,
                                  with(kLegacyAttributes, {"rgb"}), ""},
                    RoundTripCase{"autzen-trim.las", "autzen-trim.las", PoTree::Encoding::Default,
                                  with(kLegacyAttributes, {"rgb"}), "PROJCS", 25000},
                    RoundTripCase{"autzen-trim-las14.las", "autzen-trim-las14.las", PoTree::Encoding::Brotli,
                                  {"position", "intensity", "classification", "return number", "number of returns",
                                   "classification flags", "scanner channel", "scan direction flag",
                                   "edge of flight line", "user data", "scan angle", "point source id", "gps-time", "rgb"},
                                  "PROJCS", 25000},
                    RoundTripCase{"lone-star.las", "lone-star.las", PoTree::Encoding::Default, kLegacyAttributes,
                                  "EPSG:4326", 25000},
                    RoundTripCase{"lone-star.laz", "lone-star.las", PoTree::Encoding::Brotli, kLegacyAttributes,
                                  "EPSG:4326", 25000},
                    RoundTripCase{"mixed-conifer.las", "mixed-conifer.las", PoTree::Encoding::Default,
                                  with(kLegacyAttributes, {"treeID"}), "EPSG:26912"},
                    RoundTripCase{"mixed-conifer.laz", "mixed-conifer.las", PoTree::Encoding::Brotli,
                                  with(kLegacyAttributes, {"treeID"}), "EPSG:26912"}),
    [](testing::TestParamInfo<RoundTripCase> const& info) {
        std::string name = info.param.file;
        std::ranges::replace_if(name, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
        return name;
    });

TEST(TextPointReader, ReadsPositionsAndColorsAfterAHeaderAndNamesMalformedLines)
{
    auto const points = Octree::readTextPoints("X Y Z Red Green Blue Alpha\n1.5 2 -3 10 20 30 255\n\n4 5 6 0 0 0 0\n",
                                               "points.txt");
    ASSERT_EQ(points.points.size(), 2u);
    EXPECT_TRUE(points.hasRgb);
    EXPECT_EQ(points.points[0].position, (Math::Point<double, 3>(1.5, 2, -3)));
    EXPECT_EQ(points.points[0].rgb, (std::array<std::uint16_t, 3>{10, 20, 30}));
    EXPECT_FALSE(Octree::readTextPoints("1 2 3\n", "p.txt").hasRgb);
    EXPECT_EQ(errorOf([] { Octree::readTextPoints("1 2 3\n4 5\n", "p.txt"); }),
              "p.txt: line 2: expected 3 values like the first point, found 2");
    EXPECT_EQ(errorOf([] { Octree::readTextPoints("1 2 x\n", "p.txt"); }), "p.txt: line 1: 'x' is not a number");
    EXPECT_EQ(errorOf([] { Octree::readTextPoints("1 2 3 4 5 300\n", "p.txt"); }),
              "p.txt: line 1: color value '300' is not an integer 0-255");
}

TEST(PlyReader, ReadsBinaryAndAsciiVertices)
{
    std::string binary = "ply\nformat binary_little_endian 1.0\nelement vertex 2\nproperty float x\nproperty float y\n"
                         "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
                         "property uchar alpha\n\nend_header\n";
    for (float const value : {1.0f, 2.0f}) {
        float const xyz[3] = {value, value * 2, value * 3};
        binary.append(reinterpret_cast<char const*>(xyz), sizeof(xyz));
        unsigned char const rgba[4] = {7, 8, 9, 255};
        binary.append(reinterpret_cast<char const*>(rgba), sizeof(rgba));
    }
    auto const points = Ply::readPoints(binary, "p.ply");
    ASSERT_EQ(points.points.size(), 2u);
    EXPECT_TRUE(points.hasRgb);
    EXPECT_EQ(points.points[1].position, (Math::Point<double, 3>(2, 4, 6)));
    EXPECT_EQ(points.points[1].rgb, (std::array<std::uint16_t, 3>{7, 8, 9}));
    EXPECT_NE(errorOf([&] { Ply::readPoints(binary.substr(0, binary.size() - 4), "p.ply"); }).find("do not fit"),
              std::string::npos);

    auto const ascii = Ply::readPoints("ply\nformat ascii 1.0\nelement vertex 1\nproperty double x\nproperty double y\n"
                                       "property double z\nproperty ushort intensity\nend_header\n1 2 3 500\n",
                                       "a.ply");
    ASSERT_EQ(ascii.points.size(), 1u);
    EXPECT_TRUE(ascii.hasIntensity);
    EXPECT_EQ(ascii.points[0].intensity, 500u);
    EXPECT_EQ(errorOf([] { Ply::readPoints("ply\nformat binary_big_endian 1.0\nend_header\n", "b.ply"); }),
              "b.ply: format 'binary_big_endian' is not supported");
}

// The LAS reader's output on the shared files is checked point by point by the round trip to Potree.
TEST(LasHeader, CorruptOrTruncatedHeadersAreRejected)
{
    std::string const bytes = Core::readLocalFile(kLasFolder / "1.2-with-color.las");
    EXPECT_NO_THROW(Las::parseHeader(bytes, "f.las"));
    EXPECT_EQ(errorOf([&] { Las::parseHeader(bytes.substr(0, 100), "f.las"); }),
              "f.las: not a LAS file (no LASF header)");
    EXPECT_EQ(errorOf([&] { Las::parseHeader(bytes.substr(0, bytes.size() - 1), "f.las"); }),
              "f.las: 1065 points do not fit in the file");
    std::string manyVlrs = bytes;
    std::uint32_t const vlrs = 2'800'000'000u;
    std::memcpy(manyVlrs.data() + 100, &vlrs, sizeof(vlrs));
    EXPECT_NE(errorOf([&] { Las::parseHeader(manyVlrs, "f.las"); }).find("variable length records"), std::string::npos);
    // A LAZ file cut in half: LASzip's complaint, naming the file.
    std::string const laz = Core::readLocalFile(kLasFolder / "mixed-conifer.laz");
    EXPECT_TRUE(errorOf([&] { Las::readPoints(laz.substr(0, laz.size() / 2), "cut.laz"); }).starts_with("cut.laz: "));
}

} // namespace
