#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

#include <filesystem>
#include <string>

namespace Render {

// A pixel shader ("ps_main", "ps_5_0").
class MORVID_RENDER_API PixelShader {
public:
    static constexpr char const* kEntryPoint = "ps_main";
    static constexpr char const* kProfile = "ps_5_0";

    PixelShader() = default;
    PixelShader(PixelShader&&) noexcept = default;
    PixelShader& operator=(PixelShader&&) noexcept = default;

    static PixelShader fromHlslResource(ATL::CComPtr<ID3D11Device> const& device, std::string const& name);
    static PixelShader fromHlslFile(ATL::CComPtr<ID3D11Device> const& device, std::filesystem::path const& path);
    static PixelShader fromCsoResource(ATL::CComPtr<ID3D11Device> const& device, std::string const& name);
    static PixelShader fromCsoFile(ATL::CComPtr<ID3D11Device> const& device, std::filesystem::path const& path);
    static PixelShader fromCsoString(ATL::CComPtr<ID3D11Device> const& device, std::string const& bytecode);

    void begin(ID3D11DeviceContext* context) const;
    void end(ID3D11DeviceContext* context) const;

    ID3D11PixelShader* get() const { return mShader; }

private:
    ATL::CComPtr<ID3D11PixelShader> mShader;
};

} // namespace Render
