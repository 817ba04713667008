#include "render/renderpass.h"

#include "render/comexception.h"

#include "math/color.h"

#include <stdexcept>

namespace Render {
namespace {

// A full mip chain, as Direct3D creates it for 0 levels; staging textures for readback use the
// same count so that whole-resource copies are valid.
constexpr UINT kFullMipChain = 0;

D3D11_TEXTURE2D_DESC depthTextureDesc(unsigned int width, unsigned int height)
{
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = kFullMipChain;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_R32_TYPELESS;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_DEPTH_STENCIL | D3D11_BIND_SHADER_RESOURCE;
    return desc;
}

D3D11_SHADER_RESOURCE_VIEW_DESC depthShaderResourceViewDesc()
{
    D3D11_SHADER_RESOURCE_VIEW_DESC desc{};
    desc.Format = DXGI_FORMAT_R32_FLOAT;
    desc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
    desc.Texture2D.MostDetailedMip = 0;
    desc.Texture2D.MipLevels = 1;
    return desc;
}

} // namespace

RenderPass::RenderPass(ATL::CComPtr<ID3D11Device> const& device, unsigned int width, unsigned int height)
    : mDevice(device), mWidth(width), mHeight(height)
{
}

RenderPass::RenderPass(RenderPass&&) noexcept = default;
RenderPass& RenderPass::operator=(RenderPass&&) noexcept = default;
RenderPass::~RenderPass() = default;

std::size_t RenderPass::addRenderTarget(std::string const& name, DXGI_FORMAT format)
{
    D3D11_TEXTURE2D_DESC desc{};
    desc.Format = format;
    return addRenderTarget(name, desc);
}

std::size_t RenderPass::addRenderTarget(std::string const& name, D3D11_TEXTURE2D_DESC desc)
{
    if (mRenderTargets.contains(name))
        throw std::invalid_argument("Error: render target " + name + " exists already");
    desc.Width = mWidth;
    desc.Height = mHeight;
    desc.ArraySize = 1;
    desc.SampleDesc.Count = 1;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;

    RenderTarget target;
    target.texture = Texture2d(mDevice, desc);
    target.index = mRenderTargetViews.size();
    createTargetViews(target, {0.0f, 0.0f, 0.0f, 0.0f});
    mRenderTargetViews.push_back(target.renderTargetView.get());
    mRenderTargets.emplace(name, std::move(target));
    return mRenderTargetViews.size() - 1;
}

void RenderPass::createTargetViews(RenderTarget& target, std::array<float, 4> const& clearColor)
{
    target.shaderResourceView = ShaderResourceView(mDevice, target.texture.get(), nullptr);
    target.renderTargetView = RenderTargetView(mDevice, target.texture.get(), clearColor);
}

void RenderPass::addDepthBuffer(unsigned int clearFlags, float depth, unsigned char stencil)
{
    mDepthTexture = std::make_unique<Texture2d>(mDevice, depthTextureDesc(mWidth, mHeight));
    createDepthViews(clearFlags, depth, stencil);
}

void RenderPass::createDepthViews(unsigned int clearFlags, float depth, unsigned char stencil)
{
    D3D11_SHADER_RESOURCE_VIEW_DESC const viewDesc = depthShaderResourceViewDesc();
    mDepthShaderResourceView = std::make_unique<ShaderResourceView>(mDevice, mDepthTexture->get(), &viewDesc);
    mDepthStencilView = std::make_unique<DepthStencilView>(mDevice, mDepthTexture->get(), clearFlags, depth, stencil);
}

void RenderPass::setDepthStencilClearValues(unsigned int clearFlags, float depth, unsigned char stencil)
{
    if (!mDepthStencilView)
        throw std::logic_error("Error: the render pass has no depth buffer");
    mDepthStencilView->setClearValues(clearFlags, depth, stencil);
}

void RenderPass::setClearValue(std::string const& name, float r, float g, float b, float a)
{
    renderTarget(name).renderTargetView.setClearValue(r, g, b, a);
}

void RenderPass::setClearValue(std::string const& name, Math::Color const& color)
{
    renderTarget(name).renderTargetView.setClearValue(color);
}

std::array<float, 4> const& RenderPass::clearValue(std::string const& name) const
{
    return renderTarget(name).renderTargetView.clearValue();
}

void RenderPass::setViewport(unsigned int width, unsigned int height)
{
    mWidth = width;
    mHeight = height;
    for (auto& [name, target] : mRenderTargets) {
        target.texture.resize(mDevice, width, height, 1);
        createTargetViews(target, target.renderTargetView.clearValue());
        mRenderTargetViews[target.index] = target.renderTargetView.get();
    }
    if (mDepthTexture) {
        mDepthTexture->resize(mDevice, width, height, 1);
        createDepthViews(mDepthStencilView->clearFlags(), mDepthStencilView->depthClearValue(),
                         mDepthStencilView->stencilClearValue());
    }
}

void RenderPass::begin(ID3D11DeviceContext* context) const
{
    context->OMSetRenderTargets(static_cast<UINT>(mRenderTargetViews.size()), mRenderTargetViews.data(),
                                depthStencilView());
}

void RenderPass::end(ID3D11DeviceContext* context) const
{
    context->Flush();
    std::vector<ID3D11RenderTargetView*> const nullViews(mRenderTargetViews.size(), nullptr);
    context->OMSetRenderTargets(static_cast<UINT>(nullViews.size()), nullViews.data(), nullptr);
}

void RenderPass::clear(ID3D11DeviceContext* context, std::string const& name) const
{
    renderTarget(name).renderTargetView.clear(context);
}

void RenderPass::clearAllRenderTargets(ID3D11DeviceContext* context, bool clearDepth) const
{
    for (auto const& [name, target] : mRenderTargets)
        target.renderTargetView.clear(context);
    if (clearDepth && mDepthStencilView)
        mDepthStencilView->clear(context);
}

void RenderPass::bindTexture(ID3D11DeviceContext* context, std::string const& name, ShaderConfiguration stages,
                             unsigned int slot)
{
    renderTarget(name).shaderResourceView.begin(context, stages, slot);
}

void RenderPass::unbindTexture(ID3D11DeviceContext* context, std::string const& name)
{
    renderTarget(name).shaderResourceView.end(context);
}

void RenderPass::bindDepthTexture(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot)
{
    depthShaderResourceView().begin(context, stages, slot);
}

void RenderPass::unbindDepthTexture(ID3D11DeviceContext* context)
{
    depthShaderResourceView().end(context);
}

Texture2d const& RenderPass::texture(std::string const& name) const
{
    return renderTarget(name).texture;
}

Texture2d const& RenderPass::depthTexture() const
{
    if (!mDepthTexture)
        throw std::logic_error("Error: the render pass has no depth buffer");
    return *mDepthTexture;
}

ID3D11DepthStencilView* RenderPass::depthStencilView() const
{
    return mDepthStencilView ? mDepthStencilView->get() : nullptr;
}

ShaderResourceView& RenderPass::depthShaderResourceView()
{
    if (!mDepthShaderResourceView)
        throw std::logic_error("Error: the render pass has no depth buffer");
    return *mDepthShaderResourceView;
}

RenderPass::RenderTarget& RenderPass::renderTarget(std::string const& name)
{
    auto const found = mRenderTargets.find(name);
    if (found == mRenderTargets.end())
        throw std::invalid_argument("Error: no render target named " + name);
    return found->second;
}

RenderPass::RenderTarget const& RenderPass::renderTarget(std::string const& name) const
{
    return const_cast<RenderPass&>(*this).renderTarget(name);
}

} // namespace Render
