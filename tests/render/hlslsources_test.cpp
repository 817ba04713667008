#include "d3dtestsupport.h"

#include "render/camera.h"
#include "render/cbconstant.h"
#include "render/constantbuffer.h"
#include "render/pixelshader.h"
#include "render/renderpass.h"
#include "render/samplerstate.h"
#include "render/scopedbinding.h"
#include "render/shader.h"
#include "render/vertexshader.h"

#include "math/color.h"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace {

using Render::Shader;
using Render::ShaderCacheKey;
using Render::ShaderConfiguration;
using RenderTest::Float4;
using ShaderObjects = RenderTest::DeviceTest;

constexpr char const* kPanoShader = "shaders/pano.hlsl";

std::filesystem::path writeTempFile(std::string const& name, std::string const& text)
{
    std::filesystem::path const path = std::filesystem::temp_directory_path() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// A failed compilation carries the compiler's text and is not cached; a compiled one is answered from
// the cache; missing files are "no such file", naming the file. (The tests that draw with each embedded
// program compile it.)
TEST_F(ShaderObjects, ProgramsCompileOnceAndErrorsCarryTheCompilerText)
{
    std::string const prefix = "Error: Compilation of hlsl shader failed\n";
    std::string const message = TestSupport::thrownMessage<std::runtime_error>(
        [] { Shader::compileShaderFromResource("shaders/box.hlsl", "no_such_entry", "vs_5_0"); });
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_GT(message.size(), prefix.size());
    EXPECT_FALSE(
        Shader::shaderCache().contains(ShaderCacheKey{"res:shaders/box.hlsl", "no_such_entry", "vs_5_0"}));

    ShaderCacheKey const key{"res:shaders/box.hlsl", "ps_main", "ps_5_0"};
    std::string const compiled = Shader::compileShaderFromResource("shaders/box.hlsl", "ps_main", "ps_5_0");
    Shader::shaderCache().put(key, "cached bytecode", 1);
    EXPECT_EQ(Shader::compileShaderFromResource("shaders/box.hlsl", "ps_main", "ps_5_0"), "cached bytecode");
    Shader::shaderCache().put(key, compiled, 1);

    for (char const* name : {"shaders", "shaders/missing.hlsl"}) {
        std::string const missing = TestSupport::thrownMessage<std::system_error>(
            [&] { Shader::compileShaderFromResource(name, "vs_main", "vs_5_0"); });
        EXPECT_NE(missing.find(name), std::string::npos) << missing;
    }

    // Files on disk resolve their includes beside them; a missing include fails the compilation.
    writeTempFile("morvid_included.hlsl", "float4 fill() { return float4(1.0, 0.0, 0.0, 1.0); }\n");
    std::filesystem::path const main =
        writeTempFile("morvid_main.hlsl",
                      "#include \"morvid_included.hlsl\"\nfloat4 ps_main() : SV_TARGET { return fill(); }\n");
    EXPECT_FALSE(Shader::compileShaderFromFile(main, "ps_main", "ps_5_0").empty());
    std::filesystem::path const broken =
        writeTempFile("morvid_broken.hlsl",
                      "#include \"shaders/absent.hlsl\"\nfloat4 ps_main() : SV_TARGET { return 0; }\n");
    EXPECT_THROW(Shader::compileShaderFromFile(broken, "ps_main", "ps_5_0"), std::runtime_error);

    // Bytecode that is none, and a layout lacking the program's inputs, are refused.
    EXPECT_THROW(Render::PixelShader::fromCsoString(device, "not bytecode"), Render::ComException);
    Render::VertexShader::InputElements const lacking{
        {"POS_MIN", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1}};
    EXPECT_THROW(Render::VertexShader::fromHlslResource(device, "shaders/box.hlsl", lacking),
                 Render::ComException);
}

constexpr unsigned int kSize = 32;
constexpr unsigned int kPanoLevels = 4;
constexpr float kZNear = 0.1f;
constexpr float kZFar = 100.0f;
constexpr float kLoadedRange = 10.0f;

// A 90 degree field of view on the square target, depth 0 at zNear and 1 at zFar.
Eigen::Matrix4f perspective90()
{
    Render::Camera camera(false);
    camera.setViewport(kSize, kSize);
    camera.setPerspective(90.0f, kZNear, kZFar, 0, 0);
    return camera.projectionMatrix();
}

Math::Color levelColor(unsigned int level)
{
    return Math::Color(static_cast<std::uint8_t>(40 + 60 * level), 200,
                       static_cast<std::uint8_t>(90 - 20 * level));
}

// Unit direction from the panorama's centre through the centre of pixel (x, y).
Eigen::Vector3f rayAt(std::size_t pixel)
{
    auto const ndc = [](std::size_t i) { return (static_cast<float>(i) + 0.5f) / (kSize / 2.0f) - 1.0f; };
    return Eigen::Vector3f(ndc(pixel % kSize), -ndc(pixel / kSize), -1.0f).normalized();
}

// An equirectangular panorama of one tile with the camera at its centre looking along -z. Every level
// is one uniform tile whose depth is unknown at level 0, so each pixel shows which level it read.
class PanoShaderTest : public RenderTest::DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        pass = Render::RenderPass(device, kSize, kSize);
        pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
        pass.addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        pass.addRenderTarget("exactWorldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
        D3D11_TEXTURE2D_DESC desc{};
        desc.MipLevels = desc.SampleDesc.Count = 1;
        desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        // An explicit array view: the default view of a single-slice texture is a plain 2D view.
        D3D11_SHADER_RESOURCE_VIEW_DESC view{};
        view.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2DARRAY;
        view.Texture2DArray.MipLevels = view.Texture2DArray.ArraySize = 1;
        for (unsigned int slot = 0; slot < 2 * kPanoLevels; ++slot) {
            unsigned int const level = slot % kPanoLevels;
            view.Format = desc.Format =
                slot < kPanoLevels ? DXGI_FORMAT_B8G8R8A8_UNORM : DXGI_FORMAT_R32_FLOAT;
            Render::Texture2d const texture = slot < kPanoLevels
                ? Render::Texture2d(device, desc, 8, 8, levelColor(level), 1)
                : Render::Texture2d(device, desc, 8, 8, level == 0 ? FLT_MAX : kLoadedRange, 1);
            views.emplace_back(device, texture.get(), &view);
        }
        auto constexpr kWrap = D3D11_TEXTURE_ADDRESS_WRAP;
        samplerState = Render::SamplerState(device, {D3D11_FILTER_MIN_MAG_MIP_POINT, kWrap, kWrap, kWrap, 0, 1,
                                                     D3D11_COMPARISON_NEVER, {}, 0, D3D11_FLOAT32_MAX});
        constants.zNear = kZNear;
        constants.zFar = kZFar;
        constants.tileRows = constants.tileColumns = 1;
        constants.colorLevels = constants.depthLevels = kPanoLevels;
        constants.viewProjection = Render::toShaderMatrix(perspective90());
    }

    // Draws with the constants; returns the color.
    std::vector<Math::Color> draw()
    {
        auto const vertexShader = Render::VertexShader::fromHlslResource(device, kPanoShader, {});
        auto const pixelShader = Render::PixelShader::fromHlslResource(device, kPanoShader);
        Render::ConstantBuffer<Render::cbConstant> buffer(device, constants);
        pass.clearAllRenderTargets(context, false);
        D3D11_VIEWPORT const viewport{0.0f, 0.0f, kSize, kSize, 0.0f, 1.0f};
        context->RSSetViewports(1, &viewport);
        pass.begin(context);
        {
            using Render::ScopedBinding;
            ScopedBinding const vertex(vertexShader, context);
            ScopedBinding const pixel(pixelShader, context);
            ScopedBinding const bound(buffer, context, ShaderConfiguration::Vertex | ShaderConfiguration::Pixel, 0);
            ScopedBinding const sampled(samplerState, context, ShaderConfiguration::Pixel, 0);
            for (unsigned int slot = 0; slot < views.size(); ++slot)
                views[slot].begin(context, ShaderConfiguration::Pixel, slot);
            context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
            context->DrawInstanced(4, 1, 0, 0);
            for (Render::ShaderResourceView& view : views)
                view.end(context);
        }
        pass.end(context);
        return readBack<Math::Color>(pass.texture("color"));
    }

    Render::RenderPass pass;
    std::vector<Render::ShaderResourceView> views;
    Render::SamplerState samplerState;
    Render::cbConstant constants;
};

