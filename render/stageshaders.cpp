// The four shader classes: the same factories over their own creation and binding calls.
#include "render/computeshader.h"
#include "render/geometryshader.h"
#include "render/pixelshader.h"
#include "render/vertexshader.h"

#include "render/comexception.h"
#include "render/embeddedfiletable.h"
#include "render/shader.h"

#include "core/filereading.h"

namespace Render {
namespace {

std::string embeddedBytecode(std::string const& name)
{
    return std::string(EmbeddedFileTable::instance().file(name));
}

} // namespace

VertexShader VertexShader::fromHlslResource(ATL::CComPtr<ID3D11Device> const& device, std::string const& name,
                                            InputElements const& inputElements)
{
    return fromCsoString(device, Shader::compileShaderFromResource(name, kEntryPoint, kProfile), inputElements);
}

VertexShader VertexShader::fromHlslFile(ATL::CComPtr<ID3D11Device> const& device, std::filesystem::path const& path,
                                        InputElements const& inputElements)
{
    return fromCsoString(device, Shader::compileShaderFromFile(path, kEntryPoint, kProfile), inputElements);
}

VertexShader VertexShader::fromCsoResource(ATL::CComPtr<ID3D11Device> const& device, std::string const& name,
                                           InputElements const& inputElements)
{
    return fromCsoString(device, embeddedBytecode(name), inputElements);
}

VertexShader VertexShader::fromCsoFile(ATL::CComPtr<ID3D11Device> const& device, std::filesystem::path const& path,
                                       InputElements const& inputElements)
{
    return fromCsoString(device, Core::readLocalFile(path), inputElements);
}

VertexShader VertexShader::fromCsoString(ATL::CComPtr<ID3D11Device> const& device, std::string const& bytecode,
                                         InputElements const& inputElements)
{
    VertexShader shader;
    throwIfFailed(device->CreateVertexShader(bytecode.data(), bytecode.size(), nullptr, &shader.mShader));
    if (!inputElements.empty())
        throwIfFailed(device->CreateInputLayout(inputElements.data(), static_cast<UINT>(inputElements.size()),
                                                bytecode.data(), bytecode.size(), &shader.mInputLayout));
    return shader;
}

void VertexShader::begin(ID3D11DeviceContext* context) const
{
    if (mInputLayout)
        context->IASetInputLayout(mInputLayout);
    context->VSSetShader(mShader, nullptr, 0);
}

void VertexShader::end(ID3D11DeviceContext* context) const
{
    context->IASetInputLayout(nullptr);
    context->VSSetShader(nullptr, nullptr, 0);
}

#define MORVID_DEFINE_STAGE_SHADER(Kind, Prefix)                                                                      \
    Kind##Shader Kind##Shader::fromHlslResource(ATL::CComPtr<ID3D11Device> const& device, std::string const& name)   \
    {                                                                                                                 \
        return fromCsoString(device, Shader::compileShaderFromResource(name, kEntryPoint, kProfile));                \
    }                                                                                                                 \
    Kind##Shader Kind##Shader::fromHlslFile(ATL::CComPtr<ID3D11Device> const& device,                                \
                                            std::filesystem::path const& path)                                        \
    {                                                                                                                 \
        return fromCsoString(device, Shader::compileShaderFromFile(path, kEntryPoint, kProfile));                    \
    }                                                                                                                 \
    Kind##Shader Kind##Shader::fromCsoResource(ATL::CComPtr<ID3D11Device> const& device, std::string const& name)    \
    {                                                                                                                 \
        return fromCsoString(device, embeddedBytecode(name));                                                        \
    }                                                                                                                 \
    Kind##Shader Kind##Shader::fromCsoFile(ATL::CComPtr<ID3D11Device> const& device,                                 \
                                           std::filesystem::path const& path)                                         \
    {                                                                                                                 \
        return fromCsoString(device, Core::readLocalFile(path));                                                     \
    }                                                                                                                 \
    Kind##Shader Kind##Shader::fromCsoString(ATL::CComPtr<ID3D11Device> const& device, std::string const& bytecode)  \
    {                                                                                                                 \
        Kind##Shader shader;                                                                                          \
        throwIfFailed(device->Create##Kind##Shader(bytecode.data(), bytecode.size(), nullptr, &shader.mShader));     \
        return shader;                                                                                                \
    }                                                                                                                 \
    void Kind##Shader::begin(ID3D11DeviceContext* context) const                                                      \
    {                                                                                                                 \
        context->Prefix##SetShader(mShader, nullptr, 0);                                                             \
    }                                                                                                                 \
    void Kind##Shader::end(ID3D11DeviceContext* context) const                                                        \
    {                                                                                                                 \
        context->Prefix##SetShader(nullptr, nullptr, 0);                                                             \
    }

MORVID_DEFINE_STAGE_SHADER(Pixel, PS)
MORVID_DEFINE_STAGE_SHADER(Geometry, GS)
MORVID_DEFINE_STAGE_SHADER(Compute, CS)

#undef MORVID_DEFINE_STAGE_SHADER

} // namespace Render
