#include "render/rasterizerstate.h"

#include "render/comexception.h"

namespace Render {

RasterizerState::RasterizerState(ID3D11Device* device, D3D11_RASTERIZER_DESC const& desc)
{
    throwIfFailed(device->CreateRasterizerState(&desc, &mState));
}

void RasterizerState::set(ID3D11DeviceContext* context) const
{
    context->RSSetState(mState);
}

} // namespace Render
