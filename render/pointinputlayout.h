#pragma once

#include "math/vertexformats.h"

#include <d3d11.h>

#include <array>

namespace Render {

// Input layout of the point vertex: one instance per point, expanded to a quad by the
// vertex shader. INTENSITY is declared R16_UINT and normalised in the shader because some
// Direct3D 11 implementations offer no R16_UNORM vertex input; the bytes are the same.
inline std::array<D3D11_INPUT_ELEMENT_DESC, 6> const& pointInputLayout()
{
    static std::array<D3D11_INPUT_ELEMENT_DESC, 6> const layout{{
        {"POS", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"COL", 0, DXGI_FORMAT_B8G8R8A8_UNORM, 0, D3D11_APPEND_ALIGNED_ELEMENT, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"INTENSITY", 0, DXGI_FORMAT_R16_UINT, 0, D3D11_APPEND_ALIGNED_ELEMENT, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"SCANINDEX", 0, DXGI_FORMAT_R16_UINT, 0, D3D11_APPEND_ALIGNED_ELEMENT, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"DISTANCE", 0, DXGI_FORMAT_R32_FLOAT, 0, D3D11_APPEND_ALIGNED_ELEMENT, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"CLASSINDEX", 0, DXGI_FORMAT_R8_UINT, 0, D3D11_APPEND_ALIGNED_ELEMENT, D3D11_INPUT_PER_INSTANCE_DATA, 1},
    }};
    return layout;
}

} // namespace Render
