#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

namespace Render {

// One view's renderer: owns the Direct3D 11 device and its immediate context.
class MORVID_RENDER_API Renderer {
public:
    explicit Renderer(bool zBufferReversed = true);
    Renderer(Renderer const&) = delete;
    Renderer& operator=(Renderer const&) = delete;
    ~Renderer();

    ATL::CComPtr<ID3D11Device> const& device() const { return mDevice; }
    ATL::CComPtr<ID3D11DeviceContext> const& deviceContext() const { return mDeviceContext; }

private:
    bool mZBufferReversed;
    ATL::CComPtr<ID3D11Device> mDevice;
    ATL::CComPtr<ID3D11DeviceContext> mDeviceContext;
};

} // namespace Render
