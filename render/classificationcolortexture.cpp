#include "render/classificationcolortexture.h"

#include <algorithm>
#include <cstring>

namespace Render {
namespace {

D3D11_TEXTURE1D_DESC classTextureDesc()
{
    D3D11_TEXTURE1D_DESC desc{};
    desc.Width = ClassificationColorTexture::kClassCount;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.Usage = D3D11_USAGE_DYNAMIC;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    return desc;
}

} // namespace

ClassificationColorTexture::ClassificationColorTexture(ID3D11Device* device)
    : mTexture(device, classTextureDesc()), mView(device, mTexture.get(), nullptr),
      mClassificationInfo(Math::ClassificationInfo::randomColoredClasses(kClassCount))
{
}

void ClassificationColorTexture::setClassificationInfo(Math::ClassificationInfo const& info)
{
    if (info != mClassificationInfo) {
        mClassificationInfo = info;
        mModified = true;
    }
}

void ClassificationColorTexture::begin(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot)
{
    if (mView.isBound())
        throw std::logic_error("Error: end call is missing");
    update(context);
    mView.begin(context, stages, slot);
}

void ClassificationColorTexture::end(ID3D11DeviceContext* context)
{
    mView.end(context);
}

void ClassificationColorTexture::update(ID3D11DeviceContext* context)
{
    if (!mModified)
        return;
    // Cleared first: a failed map is not retried until the table changes again.
    mModified = false;
    std::vector<std::uint8_t> const texels = mClassificationInfo.toRawTextureData();
    D3D11_MAPPED_SUBRESOURCE const mapped = mTexture.map(context, D3D11_MAP_WRITE_DISCARD);
    std::memcpy(mapped.pData, texels.data(), std::min<std::size_t>(texels.size(), kClassCount * Math::ClassificationInfo::kBytesPerTexel));
    mTexture.unMap(context);
}

} // namespace Render
