#include "octree/lasheader.h"
#include "octree/lasreader.h"
#include "octree/plyreader.h"
#include "octree/textpointreader.h"

#include "core/filereading.h"
#include "support/thrownmessage.h"
#include "testdatasets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

namespace {

std::filesystem::path const kLas = OctreeTest::kRealWorld / "las";

std::string errorOf(std::function<void()> const& read)
{
    return TestSupport::thrownMessage<std::runtime_error>(read);
}

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
    std::string const bytes = Core::readLocalFile(kLas / "1.2-with-color.las");
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
    std::string const laz = Core::readLocalFile(kLas / "mixed-conifer.laz");
    EXPECT_TRUE(errorOf([&] { Las::readPoints(laz.substr(0, laz.size() / 2), "cut.laz"); }).starts_with("cut.laz: "));
}

} // namespace
