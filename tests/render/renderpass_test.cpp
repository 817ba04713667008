#include "d3dtestsupport.h"

#include "render/classificationcolortexture.h"
#include "render/renderpass.h"

#include "math/color.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>

namespace {

using RenderTest::messageOf;
using Render::ShaderConfiguration;
using RenderPassTest = RenderTest::DeviceTest;
using ClassificationTextureTest = RenderTest::DeviceTest;

TEST_F(RenderPassTest, FormatOnlyTargetsTakeThePassSize)
{
    Render::RenderPass pass(device, 24, 16);
    EXPECT_EQ(pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM), 0u);
    EXPECT_EQ(pass.addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT), 1u);
    D3D11_TEXTURE2D_DESC desc{};
    pass.texture("worldPosition").get()->GetDesc(&desc);
    EXPECT_EQ(desc.Width, 24u);
    EXPECT_EQ(desc.Height, 16u);
    EXPECT_EQ(desc.ArraySize, 1u);
    EXPECT_EQ(desc.SampleDesc.Count, 1u);
    EXPECT_EQ(desc.BindFlags, static_cast<UINT>(D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE));
    EXPECT_EQ(pass.clearValue("color"), (std::array<float, 4>{0.0f, 0.0f, 0.0f, 0.0f}));
    EXPECT_THROW(pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM), std::invalid_argument);
    EXPECT_THROW(pass.texture("depth"), std::invalid_argument);
    EXPECT_THROW(pass.depthTexture(), std::logic_error);
}

TEST_F(RenderPassTest, ViewportChangeKeepsClearColorsAndIndices)
{
    Render::RenderPass pass(device, 8, 8);
    pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
    pass.addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
    pass.addDepthBuffer(D3D11_CLEAR_DEPTH, 0.25f, 0);
    pass.setClearValue("color", Math::Color(0, 0, 255, 255));
    auto const oldViews = pass.renderTargetViews();

    pass.setViewport(12, 5);
    EXPECT_EQ(pass.clearValue("color"), (std::array<float, 4>{0.0f, 0.0f, 1.0f, 1.0f}));
    EXPECT_EQ(pass.texture("worldPosition").width(), 12u);
    EXPECT_EQ(pass.depthTexture().height(), 5u);
    ASSERT_EQ(pass.renderTargetViews().size(), 2u);
    EXPECT_NE(pass.renderTargetViews()[0], oldViews[0]);
    ATL::CComPtr<ID3D11Resource> resource;
    pass.renderTargetViews()[1]->GetResource(&resource);
    EXPECT_EQ(resource, static_cast<ID3D11Resource*>(pass.texture("worldPosition").get()));

    pass.clearAllRenderTargets(context, true);
    for (Math::Color const& pixel : readBack<Math::Color>(pass.texture("color")))
        EXPECT_EQ(pixel, Math::Color(0, 0, 255, 255));
    for (float depth : readBack<float>(pass.depthTexture()))
        EXPECT_EQ(depth, 0.25f);
}

TEST_F(RenderPassTest, ClearingWithoutDepthLeavesTheDepthBuffer)
{
    Render::RenderPass pass(device, 4, 4);
    pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
    pass.addDepthBuffer(D3D11_CLEAR_DEPTH, 1.0f, 0);
    pass.clearAllRenderTargets(context, true);
    pass.setDepthStencilClearValues(D3D11_CLEAR_DEPTH, 0.5f, 0);
    pass.setClearValue("color", 1.0f, 0.0f, 0.0f, 1.0f);
    pass.clearAllRenderTargets(context, false);
    for (float depth : readBack<float>(pass.depthTexture()))
        EXPECT_EQ(depth, 1.0f);
    for (Math::Color const& pixel : readBack<Math::Color>(pass.texture("color")))
        EXPECT_EQ(pixel, Math::Color(255, 0, 0, 255));
}

