#include "d3dtestsupport.h"

#include "render/pixelshader.h"
#include "render/pointinputlayout.h"
#include "render/shader.h"
#include "render/vertexshader.h"
#include "support/thrownmessage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace {

using Render::Shader;
using Render::ShaderCacheKey;

std::filesystem::path writeTempFile(std::string const& name, std::string const& text)
{
    std::filesystem::path const path = std::filesystem::temp_directory_path() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// Every embedded program compiles; a failed compilation carries the compiler's text and is not cached;
// a compiled one is answered from the cache; missing files are "no such file", naming the file.
TEST(ShaderCompile, ProgramsCompileOnceAndErrorsCarryTheCompilerText)
{
    for (char const* name : {"shaders/box.hlsl", "shaders/mesh.hlsl", "shaders/pano.hlsl",
                             "shaders/pointcloud.hlsl", "shaders/postprocessing.hlsl"}) {
        EXPECT_FALSE(Shader::compileShaderFromResource(name, "vs_main", "vs_5_0").empty()) << name;
        EXPECT_FALSE(Shader::compileShaderFromResource(name, "ps_main", "ps_5_0").empty()) << name;
    }
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
}

// Files on disk resolve their includes beside them; a missing include fails the compilation.
TEST(ShaderCompile, FilesResolveIncludesOnDisk)
{
    writeTempFile("morvid_included.hlsl", "float4 fill() { return float4(1.0, 0.0, 0.0, 1.0); }\n");
    std::filesystem::path const main =
        writeTempFile("morvid_main.hlsl",
                      "#include \"morvid_included.hlsl\"\nfloat4 ps_main() : SV_TARGET { return fill(); }\n");
    EXPECT_FALSE(Shader::compileShaderFromFile(main, "ps_main", "ps_5_0").empty());
    std::filesystem::path const broken =
        writeTempFile("morvid_broken.hlsl",
                      "#include \"shaders/absent.hlsl\"\nfloat4 ps_main() : SV_TARGET { return 0; }\n");
    EXPECT_THROW(Shader::compileShaderFromFile(broken, "ps_main", "ps_5_0"), std::runtime_error);
}

using ShaderObjects = RenderTest::DeviceTest;

// A vertex shader without an input layout (full-screen passes) keeps the bound one; bad bytecode and a
// layout lacking the shader's inputs throw.
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

    EXPECT_THROW(Render::PixelShader::fromCsoString(device, "not bytecode"), Render::ComException);
    Render::VertexShader::InputElements const boxLayout{
        {"POS_MIN", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1}};
    EXPECT_THROW(Render::VertexShader::fromHlslResource(device, "shaders/pointcloud.hlsl", boxLayout),
                 Render::ComException);
}

} // namespace
