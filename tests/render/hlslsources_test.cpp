#include "d3dtestsupport.h"

#include "render/cbconstant.h"
#include "render/cbperframeconstants.h"
#include "render/constantbuffer.h"
#include "render/embeddedfiletable.h"
#include "render/pixelshader.h"
#include "render/postprocess.h"
#include "render/rasterizerstate.h"
#include "render/renderpass.h"
#include "render/samplerstate.h"
#include "render/shaderresourceview.h"
#include "render/shader.h"
#include "render/vertexformats.h"
#include "render/vertexshader.h"

#include "math/color.h"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <d3d11shader.h>
#include <d3dcompiler.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Render::Shader;
using Render::ShaderConfiguration;
using RenderTest::Float4;
using MeshVertex = Render::VertexPosNormalTexCoordColor;

constexpr char const* kMeshShader = "shaders/mesh.hlsl";
constexpr char const* kPanoShader = "shaders/pano.hlsl";

// IID of ID3D11ShaderReflection as d3dcompiler_47 expects it.
constexpr GUID kShaderReflectionId = {0x8d536ca1, 0x0cca, 0x4956, {0xa8, 0x37, 0x78, 0x69, 0x63, 0x75, 0x55, 0x84}};

TEST(HlslSources, EmbeddedTableHoldsAllSixFiles)
{
    for (char const* path : {"shaders/box.hlsl", "shaders/colorprocessing.hlsl", "shaders/mesh.hlsl",
                             "shaders/pano.hlsl", "shaders/pointcloud.hlsl", "shaders/postprocessing.hlsl"}) {
        Render::EmbeddedFileTable::Entry const* entry = Render::EmbeddedFileTable::instance().find(path);
        ASSERT_NE(entry, nullptr) << path;
        EXPECT_FALSE(entry->isDirectory) << path;
        EXPECT_FALSE(entry->bytes().empty()) << path;
    }
}

TEST(HlslSources, MeshAndPanoramaCompileWithTheirEntryPoints)
{
    for (char const* name : {kMeshShader, kPanoShader}) {
        std::string const vertex = Shader::compileShaderFromResource(name, "vs_main", "vs_5_0");
        std::string const pixel = Shader::compileShaderFromResource(name, "ps_main", "ps_5_0");
        EXPECT_FALSE(vertex.empty()) << name;
        EXPECT_FALSE(pixel.empty()) << name;
        EXPECT_NE(vertex, pixel) << name;
        EXPECT_EQ(Shader::compileShaderFromResource(name, "vs_main", "vs_5_0"), vertex) << name;
    }
}

// The constant buffer `bufferName` as the compiler laid it out in `bytecode`.
class ConstantBufferLayout {
public:
    ConstantBufferLayout(std::string const& bytecode, char const* bufferName)
    {
        Render::throwIfFailed(D3DReflect(bytecode.data(), bytecode.size(), kShaderReflectionId,
                                         reinterpret_cast<void**>(&mReflection)));
        mBuffer = mReflection->GetConstantBufferByName(bufferName);
        D3D11_SHADER_BUFFER_DESC desc{};
        Render::throwIfFailed(mBuffer->GetDesc(&desc));
        mSize = desc.Size;
    }

    std::size_t size() const { return mSize; }

    // Byte offset of `variable`; -1 when the compiler dropped or never saw it.
    std::ptrdiff_t offsetOf(char const* variable) const
    {
        D3D11_SHADER_VARIABLE_DESC desc{};
        if (FAILED(mBuffer->GetVariableByName(variable)->GetDesc(&desc)))
            return -1;
        return static_cast<std::ptrdiff_t>(desc.StartOffset);
    }

private:
    ATL::CComPtr<ID3D11ShaderReflection> mReflection;
    ID3D11ShaderReflectionConstantBuffer* mBuffer = nullptr;
    std::size_t mSize = 0;
};

