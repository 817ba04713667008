#include "d3dtestsupport.h"

#include "render/boxes.h"
#include "render/renderpass.h"

#include "math/color.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using RenderTest::Float4;

// Boxes drawn into a 32 x 32 pass with color and world position targets.
class BoxesTest : public RenderTest::DeviceTest {
protected:
    static constexpr unsigned int kTarget = 32;

    void SetUp() override
    {
        DeviceTest::SetUp();
        pass = std::make_unique<Render::RenderPass>(device, kTarget, kTarget);
        pass->addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
        pass->addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        pass->setClearValue("worldPosition", 5.0f, 5.0f, 5.0f, 5.0f);
    }

    std::vector<Math::Color> drawBoxes(Render::Boxes& boxes)
    {
        D3D11_VIEWPORT const viewport{0.0f, 0.0f, kTarget, kTarget, 0.0f, 1.0f};
        context->RSSetViewports(1, &viewport);
        pass->begin(context);
        pass->clearAllRenderTargets(context, false);
        boxes.draw(context);
        pass->end(context);
        return readBack<Math::Color>(pass->texture("color"));
    }

    static std::size_t coloredPixels(std::vector<Math::Color> const& pixels, Math::Color color)
    {
        return static_cast<std::size_t>(std::count(pixels.begin(), pixels.end(), color));
    }

    // A square through the pixel centers of rows and columns `first`..`last`, at depth 0.5.
    static Render::BoxWithColor square(unsigned int first, unsigned int last, Math::Color color)
    {
        auto const center = [](unsigned int pixel) { return (pixel + 0.5f) / (kTarget / 2.0f) - 1.0f; };
        return {{center(first), -center(last), 0.5f}, {center(last), -center(first), 0.5f}, color};
    }

    std::unique_ptr<Render::RenderPass> pass;
};

TEST_F(BoxesTest, FixedBoxesDrawTheirEdgesWithoutWorldPosition)
{
    Math::Color const red(255, 0, 0);
    Render::Boxes boxes(device, std::vector<Render::BoxWithColor>{square(8, 23, red)});
    std::vector<Math::Color> const pixels = drawBoxes(boxes);
    EXPECT_EQ(pixels[8 * kTarget + 16], red);
    EXPECT_EQ(pixels[16 * kTarget + 8], red);
    EXPECT_EQ(pixels[23 * kTarget + 16], red);
    EXPECT_EQ(pixels[16 * kTarget + 16], Math::Color());
    EXPECT_GE(coloredPixels(pixels, red), 4u * 14u);
    std::vector<Float4> const positions = readBack<Float4>(pass->texture("worldPosition"));
    EXPECT_EQ(positions[8 * kTarget + 16].w, 0.0f);
    EXPECT_EQ(positions[16 * kTarget + 16].w, 5.0f);

    EXPECT_THROW(boxes.update(context, {square(1, 2, red)}), Render::ComException);
    EXPECT_THROW(Render::Boxes(device, std::vector<Render::BoxWithColor>{}), Render::ComException);
}

TEST_F(BoxesTest, TransformAppliesToBoxCorners)
{
    Math::Color const green(0, 255, 0);
    Math::NBoundingBox<float, 3> box;
    box.extend(Math::Point<float, 3>(0.0f, 0.0f, 0.0f));
    box.extend(Math::Point<float, 3>(1.0f, 1.0f, 0.0f));
    Render::Boxes boxes(device, box, green);
    Eigen::Matrix4f transform = Eigen::Matrix4f::Identity();
    transform(0, 3) = -2.0f; // moves the box out of view
    boxes.setModelViewProjection(transform);
    EXPECT_EQ(coloredPixels(drawBoxes(boxes), green), 0u);
    boxes.setModelViewProjection(Eigen::Matrix4f::Identity());
    EXPECT_GT(coloredPixels(drawBoxes(boxes), green), 0u);
}

// Updatable boxes draw the latest set, within their capacity and the sizes a buffer can hold.
TEST_F(BoxesTest, UpdatableBoxesDrawTheLatestSet)
{
    Math::Color const blue(0, 0, 255);
    Math::Color const white(255, 255, 255);
    Render::Boxes boxes(device, 2);
    EXPECT_EQ(boxes.capacity(), 2u);
    EXPECT_EQ(coloredPixels(drawBoxes(boxes), blue), 0u);

    boxes.update(context, {square(2, 10, blue), square(14, 28, white)});
    std::vector<Math::Color> pixels = drawBoxes(boxes);
    EXPECT_GT(coloredPixels(pixels, blue), 0u);
    EXPECT_GT(coloredPixels(pixels, white), 0u);

    boxes.update(context, {square(2, 10, blue)});
    pixels = drawBoxes(boxes);
    EXPECT_GT(coloredPixels(pixels, blue), 0u);
    EXPECT_EQ(coloredPixels(pixels, white), 0u);

    EXPECT_THROW(boxes.update(context, std::vector<Render::BoxWithColor>(3, square(2, 10, blue))), std::length_error);
    EXPECT_EQ(boxes.size(), 1u);
    // 28-byte boxes: this count wraps to 28 bytes in 32 bits.
    constexpr std::size_t kWrappingBoxCount = (std::size_t{1} << 32) / 28 + 1;
    EXPECT_THROW(Render::Boxes(device, kWrappingBoxCount), std::length_error);
}

} // namespace
