#include "d3dtestsupport.h"

#include "render/constantbuffer.h"
#include "render/samplerstate.h"
#include "render/shaderresourceview.h"
#include "render/texture2d.h"

#include "graphics/colorimage.h"
#include "graphics/depthimage.h"
#include "math/color.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <vector>

namespace {

using RenderTest::messageOf;
using Render::ShaderConfiguration;
using Texture2dTest = RenderTest::DeviceTest;
using BindingTest = RenderTest::DeviceTest;

D3D11_TEXTURE2D_DESC colorDesc(unsigned int width, unsigned int height,
                               D3D11_USAGE usage = D3D11_USAGE_DEFAULT)
{
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = usage;
    if (usage == D3D11_USAGE_STAGING)
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE;
    else
        desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    return desc;
}

Graphics::ColorImage filledImage(std::size_t width, std::size_t height, Math::Color color)
{
    Graphics::ColorImage image(width, height);
    image.fill(color);
    return image;
}

// A zero size gives an empty wrapper, and a failed resize leaves one; filled constructors fill the
// texture; moving hands the texture over and the last holder releases it.
TEST_F(Texture2dTest, SizesFillsAndOwnership)
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
}

// Images of unequal layouts are refused before the texture is touched; equal ones become its slices.
TEST_F(Texture2dTest, LoadChecksImageLayoutsBeforeTouchingTheTexture)
{
    Render::Texture2d texture(device, colorDesc(2, 2));
    ID3D11Texture2D* const original = texture.get();
    std::vector<Graphics::ColorImage> images;
    images.push_back(filledImage(2, 2, Math::Color(1, 2, 3)));
    images.emplace_back();
    images.back().resize(2, 2, 16);
    EXPECT_EQ(messageOf([&] { texture.load(device, images); }),
              "All color images must have the same width, height and stride");
    std::vector<Graphics::DepthImage> depths(2);
    depths[0].resize(2, 2, 8);
    depths[1].resize(3, 2, 12);
    EXPECT_EQ(messageOf([&] { texture.load(device, depths); }),
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
TEST_F(Texture2dTest, TilesAndReadbacksAreBoundedByTheTexture)
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

    EXPECT_EQ(messageOf([&] { texture.drawImageTile(context, filledImage(9, 2, {}), D3D11_MAP_WRITE); }),
              "Color tile does not fit into texture.");
    EXPECT_EQ(messageOf([&] { texture.drawImageTile(context, filledImage(8, 3, {}), D3D11_MAP_WRITE); }),
              "Color tile does not fit into texture.");
    EXPECT_EQ(messageOf([&] { texture.drawImageTile(context, 7, 0, tile, D3D11_MAP_WRITE); }),
              "Color tile with offset does not fit into texture.");
    EXPECT_EQ(messageOf([&] { texture.drawImageTile(context, Graphics::DepthImage(8, 3), D3D11_MAP_WRITE); }),
              "Depth tile does not fit into texture.");
    EXPECT_EQ(
        messageOf([&] { texture.drawImageTile(context, 0, 1, Graphics::DepthImage(2, 2), D3D11_MAP_WRITE); }),
        "Depth tile with offset does not fit into texture.");
    EXPECT_EQ(messageOf([&] { texture.copy(context, Render::Texture2d(device, colorDesc(4, 4))); }),
              "texture size does not match");
    // Images hold 4-byte pixels: a texture of 16-byte texels can neither take nor give them.
    D3D11_TEXTURE2D_DESC wideDesc = colorDesc(4, 3, D3D11_USAGE_STAGING);
    wideDesc.Format = DXGI_FORMAT_R32G32B32A32_FLOAT;
    Render::Texture2d const wide(device, wideDesc);
    EXPECT_THROW(wide.drawImageTile(context, filledImage(4, 3, {}), D3D11_MAP_WRITE), std::invalid_argument);
    EXPECT_THROW(texture.readPixels<RenderTest::Float4>(context), std::invalid_argument);
}

// Every binding refuses an end without a begin and a second begin, and is bound exactly between the two.
TEST_F(BindingTest, BindingsAreBalancedAndBoundBetweenBeginAndEnd)
{
    auto const expectBalanced = [&](auto& binding, ShaderConfiguration stages, unsigned int slot,
                                    auto boundAt) {
        EXPECT_EQ(messageOf([&] { binding.end(context); }), "Error: begin call is missing");
        binding.begin(context, stages, slot);
        EXPECT_EQ(boundAt(slot), binding.get());
        EXPECT_EQ(messageOf([&] { binding.begin(context, stages, slot); }), "Error: end call is missing");
        binding.end(context);
        EXPECT_EQ(boundAt(slot), nullptr);
    };
    Render::Texture2d const texture(device, colorDesc(2, 2));
    Render::ShaderResourceView view(device, texture.get(), nullptr);
    expectBalanced(view, ShaderConfiguration::Vertex | ShaderConfiguration::Pixel, 3, [&](UINT slot) {
        ATL::CComPtr<ID3D11ShaderResourceView> bound;
        context->VSGetShaderResources(slot, 1, &bound);
        return bound.p;
    });

    D3D11_SAMPLER_DESC desc{};
    desc.Filter = D3D11_FILTER_MIN_MAG_MIP_POINT;
    desc.AddressU = desc.AddressV = desc.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    desc.ComparisonFunc = D3D11_COMPARISON_NEVER;
    Render::SamplerState sampler(device, desc);
    expectBalanced(sampler, ShaderConfiguration::Compute, 1, [&](UINT slot) {
        ATL::CComPtr<ID3D11SamplerState> bound;
        context->CSGetSamplers(slot, 1, &bound);
        return bound.p;
    });

    struct Block {
        std::array<float, 4> values;
    };
    Render::ConstantBuffer<Block> buffer(device, Block{{1.0f, 2.0f, 3.0f, 4.0f}});
    buffer.modify().values[0] = 7.0f;
    expectBalanced(buffer, ShaderConfiguration::Pixel, 2, [&](UINT slot) {
        ATL::CComPtr<ID3D11Buffer> bound;
        context->PSGetConstantBuffers(slot, 1, &bound);
        return bound.p;
    });
    EXPECT_FALSE(buffer.isChanged()) << "a change is uploaded at begin";
}

} // namespace