TEST(HlslSources, MeshConstantsMatchTheirCpuCopy)
{
    using Render::cbPerFrameConstants;
    ConstantBufferLayout const layout(Shader::compileShaderFromResource(kMeshShader, "ps_main", "ps_5_0"),
                                      "cbPerFrameConstants");
    EXPECT_EQ(layout.size(), sizeof(cbPerFrameConstants));
    EXPECT_EQ(layout.offsetOf("modelMatrix"), offsetof(cbPerFrameConstants, modelMatrix));
    EXPECT_EQ(layout.offsetOf("viewProjectionMatrix"), offsetof(cbPerFrameConstants, viewProjectionMatrix));
    EXPECT_EQ(layout.offsetOf("clipping_planes"), offsetof(cbPerFrameConstants, clipping_planes));
    EXPECT_EQ(layout.offsetOf("unitScale"), offsetof(cbPerFrameConstants, unitScale));
    EXPECT_EQ(layout.offsetOf("cameraPosition"), offsetof(cbPerFrameConstants, cameraPosition));
    EXPECT_EQ(layout.offsetOf("lightPos"), offsetof(cbPerFrameConstants, lightPos));
}

TEST(HlslSources, PostProcessConstantsMatchTheirCpuCopy)
{
    using Constants = Render::PostProcess::Constants;
    ConstantBufferLayout const layout(
        Shader::compileShaderFromResource(Render::PostProcess::kShaderName, "ps_main", "ps_5_0"), "cbConstant");
    EXPECT_EQ(layout.size(), sizeof(Constants));
    EXPECT_EQ(layout.offsetOf("opacity"), offsetof(Constants, opacity));
    EXPECT_EQ(layout.offsetOf("point_render_mode"), offsetof(Constants, point_render_mode));
    EXPECT_EQ(layout.offsetOf("eye_dome_lighting"), offsetof(Constants, eye_dome_lighting));
    EXPECT_EQ(layout.offsetOf("edl_strength"), offsetof(Constants, edl_strength));
    EXPECT_EQ(layout.offsetOf("edl_depth_plane"), offsetof(Constants, edl_depth_plane));
    EXPECT_EQ(layout.offsetOf("edl_radius"), offsetof(Constants, edl_radius));
    EXPECT_EQ(layout.offsetOf("edl_orthographic_depth_scale"), offsetof(Constants, edl_orthographic_depth_scale));
}

TEST(HlslSources, PanoramaConstantsMatchTheirCpuCopy)
{
    using Render::cbConstant;
    ConstantBufferLayout const layout(Shader::compileShaderFromResource(kPanoShader, "ps_main", "ps_5_0"),
                                      "cbConstant");
    EXPECT_EQ(layout.size(), sizeof(cbConstant));
    EXPECT_EQ(layout.offsetOf("viewProjection"), offsetof(cbConstant, viewProjection));
    EXPECT_EQ(layout.offsetOf("inverseModelViewProjection"), offsetof(cbConstant, inverseModelViewProjection));
    EXPECT_EQ(layout.offsetOf("model"), offsetof(cbConstant, model));
    EXPECT_EQ(layout.offsetOf("inverseModelView"), offsetof(cbConstant, inverseModelView));
    EXPECT_EQ(layout.offsetOf("zNear"), offsetof(cbConstant, zNear));
    EXPECT_EQ(layout.offsetOf("zFar"), offsetof(cbConstant, zFar));
    EXPECT_EQ(layout.offsetOf("scale"), offsetof(cbConstant, scale));
    EXPECT_EQ(layout.offsetOf("projectionType"), offsetof(cbConstant, projectionType));
    EXPECT_EQ(layout.offsetOf("tileRows"), offsetof(cbConstant, tileRows));
    EXPECT_EQ(layout.offsetOf("tileColumns"), offsetof(cbConstant, tileColumns));
    EXPECT_EQ(layout.offsetOf("colorLevels"), offsetof(cbConstant, colorLevels));
    EXPECT_EQ(layout.offsetOf("depthLevels"), offsetof(cbConstant, depthLevels));
    EXPECT_EQ(layout.offsetOf("maxColorLevelPerTile"), offsetof(cbConstant, maxColorLevelPerTile));
    EXPECT_EQ(layout.offsetOf("maxDepthLevelPerTile"), offsetof(cbConstant, maxDepthLevelPerTile));
}