// Color and depth take their own highest loaded level; level 0 knows no depth, so the hit point lies
// at the far end of the view axis in the panorama's own units, then scaled by the model; a hidden tile
// is transparent black. Looking along (1, -1, -1), face 0 at u = v = 1.0 exactly, the far corner of the
// face belongs to its last tile, not to one beyond the grid.
TEST_F(PanoShaderTest, LevelsUnknownDepthAndTheFarCornerOfACubeFace)
{
    constexpr float kScale = 2.0f;
    Eigen::Matrix4f const model = Eigen::Vector4f(kScale, kScale, kScale, 1.0f).asDiagonal();
    constants.inverseModelViewProjection = Render::toShaderMatrix((perspective90() * model).inverse());
    constants.model = Render::toShaderMatrix(model);
    constants.inverseModelView = Render::toShaderMatrix(model.inverse());
    constants.scale = kScale;
    constants.maxColorLevelPerTile[0].value = 2;
    constants.maxDepthLevelPerTile[0].value = 0;
    std::vector<Math::Color> const color = draw();
    std::vector<Float4> const positions = readBack<Float4>(pass.texture("worldPosition"));
    for (std::size_t i = 0; i < color.size(); ++i) {
        ASSERT_EQ(color[i].packed(), levelColor(2).packed()) << "pixel " << i;
        Eigen::Vector3f const expected = kScale * (kZFar / kScale - 1.0f) / -rayAt(i).z() * rayAt(i);
        ASSERT_TRUE(Eigen::Vector3f(positions[i].x, positions[i].y, positions[i].z).isApprox(expected, 2e-4f))
            << i;
    }
    constants.maxColorLevelPerTile[0].value = Render::cbConstant::kHiddenTileLevel;
    for (Math::Color const pixel : draw())
        ASSERT_EQ(pixel.packed(), 0u);

    Eigen::Matrix4f toCorner = Eigen::Matrix4f::Zero();
    toCorner(0, 2) = -1.0f;
    toCorner(1, 2) = toCorner(2, 2) = toCorner(3, 3) = 1.0f;
    constants.projectionType = 1;
    constants.tileRows = constants.tileColumns = 2;
    constants.inverseModelViewProjection = Render::toShaderMatrix(toCorner * perspective90().inverse());
    for (std::size_t tile = 0; tile < Render::cbConstant::kMaxTilesPerLevel; ++tile)
        constants.maxColorLevelPerTile[tile].value = constants.maxDepthLevelPerTile[tile].value = 1;
    constexpr std::size_t kLastTileOfFaceZero = 3;
    constants.maxColorLevelPerTile[kLastTileOfFaceZero].value = 2;
    for (Math::Color const pixel : draw())
        ASSERT_EQ(pixel.packed(), levelColor(2).packed());
}

} // namespace
