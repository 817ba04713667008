#include "d3dtestsupport.h"

#include "render/constantbuffer.h"
#include "render/renderpass.h"
#include "render/samplerstate.h"
#include "render/shaderresourceview.h"
#include "render/texture2d.h"

#include "graphics/colorimage.h"
#include "graphics/depthimage.h"
#include "math/color.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using TestSupport::thrownMessage;
using Render::ShaderConfiguration;
using Graphics::DepthImage;
using WrapperTest = RenderTest::DeviceTest;

D3D11_TEXTURE2D_DESC colorDesc(unsigned int width, unsigned int height, D3D11_USAGE usage = D3D11_USAGE_DEFAULT)
{
    bool const staging = usage == D3D11_USAGE_STAGING;
    UINT const cpuAccess = D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE;
    return {width, height, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0}, usage,
            staging ? 0u : static_cast<UINT>(D3D11_BIND_SHADER_RESOURCE), staging ? cpuAccess : 0u, 0};
}

Graphics::ColorImage filledImage(std::size_t width, std::size_t height, Math::Color color)
{
    Graphics::ColorImage image(width, height);
    image.fill(color);
    return image;
}

// A zero size gives an empty wrapper, and a failed resize leaves one; filled constructors fill the
// texture; moving hands the texture over and the last holder releases it. Images of unequal layouts
// are refused before the texture is touched; equal ones become its slices.
TEST_F(WrapperTest, Texture2dSizesFillsOwnershipAndLoads)
{
    for (auto [width, height, slices] :
         {std::array{0u, 4u, 1u}, std::array{4u, 0u, 1u}, std::array{4u, 4u, 0u}})
        EXPECT_EQ(Render::Texture2d(device, colorDesc(4, 4), width, height, slices).get(), nullptr);
    Render::Texture2d texture(device, colorDesc(4, 4));
    EXPECT_THROW(texture.resize(device, 0, 4, 1), Render::ComException);
    EXPECT_EQ(texture.get(), nullptr);
    EXPECT_EQ(texture.width(), 0u);

    Render::Texture2d colors(device, colorDesc(1, 1), 3, 2, Math::Color(10, 20, 30, 40), 2);
    EXPECT_EQ(readBack<Math::Color>(colors), std::vector<Math::Color>(6, Math::Color(10, 20, 30, 40)));
    D3D11_TEXTURE2D_DESC depthDesc = colorDesc(1, 1);
    depthDesc.Format = DXGI_FORMAT_R32_FLOAT;
    EXPECT_EQ(readBack<float>(Render::Texture2d(device, depthDesc, 5, 3, 0.75f, 1)),
              std::vector<float>(15, 0.75f));
    ID3D11Texture2D* const raw = colors.get();
    raw->AddRef();
    Render::Texture2d moved(std::move(colors));
    EXPECT_EQ(colors.get(), nullptr);
    EXPECT_EQ(moved.get(), raw);
    moved = Render::Texture2d();
    EXPECT_EQ(raw->Release(), 0u);

    texture = Render::Texture2d(device, colorDesc(2, 2));
    ID3D11Texture2D* const original = texture.get();
    std::vector<Graphics::ColorImage> images;
    images.push_back(filledImage(2, 2, Math::Color(1, 2, 3)));
    images.emplace_back();
    images.back().resize(2, 2, 16);
    EXPECT_EQ(thrownMessage([&] { texture.load(device, images); }),
              "All color images must have the same width, height and stride");
    std::vector<DepthImage> depths(2);
    depths[0].resize(2, 2, 8);
    depths[1].resize(3, 2, 12);
    EXPECT_EQ(thrownMessage([&] { texture.load(device, depths); }),
              "All depth images must have the same width, height and stride");
    EXPECT_EQ(texture.get(), original);
    images.back() = filledImage(2, 2, Math::Color(4, 5, 6));
    texture.load(device, images);
    D3D11_TEXTURE2D_DESC desc{};
    texture.get()->GetDesc(&desc);
    EXPECT_EQ(desc.ArraySize, 2u);
    EXPECT_EQ(readBack<Math::Color>(texture).front(), Math::Color(1, 2, 3));
}

