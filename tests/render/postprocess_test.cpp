#include "d3dtestsupport.h"

#include "render/postprocess.h"
#include "render/renderpass.h"

#include "math/color.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

namespace {

using Render::RenderMode;
using Render::ShaderConfiguration;
using RenderTest::Float4;

constexpr unsigned int kSize = 8;
constexpr std::array<char const*, 3> kSceneTargets{"color", "worldPosition", "exactWorldPosition"};

// The scene pass filled by clears, the post-process drawn into the output pass, as a frame does.
class PostProcessTest : public RenderTest::DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        scene = std::make_unique<Render::RenderPass>(device, kSize, kSize);
        scene->addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
        scene->addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        scene->addRenderTarget("exactWorldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        output = std::make_unique<Render::RenderPass>(device, kSize, kSize);
        output->addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
        output->addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        postProcess = Render::PostProcess(device);
    }

    void fillScene(Math::Color color, Float4 position)
    {
        scene->setClearValue("color", color);
        scene->setClearValue("worldPosition", position.x, position.y, position.z, position.w);
        scene->clearAllRenderTargets(context, false);
    }

    void drawOutput()
    {
        D3D11_VIEWPORT const viewport{0.0f, 0.0f, kSize, kSize, 0.0f, 1.0f};
        context->RSSetViewports(1, &viewport);
        output->begin(context);
        output->clearAllRenderTargets(context, false);
        for (unsigned int slot = 0; slot < kSceneTargets.size(); ++slot)
            scene->bindTexture(context, kSceneTargets[slot], ShaderConfiguration::Pixel, slot);
        postProcess.draw(context);
        for (char const* name : kSceneTargets)
            scene->unbindTexture(context, name);
        output->end(context);
    }

    Math::Color outputColor(unsigned int x = 3, unsigned int y = 3)
    {
        return readBack<Math::Color>(output->texture("color"))[y * kSize + x];
    }

    Float4 outputPosition(unsigned int x = 3, unsigned int y = 3)
    {
        return readBack<Float4>(output->texture("worldPosition"))[y * kSize + x];
    }

    std::unique_ptr<Render::RenderPass> scene;
    std::unique_ptr<Render::RenderPass> output;
    Render::PostProcess postProcess;
};

int byte(float value)
{
    return static_cast<int>(std::lround(std::clamp(value, 0.0f, 1.0f) * 255.0f));
}

void expectColorNear(Math::Color actual, std::array<int, 4> const& expected)
{
    EXPECT_NEAR(actual.r(), expected[0], 1);
    EXPECT_NEAR(actual.g(), expected[1], 1);
    EXPECT_NEAR(actual.b(), expected[2], 1);
    EXPECT_NEAR(actual.a(), expected[3], 1);
}

constexpr Float4 kSurface{1.0f, 2.0f, 3.0f, 1.0f};
constexpr Float4 kNothing{0.0f, 0.0f, 0.0f, 0.0f};

// The output color of each mode over a surface and over nothing; a surface keeps its position with the
// packed output color beside it (what picking reads), nothing gives no position.
TEST_F(PostProcessTest, EveryModeShadesSurfacesAndEmptyPixels)
{
    float const r = 0.2f, g = 0.4f, b = 0.6f; // the scene color 51, 102, 153
    auto const adjusted = [](int channel) { return byte(2.0f * (channel / 255.0f + 0.1f - 0.5f) + 0.5f); };
    struct Case {
        RenderMode mode;
        Math::Color scene;
        Float4 position;
        std::array<int, 4> expected;
        float opacity = 1.0f;
        float brightness = 0.0f;
        float contrast = 1.0f;
    };
    Math::Color const sceneColor(51, 102, 153);
    std::array<int, 4> const contrasted{adjusted(51), adjusted(102), adjusted(153), 255};
    for (Case const& c :
         {Case{RenderMode::Default, Math::Color(51, 102, 153, 20), kSurface, {51, 102, 153, 128}, 0.5f},
          Case{RenderMode::Default, sceneColor, kSurface, contrasted, 1.0f, 0.1f, 2.0f},
          Case{RenderMode::ColorizeByIntensity, sceneColor, kSurface, {51, 102, 153, 255}, 1.0f, 0.1f, 2.0f},
          Case{RenderMode::TomographicDarkContours, sceneColor, kSurface,
               {byte(1 - 2 * r), byte(1 - 2 * g), byte(1 - 2 * b), byte(2 * (r + g + b) / 3)}},
          Case{RenderMode::TomographicBrightContours, sceneColor, kSurface,
               {byte(2 * r), byte(2 * g), byte(2 * b), byte(2 * (r + g + b) / 3)}},
          Case{RenderMode::ColorizeByClassIndex, Math::Color(1, 2, 3, 4), kSurface, {1, 2, 3, 255}},
          Case{static_cast<RenderMode>(9), sceneColor, kSurface, {0, 0, 0, 0}},
          Case{RenderMode::Default, Math::Color(10, 20, 30, 40), kNothing, {10, 20, 30, 40}},
          Case{RenderMode::TomographicDarkContours, sceneColor, kNothing, {255, 255, 255, 0}},
          Case{RenderMode::TomographicBrightContours, sceneColor, kNothing, {0, 0, 0, 0}}}) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        fillScene(c.scene, c.position);
        postProcess.setRenderMode(c.mode);
        postProcess.setOpacity(c.opacity);
        postProcess.setBrightness(c.brightness);
        postProcess.setContrast(c.contrast);
        drawOutput();
        Math::Color const color = outputColor();
        expectColorNear(color, c.expected);
        Float4 const position = outputPosition();
        if (c.position.w == 0.0f) {
            EXPECT_EQ(std::make_tuple(position.x, position.y, position.z, position.w),
                      std::make_tuple(FLT_MAX, FLT_MAX, FLT_MAX, 0.0f));
        } else {
            EXPECT_EQ(std::make_tuple(position.x, position.y, position.z), std::make_tuple(1.0f, 2.0f, 3.0f));
            expectColorNear(std::bit_cast<Math::Color>(position.w),
                            {color.r(), color.g(), color.b(), color.a()});
        }
    }
}

TEST_F(PostProcessTest, NormalsComeFromNeighbouringWorldPositions)
{
    // P(x, y) = (x, -y, 0): the surface z = 0 seen from +z.
    std::vector<Float4> positions;
    for (unsigned int y = 0; y < kSize; ++y)
        for (unsigned int x = 0; x < kSize; ++x)
            positions.push_back({static_cast<float>(x), -static_cast<float>(y), 0.0f, 1.0f});
    fillScene(Math::Color(0, 0, 0), kSurface);
    context->UpdateSubresource(scene->texture("worldPosition").get(), 0, nullptr, positions.data(),
                               kSize * sizeof(Float4), 0);
    postProcess.setRenderMode(RenderMode::ColorizeByNormal);
    drawOutput();
    expectColorNear(outputColor(4, 5), {128, 128, 255, 255});
}

} // namespace
