#include "render/depthstencilview.h"

#include "render/comexception.h"

namespace Render {

DepthStencilView::DepthStencilView(ID3D11Device* device, ID3D11Resource* resource, unsigned int clearFlags,
                                   float depth, unsigned char stencil)
    : mClearFlags(clearFlags), mDepthClearValue(depth), mStencilClearValue(stencil)
{
    D3D11_DEPTH_STENCIL_VIEW_DESC desc{};
    desc.Format = DXGI_FORMAT_D32_FLOAT;
    desc.ViewDimension = D3D11_DSV_DIMENSION_TEXTURE2D;
    desc.Texture2D.MipSlice = 0;
    throwIfFailed(device->CreateDepthStencilView(resource, &desc, &mView));
}

void DepthStencilView::setClearValues(unsigned int clearFlags, float depth, unsigned char stencil)
{
    mClearFlags = clearFlags;
    mDepthClearValue = depth;
    mStencilClearValue = stencil;
}

void DepthStencilView::clear(ID3D11DeviceContext* context) const
{
    context->ClearDepthStencilView(mView, mClearFlags, mDepthClearValue, mStencilClearValue);
}

} // namespace Render
