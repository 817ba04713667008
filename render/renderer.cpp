#include "render/renderer.h"

#include "render/comexception.h"

#include <stdexcept>

namespace Render {
namespace {

void createDevice(ATL::CComPtr<ID3D11Device>& device, ATL::CComPtr<ID3D11DeviceContext>& context)
{
    throwIfFailed(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                    &device, nullptr, &context));
    if (device->GetFeatureLevel() < D3D_FEATURE_LEVEL_11_0)
        throw std::runtime_error("needs at least a DirectX 11.0 graphics card");
}

} // namespace

Renderer::Renderer(bool zBufferReversed) : mZBufferReversed(zBufferReversed)
{
    createDevice(mDevice, mDeviceContext);
}

Renderer::~Renderer() = default;

} // namespace Render
