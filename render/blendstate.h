#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

namespace Render {

// Owns a blend state.
class MORVID_RENDER_API BlendState {
public:
    BlendState() = default;
    BlendState(ID3D11Device* device, D3D11_BLEND_DESC const& desc);
    BlendState(BlendState&&) noexcept = default;
    BlendState& operator=(BlendState&&) noexcept = default;

    void set(ID3D11DeviceContext* context, float const* blendFactor, unsigned int sampleMask) const;
    ID3D11BlendState* get() const { return mState; }

private:
    ATL::CComPtr<ID3D11BlendState> mState;
};

} // namespace Render
