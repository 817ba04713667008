#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

#include <filesystem>
#include <string>
#include <vector>

namespace Render {

// A vertex shader ("vs_main", "vs_5_0") with the input layout made from its signature.
class MORVID_RENDER_API VertexShader {
public:
    using InputElements = std::vector<D3D11_INPUT_ELEMENT_DESC>;

    static constexpr char const* kEntryPoint = "vs_main";
    static constexpr char const* kProfile = "vs_5_0";

    VertexShader() = default;
    VertexShader(VertexShader&&) noexcept = default;
    VertexShader& operator=(VertexShader&&) noexcept = default;

    static VertexShader fromHlslResource(ATL::CComPtr<ID3D11Device> const& device, std::string const& name,
                                         InputElements const& inputElements);
    static VertexShader fromHlslFile(ATL::CComPtr<ID3D11Device> const& device, std::filesystem::path const& path,
                                     InputElements const& inputElements);
    static VertexShader fromCsoResource(ATL::CComPtr<ID3D11Device> const& device, std::string const& name,
                                        InputElements const& inputElements);
    static VertexShader fromCsoFile(ATL::CComPtr<ID3D11Device> const& device, std::filesystem::path const& path,
                                    InputElements const& inputElements);
    // An empty element list leaves the shader without input layout.
    static VertexShader fromCsoString(ATL::CComPtr<ID3D11Device> const& device, std::string const& bytecode,
                                      InputElements const& inputElements);

    // Sets the input layout (if the shader has one) and the shader.
    void begin(ID3D11DeviceContext* context) const;
    void end(ID3D11DeviceContext* context) const;

    ID3D11VertexShader* get() const { return mShader; }
    ID3D11InputLayout* inputLayout() const { return mInputLayout; }

private:
    ATL::CComPtr<ID3D11VertexShader> mShader;
    ATL::CComPtr<ID3D11InputLayout> mInputLayout;
};

} // namespace Render
