#include "graphics/colorimage.h"
#include "graphics/depthimage.h"

#include <gtest/gtest.h>

#include <stb/stb_image.h>

#include <filesystem>
#include <memory>
#include <string>

namespace {

using Graphics::ColorImage;
using Graphics::DepthImage;
using Math::Color;

std::filesystem::path temporaryFile(std::string const& name)
{
    auto const* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::filesystem::temp_directory_path() / (std::string(test->test_suite_name()) + "_" + test->name() + "_" + name);
}

TEST(Image, DefaultIsEmpty)
{
    ColorImage const image;
    EXPECT_EQ(image.width, 0u);
    EXPECT_EQ(image.height, 0u);
    EXPECT_EQ(image.stride, 0u);
    EXPECT_EQ(image.sizeInBytes(), 0u);
}

TEST(Image, SizeConstructorUsesTightRows)
{
    DepthImage const image(7, 5);
    EXPECT_EQ(image.width, 7u);
    EXPECT_EQ(image.height, 5u);
    EXPECT_EQ(image.stride, 28u);
    EXPECT_EQ(image.sizeInBytes(), 140u);
    EXPECT_EQ(image.pixel(6, 4), 0.0f);
}

TEST(Image, ResizeKeepsPaddedStride)
{
    ColorImage image(2, 2);
    image.resize(3, 4, 64);
    EXPECT_EQ(image.stride, 64u);
    EXPECT_EQ(image.sizeInBytes(), 256u);
    image.setPixel(2, 3, Color(1, 2, 3, 4));
    EXPECT_EQ(image.data()[3 * 64 + 2 * 4 + 2], 1);
}

TEST(Image, ResizeRejectsStrideShorterThanRowAndKeepsImage)
{
    ColorImage image(4, 4);
    image.fill(Color(9, 9, 9));
    EXPECT_THROW(image.resize(10, 2, 39), std::invalid_argument);
    EXPECT_THROW(image.resize(10, 2, 42), std::invalid_argument);
    EXPECT_EQ(image.width, 4u);
    EXPECT_EQ(image.pixel(3, 3), Color(9, 9, 9));
}

TEST(Image, FillLeavesRowPaddingAlone)
{
    DepthImage image;
    image.resize(2, 3, 12);
    image.fill(0.5f);
    for (std::size_t y = 0; y < 3; ++y) {
        EXPECT_EQ(image.pixel(0, y), 0.5f);
        EXPECT_EQ(image.pixel(1, y), 0.5f);
        float padding;
        std::memcpy(&padding, image.data() + y * image.stride + 8, 4);
        EXPECT_EQ(padding, 0.0f);
    }
}

TEST(Image, MoveTransfersPixelsAndEmptiesSource)
{
    ColorImage source(3, 2);
    source.fill(Color(5, 6, 7, 8));
    ColorImage moved(std::move(source));
    EXPECT_EQ(moved.width, 3u);
    EXPECT_EQ(moved.pixel(2, 1), Color(5, 6, 7, 8));
    EXPECT_EQ(source.width, 0u);
    EXPECT_EQ(source.sizeInBytes(), 0u);
}

TEST(Image, PixelOutsideThrows)
{
    ColorImage image(2, 2);
    EXPECT_THROW(image.pixel(2, 0), std::out_of_range);
    EXPECT_THROW(image.setPixel(0, 2, Color()), std::out_of_range);
}

TEST(ColorImagePng, RoundTripKeepsRgbaChannels)
{
    ColorImage image;
    image.resize(5, 3, 32);
    for (std::size_t y = 0; y < image.height; ++y)
        for (std::size_t x = 0; x < image.width; ++x)
            image.setPixel(x, y, Color(std::uint8_t(x * 50), std::uint8_t(y * 100), std::uint8_t(x + y), std::uint8_t(255 - x)));

    auto const path = temporaryFile("roundtrip.png");
    image.writePng(path);

    int width = 0, height = 0, channels = 0;
    std::unique_ptr<stbi_uc, decltype(&stbi_image_free)> loaded(
        stbi_load(path.string().c_str(), &width, &height, &channels, 4), &stbi_image_free);
    std::filesystem::remove(path);
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(width, 5);
    ASSERT_EQ(height, 3);
    EXPECT_EQ(channels, 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            stbi_uc const* rgba = loaded.get() + (y * width + x) * 4;
            Color const expected = image.pixel(std::size_t(x), std::size_t(y));
            EXPECT_EQ(rgba[0], expected.r());
            EXPECT_EQ(rgba[1], expected.g());
            EXPECT_EQ(rgba[2], expected.b());
            EXPECT_EQ(rgba[3], expected.a());
        }
    }
}

TEST(ColorImagePng, UnwritablePathThrowsNamingIt)
{
    ColorImage image(2, 2);
    auto const path = temporaryFile("missing-folder") / "image.png";
    try {
        image.writePng(path);
        FAIL() << "no exception";
    } catch (std::runtime_error const& error) {
        EXPECT_NE(std::string(error.what()).find(path.generic_string()), std::string::npos) << error.what();
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ColorImagePng, EmptyImageIsRejected)
{
    ColorImage const image;
    auto const path = temporaryFile("empty.png");
    EXPECT_THROW(image.writePng(path), std::invalid_argument);
    EXPECT_FALSE(std::filesystem::exists(path));
}

} // namespace
