#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

#include <filesystem>
#include <string>

namespace Render {

// A geometry shader ("gs_main", "gs_5_0").
class MORVID_RENDER_API GeometryShader {
public:
    static constexpr char const* kEntryPoint = "gs_main";
    static constexpr char const* kProfile = "gs_5_0";

    GeometryShader() = default;
    GeometryShader(GeometryShader&&) noexcept = default;
    GeometryShader& operator=(GeometryShader&&) noexcept = default;

    static GeometryShader fromHlslResource(ATL::CComPtr<ID3D11Device> const& device, std::string const& name);
    static GeometryShader fromHlslFile(ATL::CComPtr<ID3D11Device> const& device, std::filesystem::path const& path);
    static GeometryShader fromCsoResource(ATL::CComPtr<ID3D11Device> const& device, std::string const& name);
    static GeometryShader fromCsoFile(ATL::CComPtr<ID3D11Device> const& device, std::filesystem::path const& path);
    static GeometryShader fromCsoString(ATL::CComPtr<ID3D11Device> const& device, std::string const& bytecode);

    void begin(ID3D11DeviceContext* context) const;
    void end(ID3D11DeviceContext* context) const;

    ID3D11GeometryShader* get() const { return mShader; }

private:
    ATL::CComPtr<ID3D11GeometryShader> mShader;
};

} // namespace Render
