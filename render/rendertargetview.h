#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

#include <array>

namespace Math {
class Color;
}

namespace Render {

// Owns a render target view and the color it is cleared with (RGBA).
class MORVID_RENDER_API RenderTargetView {
public:
    RenderTargetView() = default;
    // A view of mip 0 of the whole resource in its own format.
    RenderTargetView(ID3D11Device* device, ID3D11Resource* resource, std::array<float, 4> const& clearColor);
    RenderTargetView(RenderTargetView&&) noexcept = default;
    RenderTargetView& operator=(RenderTargetView&&) noexcept = default;

    void setClearValue(std::array<float, 4> const& rgba) { mClearColor = rgba; }
    void setClearValue(float r, float g, float b, float a) { mClearColor = {r, g, b, a}; }
    void setClearValue(float value) { mClearColor = {value, value, value, value}; }
    // Each 8-bit channel / 255.
    void setClearValue(Math::Color const& color);
    std::array<float, 4> const& clearValue() const { return mClearColor; }

    void clear(ID3D11DeviceContext* context) const;
    ID3D11RenderTargetView* get() const { return mView; }

private:
    ATL::CComPtr<ID3D11RenderTargetView> mView;
    std::array<float, 4> mClearColor{};
};

} // namespace Render
