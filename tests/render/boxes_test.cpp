#include "d3dtestsupport.h"

#include "render/boxes.h"
#include "render/renderpass.h"

#include "math/color.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace {

using Render::BoxWithColor;
using RenderTest::Float4;
using BoxesTest = RenderTest::DeviceTest;

constexpr unsigned int kTarget = 32;
Math::Color const kRed(255, 0, 0);
Math::Color const kBlue(0, 0, 255);
Math::Color const kWhite(255, 255, 255);

// A square through the pixel centers of rows and columns `first`..`last`, at depth 0.5.
BoxWithColor square(unsigned int first, unsigned int last, Math::Color color)
{
    auto const center = [](unsigned int pixel) { return (pixel + 0.5f) / (kTarget / 2.0f) - 1.0f; };
    return {{center(first), -center(last), 0.5f}, {center(last), -center(first), 0.5f}, color};
}

// Boxes drawn into a 32 x 32 pass with color and world position targets. Fixed boxes draw edges only,
// and no world position under them (a box is never picked); updatable boxes draw the latest set,
// within their capacity and the sizes a buffer can hold.
TEST_F(BoxesTest, BoxesDrawTheirEdgesWithoutWorldPosition)
{
    Render::RenderPass pass(device, kTarget, kTarget);
    pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
    pass.addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
    pass.setClearValue("worldPosition", 5.0f, 5.0f, 5.0f, 5.0f);
    D3D11_VIEWPORT const viewport{0.0f, 0.0f, kTarget, kTarget, 0.0f, 1.0f};
    auto const draw = [&](Render::Boxes& boxes) {
        context->RSSetViewports(1, &viewport);
        pass.begin(context);
        pass.clearAllRenderTargets(context, false);
        boxes.draw(context);
        pass.end(context);
        return readBack<Math::Color>(pass.texture("color"));
    };
    auto const coloredPixels = [&](Render::Boxes& boxes, Math::Color color) {
        std::vector<Math::Color> const pixels = draw(boxes);
        return static_cast<std::size_t>(std::count(pixels.begin(), pixels.end(), color));
    };

    Render::Boxes boxes(device, std::vector<BoxWithColor>{square(8, 23, kRed)});
    std::vector<Math::Color> const pixels = draw(boxes);
    for (std::size_t const edge : {8 * kTarget + 16, 16 * kTarget + 8, 23 * kTarget + 16})
        EXPECT_EQ(pixels[edge], kRed) << edge;
    EXPECT_EQ(pixels[16 * kTarget + 16], Math::Color());
    EXPECT_GE(std::count(pixels.begin(), pixels.end(), kRed), 4 * 14);
    std::vector<Float4> const positions = readBack<Float4>(pass.texture("worldPosition"));
    EXPECT_EQ(positions[8 * kTarget + 16].w, 0.0f);
    EXPECT_EQ(positions[16 * kTarget + 16].w, 5.0f);

    EXPECT_THROW(boxes.update(context, {square(1, 2, kRed)}), Render::ComException);
    EXPECT_THROW(Render::Boxes(device, std::vector<BoxWithColor>{}), Render::ComException);

    Render::Boxes moved(device, Math::NBoundingBox<float, 3>({0.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 0.0f}), kRed);
    Eigen::Matrix4f outOfView = Eigen::Matrix4f::Identity();
    outOfView(0, 3) = -2.0f;
    moved.setModelViewProjection(outOfView);
    EXPECT_EQ(coloredPixels(moved, kRed), 0u);
    moved.setModelViewProjection(Eigen::Matrix4f::Identity());
    EXPECT_GT(coloredPixels(moved, kRed), 0u);

    Render::Boxes updatable(device, 2);
    EXPECT_EQ(coloredPixels(updatable, kBlue), 0u);
    updatable.update(context, {square(2, 10, kBlue), square(14, 28, kWhite)});
    EXPECT_GT(coloredPixels(updatable, kWhite), 0u);
    updatable.update(context, {square(2, 10, kBlue)});
    EXPECT_GT(coloredPixels(updatable, kBlue), 0u);
    EXPECT_EQ(coloredPixels(updatable, kWhite), 0u);
    std::vector<BoxWithColor> const beyondCapacity(3, square(2, 10, kBlue));
    EXPECT_THROW(updatable.update(context, beyondCapacity), std::length_error);
    EXPECT_EQ(updatable.size(), 1u);
    // 28-byte boxes: this count wraps to 28 bytes in 32 bits.
    constexpr std::size_t kWrappingBoxCount = (std::size_t{1} << 32) / 28 + 1;
    EXPECT_THROW(Render::Boxes(device, kWrappingBoxCount), std::length_error);
}

} // namespace