TEST_F(RenderPassTest, BeginBindsTargetsAndDepthEndUnbinds)
{
    Render::RenderPass pass(device, 4, 4);
    pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
    pass.addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
    pass.addDepthBuffer(D3D11_CLEAR_DEPTH, 1.0f, 0);
    pass.begin(context);
    std::array<ID3D11RenderTargetView*, 2> views{};
    ID3D11DepthStencilView* depth = nullptr;
    context->OMGetRenderTargets(2, views.data(), &depth);
    EXPECT_EQ(views[1], pass.renderTargetViews()[1]);
    EXPECT_EQ(depth, pass.depthStencilView());
    for (ID3D11RenderTargetView* view : views)
        view->Release();
    depth->Release();
    pass.end(context);
    context->OMGetRenderTargets(2, views.data(), &depth);
    EXPECT_EQ(views[0], nullptr);
    EXPECT_EQ(depth, nullptr);
}

TEST_F(RenderPassTest, TextureBindingMisuseIsReportedAndChangesNothing)
{
    Render::RenderPass pass(device, 4, 4);
    pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
    pass.addDepthBuffer(D3D11_CLEAR_DEPTH, 1.0f, 0);
    EXPECT_EQ(messageOf([&] { pass.unbindTexture(context, "color"); }), "Error: begin call is missing");
    pass.bindTexture(context, "color", ShaderConfiguration::Pixel, 0);
    EXPECT_EQ(messageOf([&] { pass.bindTexture(context, "color", ShaderConfiguration::Pixel, 1); }),
              "Error: end call is missing");
    ID3D11ShaderResourceView* bound = nullptr;
    context->PSGetShaderResources(1, 1, &bound);
    EXPECT_EQ(bound, nullptr);
    pass.unbindTexture(context, "color");
    context->PSGetShaderResources(0, 1, &bound);
    EXPECT_EQ(bound, nullptr);

    pass.bindDepthTexture(context, ShaderConfiguration::Pixel, 3);
    EXPECT_EQ(messageOf([&] { pass.bindDepthTexture(context, ShaderConfiguration::Pixel, 3); }),
              "Error: end call is missing");
    pass.unbindDepthTexture(context);
    EXPECT_EQ(messageOf([&] { pass.unbindDepthTexture(context); }), "Error: begin call is missing");
}

std::array<std::uint8_t, 4> texel(ID3D11Device* device, ID3D11DeviceContext* context,
                                  Render::ClassificationColorTexture const& texture, std::size_t index)
{
    D3D11_TEXTURE1D_DESC desc{};
    texture.texture()->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    Render::Texture1d staging(device, desc);
    context->CopyResource(staging.get(), texture.texture());
    D3D11_MAPPED_SUBRESOURCE const mapped = staging.map(context, D3D11_MAP_READ);
    std::array<std::uint8_t, 4> result{};
    std::memcpy(result.data(), static_cast<std::uint8_t const*>(mapped.pData) + 4 * index, 4);
    staging.unMap(context);
    return result;
}

TEST_F(ClassificationTextureTest, UploadsOncePerChangeAtTheNextBinding)
{
    Render::ClassificationColorTexture texture(device);
    EXPECT_EQ(texture.classificationInfo(), Math::ClassificationInfo::randomColoredClasses(256));
    EXPECT_TRUE(texture.isModified());
    texture.begin(context, ShaderConfiguration::Vertex, 1);
    EXPECT_FALSE(texture.isModified());
    texture.end(context);

    Math::ClassificationInfo info = texture.classificationInfo();
    texture.setClassificationInfo(info);
    EXPECT_FALSE(texture.isModified());

    info.setVisible(7, false);
    info.setColor(8, Math::Color(10, 20, 30));
    texture.setClassificationInfo(info);
    EXPECT_TRUE(texture.isModified());
    texture.begin(context, ShaderConfiguration::Vertex, 1);
    EXPECT_FALSE(texture.isModified());
    EXPECT_EQ(texel(device, context, texture, 7)[3], 0u);
    EXPECT_EQ(texel(device, context, texture, 8), (std::array<std::uint8_t, 4>{10, 20, 30, 255}));

    ID3D11ShaderResourceView* bound = nullptr;
    context->VSGetShaderResources(1, 1, &bound);
    EXPECT_EQ(bound, texture.view());
    bound->Release();
    EXPECT_EQ(messageOf([&] { texture.begin(context, ShaderConfiguration::Vertex, 1); }),
              "Error: end call is missing");
    texture.end(context);
    EXPECT_EQ(messageOf([&] { texture.end(context); }), "Error: begin call is missing");
}

} // namespace
