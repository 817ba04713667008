#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

namespace Render {

// Owns a depth-stencil state. A state built from the depth convention is immutable: when the
// convention changes, assign a newly built state (the old one is released).
class MORVID_RENDER_API DepthStencilState {
public:
    DepthStencilState() = default;
    DepthStencilState(ID3D11Device* device, D3D11_DEPTH_STENCIL_DESC const& desc);
    DepthStencilState(ID3D11Device* device, bool zBufferReversed, bool depthTest, bool depthWrite);
    DepthStencilState(DepthStencilState&&) noexcept = default;
    DepthStencilState& operator=(DepthStencilState&&) noexcept = default;

    // The descriptor of the three-flag constructor: nearer wins (GREATER_EQUAL when reversed, LESS
    // otherwise), ALWAYS without depth test, stencil off.
    static D3D11_DEPTH_STENCIL_DESC describe(bool zBufferReversed, bool depthTest, bool depthWrite);

    void set(ID3D11DeviceContext* context, unsigned int stencilReference) const;
    ID3D11DepthStencilState* get() const { return mState; }

private:
    ATL::CComPtr<ID3D11DepthStencilState> mState;
};

} // namespace Render
