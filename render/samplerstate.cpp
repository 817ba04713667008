#include "render/samplerstate.h"

#include "render/comexception.h"

namespace Render {

SamplerState::SamplerState(ID3D11Device* device, D3D11_SAMPLER_DESC const& desc)
{
    throwIfFailed(device->CreateSamplerState(&desc, &mSampler));
}

void SamplerState::begin(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot)
{
    mBinding.open(stages, slot);
    bindSamplerToStages(context, mBinding.stages(), mBinding.slot(), mSampler);
}

void SamplerState::end(ID3D11DeviceContext* context)
{
    StageBinding const bound = mBinding;
    mBinding.close();
    bindSamplerToStages(context, bound.stages(), bound.slot(), nullptr);
}

} // namespace Render