constexpr unsigned int kSize = 32;
constexpr float kUnitScale = 2.0f;
constexpr float kTriangleDepth = 0.5f;

Render::VertexShader::InputElements meshInputLayout()
{
    return {{"POS", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
            {"NML", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 12, D3D11_INPUT_PER_VERTEX_DATA, 0},
            {"UV", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 24, D3D11_INPUT_PER_VERTEX_DATA, 0},
            {"COL", 0, DXGI_FORMAT_B8G8R8A8_UNORM, 0, 32, D3D11_INPUT_PER_VERTEX_DATA, 0}};
}

// Normalised device coordinate of the center of pixel column x (row y: -pixelCenter(y)).
float pixelCenter(unsigned int pixel)
{
    return (static_cast<float>(pixel) + 0.5f) / (kSize / 2.0f) - 1.0f;
}

// Draws one screen-covering triangle with the mesh program into a 32 x 32 pass holding the three
// scene targets. The model matrix moves by kModelOffset and the view-projection undoes model and
// unit scale, so a vertex at file position p lands at clip position (p, 1).
class MeshShaderTest : public RenderTest::DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        pass = Render::RenderPass(device, kSize, kSize);
        pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
        pass.addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        pass.addRenderTarget("exactWorldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        vertexShader = Render::VertexShader::fromHlslResource(device, kMeshShader, meshInputLayout());
        pixelShader = Render::PixelShader::fromHlslResource(device, kMeshShader);

        Eigen::Affine3f model = Eigen::Affine3f::Identity();
        model.translate(kModelOffset);
        Eigen::Matrix4f const world = model.matrix() * Eigen::Vector4f(kUnitScale, kUnitScale, kUnitScale, 1.0f).asDiagonal();
        Render::cbPerFrameConstants constants;
        constants.modelMatrix = Render::toShaderMatrix(model.matrix());
        constants.viewProjectionMatrix = Render::toShaderMatrix(world.inverse());
        constants.unitScale = kUnitScale;
        constants.cameraPosition = {kCamera.x(), kCamera.y(), kCamera.z()};
        frameConstants = Render::ConstantBuffer<Render::cbPerFrameConstants>(device, constants);

        D3D11_RASTERIZER_DESC rasterizer{};
        rasterizer.FillMode = D3D11_FILL_SOLID;
        rasterizer.CullMode = D3D11_CULL_NONE;
        rasterizer.DepthClipEnable = TRUE;
        rasterizerState = Render::RasterizerState(device, rasterizer);
    }

    void drawTriangle(Eigen::Vector3f const& normal)
    {
        std::vector<MeshVertex> const vertices{
            {-1.0f, -1.0f, kTriangleDepth, normal.x(), normal.y(), normal.z(), 0.0f, 0.0f, kVertexColor.packed()},
            {-1.0f, 3.0f, kTriangleDepth, normal.x(), normal.y(), normal.z(), 0.0f, 1.0f, kVertexColor.packed()},
            {3.0f, -1.0f, kTriangleDepth, normal.x(), normal.y(), normal.z(), 1.0f, 0.0f, kVertexColor.packed()}};
        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = static_cast<UINT>(vertices.size() * sizeof(MeshVertex));
        desc.Usage = D3D11_USAGE_IMMUTABLE;
        desc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
        D3D11_SUBRESOURCE_DATA data{vertices.data(), 0, 0};
        ATL::CComPtr<ID3D11Buffer> buffer;
        Render::throwIfFailed(device->CreateBuffer(&desc, &data, &buffer));

        pass.clearAllRenderTargets(context, false);
        D3D11_VIEWPORT const viewport{0.0f, 0.0f, kSize, kSize, 0.0f, 1.0f};
        context->RSSetViewports(1, &viewport);
        rasterizerState.set(context);
        pass.begin(context);
        vertexShader.begin(context);
        pixelShader.begin(context);
        frameConstants.begin(context, ShaderConfiguration::Vertex | ShaderConfiguration::Pixel, 0);
        ID3D11Buffer* buffers[] = {buffer};
        UINT const stride = sizeof(MeshVertex);
        UINT const offset = 0;
        context->IASetVertexBuffers(0, 1, buffers, &stride, &offset);
        context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
        context->Draw(static_cast<UINT>(vertices.size()), 0);
        frameConstants.end(context);
        pixelShader.end(context);
        vertexShader.end(context);
        pass.end(context);
    }

    // Where pixel (x, y) of the triangle lies in the world.
    static Eigen::Vector3f worldAt(unsigned int x, unsigned int y)
    {
        return kUnitScale * Eigen::Vector3f(pixelCenter(x), -pixelCenter(y), kTriangleDepth) + kModelOffset;
    }

    // Ambient plus headlight diffuse of a surface with unit normal `normal` at `world`, in 8-bit steps.
    static std::array<int, 3> litColor(Eigen::Vector3f const& normal, Eigen::Vector3f const& world)
    {
        float const diffuse = std::min(1.0f, std::abs(normal.dot((kCamera - world).normalized())));
        auto const channel = [&](std::uint8_t value) {
            return static_cast<int>(std::lround((0.2f + 0.8f * diffuse) * value));
        };
        return {channel(kVertexColor.r()), channel(kVertexColor.g()), channel(kVertexColor.b())};
    }

    std::vector<Math::Color> colors() const { return readBack<Math::Color>(pass.texture("color")); }

    inline static Eigen::Vector3f const kModelOffset{1.0f, 2.0f, 3.0f};
    inline static Eigen::Vector3f const kCamera{4.0f, -1.0f, 9.0f};
    inline static Math::Color const kVertexColor{200, 120, 40};

    Render::RenderPass pass;
    Render::VertexShader vertexShader;
    Render::PixelShader pixelShader;
    Render::ConstantBuffer<Render::cbPerFrameConstants> frameConstants;
    Render::RasterizerState rasterizerState;
};

