#include "render/rendertargetview.h"

#include "render/comexception.h"

#include "math/color.h"

namespace Render {

RenderTargetView::RenderTargetView(ID3D11Device* device, ID3D11Resource* resource,
                                   std::array<float, 4> const& clearColor)
{
    throwIfFailed(device->CreateRenderTargetView(resource, nullptr, &mView));
    mClearColor = clearColor;
}

void RenderTargetView::setClearValue(Math::Color const& color)
{
    constexpr float kChannelScale = 255.0f;
    mClearColor = {color.r() / kChannelScale, color.g() / kChannelScale, color.b() / kChannelScale,
                   color.a() / kChannelScale};
}

void RenderTargetView::clear(ID3D11DeviceContext* context) const
{
    context->ClearRenderTargetView(mView, mClearColor.data());
}

} // namespace Render
