#include "colormapreference.h"
#include "d3dtestsupport.h"

#include "render/cbperframe.h"
#include "render/classificationcolortexture.h"
#include "render/constantbuffer.h"
#include "render/depthstencilstate.h"
#include "render/pixelshader.h"
#include "render/pointinputlayout.h"
#include "render/pointshading.h"
#include "render/rasterizerstate.h"
#include "render/renderpass.h"
#include "render/shaderresourceview.h"
#include "render/texture1d.h"
#include "render/vertexshader.h"

#include "math/color.h"
#include "math/vertexformats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

using Render::ShaderConfiguration;
using Vertex = Render::VertexPosColorIntensityClassIndexScanIndexDistance;
using RenderTest::Float4;

constexpr unsigned int kSize = 64;
constexpr char const* kShader = "shaders/pointcloud.hlsl";

// Clip-space coordinate of the center of pixel column x (row y: -pixelCenter(y)).
float pixelCenter(unsigned int pixel)
{
    return (static_cast<float>(pixel) + 0.5f) / (kSize / 2.0f) - 1.0f;
}

Vertex pointAt(unsigned int x, unsigned int y, float z, Math::Color color)
{
    Vertex vertex(pixelCenter(x), -pixelCenter(y), z, color.packed());
    vertex.distance = 0.0f;
    return vertex;
}

// One 8-bit step of a UNORM target.
void expectColorNear(Math::Color actual, RenderTest::Rgb expected, std::string const& where)
{
    auto const byte = [](float v) { return static_cast<int>(std::lround(RenderTest::saturate(v) * 255.0f)); };
    EXPECT_NEAR(actual.r(), byte(expected[0]), 1) << where;
    EXPECT_NEAR(actual.g(), byte(expected[1]), 1) << where;
    EXPECT_NEAR(actual.b(), byte(expected[2]), 1) << where;
}