TEST_F(MeshShaderTest, WritesScaledWorldPositionAndHeadlightShading)
{
    // Unit length, and the uniform unit scale keeps it so.
    Eigen::Vector3f const normal(0.6f, 0.0f, 0.8f);
    drawTriangle(normal);
    std::vector<Math::Color> const color = colors();
    std::vector<Float4> const positions = readBack<Float4>(pass.texture("worldPosition"));
    std::vector<Float4> const exactPositions = readBack<Float4>(pass.texture("exactWorldPosition"));
    for (unsigned int y = 0; y < kSize; ++y) {
        for (unsigned int x = 0; x < kSize; ++x) {
            std::size_t const i = y * kSize + x;
            Eigen::Vector3f const world = worldAt(x, y);
            std::string const where = "pixel " + std::to_string(x) + ", " + std::to_string(y);
            EXPECT_NEAR(positions[i].x, world.x(), 1e-4f) << where;
            EXPECT_NEAR(positions[i].y, world.y(), 1e-4f) << where;
            EXPECT_NEAR(positions[i].z, world.z(), 1e-4f) << where;
            EXPECT_FLOAT_EQ(positions[i].w, 1.0f) << where;
            EXPECT_EQ(std::make_tuple(exactPositions[i].x, exactPositions[i].y, exactPositions[i].z),
                      std::make_tuple(positions[i].x, positions[i].y, positions[i].z))
                << where;
            std::array<int, 3> const expected = litColor(normal, world);
            EXPECT_NEAR(color[i].r(), expected[0], 1) << where;
            EXPECT_NEAR(color[i].g(), expected[1], 1) << where;
            EXPECT_NEAR(color[i].b(), expected[2], 1) << where;
            EXPECT_EQ(color[i].a(), 255) << where;
        }
    }
}

