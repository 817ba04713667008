#include "render/depthstencilstate.h"

#include "render/comexception.h"

namespace Render {

DepthStencilState::DepthStencilState(ID3D11Device* device, D3D11_DEPTH_STENCIL_DESC const& desc)
{
    throwIfFailed(device->CreateDepthStencilState(&desc, &mState));
}

DepthStencilState::DepthStencilState(ID3D11Device* device, bool zBufferReversed, bool depthTest, bool depthWrite)
    : DepthStencilState(device, describe(zBufferReversed, depthTest, depthWrite))
{
}

D3D11_DEPTH_STENCIL_DESC DepthStencilState::describe(bool zBufferReversed, bool depthTest, bool depthWrite)
{
    D3D11_DEPTH_STENCIL_DESC desc{};
    desc.DepthEnable = depthTest ? TRUE : FALSE;
    desc.DepthWriteMask = depthWrite ? D3D11_DEPTH_WRITE_MASK_ALL : D3D11_DEPTH_WRITE_MASK_ZERO;
    if (!depthTest)
        desc.DepthFunc = D3D11_COMPARISON_ALWAYS;
    else
        desc.DepthFunc = zBufferReversed ? D3D11_COMPARISON_GREATER_EQUAL : D3D11_COMPARISON_LESS;
    desc.StencilEnable = FALSE;
    desc.StencilReadMask = 0xFF;
    desc.StencilWriteMask = 0xFF;
    desc.FrontFace = {D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_INCR, D3D11_STENCIL_OP_KEEP, D3D11_COMPARISON_ALWAYS};
    desc.BackFace = {D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_DECR, D3D11_STENCIL_OP_KEEP, D3D11_COMPARISON_ALWAYS};
    return desc;
}

void DepthStencilState::set(ID3D11DeviceContext* context, unsigned int stencilReference) const
{
    context->OMSetDepthStencilState(mState, stencilReference);
}

} // namespace Render