// Draws points with the point program into a 64 x 64 scene pass, as a point cloud does, and reads
// the targets back.
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
        auto const& layout = Render::pointInputLayout();
        vertexShader = Render::VertexShader::fromHlslResource(device, kShader, {layout.begin(), layout.end()});
        pixelShader = Render::PixelShader::fromHlslResource(device, kShader);

        Render::cbPerFrame frame;
        frame.width = frame.height = static_cast<float>(kSize);
        frame.aspect = 1.0f;
        frame.point_size = 0.0f;
        frame.root_node_size = 1.0f;
        frame.intensity_blend_factor = 0.0f;
        frameConstants = Render::ConstantBuffer<Render::cbPerFrame>(device, frame);
        pointLevels = std::make_unique<Render::PointShading>(device);

        D3D11_TEXTURE1D_DESC nodesDesc{};
        nodesDesc.Width = kVisibleNodeTexels;
        nodesDesc.MipLevels = 1;
        nodesDesc.ArraySize = 1;
        nodesDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
        nodesDesc.Usage = D3D11_USAGE_DYNAMIC;
        nodesDesc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        nodesDesc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        visibleNodes = Render::Texture1d(device, nodesDesc);
        visibleNodesView = Render::ShaderResourceView(device, visibleNodes.get(), nullptr);
        setVisibleNodes({});

        classes = std::make_unique<Render::ClassificationColorTexture>(device);
        D3D11_RASTERIZER_DESC rasterizer{};
        rasterizer.FillMode = D3D11_FILL_SOLID;
        rasterizer.CullMode = D3D11_CULL_NONE;
        rasterizer.DepthClipEnable = TRUE;
        rasterizerState = Render::RasterizerState(device, rasterizer);
        setDepthConvention(true);
    }

    Render::cbPerFrame& frame() { return frameConstants.modify(); }

    // Texels (child mask, offset high byte, offset low byte) of the visible-node texture.
    void setVisibleNodes(std::vector<std::array<std::uint8_t, 3>> const& nodes)
    {
        std::vector<std::uint8_t> texels(4 * kVisibleNodeTexels, 0);
        for (std::size_t i = 0; i < nodes.size(); ++i)
            std::memcpy(&texels[4 * i], nodes[i].data(), 3);
        D3D11_MAPPED_SUBRESOURCE const mapped = visibleNodes.map(context, D3D11_MAP_WRITE_DISCARD);
        std::memcpy(mapped.pData, texels.data(), texels.size());
        visibleNodes.unMap(context);
    }

    void setDepthConvention(bool reversed)
    {
        depthState = Render::DepthStencilState(device, reversed, true, true);
        scene->setDepthStencilClearValues(D3D11_CLEAR_DEPTH, reversed ? 0.0f : 1.0f, 0);
    }

    void clear() { scene->clearAllRenderTargets(context, true); }

    // Draws the points as instances [0, n), on top of what the targets hold. They belong to `nodes`
    // in buffer order, by default all to the root node.
    void draw(std::vector<Vertex> const& points, std::vector<Render::Buffer::Node> nodes = {})
    {
        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = static_cast<UINT>(points.size() * sizeof(Vertex));
        desc.Usage = D3D11_USAGE_IMMUTABLE;
        desc.BindFlags = D3D11_BIND_VERTEX_BUFFER | D3D11_BIND_SHADER_RESOURCE;
        D3D11_SUBRESOURCE_DATA data{points.data(), 0, 0};
        ATL::CComPtr<ID3D11Buffer> buffer;
        Render::throwIfFailed(device->CreateBuffer(&desc, &data, &buffer));
        if (nodes.empty())
            nodes.push_back(Render::Buffer::Node{{}, 0, 0, 0, points.size(), {}});
        pointLevels->compute(context, buffer, points.size(), nodes, visibleNodesView, frameConstants, classes.get());

        D3D11_VIEWPORT const viewport{0.0f, 0.0f, kSize, kSize, 0.0f, 1.0f};
        context->RSSetViewports(1, &viewport);
        rasterizerState.set(context);
        depthState.set(context, 1);
        scene->begin(context);
        vertexShader.begin(context);
        pixelShader.begin(context);
        frameConstants.begin(context, ShaderConfiguration::Vertex | ShaderConfiguration::Pixel, 0);
        pointLevels->begin(context);
        ID3D11Buffer* buffers[] = {buffer};
        UINT const stride = sizeof(Vertex);
        UINT const offset = 0;
        context->IASetVertexBuffers(0, 1, buffers, &stride, &offset);
        context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        context->DrawInstanced(4, static_cast<UINT>(points.size()), 0, 0);
        pointLevels->end(context);
        frameConstants.end(context);
        pixelShader.end(context);
        vertexShader.end(context);
        scene->end(context);
    }

    std::vector<Math::Color> drawAndReadColors(std::vector<Vertex> const& points,
                                               std::vector<Render::Buffer::Node> const& nodes = {})
    {
        clear();
        draw(points, nodes);
        return readBack<Math::Color>(scene->texture("color"));
    }

    static Math::Color at(std::vector<Math::Color> const& pixels, unsigned int x, unsigned int y)
    {
        return pixels[y * kSize + x];
    }

    // Rows covered in column x.
    static unsigned int coveredRows(std::vector<Math::Color> const& pixels, unsigned int x)
    {
        unsigned int rows = 0;
        for (unsigned int y = 0; y < kSize; ++y)
            rows += at(pixels, x, y).a() != 0 ? 1 : 0;
        return rows;
    }

    static constexpr unsigned int kVisibleNodeTexels = 16;

    std::unique_ptr<Render::RenderPass> scene;
    Render::VertexShader vertexShader;
    Render::PixelShader pixelShader;
    Render::ConstantBuffer<Render::cbPerFrame> frameConstants;
    std::unique_ptr<Render::PointShading> pointLevels;
    Render::Texture1d visibleNodes;
    Render::ShaderResourceView visibleNodesView;
    std::unique_ptr<Render::ClassificationColorTexture> classes;
    Render::RasterizerState rasterizerState;
    Render::DepthStencilState depthState;
};

