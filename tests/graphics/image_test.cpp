#include "graphics/colorimage.h"
#include "graphics/depthimage.h"

#include "support/tempfolder.h"
#include "support/thrownmessage.h"

#include <gtest/gtest.h>

#include <stb/stb_image.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace {

using Graphics::ColorImage;
using Graphics::DepthImage;
using Math::Color;

TEST(Image, RowsAreTightOrPaddedPaddingIsNeverWrittenAndMisuseKeepsTheImage)
{
    EXPECT_EQ(ColorImage().sizeInBytes(), 0u);
    DepthImage const tight(7, 5);
    EXPECT_EQ(tight.stride, 28u);
    EXPECT_EQ(tight.sizeInBytes(), 140u);
    EXPECT_EQ(tight.pixel(6, 4), 0.0f);

    DepthImage padded;
    padded.resize(2, 3, 12);
    padded.fill(0.5f);
    padded.setPixel(1, 2, 0.25f);
    for (std::size_t y = 0; y < 3; ++y) {
        EXPECT_EQ(padded.pixel(0, y), 0.5f);
        float padding;
        std::memcpy(&padding, padded.data() + y * padded.stride + 8, 4);
        EXPECT_EQ(padding, 0.0f) << "row " << y;
    }
    float last;
    std::memcpy(&last, padded.data() + 2 * 12 + 4, 4);
    EXPECT_EQ(last, 0.25f);

    // Misuse throws and keeps the image; a move empties the source.
    ColorImage image(4, 4);
    image.fill(Color(9, 9, 9));
    EXPECT_THROW(image.resize(10, 2, 36), std::invalid_argument);
    EXPECT_THROW(image.resize(10, 2, 42), std::invalid_argument);
    EXPECT_THROW(image.pixel(4, 0), std::out_of_range);
    EXPECT_THROW(image.setPixel(0, 4, Color()), std::out_of_range);
    EXPECT_EQ(image.width, 4u);
    EXPECT_EQ(image.pixel(3, 3), Color(9, 9, 9));

    ColorImage moved(std::move(image));
    EXPECT_EQ(moved.pixel(3, 3), Color(9, 9, 9));
    EXPECT_EQ(image.width, 0u);
    EXPECT_EQ(image.sizeInBytes(), 0u);
}

TEST(ColorImagePng, RoundTripKeepsRgbaChannelsOfAPaddedImage)
{
    ColorImage image;
    image.resize(5, 3, 32);
    for (std::size_t y = 0; y < image.height; ++y)
        for (std::size_t x = 0; x < image.width; ++x)
            image.setPixel(
                x, y, Color(std::uint8_t(x * 50), std::uint8_t(y * 100), std::uint8_t(x + y), std::uint8_t(255 - x)));

    TestSupport::TempFolder const folder("png");
    image.writePng(folder.path() / "roundtrip.png");
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<stbi_uc, decltype(&stbi_image_free)> loaded(
        stbi_load((folder.path() / "roundtrip.png").string().c_str(), &width, &height, &channels, 4), &stbi_image_free);
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(width, 5);
    ASSERT_EQ(height, 3);
    EXPECT_EQ(channels, 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            stbi_uc const* rgba = loaded.get() + (y * width + x) * 4;
            EXPECT_EQ(Color(rgba[0], rgba[1], rgba[2], rgba[3]), image.pixel(std::size_t(x), std::size_t(y)));
        }
    }

    auto const unwritable = folder.path() / "missing-folder" / "image.png";
    EXPECT_NE(TestSupport::thrownMessage<std::runtime_error>([&] {
                  image.writePng(unwritable);
              }).find(unwritable.generic_string()),
              std::string::npos);
    EXPECT_THROW(ColorImage().writePng(folder.path() / "empty.png"), std::invalid_argument);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "empty.png"));
}

} // namespace
