#include "render/postprocess.h"

#include "math/color.h"
#include "render/scopedbinding.h"
#include "render/shader.h"

#include <cmath>

namespace Render {
namespace {

constexpr unsigned int kConstantsSlot = 0;
constexpr UINT kFullScreenStripVertices = 4;
constexpr float kLn2 = 0.693147181f;
constexpr char const* kPointOutputsEntryPoint = "ps_point_outputs";

void drawFullScreen(ID3D11DeviceContext* context, VertexShader const& vertexShader, PixelShader const& pixelShader,
                    ConstantBuffer<PostProcess::Constants>& constants)
{
    ScopedBinding const vertex(vertexShader, context);
    ScopedBinding const pixel(pixelShader, context);
    ScopedBinding const constantsBinding(constants, context, ShaderConfiguration::Pixel, kConstantsSlot);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    context->DrawInstanced(kFullScreenStripVertices, 1, 0, 0);
}

} // namespace

PostProcess::PostProcess(ATL::CComPtr<ID3D11Device> const& device)
    : mVertexShader(VertexShader::fromHlslResource(device, kShaderName, {})),
      mPixelShader(PixelShader::fromHlslResource(device, kShaderName)),
      mPointOutputsShader(PixelShader::fromCsoString(
          device, Shader::compileShaderFromResource(kShaderName, kPointOutputsEntryPoint, PixelShader::kProfile))),
      mConstants(device, Constants{}), mDrawnConstants(device, Constants{}), mDevice(device)
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

void PostProcess::setEyeDomeLightingView(Eigen::Matrix4f const& viewMatrix, Eigen::Matrix4f const& projectionMatrix)
{
    Constants& constants = mConstants.modify();
    // The view looks down its -z axis.
    Eigen::Vector4f const plane = -viewMatrix.row(2).transpose();
    constants.edl_depth_plane = {plane.x(), plane.y(), plane.z(), plane.w()};
    // A perspective view compares log depths, so that a step shades alike at any distance. An
    // orthographic view draws a step of one size alike at any distance; its depth divided by ln 2
    // times the view height (log2 rises by 1 / (h ln 2) per unit at a distance h) shades a step as
    // a perspective view of about the same framing would.
    bool const orthographic = projectionMatrix(3, 3) != 0.0f;
    float const viewHeight = 2.0f / projectionMatrix(1, 1);
    constants.edl_orthographic_depth_scale = orthographic ? 1.0f / (std::abs(viewHeight) * kLn2) : 0.0f;
}

void PostProcess::draw(ID3D11DeviceContext* context)
{
    drawFullScreen(context, mVertexShader, mPixelShader, mConstants);
    // Uploaded only if the point outputs are asked for.
    mDrawnConstants.modify() = mConstants.data();
}

void PostProcess::drawPointOutputs(ID3D11DeviceContext* context)
{
    drawFullScreen(context, mVertexShader, mPointOutputsShader, mDrawnConstants);
}

} // namespace Render