TEST_F(PointShaderTest, IntensityColorMapsMatchTheirDefinitions)
{
    constexpr float kMinIntensity = 0.1f;
    constexpr float kMaxIntensity = 0.9f;
    frame().point_render_mode = 5;
    frame().min_intensity = kMinIntensity;
    frame().max_intensity = kMaxIntensity;
    std::vector<Vertex> points;
    for (unsigned int x = 0; x < kSize; ++x) {
        points.push_back(pointAt(x, 10, 0.5f, Math::Color(1, 2, 3)));
        points.back().intensity = static_cast<std::uint16_t>(std::lround(65535.0 * x / (kSize - 1)));
    }
    for (int map : {0, 1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 42}) {
        frame().color_map_intensity = map;
        std::vector<Math::Color> const pixels = drawAndReadColors(points);
        for (unsigned int x = 0; x < kSize; ++x) {
            float const n = (points[x].intensity / 65535.0f - kMinIntensity) / (kMaxIntensity - kMinIntensity);
            expectColorNear(at(pixels, x, 10), RenderTest::colorMapReference(map, n),
                            "map " + std::to_string(map) + " at n = " + std::to_string(n));
        }
    }
}

TEST_F(PointShaderTest, PassFailAndTrafficLightJudgeRawDistances)
{
    frame().point_render_mode = 7;
    frame().min_distance = -1.0f;
    frame().max_distance = 1.0f;
    std::vector<Vertex> points;
    for (unsigned int x = 0; x < kSize; ++x) {
        points.push_back(pointAt(x, 20, 0.5f, Math::Color(1, 2, 3)));
        points.back().distance = -0.99f + 1.98f * static_cast<float>(x) / (kSize - 1);
    }
    RenderTest::Rgb const fail{1.0f, 0.0f, 0.0f};
    RenderTest::Rgb const warn{1.0f, 1.0f, 0.0f};
    RenderTest::Rgb const pass{0.0f, 0.5f, 0.0f};
    for (int map : {9, 10}) {
        frame().color_map = map;
        std::vector<Math::Color> const pixels = drawAndReadColors(points);
        for (unsigned int x = 0; x < kSize; ++x) {
            float const d = points[x].distance;
            RenderTest::Rgb expected = pass;
            if (d < -0.5f || d > 0.5f)
                expected = fail;
            else if (map == 10 && (d < -0.25f || d > 0.25f))
                expected = warn;
            expectColorNear(at(pixels, x, 20), expected, "map " + std::to_string(map) + " at " + std::to_string(d));
        }
    }
}

TEST_F(PointShaderTest, MeshDistanceOutsideTheRangeKeepsThePointColorUnlessClipping)
{
    frame().point_render_mode = 7;
    frame().color_map = 5;
    frame().min_distance = 0.0f;
    frame().max_distance = 1.0f;
    std::vector<Vertex> points{pointAt(5, 5, 0.5f, Math::Color(200, 10, 10)), pointAt(6, 5, 0.5f, Math::Color(200, 10, 10))};
    points[0].distance = 2.0f;
    points[1].distance = 0.5f;
    std::vector<Math::Color> pixels = drawAndReadColors(points);
    EXPECT_EQ(at(pixels, 5, 5), Math::Color(200, 10, 10));
    expectColorNear(at(pixels, 6, 5), {0.5f, 0.5f, 0.5f}, "inside");

    // Negative distances count by their size when the sign is not used.
    points[1].distance = -0.25f;
    frame().use_signed_distance = 0;
    frame().mesh_clipping_active = 1;
    pixels = drawAndReadColors(points);
    EXPECT_EQ(at(pixels, 5, 5).a(), 0);
    expectColorNear(at(pixels, 6, 5), {0.25f, 0.25f, 0.25f}, "absolute");
}

