#pragma once

#include "render/comptr.h"
#include "render/depthstencilview.h"
#include "render/export.h"
#include "render/rendertargetview.h"
#include "render/shaderconfiguration.h"
#include "render/shaderresourceview.h"
#include "render/texture2d.h"

#include <d3d11.h>

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace Math {
class Color;
}

namespace Render {

// A named set of offscreen render targets of one size with an optional depth buffer: bound as
// output of a draw, then read as shader input or copied for readback.
class MORVID_RENDER_API RenderPass {
public:
    // An empty pass without device, to be replaced by move assignment.
    RenderPass() = default;
    RenderPass(ATL::CComPtr<ID3D11Device> const& device, unsigned int width, unsigned int height);
    RenderPass(RenderPass&&) noexcept;
    RenderPass& operator=(RenderPass&&) noexcept;
    ~RenderPass();

    // Adds a target of the pass size with one slice and one sample, bound as render target and
    // shader resource; returns its index in the output view array. A name can be added once.
    std::size_t addRenderTarget(std::string const& name, DXGI_FORMAT format);
    std::size_t addRenderTarget(std::string const& name, D3D11_TEXTURE2D_DESC desc);
    // A 32-bit float depth buffer, replacing an earlier one.
    void addDepthBuffer(unsigned int clearFlags, float depth, unsigned char stencil);
    void setDepthStencilClearValues(unsigned int clearFlags, float depth, unsigned char stencil);

    void setClearValue(std::string const& name, float r, float g, float b, float a);
    void setClearValue(std::string const& name, Math::Color const& color);
    std::array<float, 4> const& clearValue(std::string const& name) const;

    // Recreates every texture and view at the new size, keeping names, indices, formats and clear values.
    void setViewport(unsigned int width, unsigned int height);
    unsigned int width() const { return mWidth; }
    unsigned int height() const { return mHeight; }

    void begin(ID3D11DeviceContext* context) const;
    void end(ID3D11DeviceContext* context) const;

    void clear(ID3D11DeviceContext* context, std::string const& name) const;
    void clearAllRenderTargets(ID3D11DeviceContext* context, bool clearDepth) const;

    // A target (or the depth buffer) as shader input; "Error: end call is missing" when already
    // bound, "Error: begin call is missing" when unbinding what is not bound.
    void bindTexture(ID3D11DeviceContext* context, std::string const& name, ShaderConfiguration stages,
                     unsigned int slot);
    void unbindTexture(ID3D11DeviceContext* context, std::string const& name);
    void bindDepthTexture(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot);
    void unbindDepthTexture(ID3D11DeviceContext* context);

    Texture2d const& texture(std::string const& name) const;
    // Throws std::logic_error without depth buffer.
    Texture2d const& depthTexture() const;
    bool hasDepthBuffer() const { return mDepthTexture != nullptr; }
    std::vector<ID3D11RenderTargetView*> const& renderTargetViews() const { return mRenderTargetViews; }
    ID3D11DepthStencilView* depthStencilView() const;

private:
    struct RenderTarget {
        Texture2d texture;
        ShaderResourceView shaderResourceView;
        RenderTargetView renderTargetView;
        std::size_t index = 0;
    };

    RenderTarget& renderTarget(std::string const& name);
    RenderTarget const& renderTarget(std::string const& name) const;
    void createTargetViews(RenderTarget& target, std::array<float, 4> const& clearColor);
    void createDepthViews(unsigned int clearFlags, float depth, unsigned char stencil);
    ShaderResourceView& depthShaderResourceView();

    std::unordered_map<std::string, RenderTarget> mRenderTargets;
    std::vector<ID3D11RenderTargetView*> mRenderTargetViews;
    std::unique_ptr<Texture2d> mDepthTexture;
    std::unique_ptr<ShaderResourceView> mDepthShaderResourceView;
    std::unique_ptr<DepthStencilView> mDepthStencilView;
    ATL::CComPtr<ID3D11Device> mDevice;
    unsigned int mWidth = 0;
    unsigned int mHeight = 0;
};

} // namespace Render
