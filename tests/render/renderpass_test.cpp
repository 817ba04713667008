#include "d3dtestsupport.h"

#include "render/renderpass.h"

#include "math/color.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <vector>

namespace {

using RenderTest::messageOf;
using Render::ShaderConfiguration;
using RenderPassTest = RenderTest::DeviceTest;

// Targets take the pass size and keep their clear values and order through a viewport change; clears
// without depth leave the depth buffer; begin binds targets and depth, end unbinds them.
TEST_F(RenderPassTest, TargetsFollowTheViewportAndBindBetweenBeginAndEnd)
{
    Render::RenderPass pass(device, 8, 8);
    EXPECT_EQ(pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM), 0u);
    EXPECT_EQ(pass.addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT), 1u);
    EXPECT_THROW(pass.depthTexture(), std::logic_error);
    pass.addDepthBuffer(D3D11_CLEAR_DEPTH, 0.25f, 0);
    pass.setClearValue("color", Math::Color(0, 0, 255, 255));
    EXPECT_THROW(pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM), std::invalid_argument);
    EXPECT_THROW(pass.texture("depth"), std::invalid_argument);
    auto const oldViews = pass.renderTargetViews();

    pass.setViewport(12, 5);
    EXPECT_EQ(pass.clearValue("color"), (std::array<float, 4>{0.0f, 0.0f, 1.0f, 1.0f}));
    EXPECT_EQ(pass.texture("worldPosition").width(), 12u);
    EXPECT_EQ(pass.texture("worldPosition").desc().BindFlags,
              static_cast<UINT>(D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE));
    EXPECT_EQ(pass.depthTexture().height(), 5u);
    ASSERT_EQ(pass.renderTargetViews().size(), 2u);
    EXPECT_NE(pass.renderTargetViews()[0], oldViews[0]);
    ATL::CComPtr<ID3D11Resource> resource;
    pass.renderTargetViews()[1]->GetResource(&resource);
    EXPECT_EQ(resource, static_cast<ID3D11Resource*>(pass.texture("worldPosition").get()));

    pass.clearAllRenderTargets(context, true);
    pass.setDepthStencilClearValues(D3D11_CLEAR_DEPTH, 0.5f, 0);
    pass.clearAllRenderTargets(context, false);
    EXPECT_EQ(readBack<Math::Color>(pass.texture("color")),
              std::vector<Math::Color>(60, Math::Color(0, 0, 255, 255)));
    EXPECT_EQ(readBack<float>(pass.depthTexture()), std::vector<float>(60, 0.25f));

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

} // namespace
