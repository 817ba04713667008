#include "colormapreference.h"
#include "d3dtestsupport.h"

#include "render/classificationcolortexture.h"
#include "render/depthstencilstate.h"
#include "render/pixelshader.h"
#include "render/pointshading.h"
#include "render/postprocess.h"
#include "render/rasterizerstate.h"
#include "render/renderpass.h"
#include "render/scopedbinding.h"
#include "render/shader.h"
#include "render/vertexshader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <tuple>
#include <optional>
#include <ranges>
#include <vector>

namespace {

using Render::RenderMode;
using Render::ScopedBinding;
using Render::ShaderConfiguration;
using RenderTest::Float4;
using Vertex = Render::VertexPosColorIntensityClassIndexScanIndexDistance;
using Frame = Render::cbPerFrame;
using Node = Render::Buffer::Node;

constexpr unsigned int kSize = 64;
constexpr unsigned int kVisibleNodeTexels = 16;
constexpr std::uint32_t kWhite = 0xFFFFFFFF;
constexpr char const* kShader = "shaders/pointcloud.hlsl";
constexpr auto kDrawStages = Render::ShaderConfiguration::Vertex | Render::ShaderConfiguration::Pixel;

// A point at the center of pixel (x, y).
Vertex pointAt(unsigned int x, unsigned int y, float z, Math::Color color)
{
    auto const center = [](unsigned int pixel) { return (pixel + 0.5f) / (kSize / 2.0f) - 1.0f; };
    return Vertex(center(x), -center(y), z, color.packed());
}

Math::Color at(std::vector<Math::Color> const& image, unsigned x, unsigned y) { return image[y * kSize + x]; }

// The 8-bit value of a UNORM target's channel.
int byte(float value)
{
    return static_cast<int>(std::lround(RenderTest::saturate(value) * 255.0f));
}

// Within one 8-bit step of a UNORM target.
void expectColorNear(Math::Color actual, RenderTest::Rgb expected, std::string const& where)
{
    EXPECT_NEAR(actual.r(), byte(expected[0]), 1) << where;
    EXPECT_NEAR(actual.g(), byte(expected[1]), 1) << where;
    EXPECT_NEAR(actual.b(), byte(expected[2]), 1) << where;
}

// Shades and draws points with the point program into a 64 x 64 scene pass, as a point cloud does,
// and reads the targets back.
class PointShaderTest : public RenderTest::DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        scene = std::make_unique<Render::RenderPass>(device, kSize, kSize);
        scene->addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
        scene->addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        scene->addRenderTarget("exactWorldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        scene->addDepthBuffer(D3D11_CLEAR_DEPTH, 0.0f, 0);
        vertexShader = Render::VertexShader::fromHlslResource(device, kShader, {});
        pixelShader = Render::PixelShader::fromHlslResource(device, kShader);
        tomographicPixelShader = Render::PixelShader::fromCsoString(
            device, Render::Shader::compileShaderFromResource(kShader, "ps_tomographic", "ps_5_0"));
        frameConstants = Render::ConstantBuffer<Frame>(device, defaultFrame());
        shading = std::make_unique<Render::PointShading>(device);
        setVisibleNodes({});
        classes = std::make_unique<Render::ClassificationColorTexture>(device);
        rasterizerState = Render::RasterizerState(device, {D3D11_FILL_SOLID, D3D11_CULL_NONE, 0, 0, 0, 0, 1});
        depthState = Render::DepthStencilState(device, true, true, true);
    }

    // One-pixel points, colors unblended, the model cube of edge 1; a blue uniform color, distances
    // (to the plane z = 0) on the gray map over -1 to 1, opaque tomographic tints.
    static Frame defaultFrame()
    {
        return {.uniformColor = {0, 0, 1, 1}, .distance_plane = {0, 0, 1, 0}, .width = kSize, .height = kSize,
                .aspect = 1.0f, .point_size = 0.0f, .root_node_size = 1.0f, .tomo_contrast = 1.0f,
                .min_distance = -1.0f, .color_map = 5, .intensity_blend_factor = 0.0f};
    }

