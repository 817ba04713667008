// Converting the shared LAS and LAZ files to Potree and reading them back through the library
// keeps every attribute of every point. The source side is read by the small LAS reader below,
// written for this test and sharing nothing with the library's reader.
#include "testdatasets.h"

#include "core/filereading.h"
#include "octree/lasreader.h"
#include "octree/octree.h"
#include "octree/potreenodedecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numeric>

namespace {

using OctreeTest::TempFolder;

std::filesystem::path const kLasFolder = OctreeTest::kRealWorld / "las";

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

} // namespace