TEST_F(MeshShaderTest, BothSidesAreLitAlike)
{
    Eigen::Vector3f const normal = Eigen::Vector3f(-0.6f, 0.0f, 0.8f);
    drawTriangle(normal);
    std::vector<Math::Color> const front = colors();
    drawTriangle(-normal);
    std::vector<Math::Color> const back = colors();
    for (std::size_t i = 0; i < front.size(); ++i)
        EXPECT_EQ(front[i].packed(), back[i].packed()) << "pixel " << i;
    // The light falls at an angle, so a side lit only by the ambient term or fully would differ.
    Math::Color const centre = front[(kSize / 2) * kSize + kSize / 2];
    EXPECT_NEAR(centre.r(), litColor(normal, worldAt(kSize / 2, kSize / 2))[0], 1);
    EXPECT_GT(centre.r(), kVertexColor.r() / 5 + 2);
    EXPECT_LT(centre.r(), kVertexColor.r() - 2);
}

TEST_F(MeshShaderTest, ClippingPlanesInWorldCoordinatesDiscardPixels)
{
    // Keeps world x >= kModelOffset.x (the right half of the screen) and world y <= kModelOffset.y
    // (the lower half); the six unused planes are zero and keep everything.
    frameConstants.modify().clipping_planes[0] = {1.0f, 0.0f, 0.0f, -kModelOffset.x()};
    frameConstants.modify().clipping_planes[5] = {0.0f, -1.0f, 0.0f, kModelOffset.y()};
    drawTriangle(Eigen::Vector3f::UnitZ());
    std::vector<Math::Color> const color = colors();
    for (unsigned int y = 0; y < kSize; ++y) {
        for (unsigned int x = 0; x < kSize; ++x) {
            bool const kept = x >= kSize / 2 && y >= kSize / 2;
            EXPECT_EQ(color[y * kSize + x].a(), kept ? 255 : 0) << "pixel " << x << ", " << y;
        }
    }
}

constexpr unsigned int kPanoLevels = 4;
constexpr unsigned int kTileTexels = 8;
constexpr float kZNear = 0.1f;
constexpr float kZFar = 100.0f;

// Column-vector perspective with a 90 degree field of view, depth 0 at zNear and 1 at zFar.
Eigen::Matrix4f perspective90()
{
    Eigen::Matrix4f projection = Eigen::Matrix4f::Zero();
    projection(0, 0) = 1.0f;
    projection(1, 1) = 1.0f;
    projection(2, 2) = kZFar / (kZNear - kZFar);
    projection(2, 3) = kZNear * kZFar / (kZNear - kZFar);
    projection(3, 2) = -1.0f;
    return projection;
}

