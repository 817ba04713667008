#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

#include <filesystem>
#include <string>

namespace Render {

// A compute shader ("cs_main", "cs_5_0").
class MORVID_RENDER_API ComputeShader {
public:
    static constexpr char const* kEntryPoint = "cs_main";
    static constexpr char const* kProfile = "cs_5_0";

    ComputeShader() = default;
    ComputeShader(ComputeShader&&) noexcept = default;
    ComputeShader& operator=(ComputeShader&&) noexcept = default;

    static ComputeShader fromHlslResource(ATL::CComPtr<ID3D11Device> const& device, std::string const& name);
    static ComputeShader fromHlslFile(ATL::CComPtr<ID3D11Device> const& device, std::filesystem::path const& path);
    static ComputeShader fromCsoResource(ATL::CComPtr<ID3D11Device> const& device, std::string const& name);
    static ComputeShader fromCsoFile(ATL::CComPtr<ID3D11Device> const& device, std::filesystem::path const& path);
    static ComputeShader fromCsoString(ATL::CComPtr<ID3D11Device> const& device, std::string const& bytecode);

    void begin(ID3D11DeviceContext* context) const;
    void end(ID3D11DeviceContext* context) const;

    ID3D11ComputeShader* get() const { return mShader; }

private:
    ATL::CComPtr<ID3D11ComputeShader> mShader;
};

} // namespace Render