TEST_F(PointShaderTest, PointSquaresStayBetweenOnePixelAndTheMaximumSize)
{
    std::vector<Vertex> const point{pointAt(32, 32, 0.5f, Math::Color(0, 0, 255))};
    frame().max_point_size = 5.0f;
    frame().point_size = 0.0f;
    std::vector<Math::Color> pixels = drawAndReadColors(point);
    EXPECT_EQ(coveredRows(pixels, 32), 1u);
    EXPECT_EQ(coveredRows(pixels, 31), 0u);

    frame().point_size = 100.0f;
    pixels = drawAndReadColors(point);
    EXPECT_EQ(coveredRows(pixels, 32), 5u);
    EXPECT_EQ(coveredRows(pixels, 35), 0u);
    // The square is cut to a disc: its corners stay empty.
    EXPECT_EQ(at(pixels, 30, 30).a(), 0);
    EXPECT_EQ(at(pixels, 32, 30), Math::Color(0, 0, 255));
}

TEST_F(PointShaderTest, ClippingPlanesRemovePointsBehindThem)
{
    // Model z 5 and 15 at depth 0.05 and 0.15.
    frame().model_view_proj[10] = 0.01f;
    std::vector<Vertex> const points{pointAt(3, 3, 5.0f, Math::Color(255, 0, 0)),
                                     pointAt(4, 3, 15.0f, Math::Color(0, 255, 0))};
    std::vector<Math::Color> pixels = drawAndReadColors(points);
    EXPECT_EQ(at(pixels, 3, 3), Math::Color(255, 0, 0));
    EXPECT_EQ(at(pixels, 4, 3), Math::Color(0, 255, 0));

    frame().clipping_planes[6] = {0.0f, 0.0f, 1.0f, -10.0f};
    pixels = drawAndReadColors(points);
    EXPECT_EQ(at(pixels, 3, 3).a(), 0);
    EXPECT_EQ(at(pixels, 4, 3), Math::Color(0, 255, 0));
}

TEST_F(PointShaderTest, HiddenClassesDisappearWhenVisibilityIsActiveAndInClassMode)
{
    Math::ClassificationInfo info = classes->classificationInfo();
    info.setVisible(3, false);
    info.setColor(4, Math::Color(10, 200, 30));
    classes->setClassificationInfo(info);
    std::vector<Vertex> points{pointAt(1, 1, 0.5f, Math::Color(90, 90, 90)), pointAt(2, 1, 0.5f, Math::Color(90, 90, 90))};
    points[0].classIndex = 3;
    points[1].classIndex = 4;

    std::vector<Math::Color> pixels = drawAndReadColors(points);
    EXPECT_EQ(at(pixels, 1, 1), Math::Color(90, 90, 90));

    frame().class_visibility_active = 1;
    pixels = drawAndReadColors(points);
    EXPECT_EQ(at(pixels, 1, 1).a(), 0);
    EXPECT_EQ(at(pixels, 2, 1), Math::Color(90, 90, 90));

    frame().class_visibility_active = 0;
    frame().point_render_mode = 8;
    pixels = drawAndReadColors(points);
    EXPECT_EQ(at(pixels, 1, 1).a(), 0);
    EXPECT_EQ(at(pixels, 2, 1), Math::Color(10, 200, 30));
}

TEST_F(PointShaderTest, RegionClippingDropsMarkedPointsOnlyWhenActive)
{
    std::vector<Vertex> const points{pointAt(7, 7, 0.5f, Math::Color(50, 60, 70, 0))};
    std::vector<Math::Color> pixels = drawAndReadColors(points);
    EXPECT_EQ(at(pixels, 7, 7), Math::Color(50, 60, 70, 255));
    frame().region_clipping_active = 1;
    pixels = drawAndReadColors(points);
    EXPECT_EQ(at(pixels, 7, 7).a(), 0);
}

