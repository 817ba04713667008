#include "render/postprocess.h"

#include "math/color.h"

namespace Render {
namespace {

constexpr unsigned int kConstantsSlot = 0;
constexpr UINT kFullScreenStripVertices = 4;

} // namespace

PostProcess::PostProcess(ATL::CComPtr<ID3D11Device> const& device)
    : mVertexShader(VertexShader::fromHlslResource(device, kShaderName, {})),
      mPixelShader(PixelShader::fromHlslResource(device, kShaderName)), mConstants(device, Constants{}),
      mDevice(device)
{
}

void PostProcess::setViewport(Viewport const& viewport)
{
    Constants& constants = mConstants.modify();
    constants.width = static_cast<float>(viewport.width());
    constants.height = static_cast<float>(viewport.height());
}

void PostProcess::setBackgroundColor(Math::Color const& color)
{
    Eigen::Vector4f const rgba = color.toVector4f();
    mConstants.modify().bg_color = {rgba.x(), rgba.y(), rgba.z(), rgba.w()};
}

void PostProcess::draw(ID3D11DeviceContext* context)
{
    mVertexShader.begin(context);
    mPixelShader.begin(context);
    mConstants.begin(context, ShaderConfiguration::Pixel, kConstantsSlot);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    context->DrawInstanced(kFullScreenStripVertices, 1, 0, 0);
    mVertexShader.end(context);
    mPixelShader.end(context);
    mConstants.end(context);
}

} // namespace Render