// Tiles must fit, exact fits are accepted, padded rows copy only their pixels, and images are written
// and read only through texels of their own size.
TEST_F(WrapperTest, Texture2dTilesAndReadbacksAreBoundedByTheTexture)
{
    Math::Color const background(9, 9, 9, 9);
    Math::Color const tileColor(200, 100, 50, 255);
    Render::Texture2d const texture(device, colorDesc(8, 2, D3D11_USAGE_STAGING), 8, 2, background, 1);
    Graphics::ColorImage tile;
    tile.resize(2, 2, 16); // two pixels a row, padded to four
    tile.fill(tileColor);
    texture.drawImageTile(context, 6, 0, tile, D3D11_MAP_READ_WRITE);
    std::vector<Math::Color> const pixels = texture.readPixels<Math::Color>(context);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        EXPECT_EQ(pixels[i], i % 8 >= 6 ? tileColor : background) << i;
    EXPECT_NO_THROW(texture.drawImageTile(context, filledImage(8, 2, {}), D3D11_MAP_WRITE));

    EXPECT_EQ(thrownMessage([&] { texture.drawImageTile(context, filledImage(9, 2, {}), D3D11_MAP_WRITE); }),
              "Color tile does not fit into texture.");
    EXPECT_EQ(thrownMessage([&] { texture.drawImageTile(context, filledImage(8, 3, {}), D3D11_MAP_WRITE); }),
              "Color tile does not fit into texture.");
    EXPECT_EQ(thrownMessage([&] { texture.drawImageTile(context, 7, 0, tile, D3D11_MAP_WRITE); }),
              "Color tile with offset does not fit into texture.");
    EXPECT_EQ(thrownMessage([&] { texture.drawImageTile(context, DepthImage(8, 3), D3D11_MAP_WRITE); }),
              "Depth tile does not fit into texture.");
    EXPECT_EQ(thrownMessage([&] { texture.drawImageTile(context, 0, 1, DepthImage(2, 2), D3D11_MAP_WRITE); }),
              "Depth tile with offset does not fit into texture.");
    EXPECT_EQ(thrownMessage([&] { texture.copy(context, Render::Texture2d(device, colorDesc(4, 4))); }),
              "texture size does not match");
    // Images hold 4-byte pixels: a texture of 16-byte texels can neither take nor give them.
    D3D11_TEXTURE2D_DESC wideDesc = colorDesc(4, 3, D3D11_USAGE_STAGING);
    wideDesc.Format = DXGI_FORMAT_R32G32B32A32_FLOAT;
    Render::Texture2d const wide(device, wideDesc);
    EXPECT_THROW(wide.drawImageTile(context, filledImage(4, 3, {}), D3D11_MAP_WRITE), std::invalid_argument);
    EXPECT_THROW(texture.readPixels<RenderTest::Float4>(context), std::invalid_argument);
}

// Every binding refuses an end without a begin and a second begin, and is bound exactly between the two.
TEST_F(WrapperTest, BindingsAreBalancedAndBoundBetweenBeginAndEnd)
{
    // `get` reads what the context binds at a slot, as &ID3D11DeviceContext::PSGetSamplers does.
    auto const expectBalanced = [&](auto& binding, ShaderConfiguration stages, unsigned int slot, auto get) {
        auto const bound = [&] {
            ATL::CComPtr<std::remove_pointer_t<decltype(binding.get())>> object;
            (context.p->*get)(slot, 1, &object);
            return object.p;
        };
        EXPECT_EQ(thrownMessage([&] { binding.end(context); }), "Error: begin call is missing");
        binding.begin(context, stages, slot);
        EXPECT_EQ(bound(), binding.get());
        EXPECT_EQ(thrownMessage([&] { binding.begin(context, stages, slot); }), "Error: end call is missing");
        binding.end(context);
        EXPECT_EQ(bound(), nullptr);
    };
    Render::Texture2d const texture(device, colorDesc(2, 2));
    Render::ShaderResourceView view(device, texture.get(), nullptr);
    expectBalanced(view, ShaderConfiguration::Vertex | ShaderConfiguration::Pixel, 3,
                   &ID3D11DeviceContext::VSGetShaderResources);
    auto constexpr kClamp = D3D11_TEXTURE_ADDRESS_CLAMP;
    Render::SamplerState sampler(device, {D3D11_FILTER_MIN_MAG_MIP_POINT, kClamp, kClamp, kClamp, 0, 1,
                                          D3D11_COMPARISON_NEVER, {}, 0, D3D11_FLOAT32_MAX});
    expectBalanced(sampler, ShaderConfiguration::Compute, 1, &ID3D11DeviceContext::CSGetSamplers);
    struct Block {
        std::array<float, 4> values;
    };
    Render::ConstantBuffer<Block> buffer(device, Block{{1.0f, 2.0f, 3.0f, 4.0f}});
    buffer.modify().values[0] = 7.0f;
    expectBalanced(buffer, ShaderConfiguration::Pixel, 2, &ID3D11DeviceContext::PSGetConstantBuffers);
    EXPECT_FALSE(buffer.isChanged()) << "a change is uploaded at begin";
}