TEST_F(PointShaderTest, SelectedAndUniformColorUseTheUniformColor)
{
    std::vector<Vertex> const points{pointAt(9, 9, 0.5f, Math::Color(255, 255, 255))};
    frame().uniformColor = {0.0f, 0.0f, 1.0f, 1.0f};
    EXPECT_EQ(at(drawAndReadColors(points), 9, 9), Math::Color(255, 255, 255));
    frame().selected = 1;
    EXPECT_EQ(at(drawAndReadColors(points), 9, 9), Math::Color(0, 0, 255));
    // Blended with the point's brightness (a mid gray halves the color).
    frame().selected = 0;
    frame().point_render_mode = 6;
    frame().intensity_blend_factor = 1.0f;
    std::vector<Vertex> const gray{pointAt(9, 9, 0.5f, Math::Color(128, 128, 128))};
    EXPECT_NEAR(at(drawAndReadColors(gray), 9, 9).b(), 128, 1);
}

TEST_F(PointShaderTest, NearerPointsWinInBothDepthConventions)
{
    std::vector<Vertex> const points{pointAt(12, 12, 0.2f, Math::Color(255, 0, 0)),
                                     pointAt(12, 12, 0.6f, Math::Color(0, 255, 0))};
    EXPECT_EQ(at(drawAndReadColors(points), 12, 12), Math::Color(0, 255, 0));
    setDepthConvention(false);
    EXPECT_EQ(at(drawAndReadColors(points), 12, 12), Math::Color(255, 0, 0));
}

TEST_F(PointShaderTest, WorldPositionsCarryTheModelTransform)
{
    frame().model[12] = 100.0f;
    std::vector<Vertex> const points{pointAt(20, 30, 0.5f, Math::Color(1, 1, 1))};
    clear();
    draw(points);
    std::vector<Float4> const exact = readBack<Float4>(scene->texture("exactWorldPosition"));
    Float4 const center = exact[30 * kSize + 20];
    EXPECT_FLOAT_EQ(center.x, points[0].x + 100.0f);
    EXPECT_FLOAT_EQ(center.y, points[0].y);
    EXPECT_FLOAT_EQ(center.w, 1.0f);
    std::vector<Float4> const world = readBack<Float4>(scene->texture("worldPosition"));
    EXPECT_NEAR(world[30 * kSize + 20].x, center.x, 1.0f / kSize);
    EXPECT_EQ(exact[0].w, 0.0f);
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
        Vertex point(x, y, z, Math::Color(255, 255, 255).packed());
        std::vector<Math::Color> const pixels = drawAndReadColors({point});
        auto const column = static_cast<unsigned int>(x / 8.0f * kSize);
        return coveredRows(pixels, column);
    };
    EXPECT_EQ(extentAt(2.0f, 6.0f, 6.0f), 16u) << "child 3 is not visible: the root's level";
    EXPECT_EQ(extentAt(7.0f, 3.0f, 7.0f), 8u) << "in child 5, whose texel follows child 0's";
    EXPECT_EQ(extentAt(3.0f, 3.0f, 3.0f), 4u) << "in child 7 of child 0";
    EXPECT_EQ(extentAt(1.0f, 1.0f, 1.0f), 8u) << "in child 0 of child 0, not visible";

    // Each point of one draw starts from its own node, found past a node that holds no point.
    Vertex const inRoot(0.5f, 6.0f, 6.0f, Math::Color(255, 255, 255).packed());
    Vertex const inGrandchild(3.5f, 3.0f, 3.0f, Math::Color(255, 255, 255).packed());
    std::vector<Math::Color> const pixels =
        drawAndReadColors({inRoot, inGrandchild}, {Render::Buffer::Node{{}, 0, 0, 0, 1, {0.0f, 0.0f, 0.0f}},
                                                   Render::Buffer::Node{{}, 2, 1, 1, 0, {4.0f, 0.0f, 4.0f}},
                                                   Render::Buffer::Node{{}, 3, 2, 1, 1, {2.0f, 2.0f, 2.0f}}});
    EXPECT_EQ(coveredRows(pixels, 4), 16u);
    EXPECT_EQ(coveredRows(pixels, 28), 4u);
}

} // namespace
