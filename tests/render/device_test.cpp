#include "render/comexception.h"
#include "render/renderer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

TEST(Device, CreatesAHardwareDeviceOfFeatureLevel11)
{
    Render::Renderer renderer;
    ASSERT_NE(renderer.device(), nullptr);
    ASSERT_NE(renderer.deviceContext(), nullptr);
    EXPECT_GE(renderer.device()->GetFeatureLevel(), D3D_FEATURE_LEVEL_11_0);
}

TEST(Device, ClearsARenderTargetAndReadsThePixelsBack)
{
    Render::Renderer renderer;
    ID3D11Device* device = renderer.device();
    ID3D11DeviceContext* context = renderer.deviceContext();
    constexpr UINT width = 37; // odd, so that the row pitch exceeds 4 x width
    constexpr UINT height = 5;

    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET;
    ATL::CComPtr<ID3D11Texture2D> target;
    Render::throwIfFailed(device->CreateTexture2D(&desc, nullptr, &target));
    ATL::CComPtr<ID3D11RenderTargetView> view;
    Render::throwIfFailed(device->CreateRenderTargetView(target, nullptr, &view));

    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    ATL::CComPtr<ID3D11Texture2D> staging;
    Render::throwIfFailed(device->CreateTexture2D(&desc, nullptr, &staging));

    std::array<float, 4> const rgba{1.0f, 0.5f, 0.0f, 1.0f};
    context->ClearRenderTargetView(view, rgba.data());
    context->CopyResource(staging, target);

    D3D11_MAPPED_SUBRESOURCE mapped{};
    Render::throwIfFailed(context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped));
    std::vector<std::uint8_t> pixels(std::size_t{width} * height * 4);
    for (UINT row = 0; row < height; ++row)
        std::memcpy(pixels.data() + std::size_t{row} * width * 4,
                    static_cast<std::uint8_t const*>(mapped.pData) + std::size_t{row} * mapped.RowPitch, width * 4);
    context->Unmap(staging, 0);

    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        ASSERT_EQ(pixels[i + 0], 0) << "blue at byte " << i;
        ASSERT_EQ(pixels[i + 1], 128) << "green at byte " << i;
        ASSERT_EQ(pixels[i + 2], 255) << "red at byte " << i;
        ASSERT_EQ(pixels[i + 3], 255) << "alpha at byte " << i;
    }
}

TEST(Device, FailedCreationThrowsComException)
{
    Render::Renderer renderer;
    D3D11_TEXTURE2D_DESC desc{}; // zero size and no mip levels: invalid
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.ArraySize = 1;
    desc.SampleDesc.Count = 1;
    ATL::CComPtr<ID3D11Texture2D> texture;
    try {
        Render::throwIfFailed(renderer.device()->CreateTexture2D(&desc, nullptr, &texture));
        FAIL() << "a zero-sized texture must not be created";
    } catch (Render::ComException const& error) {
        EXPECT_EQ(error.result(), static_cast<long>(0x80070057UL));
        EXPECT_STRNE(error.what(), "");
    }
}

} // namespace
