#include "render/blendstate.h"

#include "render/comexception.h"

namespace Render {

BlendState::BlendState(ID3D11Device* device, D3D11_BLEND_DESC const& desc)
{
    throwIfFailed(device->CreateBlendState(&desc, &mState));
}

void BlendState::set(ID3D11DeviceContext* context, float const* blendFactor, unsigned int sampleMask) const
{
    context->OMSetBlendState(mState, blendFactor, sampleMask);
}

} // namespace Render
