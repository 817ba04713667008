#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

namespace Render {

// Owns a 32-bit float depth view of mip 0 and the values it is cleared with.
class MORVID_RENDER_API DepthStencilView {
public:
    DepthStencilView() = default;
    DepthStencilView(ID3D11Device* device, ID3D11Resource* resource, unsigned int clearFlags, float depth,
                     unsigned char stencil);
    DepthStencilView(DepthStencilView&&) noexcept = default;
    DepthStencilView& operator=(DepthStencilView&&) noexcept = default;

    void setClearValues(unsigned int clearFlags, float depth, unsigned char stencil);
    unsigned int clearFlags() const { return mClearFlags; }
    float depthClearValue() const { return mDepthClearValue; }
    unsigned char stencilClearValue() const { return mStencilClearValue; }

    void clear(ID3D11DeviceContext* context) const;
    ID3D11DepthStencilView* get() const { return mView; }

private:
    ATL::CComPtr<ID3D11DepthStencilView> mView;
    unsigned int mClearFlags = 0;
    float mDepthClearValue = 0.0f;
    unsigned char mStencilClearValue = 0;
};

} // namespace Render