    Frame& frame() { return frameConstants.modify(); }

    // Texels (child mask, offset high byte, offset low byte) of the visible-node texture.
    void setVisibleNodes(std::vector<std::array<std::uint8_t, 3>> const& nodes)
    {
        std::vector<std::uint8_t> texels(4 * kVisibleNodeTexels, 0);
        for (std::size_t i = 0; i < nodes.size(); ++i)
            std::memcpy(&texels[4 * i], nodes[i].data(), 3);
        D3D11_TEXTURE1D_DESC const desc{kVisibleNodeTexels,    1, 1, DXGI_FORMAT_R8G8B8A8_UNORM,
                                        D3D11_USAGE_IMMUTABLE, D3D11_BIND_SHADER_RESOURCE};
        D3D11_SUBRESOURCE_DATA const data{texels.data(), 0, 0};
        ATL::CComPtr<ID3D11Texture1D> texture;
        Render::throwIfFailed(device->CreateTexture1D(&desc, &data, &texture));
        visibleNodes = Render::ShaderResourceView(device, texture, nullptr);
    }

    // Clears the targets, draws the points and reads the colors back. The points
    // belong to `nodes` in buffer order, by default all to the root node.
    std::vector<Math::Color> draw(std::vector<Vertex> const& points, std::vector<Node> nodes = {})
    {
        scene->clearAllRenderTargets(context, true);
        D3D11_BUFFER_DESC desc{static_cast<UINT>(points.size() * sizeof(Vertex)), D3D11_USAGE_IMMUTABLE,
                               D3D11_BIND_SHADER_RESOURCE, 0, 0, 0};
        D3D11_SUBRESOURCE_DATA data{points.data(), 0, 0};
        ATL::CComPtr<ID3D11Buffer> buffer;
        Render::throwIfFailed(device->CreateBuffer(&desc, &data, &buffer));
        if (nodes.empty())
            nodes.push_back(Node{{}, 0, 0, 0, points.size(), {}});
        shading->compute(context, buffer, points.size(), nodes, visibleNodes, frameConstants, &*classes);

        D3D11_VIEWPORT const viewport{0.0f, 0.0f, kSize, kSize, 0.0f, 1.0f};
        context->RSSetViewports(1, &viewport);
        rasterizerState.set(context);
        depthState.set(context, 1);
        ScopedBinding const pass(*scene, context);
        ScopedBinding const vertexStage(vertexShader, context);
        bool const tomographic = frame().point_render_mode == 1 || frame().point_render_mode == 2;
        ScopedBinding const pixelStage(tomographic ? tomographicPixelShader : pixelShader, context);
        ScopedBinding const constants(frameConstants, context, kDrawStages, 0);
        shading->draw(context);
        return readBack<Math::Color>(scene->texture("color"));
    }

    // Rows covered in column x.
    static auto coveredRows(std::vector<Math::Color> const& pixels, unsigned int x)
    {
        auto const covered = [&](unsigned int y) { return at(pixels, x, y).a() != 0; };
        return std::ranges::count_if(std::views::iota(0u, kSize), covered);
    }

    std::unique_ptr<Render::RenderPass> scene;
    Render::VertexShader vertexShader;
    Render::PixelShader pixelShader;
    Render::PixelShader tomographicPixelShader;
    Render::ConstantBuffer<Frame> frameConstants;
    std::unique_ptr<Render::PointShading> shading;
    Render::ShaderResourceView visibleNodes;
    std::unique_ptr<Render::ClassificationColorTexture> classes;
    Render::RasterizerState rasterizerState;
    Render::DepthStencilState depthState;
};