// Draws an equirectangular panorama of one tile with the camera at its centre looking along -z.
// Every level is one uniform 8 x 8 tile, so each pixel shows which level it read.
class PanoShaderTest : public RenderTest::DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        pass = Render::RenderPass(device, kSize, kSize);
        pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
        pass.addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        pass.addRenderTarget("exactWorldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        vertexShader = Render::VertexShader::fromHlslResource(device, kPanoShader, {});
        pixelShader = Render::PixelShader::fromHlslResource(device, kPanoShader);

        D3D11_TEXTURE2D_DESC desc{};
        desc.MipLevels = 1;
        desc.SampleDesc.Count = 1;
        desc.Usage = D3D11_USAGE_DEFAULT;
        desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        for (unsigned int level = 0; level < kPanoLevels; ++level) {
            desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
            textures.emplace_back(device, desc, kTileTexels, kTileTexels, levelColor(level), 1);
        }
        for (unsigned int level = 0; level < kPanoLevels; ++level) {
            desc.Format = DXGI_FORMAT_R32_FLOAT;
            float const range = level == 0 ? std::numeric_limits<float>::max() : kLoadedRange;
            textures.emplace_back(device, desc, kTileTexels, kTileTexels, range, 1);
        }
        // An explicit array view: the default view of a single-slice texture is a plain 2D view.
        for (Render::Texture2d const& texture : textures) {
            D3D11_SHADER_RESOURCE_VIEW_DESC view{};
            view.Format = texture.desc().Format;
            view.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2DARRAY;
            view.Texture2DArray.MipLevels = 1;
            view.Texture2DArray.ArraySize = 1;
            views.emplace_back(device, texture.get(), &view);
        }
        D3D11_SAMPLER_DESC sampler{};
        sampler.Filter = D3D11_FILTER_MIN_MAG_MIP_POINT;
        sampler.AddressU = sampler.AddressV = sampler.AddressW = D3D11_TEXTURE_ADDRESS_WRAP;
        sampler.ComparisonFunc = D3D11_COMPARISON_NEVER;
        samplerState = Render::SamplerState(device, sampler);

        Render::cbConstant initial;
        initial.zNear = kZNear;
        initial.zFar = kZFar;
        initial.tileRows = initial.tileColumns = 1;
        initial.colorLevels = initial.depthLevels = kPanoLevels;
        constants = Render::ConstantBuffer<Render::cbConstant>(device, initial);
        setModel(Eigen::Matrix4f::Identity());
    }

    static Math::Color levelColor(unsigned int level)
    {
        return Math::Color(static_cast<std::uint8_t>(40 + 60 * level), 200, static_cast<std::uint8_t>(90 - 20 * level));
    }

    // A uniformly scaled model matrix; the camera stays at the origin looking along -z.
    void setModel(Eigen::Matrix4f const& model)
    {
        Render::cbConstant& data = constants.modify();
        data.viewProjection = Render::toShaderMatrix(perspective90());
        data.inverseModelViewProjection = Render::toShaderMatrix((perspective90() * model).inverse());
        data.model = Render::toShaderMatrix(model);
        data.inverseModelView = Render::toShaderMatrix(model.inverse());
        data.scale = model.col(0).norm();
    }

    void setLevels(std::uint32_t color, std::uint32_t depth)
    {
        constants.modify().maxColorLevelPerTile[0].value = color;
        constants.modify().maxDepthLevelPerTile[0].value = depth;
    }

    void draw()
    {
        pass.clearAllRenderTargets(context, false);
        D3D11_VIEWPORT const viewport{0.0f, 0.0f, kSize, kSize, 0.0f, 1.0f};
        context->RSSetViewports(1, &viewport);
        pass.begin(context);
        vertexShader.begin(context);
        pixelShader.begin(context);
        constants.begin(context, ShaderConfiguration::Vertex | ShaderConfiguration::Pixel, 0);
        for (unsigned int slot = 0; slot < views.size(); ++slot)
            views[slot].begin(context, ShaderConfiguration::Pixel, slot);
        samplerState.begin(context, ShaderConfiguration::Pixel, 0);
        context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        context->DrawInstanced(4, 1, 0, 0);
        samplerState.end(context);
        for (Render::ShaderResourceView& view : views)
            view.end(context);
        constants.end(context);
        pixelShader.end(context);
        vertexShader.end(context);
        pass.end(context);
    }

    // Unit direction from the panorama's centre through pixel (x, y).
    static Eigen::Vector3f rayAt(unsigned int x, unsigned int y)
    {
        return Eigen::Vector3f(pixelCenter(x), -pixelCenter(y), -1.0f).normalized();
    }

    static constexpr float kLoadedRange = 10.0f;

    Render::RenderPass pass;
    Render::VertexShader vertexShader;
    Render::PixelShader pixelShader;
    std::vector<Render::Texture2d> textures;
    std::vector<Render::ShaderResourceView> views;
    Render::SamplerState samplerState;
    Render::ConstantBuffer<Render::cbConstant> constants;
};

TEST_F(PanoShaderTest, HighestLoadedLevelGivesColorAndTheHitPointOfEachRay)
{
    setLevels(2, 1);
    draw();
    std::vector<Math::Color> const color = readBack<Math::Color>(pass.texture("color"));
    std::vector<Float4> const positions = readBack<Float4>(pass.texture("worldPosition"));
    std::vector<Float4> const exactPositions = readBack<Float4>(pass.texture("exactWorldPosition"));
    for (unsigned int y = 0; y < kSize; ++y) {
        for (unsigned int x = 0; x < kSize; ++x) {
            std::size_t const i = y * kSize + x;
            std::string const where = "pixel " + std::to_string(x) + ", " + std::to_string(y);
            EXPECT_EQ(color[i].packed(), levelColor(2).packed()) << where;
            Eigen::Vector3f const expected = kLoadedRange * rayAt(x, y);
            EXPECT_NEAR(positions[i].x, expected.x(), 1e-3f) << where;
            EXPECT_NEAR(positions[i].y, expected.y(), 1e-3f) << where;
            EXPECT_NEAR(positions[i].z, expected.z(), 1e-3f) << where;
            EXPECT_FLOAT_EQ(positions[i].w, 1.0f) << where;
            EXPECT_EQ(std::make_tuple(exactPositions[i].x, exactPositions[i].y, exactPositions[i].z),
                      std::make_tuple(positions[i].x, positions[i].y, positions[i].z))
                << where;
        }
    }
}

