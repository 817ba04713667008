#include "render/comexception.h"
#include "render/comptr.h"
#include "render/viewport.h"

#include <gtest/gtest.h>

#include <d3d11.h>

namespace {

TEST(RenderViewport, SetBindsRectangleAndDepthRange)
{
    ATL::CComPtr<ID3D11Device> device;
    ATL::CComPtr<ID3D11DeviceContext> context;
    Render::throwIfFailed(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0,
        D3D11_SDK_VERSION, &device, nullptr, &context));

    Render::Viewport viewport(3, 7, 320, 200);
    viewport.setDepthRange(0.25f, 0.75f);
    viewport.set(context);

    UINT count = 1;
    D3D11_VIEWPORT bound{};
    context->RSGetViewports(&count, &bound);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(bound.TopLeftX, 3.0f);
    EXPECT_EQ(bound.TopLeftY, 7.0f);
    EXPECT_EQ(bound.Width, 320.0f);
    EXPECT_EQ(bound.Height, 200.0f);
    EXPECT_EQ(bound.MinDepth, 0.25f);
    EXPECT_EQ(bound.MaxDepth, 0.75f);
}

TEST(RenderViewport, KeepsTheSizeSettersOfItsBase)
{
    Render::Viewport viewport;
    viewport.set(10, 20);
    EXPECT_EQ(viewport, Render::Viewport(0, 0, 10, 20));
    viewport.set(-2, 4, 10, 20);
    EXPECT_EQ(viewport.x(), -2);
}

} // namespace