// Every pixel a point, intensities rising pixel by pixel from below the range to above it in steps
// fine enough to see a band's threshold move by a thousandth, colored by each map.
TEST_F(PointShaderTest, IntensityColorMapsMatchTheirDefinitions)
{
    frame().min_intensity = 0.1f, frame().max_intensity = 0.9f;
    frame().point_render_mode = 5;
    std::vector<Vertex> points;
    for (unsigned int i = 0; i < kSize * kSize; ++i) {
        points.push_back(pointAt(i % kSize, i / kSize, 0.5f, Math::Color(1, 2, 3)));
        points.back().intensity = static_cast<std::uint16_t>(16 * i);
    }
    for (int map : {0, 1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 42}) {
        frame().color_map_intensity = map;
        std::vector<Math::Color> const pixels = draw(points);
        for (std::size_t i = 0; i < points.size(); ++i) {
            float const n = (points[i].intensity / 65535.0f - 0.1f) / 0.8f;
            if (auto const expected = RenderTest::colorMapReference(map, n))
                expectColorNear(pixels[i], *expected, std::to_string(map));
        }
    }
}

// One point, one setting: its color, or that a filter removes it. Pass/fail and traffic light judge
// the raw distance by the default limits (pass 0.5, warn 0.25): normalised, 0.3 would fail.
TEST_F(PointShaderTest, FiltersAndModesDecideEachPointsColor)
{
    Math::ClassificationInfo info = classes->classificationInfo();
    info.setVisible(3, false);
    static Math::Color const own(200, 10, 10), marked(200, 10, 10, 0), gray(128, 128, 128), green(0, 128, 0);
    static Math::Color const light(191, 191, 191), classColor(10, 200, 30), yellow(255, 255, 0);
    info.setColor(4, classColor);
    classes->setClassificationInfo(info);
    // What, render mode, setting, color drawn (none: dropped).
    using Case = std::tuple<char const*, int, void (*)(Frame&, Vertex&), std::optional<Math::Color>>;
    std::vector<Case> const cases{
        {"marked, clipping off", 0, [](Frame&, Vertex& p) { p.color = marked; }, own},
        {"marked", 0, [](Frame& f, Vertex& p) { f.region_clipping_active = 1, p.color = marked; }, {}},
        {"hidden class, visibility off", 0, [](Frame&, Vertex& p) { p.classIndex = 3; }, own},
        {"hidden class", 0, [](Frame& f, Vertex& p) { f.class_visibility_active = 1, p.classIndex = 3; }, {}},
        {"shown class", 0, [](Frame& f, Vertex& p) { f.class_visibility_active = 1, p.classIndex = 4; }, own},
        {"class mode", 8, [](Frame&, Vertex& p) { p.classIndex = 4; }, classColor},
        {"class mode, hidden class", 8, [](Frame&, Vertex& p) { p.classIndex = 3; }, {}},
        {"selected", 0, [](Frame& f, Vertex&) { f.selected = 1; }, Math::Color(0, 0, 255)},
        {"uniform color by brightness", 6,
         [](Frame& f, Vertex& p) { f.intensity_blend_factor = 1, p.color = gray; }, Math::Color(0, 0, 128)},
        {"plane below", 0, [](Frame& f, Vertex&) { f.clipping_planes[6] = {0, 0, 1, -0.25f}; }, own},
        {"plane above", 0, [](Frame& f, Vertex&) { f.clipping_planes[6] = {0, 0, 1, -0.75f}; }, {}},
        {"mesh distance outside", 7, [](Frame&, Vertex& p) { p.distance = 2.0f; }, own},
        {"mesh distance inside", 7, [](Frame&, Vertex& p) { p.distance = 0.5f; }, light},
        {"mesh clipping", 0, [](Frame& f, Vertex& p) { f.mesh_clipping_active = 1, p.distance = 2; }, {}},
        {"unsigned", 7, [](Frame& f, Vertex& p) { f.use_signed_distance = 0, p.distance = -0.5f; }, light},
        {"pass/fail", 7, [](Frame& f, Vertex& p) { f.color_map = 9, p.distance = 0.3f; }, green},
        {"traffic light", 7, [](Frame& f, Vertex& p) { f.color_map = 10, p.distance = 0.3f; }, yellow},
        {"plane distance", 4, [](Frame&, Vertex&) {}, light},
        {"plane distance of the moved point", 4, [](Frame& f, Vertex&) { f.model[14] = 2.0f; }, {}},
        {"dark", 1, [](Frame& f, Vertex&) { f.use_cloud_colors_in_tomographic_render_modes = 1; }, yellow},
        {"bright", 2, [](Frame& f, Vertex&) { f.tomographicColor = {0, .502f, 0, 1}; }, green},
    };
    for (auto const& [what, mode, set, expected] : cases) {
        Frame& f = frame() = defaultFrame();
        f.point_render_mode = mode;
        Vertex point = pointAt(5, 5, 0.5f, own);
        set(f, point);
        EXPECT_EQ(at(draw({point}), 5, 5), expected.value_or(Math::Color(0, 0, 0, 0))) << what;
    }
}

