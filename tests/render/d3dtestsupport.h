#pragma once

#include "render/comexception.h"
#include "render/comptr.h"
#include "render/texture2d.h"
#include "support/thrownmessage.h"

#include <gtest/gtest.h>

#include <d3d11.h>

#include <vector>

namespace RenderTest {

// The pixels of `texture`, read through a CPU-readable copy of the same size, format and mip count.
template <class Pixel>
std::vector<Pixel> readBack(ID3D11Device* device, ID3D11DeviceContext* context,
                            Render::Texture2d const& texture)
{
    D3D11_TEXTURE2D_DESC desc{};
    texture.get()->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    Render::Texture2d const staging(device, desc);
    staging.copy(context, texture);
    return staging.readPixels<Pixel>(context);
}

// A Direct3D 11 device of its own for each test, so that no state leaks between tests.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Render::throwIfFailed(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0,
                                                D3D11_SDK_VERSION, &device, nullptr, &context));
    }

    template <class Pixel>
    std::vector<Pixel> readBack(Render::Texture2d const& texture) const
    {
        return RenderTest::readBack<Pixel>(device, context, texture);
    }

    ATL::CComPtr<ID3D11Device> device;
    ATL::CComPtr<ID3D11DeviceContext> context;
};

// One texel of a 128-bit float target.
struct Float4 {
    float x, y, z, w;
};

} // namespace RenderTest