// The COM reference count of an object, read without changing it.
ULONG referenceCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// Every holder owns exactly one reference: copies add one, moves and Attach/Detach hand theirs over,
// reassignment releases the old object, self-assignment keeps it.
TEST_F(WrapperTest, ComPtrHoldsExactlyOneReferencePerHolder)
{
    ULONG const before = referenceCount(device);
    {
        ATL::CComPtr<ID3D11Device> holder(device.p);
        ATL::CComPtr<ID3D11Device> copy = holder;
        ATL::CComPtr<ID3D11Device> moved = std::move(copy);
        EXPECT_EQ(copy, nullptr);
        moved = holder;
        moved = moved;
        EXPECT_EQ(referenceCount(device), before + 2);
        moved = nullptr;
        EXPECT_EQ(referenceCount(device), before + 1);
    }
    EXPECT_EQ(referenceCount(device), before);

    D3D11_BUFFER_DESC const desc{16, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
    ATL::CComPtr<ID3D11Buffer> first;
    ATL::CComPtr<ID3D11Buffer> second;
    ASSERT_GE(device->CreateBuffer(&desc, nullptr, &first), 0);
    ASSERT_GE(device->CreateBuffer(&desc, nullptr, &second), 0);
    ID3D11Buffer* const watched = first.Detach();
    first.Attach(watched);
    EXPECT_EQ(referenceCount(watched), 1u);
    watched->AddRef(); // keeps the object alive to observe its count
    first = second;
    EXPECT_EQ(watched->Release(), 0u) << "reassignment released the old object";
    EXPECT_EQ(referenceCount(second), 2u);
}

// Targets take the pass size and keep their clear values and order through a viewport change; clears
// without depth leave the depth buffer; begin binds targets and depth, end unbinds them. Targets bind
// as shader input by name, balanced like every binding; a refused bind binds nothing.
TEST_F(WrapperTest, RenderPassTargetsFollowTheViewportAndBindBetweenBeginAndEnd)
{
    Render::RenderPass pass(device, 8, 8);
    pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM);
    pass.addRenderTarget("worldPosition", DXGI_FORMAT_R32G32B32A32_FLOAT);
    EXPECT_THROW(pass.depthTexture(), std::logic_error);
    pass.addDepthBuffer(D3D11_CLEAR_DEPTH, 0.25f, 0);
    pass.setClearValue("color", Math::Color(0, 0, 255, 255));
    EXPECT_THROW(pass.addRenderTarget("color", DXGI_FORMAT_B8G8R8A8_UNORM), std::invalid_argument);
    EXPECT_THROW(pass.texture("depth"), std::invalid_argument);

    pass.setViewport(12, 5);
    EXPECT_EQ(pass.texture("worldPosition").width(), 12u);
    EXPECT_EQ(pass.depthTexture().height(), 5u);
    ASSERT_EQ(pass.renderTargetViews().size(), 2u);
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

    EXPECT_EQ(thrownMessage([&] { pass.unbindTexture(context, "color"); }), "Error: begin call is missing");
    pass.bindTexture(context, "color", ShaderConfiguration::Pixel, 0);
    EXPECT_EQ(thrownMessage([&] { pass.bindTexture(context, "color", ShaderConfiguration::Pixel, 1); }),
              "Error: end call is missing");
    ID3D11ShaderResourceView* bound = nullptr;
    context->PSGetShaderResources(1, 1, &bound);
    EXPECT_EQ(bound, nullptr);
    pass.unbindTexture(context, "color");
    context->PSGetShaderResources(0, 1, &bound);
    EXPECT_EQ(bound, nullptr);
    pass.bindDepthTexture(context, ShaderConfiguration::Pixel, 3);
    EXPECT_EQ(thrownMessage([&] { pass.bindDepthTexture(context, ShaderConfiguration::Pixel, 3); }),
              "Error: end call is missing");
    pass.unbindDepthTexture(context);
    EXPECT_EQ(thrownMessage([&] { pass.unbindDepthTexture(context); }), "Error: begin call is missing");
}

} // namespace