// The nearer point wins (reversed depth); positions carry the model transform.
TEST_F(PointShaderTest, DepthAndWorldPositions)
{
    std::vector<Vertex> const points{pointAt(12, 12, 0.2f, Math::Color(255, 0, 0)),
                                     pointAt(12, 12, 0.6f, Math::Color(0, 255, 0))};
    frame().model[12] = 100.0f;
    EXPECT_EQ(at(draw(points), 12, 12), Math::Color(0, 255, 0));
    auto const center = readBack<RenderTest::Float4>(scene->texture("exactWorldPosition"))[12 * kSize + 12];
    EXPECT_FLOAT_EQ(center.x, points[1].x + 100.0f);
    EXPECT_FLOAT_EQ(center.w, 1.0f);
    auto const world = readBack<RenderTest::Float4>(scene->texture("worldPosition"));
    EXPECT_NEAR(world[12 * kSize + 12].x, center.x, 1.0f / kSize);
}

TEST_F(PointShaderTest, LevelOfDetailFollowsTheVisibleChildren)
{
    // Root cube [0, 8]^3 at depth 0 with visible children 0 and 5 (texels 1 and 2); child 0 has its
    // child 7 visible (texel 3). The point size halves per level: 16, 8, 4 pixels.
    setVisibleNodes({{0b0010'0001, 0, 1}, {0b1000'0000, 0, 2}, {0, 0, 0}, {0, 0, 0}});
    frame().root_node_size = 8.0f;
    frame().point_size = 16.0f / kSize;
    frame().max_point_size = 32.0f;
    // Model [0, 8] onto clip [-1, 1] in x and y; z to depth 0.5.
    frame().model_view_proj = {0.25f, 0.0f, 0.0f, 0.0f, 0.0f, 0.25f, 0.0f, 0.0f,
                               0.0f, 0.0f, 0.0f, 0.0f, -1.0f, -1.0f, 0.5f, 1.0f};
    auto const extentAt = [&](float x, float y, float z) {
        return coveredRows(draw({Vertex(x, y, z, kWhite)}), static_cast<unsigned int>(x / 8.0f * kSize));
    };
    EXPECT_EQ(extentAt(2.0f, 6.0f, 6.0f), 16) << "child 3 is not visible: the root's level";
    // There the disc covers exactly the pixels whose centers lie within 8 pixels of the corner of
    // pixel (16, 16).
    std::vector<Math::Color> const rootDisc = draw({Vertex(2.0f, 6.0f, 6.0f, kWhite)});
    auto const outsideDisc = [&](unsigned int index) {
        float const dx = index % kSize + 0.5f - 16.0f;
        float const dy = index / kSize + 0.5f - 16.0f;
        return (rootDisc[index].a() != 0) != (dx * dx + dy * dy <= 64.0f);
    };
    EXPECT_EQ(std::ranges::count_if(std::views::iota(0u, kSize * kSize), outsideDisc), 0);
    EXPECT_EQ(extentAt(7.0f, 3.0f, 7.0f), 8) << "in child 5, whose texel follows child 0's";
    EXPECT_EQ(extentAt(3.0f, 3.0f, 3.0f), 4) << "in child 7 of child 0";
    EXPECT_EQ(extentAt(1.0f, 1.0f, 1.0f), 8) << "in child 0 of child 0, not visible";
    // Each point of one draw starts from its own node, found past a node that holds no point: one
    // point in the root, one in child 7 of child 0.
    std::vector<Math::Color> const pixels =
        draw({Vertex(0.5f, 6.0f, 6.0f, kWhite), Vertex(3.5f, 3.0f, 3.0f, kWhite)},
             {Node{{}, 0, 0, 0, 1, {0, 0, 0}}, Node{{}, 2, 1, 1, 0, {4, 0, 4}},
              Node{{}, 3, 2, 1, 1, {2, 2, 2}}});
    EXPECT_EQ(coveredRows(pixels, 4), 16);
    EXPECT_EQ(coveredRows(pixels, 28), 4);

    // Sizes stay between one pixel and the largest point size. At the center of pixel (32, 32), in
    // child 5.
    Vertex const centered(4.0625f, 3.9375f, 4.0f, kWhite);
    frame().max_point_size = 5.0f;
    std::vector<Math::Color> const disc = draw({centered});
    EXPECT_EQ(coveredRows(disc, 32), 5);
    EXPECT_EQ(at(disc, 30, 30).a(), 0);
    frame().point_size = 0.0f;
    EXPECT_EQ(coveredRows(draw({centered}), 32), 1);
}

