#include "graphics/textpointwriter.h"
#include "math/vertexformats.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Graphics::TextPointWriter;
using Render::VertexPosColor;

// Read in text mode, so that the comparison holds with either line ending.
std::string readText(std::filesystem::path const& path)
{
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class TextPointWriterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = std::filesystem::temp_directory_path() /
                 ("morvid-text-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(folder);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    std::filesystem::path folder;
};

TEST_F(TextPointWriterTest, WritesTheHeaderLineAndOneLinePerPointAtSevenDigits)
{
    std::filesystem::path const path = folder / "points.txt";
    TextPointWriter writer(path);
    writer.append(std::vector<VertexPosColor>{{1.2345678f, -2.5f, 0.0f, 255, 128, 0, 7}});
    writer.append(std::vector<VertexPosColor>{{123456789.0f, 1e-8f, 3.0f, 1, 2, 3, 255}});
    writer.close();
    EXPECT_EQ(readText(path), "X Y Z Red Green Blue Alpha\n"
                              "1.234568 -2.5 0 255 128 0 7\n"
                              "1.234568e+08 1e-08 3 1 2 3 255\n");
}

TEST_F(TextPointWriterTest, ValuesReadBackWithinSevenSignificantDigits)
{
    std::vector<VertexPosColor> points;
    for (int i = 0; i < 100; ++i)
        points.emplace_back(637000.125f + static_cast<float>(i) * 0.37f, -0.001f * static_cast<float>(i), 851.5f,
                            static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(2 * i), 9, 255);
    std::filesystem::path const path = folder / "many.txt";
    TextPointWriter writer(path);
    writer.append(points);
    writer.close();

    std::istringstream lines(readText(path));
    std::string header;
    std::getline(lines, header);
    EXPECT_EQ(header, "X Y Z Red Green Blue Alpha");
    for (VertexPosColor const& point : points) {
        float x = 0, y = 0, z = 0;
        int r = 0, g = 0, b = 0, a = 0;
        ASSERT_TRUE(lines >> x >> y >> z >> r >> g >> b >> a);
        EXPECT_NEAR(x, point.x, std::abs(point.x) * 1e-6f);
        EXPECT_NEAR(y, point.y, 1e-9f + std::abs(point.y) * 1e-6f);
        EXPECT_EQ(z, point.z);
        EXPECT_EQ(r, point.color.r());
        EXPECT_EQ(g, point.color.g());
        EXPECT_EQ(b, point.color.b());
        EXPECT_EQ(a, point.color.a());
    }
    std::string rest;
    EXPECT_FALSE(lines >> rest) << "no lines after the points";
}

TEST_F(TextPointWriterTest, UncreatableFileThrowsNamingIt)
{
    std::filesystem::path const path = folder / "missing-folder" / "points.txt";
    try {
        TextPointWriter writer(path);
        FAIL() << "expected an exception";
    } catch (std::runtime_error const& error) {
        EXPECT_NE(std::string(error.what()).find(path.generic_string()), std::string::npos) << error.what();
    }
}

TEST_F(TextPointWriterTest, FailedWritesAreReportedNotSwallowed)
{
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "needs a device that refuses writes";
    TextPointWriter writer("/dev/full");
    EXPECT_THROW(
        {
            writer.append(std::vector<VertexPosColor>(1 << 16));
            writer.close();
        },
        std::runtime_error);
}

} // namespace
