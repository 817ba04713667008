#include "render/comptr.h"
#include "render/renderer.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

// The COM reference count of an object, read without changing it.
ULONG referenceCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// Every holder owns exactly one reference: copies add one, moves and Attach/Detach hand theirs over,
// reassignment releases the old object, self-assignment keeps it.
TEST(ComPtr, HoldsExactlyOneReferencePerHolder)
{
    Render::Renderer renderer;
    ID3D11Device* const device = renderer.device();
    ULONG const before = referenceCount(device);
    {
        ATL::CComPtr<ID3D11Device> holder(device);
        ATL::CComPtr<ID3D11Device> copy = holder;
        EXPECT_EQ(referenceCount(device), before + 2);
        ATL::CComPtr<ID3D11Device> moved = std::move(copy);
        EXPECT_EQ(copy, nullptr);
        EXPECT_EQ(referenceCount(device), before + 2);
        moved = holder;
        moved = moved;
        EXPECT_EQ(referenceCount(device), before + 2);
        moved = nullptr;
        ATL::CComPtr<IDXGIDevice> dxgiDevice;
        ASSERT_GE(holder.QueryInterface(&dxgiDevice), 0);
        EXPECT_NE(dxgiDevice, nullptr);
    }
    EXPECT_EQ(referenceCount(device), before);

    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = 16;
    desc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
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

} // namespace
