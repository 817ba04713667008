#include "render/viewport.h"

#include <d3d11.h>

namespace Render {

void Viewport::set(ID3D11DeviceContext* context) const
{
    D3D11_VIEWPORT const viewport{
        static_cast<float>(x()),
        static_cast<float>(y()),
        static_cast<float>(width()),
        static_cast<float>(height()),
        minDepth(),
        maxDepth(),
    };
    context->RSSetViewports(1, &viewport);
}

} // namespace Render
