#include "render/texture1d.h"

#include "render/comexception.h"

namespace Render {

Texture1d::Texture1d(ID3D11Device* device, D3D11_TEXTURE1D_DESC const& desc)
{
    throwIfFailed(device->CreateTexture1D(&desc, nullptr, &mTexture));
}

void Texture1d::copy(ID3D11DeviceContext* context, Texture1d const& source)
{
    context->CopyResource(mTexture, source.mTexture);
}

D3D11_MAPPED_SUBRESOURCE Texture1d::map(ID3D11DeviceContext* context, D3D11_MAP mapType)
{
    D3D11_MAPPED_SUBRESOURCE mapped{};
    throwIfFailed(context->Map(mTexture, 0, mapType, 0, &mapped));
    return mapped;
}

void Texture1d::unMap(ID3D11DeviceContext* context)
{
    context->Unmap(mTexture, 0);
}

} // namespace Render
