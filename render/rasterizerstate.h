#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

namespace Render {

// Owns a rasterizer state.
class MORVID_RENDER_API RasterizerState {
public:
    RasterizerState() = default;
    RasterizerState(ID3D11Device* device, D3D11_RASTERIZER_DESC const& desc);
    RasterizerState(RasterizerState&&) noexcept = default;
    RasterizerState& operator=(RasterizerState&&) noexcept = default;

    void set(ID3D11DeviceContext* context) const;
    ID3D11RasterizerState* get() const { return mState; }

private:
    ATL::CComPtr<ID3D11RasterizerState> mState;
};

} // namespace Render
