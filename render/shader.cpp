#include "render/shader.h"

#include "render/comptr.h"
#include "render/embeddedfiletable.h"

#include "core/filereading.h"
#include "core/hashing.h"

#include <d3dcompiler.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace Render {
namespace {

constexpr UINT kCompileFlags = D3DCOMPILE_ENABLE_STRICTNESS | D3DCOMPILE_OPTIMIZATION_LEVEL3 |
                               D3DCOMPILE_WARNINGS_ARE_ERRORS;

// Resolves #include directives inside the embedded file table.
class ShaderInclude : public ID3DInclude {
public:
    HRESULT STDMETHODCALLTYPE Open(D3D_INCLUDE_TYPE, char const* fileName, void const*, void const** data,
                                   UINT* byteCount) override
    {
        EmbeddedFileTable::Entry const* entry = EmbeddedFileTable::instance().find(fileName);
        // A directory cannot be included either; the compiler reports the include as not found.
        if (!entry || entry->isDirectory)
            return E_FAIL;
        std::string_view const bytes = entry->bytes();
        if (bytes.empty()) {
            *data = nullptr;
            *byteCount = 0;
            return S_OK;
        }
        auto buffer = std::make_unique<char[]>(bytes.size());
        std::memcpy(buffer.get(), bytes.data(), bytes.size());
        *data = buffer.release();
        *byteCount = static_cast<UINT>(bytes.size());
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Close(void const* data) override
    {
        delete[] static_cast<char const*>(data);
        return S_OK;
    }
};

std::string blobBytes(ID3DBlob* blob)
{
    if (!blob)
        return {};
    return std::string(static_cast<char const*>(blob->GetBufferPointer()), blob->GetBufferSize());
}

std::string compile(std::string_view source, std::string const& sourceName, ID3DInclude* include,
                    std::string const& entryPoint, std::string const& target)
{
    ATL::CComPtr<ID3DBlob> code;
    ATL::CComPtr<ID3DBlob> errors;
    HRESULT const result = D3DCompile(source.data(), source.size(), sourceName.c_str(), nullptr, include,
                                      entryPoint.c_str(), target.c_str(), kCompileFlags, 0, &code, &errors);
    if (FAILED(result))
        throw std::runtime_error("Error: Compilation of hlsl shader failed\n" + blobBytes(errors));
    return blobBytes(code);
}

std::string cachedCompile(ShaderCache& cache, ShaderCacheKey const& key, auto&& compileUncached)
{
    std::string bytecode;
    cache.getOrLoad(key, bytecode, [&](std::string& out) {
        out = compileUncached();
        return true;
    });
    return bytecode;
}

} // namespace

ShaderCache Shader::mShaderCache(kShaderCacheCapacity);

std::size_t ShaderCacheKeyHash::operator()(ShaderCacheKey const& key) const
{
    std::string const joined = key.entryPoint + key.source + key.target;
    return static_cast<std::size_t>(Core::fnv1a64(joined.data(), joined.size()));
}

std::string Shader::compileShaderFromResource(std::string const& name, std::string const& entryPoint,
                                              std::string const& target)
{
    return cachedCompile(mShaderCache, ShaderCacheKey{"res:" + name, entryPoint, target},
                         [&] { return compileShaderFromResourceImpl(name, entryPoint, target); });
}

std::string Shader::compileShaderFromFile(std::filesystem::path const& path, std::string const& entryPoint,
                                          std::string const& target)
{
    return cachedCompile(mShaderCache, ShaderCacheKey{path.string(), entryPoint, target},
                         [&] { return compileShaderFromFileImpl(path, entryPoint, target); });
}

std::string Shader::compileShaderFromResourceImpl(std::string const& name, std::string const& entryPoint,
                                                  std::string const& target)
{
    std::string_view const source = EmbeddedFileTable::instance().file(name);
    ShaderInclude include;
    return compile(source, name, &include, entryPoint, target);
}

std::string Shader::compileShaderFromFileImpl(std::filesystem::path const& path, std::string const& entryPoint,
                                              std::string const& target)
{
    std::string const source = Core::readLocalFile(path);
    return compile(source, path.string(), D3D_COMPILE_STANDARD_FILE_INCLUDE, entryPoint, target);
}

} // namespace Render
