#include "d3dtestsupport.h"

#include "render/cbconstant.h"
#include "render/cbperframeconstants.h"
#include "render/constantbuffer.h"
#include "render/pixelshader.h"
#include "render/postprocess.h"
#include "render/renderpass.h"
#include "render/samplerstate.h"
#include "render/shader.h"
#include "render/vertexshader.h"

#include "math/color.h"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <d3d11shader.h>
#include <d3dcompiler.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Render::Shader;
using Render::ShaderConfiguration;
using RenderTest::Float4;

constexpr char const* kMeshShader = "shaders/mesh.hlsl";
constexpr char const* kPanoShader = "shaders/pano.hlsl";

// IID of ID3D11ShaderReflection as d3dcompiler_47 expects it.
constexpr GUID kShaderReflectionId = {0x8d536ca1, 0x0cca, 0x4956, {0xa8, 0x37, 0x78, 0x69, 0x63, 0x75, 0x55, 0x84}};

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

struct CpuLayout {
    char const* shader;
    char const* buffer;
    std::size_t size;
    std::vector<std::pair<char const*, std::size_t>> offsets;
};

// Each constant buffer as the compiler lays it out matches the struct the CPU fills, member by member.
TEST(HlslSources, ConstantBuffersMatchTheirCpuCopies)
{
    using Render::cbConstant;
    using Render::cbPerFrameConstants;
    using PostConstants = Render::PostProcess::Constants;
    std::vector<CpuLayout> const layouts{
        {kMeshShader, "cbPerFrameConstants", sizeof(cbPerFrameConstants),
         {{"modelMatrix", offsetof(cbPerFrameConstants, modelMatrix)},
          {"viewProjectionMatrix", offsetof(cbPerFrameConstants, viewProjectionMatrix)},
          {"clipping_planes", offsetof(cbPerFrameConstants, clipping_planes)},
          {"unitScale", offsetof(cbPerFrameConstants, unitScale)},
          {"cameraPosition", offsetof(cbPerFrameConstants, cameraPosition)},
          {"lightPos", offsetof(cbPerFrameConstants, lightPos)}}},
        {Render::PostProcess::kShaderName, "cbConstant", sizeof(PostConstants),
         {{"opacity", offsetof(PostConstants, opacity)},
          {"point_render_mode", offsetof(PostConstants, point_render_mode)},
          {"eye_dome_lighting", offsetof(PostConstants, eye_dome_lighting)},
          {"edl_strength", offsetof(PostConstants, edl_strength)},
          {"edl_depth_plane", offsetof(PostConstants, edl_depth_plane)},
          {"edl_radius", offsetof(PostConstants, edl_radius)},
          {"edl_orthographic_depth_scale", offsetof(PostConstants, edl_orthographic_depth_scale)}}},
        {kPanoShader, "cbConstant", sizeof(cbConstant),
         {{"viewProjection", offsetof(cbConstant, viewProjection)},
          {"inverseModelViewProjection", offsetof(cbConstant, inverseModelViewProjection)},
          {"model", offsetof(cbConstant, model)},
          {"inverseModelView", offsetof(cbConstant, inverseModelView)},
          {"zNear", offsetof(cbConstant, zNear)},
          {"zFar", offsetof(cbConstant, zFar)},
          {"scale", offsetof(cbConstant, scale)},
          {"projectionType", offsetof(cbConstant, projectionType)},
          {"tileRows", offsetof(cbConstant, tileRows)},
          {"tileColumns", offsetof(cbConstant, tileColumns)},
          {"colorLevels", offsetof(cbConstant, colorLevels)},
          {"depthLevels", offsetof(cbConstant, depthLevels)},
          {"maxColorLevelPerTile", offsetof(cbConstant, maxColorLevelPerTile)},
          {"maxDepthLevelPerTile", offsetof(cbConstant, maxDepthLevelPerTile)}}}};
    for (CpuLayout const& cpu : layouts) {
        ConstantBufferLayout const layout(Shader::compileShaderFromResource(cpu.shader, "ps_main", "ps_5_0"), cpu.buffer);
        EXPECT_EQ(layout.size(), cpu.size) << cpu.shader;
        for (auto const& [name, offset] : cpu.offsets)
            EXPECT_EQ(layout.offsetOf(name), static_cast<std::ptrdiff_t>(offset)) << cpu.shader << ": " << name;
    }
}

constexpr unsigned int kSize = 32;
// Normalised device coordinate of the center of pixel column x (row y: -pixelCenter(y)).
float pixelCenter(unsigned int pixel)
{
    return (static_cast<float>(pixel) + 0.5f) / (kSize / 2.0f) - 1.0f;
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
