#include "render/shaderresourceview.h"

#include "render/comexception.h"

namespace Render {

ShaderResourceView::ShaderResourceView(ID3D11Device* device, ID3D11Resource* resource,
                                       D3D11_SHADER_RESOURCE_VIEW_DESC const* desc)
{
    throwIfFailed(device->CreateShaderResourceView(resource, desc, &mView));
}

void ShaderResourceView::begin(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot)
{
    mBinding.open(stages, slot);
    bindShaderResourceToStages(context, mBinding.stages(), mBinding.slot(), mView);
}

void ShaderResourceView::end(ID3D11DeviceContext* context)
{
    StageBinding const bound = mBinding;
    mBinding.close();
    bindShaderResourceToStages(context, bound.stages(), bound.slot(), nullptr);
}

} // namespace Render
