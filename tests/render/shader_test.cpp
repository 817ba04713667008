#include "d3dtestsupport.h"

#include "render/computeshader.h"
#include "render/embeddedfiletable.h"
#include "render/pixelshader.h"
#include "render/pointinputlayout.h"
#include "render/shader.h"
#include "render/vertexshader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace {

using Render::EmbeddedFileTable;
using Render::Shader;
using Render::ShaderCacheKey;

constexpr char const* kEmbeddedShaders[] = {"shaders/box.hlsl", "shaders/mesh.hlsl", "shaders/pano.hlsl",
                                            "shaders/pointcloud.hlsl", "shaders/postprocessing.hlsl"};

std::filesystem::path writeTempFile(std::string const& name, std::string const& text)
{
    std::filesystem::path const path = std::filesystem::temp_directory_path() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

TEST(EmbeddedFileTable, NormalisesSlashesOnly)
{
    EXPECT_EQ(EmbeddedFileTable::normalizePath("//shaders//pano.hlsl/"), "shaders/pano.hlsl");
    EXPECT_EQ(EmbeddedFileTable::normalizePath("shaders////box.hlsl"), "shaders/box.hlsl");
    EXPECT_EQ(EmbeddedFileTable::normalizePath("///"), "");
    EXPECT_EQ(EmbeddedFileTable::normalizePath("shaders\\box.hlsl"), "shaders\\box.hlsl");

    EmbeddedFileTable const& table = EmbeddedFileTable::instance();
    EmbeddedFileTable::Entry const* entry = table.find("shaders/box.hlsl");
    EXPECT_EQ(table.find("/shaders//box.hlsl/"), entry);
    EXPECT_EQ(table.find("Shaders/box.hlsl"), nullptr);
    EXPECT_EQ(table.find("shaders\\box.hlsl"), nullptr);
}

TEST(EmbeddedFileTable, MissingFilesAndDirectoriesAreNoSuchFile)
{
    for (char const* name : {"shaders", "shaders/missing.hlsl"}) {
        try {
            EmbeddedFileTable::instance().file(name);
            FAIL() << name;
        } catch (std::system_error const& error) {
            // Compared by value: the library and the test each carry their own generic category object.
            EXPECT_EQ(error.code().value(), static_cast<int>(std::errc::no_such_file_or_directory));
            EXPECT_STREQ(error.code().category().name(), "generic");
            EXPECT_NE(std::string(error.what()).find(name), std::string::npos);
        }
    }
}

TEST(ShaderCompile, EveryEmbeddedProgramCompilesWithoutWarnings)
{
    for (char const* name : kEmbeddedShaders) {
        EXPECT_FALSE(Shader::compileShaderFromResource(name, "vs_main", "vs_5_0").empty()) << name;
        EXPECT_FALSE(Shader::compileShaderFromResource(name, "ps_main", "ps_5_0").empty()) << name;
    }
}

TEST(ShaderCompile, ErrorsCarryTheCompilerText)
{
    try {
        Shader::compileShaderFromResource("shaders/box.hlsl", "no_such_entry", "vs_5_0");
        FAIL();
    } catch (std::runtime_error const& error) {
        std::string const message = error.what();
        EXPECT_EQ(message.rfind("Error: Compilation of hlsl shader failed\n", 0), 0u) << message;
        EXPECT_GT(message.size(), std::string("Error: Compilation of hlsl shader failed\n").size());
    }
    EXPECT_FALSE(Shader::shaderCache().contains(ShaderCacheKey{"res:shaders/box.hlsl", "no_such_entry", "vs_5_0"}));
    EXPECT_THROW(Shader::compileShaderFromResource("shaders", "vs_main", "vs_5_0"), std::system_error);
    EXPECT_THROW(Shader::compileShaderFromResource("shaders/nothing.hlsl", "vs_main", "vs_5_0"), std::system_error);
}

TEST(ShaderCompile, FilesResolveIncludesOnDiskAndMissingIncludesFail)
{
    writeTempFile("morvid_included.hlsl", "float4 fill() { return float4(1.0, 0.0, 0.0, 1.0); }\n");
    std::filesystem::path const main = writeTempFile(
        "morvid_main.hlsl", "#include \"morvid_included.hlsl\"\nfloat4 ps_main() : SV_TARGET { return fill(); }\n");
    EXPECT_FALSE(Shader::compileShaderFromFile(main, "ps_main", "ps_5_0").empty());

    std::filesystem::path const broken =
        writeTempFile("morvid_broken.hlsl", "#include \"shaders/absent.hlsl\"\nfloat4 ps_main() : SV_TARGET { return 0; }\n");
    EXPECT_THROW(Shader::compileShaderFromFile(broken, "ps_main", "ps_5_0"), std::runtime_error);
}

TEST(ShaderCache, CompilesOncePerKey)
{
    ShaderCacheKey const key{"res:shaders/box.hlsl", "ps_main", "ps_5_0"};
    std::string const first = Shader::compileShaderFromResource("shaders/box.hlsl", "ps_main", "ps_5_0");
    ASSERT_TRUE(Shader::shaderCache().contains(key));
    // A second request must be answered from the cache: plant a marker and get it back.
    Shader::shaderCache().put(key, "cached bytecode", 1);
    EXPECT_EQ(Shader::compileShaderFromResource("shaders/box.hlsl", "ps_main", "ps_5_0"), "cached bytecode");
    Shader::shaderCache().put(key, first, 1);
}

TEST(ShaderCache, TheTwentyFirstKeyEvictsTheLeastRecentlyUsed)
{
    Render::ShaderCache& cache = Shader::shaderCache();
    auto const filler = [](int i) { return ShaderCacheKey{"filler" + std::to_string(i), "vs_main", "vs_5_0"}; };
    ShaderCacheKey const boxPixel{"res:shaders/box.hlsl", "ps_main", "ps_5_0"};
    std::string const boxPixelCode = Shader::compileShaderFromResource("shaders/box.hlsl", "ps_main", "ps_5_0");
    // Fill the cache with 19 more entries; the box pixel shader is now the oldest.
    for (int i = 0; i < 19; ++i)
        cache.put(filler(i), "x", 1);
    ASSERT_EQ(cache.entryCount(), Render::kShaderCacheCapacity);
    ASSERT_TRUE(cache.contains(boxPixel));
    // Reading it makes filler 0 the least recently used.
    Shader::compileShaderFromResource("shaders/box.hlsl", "ps_main", "ps_5_0");

    Shader::compileShaderFromResource("shaders/postprocessing.hlsl", "ps_main", "ps_5_0");
    EXPECT_EQ(cache.entryCount(), Render::kShaderCacheCapacity);
    EXPECT_TRUE(cache.contains(boxPixel));
    EXPECT_FALSE(cache.contains(filler(0)));
    EXPECT_TRUE(cache.contains(filler(1)));
}

using ShaderObjects = RenderTest::DeviceTest;

TEST_F(ShaderObjects, VertexShaderWithoutLayoutKeepsTheBoundLayout)
{
    auto const& layout = Render::pointInputLayout();
    Render::VertexShader const points = Render::VertexShader::fromHlslResource(
        device, "shaders/pointcloud.hlsl", {layout.begin(), layout.end()});
    Render::VertexShader const fullScreen = Render::VertexShader::fromCsoString(
        device, Shader::compileShaderFromResource("shaders/postprocessing.hlsl", "vs_main", "vs_5_0"), {});
    EXPECT_EQ(fullScreen.inputLayout(), nullptr);
    points.begin(context);
    fullScreen.begin(context);
    ATL::CComPtr<ID3D11InputLayout> bound;
    context->IAGetInputLayout(&bound);
    EXPECT_EQ(bound, points.inputLayout());
    ATL::CComPtr<ID3D11VertexShader> boundShader;
    context->VSGetShader(&boundShader, nullptr, nullptr);
    EXPECT_EQ(boundShader, fullScreen.get());
}

TEST_F(ShaderObjects, BadBytecodeAndMismatchedLayoutsThrowComException)
{
    EXPECT_THROW(Render::PixelShader::fromCsoString(device, "not bytecode"), Render::ComException);
    // The box layout lacks the point shader's inputs.
    Render::VertexShader::InputElements const wrongLayout{
        {"POS_MIN", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1}};
    EXPECT_THROW(Render::VertexShader::fromHlslResource(device, "shaders/pointcloud.hlsl", wrongLayout),
                 Render::ComException);
    EXPECT_THROW(Render::PixelShader::fromCsoResource(device, "shaders"), std::system_error);
}

TEST_F(ShaderObjects, PixelShaderFromCsoFile)
{
    std::filesystem::path const path = writeTempFile(
        "morvid_box_ps.cso", Shader::compileShaderFromResource("shaders/box.hlsl", "ps_main", "ps_5_0"));
    Render::PixelShader const shader = Render::PixelShader::fromCsoFile(device, path);
    shader.begin(context);
    ATL::CComPtr<ID3D11PixelShader> bound;
    context->PSGetShader(&bound, nullptr, nullptr);
    EXPECT_EQ(bound, shader.get());
    shader.end(context);
}

TEST_F(ShaderObjects, ComputeShaderFromFileBindsAndRuns)
{
    std::filesystem::path const path = writeTempFile(
        "morvid_fill.hlsl", "RWTexture2D<float4> target : register(u0);\n"
                            "[numthreads(1, 1, 1)] void cs_main(uint3 id : SV_DispatchThreadID)\n"
                            "{ target[id.xy] = float4(0.25, 0.5, 0.75, 1.0); }\n");
    Render::ComputeShader const shader = Render::ComputeShader::fromHlslFile(device, path);

    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = 2;
    desc.Height = 2;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_R32G32B32A32_FLOAT;
    desc.SampleDesc.Count = 1;
    desc.BindFlags = D3D11_BIND_UNORDERED_ACCESS;
    Render::Texture2d const target(device, desc);
    ATL::CComPtr<ID3D11UnorderedAccessView> view;
    Render::throwIfFailed(device->CreateUnorderedAccessView(target.get(), nullptr, &view));
    shader.begin(context);
    ID3D11UnorderedAccessView* views[] = {view};
    context->CSSetUnorderedAccessViews(0, 1, views, nullptr);
    context->Dispatch(2, 2, 1);
    shader.end(context);
    ID3D11UnorderedAccessView* noViews[] = {nullptr};
    context->CSSetUnorderedAccessViews(0, 1, noViews, nullptr);

    for (RenderTest::Float4 const& texel : readBack<RenderTest::Float4>(target)) {
        EXPECT_FLOAT_EQ(texel.x, 0.25f);
        EXPECT_FLOAT_EQ(texel.w, 1.0f);
    }
}

} // namespace