TEST_F(PanoShaderTest, UnloadedDepthLiesAtTheFarEndOfTheViewAxisInPanoramaUnits)
{
    constexpr float kScale = 2.0f;
    setModel(Eigen::Vector4f(kScale, kScale, kScale, 1.0f).asDiagonal());
    setLevels(0, 0);
    draw();
    std::vector<Math::Color> const color = readBack<Math::Color>(pass.texture("color"));
    std::vector<Float4> const positions = readBack<Float4>(pass.texture("worldPosition"));
    for (unsigned int y = 0; y < kSize; ++y) {
        for (unsigned int x = 0; x < kSize; ++x) {
            std::size_t const i = y * kSize + x;
            std::string const where = "pixel " + std::to_string(x) + ", " + std::to_string(y);
            EXPECT_EQ(color[i].packed(), levelColor(0).packed()) << where;
            // Along the axis at zFar / scale - 1 in the panorama's own units, then scaled by the model.
            Eigen::Vector3f const ray = rayAt(x, y);
            Eigen::Vector3f const expected = kScale * (kZFar / kScale - 1.0f) / -ray.z() * ray;
            EXPECT_NEAR(positions[i].x, expected.x(), 1e-2f) << where;
            EXPECT_NEAR(positions[i].y, expected.y(), 1e-2f) << where;
            EXPECT_NEAR(positions[i].z, expected.z(), 1e-2f) << where;
        }
    }
}

TEST_F(PanoShaderTest, FarCornerOfACubeFaceIsInItsLastRowAndColumn)
{
    // Every pixel looks along (1, -1, -1): face 0 at u = v = 1.0 exactly, the far corner of the face,
    // which belongs to its last tile, not to one beyond the grid.
    Eigen::Matrix4f toCorner = Eigen::Matrix4f::Zero();
    toCorner(0, 2) = -1.0f;
    toCorner(1, 2) = 1.0f;
    toCorner(2, 2) = 1.0f;
    toCorner(3, 3) = 1.0f;
    Render::cbConstant& data = constants.modify();
    data.projectionType = 1;
    data.tileRows = data.tileColumns = 2;
    data.inverseModelViewProjection = Render::toShaderMatrix(toCorner * perspective90().inverse());
    for (std::size_t tile = 0; tile < Render::cbConstant::kMaxTilesPerLevel; ++tile) {
        data.maxColorLevelPerTile[tile].value = 1;
        data.maxDepthLevelPerTile[tile].value = 1;
    }
    constexpr std::size_t kLastTileOfFaceZero = 3;
    data.maxColorLevelPerTile[kLastTileOfFaceZero].value = 2;
    draw();
    std::vector<Math::Color> const color = readBack<Math::Color>(pass.texture("color"));
    for (std::size_t i = 0; i < color.size(); ++i)
        ASSERT_EQ(color[i].packed(), levelColor(2).packed()) << "pixel " << i;
}

TEST_F(PanoShaderTest, HiddenTileIsTransparentBlack)
{
    setLevels(Render::cbConstant::kHiddenTileLevel, 1);
    draw();
    std::vector<Math::Color> const color = readBack<Math::Color>(pass.texture("color"));
    for (std::size_t i = 0; i < color.size(); ++i)
        EXPECT_EQ(color[i].packed(), 0u) << "pixel " << i;
}

} // namespace