// The post-process drawn from the scene pass, filled by clears, into the output pass, as a frame does.
class PostProcessTest : public PointShaderTest {
protected:
    void SetUp() override
    {
        PointShaderTest::SetUp();
        output = std::make_unique<Render::RenderPass>(device, kSize, kSize);
        output->addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
        pointOutputs = std::make_unique<Render::RenderPass>(device, kSize, kSize);
        pointOutputs->addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        pointOutputs->addRenderTarget("unshadedColor", DXGI_FORMAT_B8G8R8A8_UNORM);
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
        constexpr std::array<char const*, 3> kSceneTargets{"color", "worldPosition", "exactWorldPosition"};
        D3D11_VIEWPORT const viewport{0.0f, 0.0f, kSize, kSize, 0.0f, 1.0f};
        context->RSSetViewports(1, &viewport);
        for (unsigned int slot = 0; slot < kSceneTargets.size(); ++slot)
            scene->bindTexture(context, kSceneTargets[slot], ShaderConfiguration::Pixel, slot);
        output->begin(context);
        output->clearAllRenderTargets(context, false);
        postProcess.draw(context);
        output->end(context);
        // Settings changed after the frame must not reach the point outputs drawn later.
        float const opacity = postProcess.opacity();
        postProcess.setOpacity(0.0f);
        pointOutputs->begin(context);
        postProcess.drawPointOutputs(context);
        pointOutputs->end(context);
        postProcess.setOpacity(opacity);
        for (char const* name : kSceneTargets)
            scene->unbindTexture(context, name);
    }

    Math::Color outputColor(unsigned int x = 3, unsigned int y = 3)
    {
        return readBack<Math::Color>(output->texture("color"))[y * kSize + x];
    }

    Float4 outputPosition(unsigned int x = 3, unsigned int y = 3)
    {
        return readBack<Float4>(pointOutputs->texture("worldPosition"))[y * kSize + x];
    }

    std::unique_ptr<Render::RenderPass> output;
    std::unique_ptr<Render::RenderPass> pointOutputs;
    Render::PostProcess postProcess;
};

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
// packed output color beside it (what picking reads), nothing gives no position. Normals come from
// neighbouring world positions.
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
