#include "graphics/plypointwriter.h"
#include "graphics/textpointwriter.h"
#include "math/vertexformats.h"

#include "support/tempfolder.h"
#include "support/thrownmessage.h"

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
using Graphics::TextPointWriter;
using Render::VertexPosColor;
using TestSupport::TempFolder;

// Text mode reads either line ending as "\n".
std::string readFile(std::filesystem::path const& path, std::ios::openmode mode = std::ios::binary)
{
    std::ifstream file(path, mode);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(PlyPointWriter, WritesAFixedHeaderAndSixteenByteRecordsAndRewritesTheCountInPlaceOrAtDestruction)
{
    std::string const header = PlyPointWriter::header(3);
    EXPECT_EQ(header,
              "ply\nformat binary_little_endian 1.0\nelement vertex                    3\n"
              "property float x\nproperty float y\nproperty float z\n"
              "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty uchar alpha\n\nend_header\n");
    EXPECT_EQ(PlyPointWriter::header(18446744073709551615ull).size(), header.size()) << "count in 20 characters";

    TempFolder const folder("ply");
    std::filesystem::path const path = folder.path() / "points.ply";
    std::ofstream(path) << std::string(4096, 'x'); // an older, longer file is replaced
    std::vector<VertexPosColor> const points{{1.5f, -2.0f, 3.25f, 10, 20, 30, 40},
                                             {0.0f, 1e-8f, -7.0f, 255, 0, 128, 1},
                                             {100.0f, 200.0f, 300.0f, 1, 2, 3, 4}};
    PlyPointWriter writer(path);
    writer.append(std::vector<VertexPosColor>(points.begin(), points.begin() + 2));
    writer.append(std::vector<VertexPosColor>(points.begin() + 2, points.end()));
    writer.close();
    EXPECT_THROW(writer.append(points), std::logic_error);

    std::string const bytes = readFile(path);
    ASSERT_EQ(bytes.size(), header.size() + 3 * PlyPointWriter::kRecordSize);
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    for (std::size_t i = 0; i < points.size(); ++i) {
        char const* record = bytes.data() + header.size() + i * PlyPointWriter::kRecordSize;
        std::array<float, 3> position{};
        std::memcpy(position.data(), record, sizeof(position));
        EXPECT_EQ(position, (std::array<float, 3>{points[i].x, points[i].y, points[i].z})) << "point " << i;
        Math::Color const& color = points[i].color;
        EXPECT_EQ(std::string(record + 12, 4),
                  std::string({char(color.r()), char(color.g()), char(color.b()), char(color.a())}))
            << "red first, point " << i;
    }

    // Empty or unclosed files get a complete header.
    {
        PlyPointWriter empty(folder.path() / "empty.ply");
        empty.append(std::vector<VertexPosColor>{});
        PlyPointWriter unclosed(folder.path() / "unclosed.ply");
        unclosed.append(std::vector<VertexPosColor>(5));
    }
    EXPECT_EQ(readFile(folder.path() / "empty.ply"), PlyPointWriter::header(0));
    std::string const unclosed = readFile(folder.path() / "unclosed.ply");
    EXPECT_EQ(unclosed.substr(0, PlyPointWriter::header(5).size()), PlyPointWriter::header(5));
    EXPECT_EQ(unclosed.size(), PlyPointWriter::header(5).size() + 5 * PlyPointWriter::kRecordSize);
}

TEST(TextPointWriter, WritesTheHeaderLineAndOneLinePerPointAtSevenDigits)
{
    TempFolder const folder("text");
    std::filesystem::path const path = folder.path() / "points.txt";
    TextPointWriter writer(path);
    writer.append(std::vector<VertexPosColor>{{1.2345678f, -2.5f, 0.0f, 255, 128, 0, 7}});
    writer.append(std::vector<VertexPosColor>{{123456789.0f, 1e-8f, 3.0f, 1, 2, 3, 255}});
    writer.close();
    EXPECT_EQ(readFile(path, std::ios::in), "X Y Z Red Green Blue Alpha\n"
                                            "1.234568 -2.5 0 255 128 0 7\n"
                                            "1.234568e+08 1e-08 3 1 2 3 255\n");
}

// Georeferenced coordinates do not fit float32: the origin is added in double and both files keep it.
TEST(PointWriters, OriginIsAddedInDoublePrecisionInPlyAndText)
{
    TempFolder const folder("origin");
    Math::Point<double, 3> const origin(885022.37, 629157.18, 325.12);
    std::vector<VertexPosColor> const points{{1.5f, -2.0f, 0.25f, 10, 20, 30, 40}};
    PlyPointWriter plyWriter(folder.path() / "geo.ply", origin);
    plyWriter.append(points);
    plyWriter.close();
    TextPointWriter textWriter(folder.path() / "geo.txt", origin);
    textWriter.append(points);
    textWriter.close();

    std::string const bytes = readFile(folder.path() / "geo.ply");
    std::string const header = PlyPointWriter::header(1, true);
    ASSERT_EQ(bytes.size(), header.size() + PlyPointWriter::kOriginRecordSize);
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    EXPECT_NE(header.find("property double x\nproperty double y\nproperty double z\n"), std::string::npos);
    std::array<double, 3> position{};
    std::memcpy(position.data(), bytes.data() + header.size(), sizeof(position));
    std::array<double, 3> const expected{origin.x() + 1.5, origin.y() - 2.0, origin.z() + 0.25};
    EXPECT_EQ(position, expected);
    EXPECT_EQ(bytes.substr(header.size() + 24), std::string("\x0a\x14\x1e\x28", 4)) << "red first";

    std::ifstream lines(folder.path() / "geo.txt");
    std::string line;
    std::getline(lines, line);
    std::array<double, 3> read{};
    std::array<int, 4> channels{};
    lines >> read[0] >> read[1] >> read[2] >> channels[0] >> channels[1] >> channels[2] >> channels[3];
    EXPECT_EQ(read, expected) << "the same doubles as the PLY file";
    EXPECT_EQ(channels, (std::array<int, 4>{10, 20, 30, 40}));
}

template <class Writer>
void expectFailuresReported(std::filesystem::path const& folder)
{
    std::filesystem::path const path = folder / "missing-folder" / "points";
    EXPECT_NE(TestSupport::thrownMessage<std::runtime_error>([&] { Writer writer(path); }).find(path.generic_string()),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(path));
    if (!std::filesystem::exists("/dev/full"))
        return; // needs a device that refuses writes
    Writer writer("/dev/full");
    // More than any stream buffer, so that the write reaches the device before close().
    EXPECT_THROW(
        {
            writer.append(std::vector<VertexPosColor>(1 << 16));
            writer.close();
        },
        std::runtime_error);
}

TEST(PointWriters, UncreatableFilesAndFailedWritesAreReportedNamingTheFile)
{
    TempFolder const folder("writers");
    expectFailuresReported<PlyPointWriter>(folder.path());
    expectFailuresReported<TextPointWriter>(folder.path());
}

} // namespace
