#include "graphics/plypointwriter.h"
#include "graphics/textpointwriter.h"
#include "math/vertexformats.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Graphics::PlyPointWriter;
using Render::VertexPosColor;

constexpr char kHeaderWithCount3[] = "ply\n"
                                     "format binary_little_endian 1.0\n"
                                     "element vertex                    3\n"
                                     "property float x\n"
                                     "property float y\n"
                                     "property float z\n"
                                     "property uchar red\n"
                                     "property uchar green\n"
                                     "property uchar blue\n"
                                     "property uchar alpha\n"
                                     "\n"
                                     "end_header\n";

std::string readBytes(std::filesystem::path const& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct Record {
    std::array<float, 3> position;
    std::array<std::uint8_t, 4> rgba;
};

Record recordAt(std::string const& bytes, std::size_t headerSize, std::size_t index)
{
    Record record{};
    char const* at = bytes.data() + headerSize + index * PlyPointWriter::kRecordSize;
    std::memcpy(record.position.data(), at, 12);
    std::memcpy(record.rgba.data(), at + 12, 4);
    return record;
}

class PlyPointWriterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = std::filesystem::temp_directory_path() /
                 ("morvid-ply-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(folder);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    std::filesystem::path folder;
};

TEST_F(PlyPointWriterTest, HeaderHasTheFixedPrefixTheWideCountAndAnEmptyLineBeforeEndHeader)
{
    std::string const header = PlyPointWriter::header(3);
    EXPECT_EQ(header, kHeaderWithCount3);
    EXPECT_EQ(header.find("                   3\n"), 51u) << "count right-aligned in 20 characters after 51 bytes";
    EXPECT_EQ(PlyPointWriter::header(18446744073709551615ull).size(), header.size());
}

TEST_F(PlyPointWriterTest, RecordsAreSixteenBytesWithRedFirstAndTheCountIsRewrittenInPlace)
{
    std::vector<VertexPosColor> const first{{1.5f, -2.0f, 3.25f, 10, 20, 30, 40}, {0.0f, 1e-8f, -7.0f, 255, 0, 128, 1}};
    std::vector<VertexPosColor> const second{{100.0f, 200.0f, 300.0f, 1, 2, 3, 4}};
    std::filesystem::path const path = folder / "points.ply";
    PlyPointWriter writer(path);
    writer.append(first);
    writer.append(second);
    EXPECT_EQ(writer.count(), 3u);
    writer.close();

    std::string const bytes = readBytes(path);
    std::size_t const headerSize = std::strlen(kHeaderWithCount3);
    ASSERT_EQ(bytes.size(), headerSize + 3 * PlyPointWriter::kRecordSize);
    EXPECT_EQ(bytes.substr(0, headerSize), kHeaderWithCount3);
    Record const a = recordAt(bytes, headerSize, 0);
    EXPECT_EQ(a.position, (std::array<float, 3>{1.5f, -2.0f, 3.25f}));
    EXPECT_EQ(a.rgba, (std::array<std::uint8_t, 4>{10, 20, 30, 40}));
    Record const b = recordAt(bytes, headerSize, 1);
    EXPECT_EQ(b.position, (std::array<float, 3>{0.0f, 1e-8f, -7.0f}));
    EXPECT_EQ(b.rgba, (std::array<std::uint8_t, 4>{255, 0, 128, 1}));
    Record const c = recordAt(bytes, headerSize, 2);
    EXPECT_EQ(c.position, (std::array<float, 3>{100.0f, 200.0f, 300.0f}));
    EXPECT_EQ(c.rgba, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
}

// Georeferenced coordinates do not fit float32: the origin is added in double and both files keep it.
TEST_F(PlyPointWriterTest, OriginIsAddedInDoublePrecisionInPlyAndText)
{
    Math::Point<double, 3> const origin(885022.37, 629157.18, 325.12);
    std::vector<VertexPosColor> const points{{1.5f, -2.0f, 0.25f, 10, 20, 30, 40}};
    std::filesystem::path const ply = folder / "geo.ply";
    std::filesystem::path const text = folder / "geo.txt";
    PlyPointWriter plyWriter(ply, origin);
    plyWriter.append(points);
    plyWriter.close();
    Graphics::TextPointWriter textWriter(text, origin);
    textWriter.append(points);
    textWriter.close();

    std::string const bytes = readBytes(ply);
    std::string const header = PlyPointWriter::header(1, true);
    ASSERT_EQ(bytes.size(), header.size() + PlyPointWriter::kOriginRecordSize);
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    EXPECT_NE(header.find("property double x\nproperty double y\nproperty double z\n"), std::string::npos);
    std::array<double, 3> position{};
    std::memcpy(position.data(), bytes.data() + header.size(), sizeof(position));
    std::array<double, 3> const expected{origin.x() + 1.5, origin.y() - 2.0, origin.z() + 0.25};
    EXPECT_EQ(position, expected);
    EXPECT_EQ(bytes.substr(header.size() + 24), std::string("\x0a\x14\x1e\x28", 4)) << "red first";

    std::ifstream lines(text);
    std::string line;
    std::getline(lines, line);
    std::array<double, 3> read{};
    int red = 0, green = 0, blue = 0, alpha = 0;
    lines >> read[0] >> read[1] >> read[2] >> red >> green >> blue >> alpha;
    EXPECT_EQ(read, expected) << "the same doubles as the PLY file";
    EXPECT_EQ((std::array<int, 4>{red, green, blue, alpha}), (std::array<int, 4>{10, 20, 30, 40}));
}

TEST_F(PlyPointWriterTest, EmptyFileStillHasACompleteHeader)
{
    std::filesystem::path const path = folder / "empty.ply";
    {
        PlyPointWriter writer(path);
        writer.append(std::vector<VertexPosColor>{});
        writer.close();
    }
    EXPECT_EQ(readBytes(path), PlyPointWriter::header(0));
}

TEST_F(PlyPointWriterTest, DestructorFinishesAnUnclosedFile)
{
    std::filesystem::path const path = folder / "unclosed.ply";
    {
        PlyPointWriter writer(path);
        writer.append(std::vector<VertexPosColor>(5));
    }
    std::string const bytes = readBytes(path);
    EXPECT_EQ(bytes.substr(0, PlyPointWriter::header(5).size()), PlyPointWriter::header(5));
    EXPECT_EQ(bytes.size(), PlyPointWriter::header(5).size() + 5 * PlyPointWriter::kRecordSize);
}

TEST_F(PlyPointWriterTest, ReplacesAnExistingFile)
{
    std::filesystem::path const path = folder / "old.ply";
    std::ofstream(path) << std::string(4096, 'x');
    PlyPointWriter writer(path);
    writer.append(std::vector<VertexPosColor>(1));
    writer.close();
    EXPECT_EQ(readBytes(path).size(), PlyPointWriter::header(1).size() + PlyPointWriter::kRecordSize);
}

TEST_F(PlyPointWriterTest, UncreatableFileThrowsNamingIt)
{
    std::filesystem::path const path = folder / "missing-folder" / "points.ply";
    try {
        PlyPointWriter writer(path);
        FAIL() << "expected an exception";
    } catch (std::runtime_error const& error) {
        EXPECT_NE(std::string(error.what()).find(path.generic_string()), std::string::npos) << error.what();
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(PlyPointWriterTest, FailedWritesAreReportedNotSwallowed)
{
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "needs a device that refuses writes";
    PlyPointWriter writer("/dev/full");
    // More than any stream buffer, so that the write reaches the device before close().
    std::vector<VertexPosColor> const points(1 << 16);
    EXPECT_THROW(
        {
            writer.append(points);
            writer.close();
        },
        std::runtime_error);
}

TEST_F(PlyPointWriterTest, AppendAfterCloseIsMisuse)
{
    PlyPointWriter writer(folder / "closed.ply");
    writer.close();
    EXPECT_THROW(writer.append(std::vector<VertexPosColor>(1)), std::logic_error);
}

} // namespace
