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

class ComPtrTest : public ::testing::Test {
protected:
    Render::Renderer mRenderer;
    ID3D11Device* mDevice = mRenderer.device();
};

TEST_F(ComPtrTest, HoldsOneReferenceAndReleasesItWhenGone)
{
    ULONG const before = referenceCount(mDevice);
    {
        ATL::CComPtr<ID3D11Device> holder(mDevice);
        EXPECT_EQ(referenceCount(mDevice), before + 1);
        ATL::CComPtr<ID3D11Device> copy = holder;
        EXPECT_EQ(referenceCount(mDevice), before + 2);
        ATL::CComPtr<ID3D11Device> moved = std::move(copy);
        EXPECT_EQ(referenceCount(mDevice), before + 2);
        EXPECT_EQ(copy, nullptr);
        moved = nullptr;
        EXPECT_EQ(referenceCount(mDevice), before + 1);
    }
    EXPECT_EQ(referenceCount(mDevice), before);
}

TEST_F(ComPtrTest, ReassignmentReleasesTheOldObject)
{
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = 16;
    desc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    ATL::CComPtr<ID3D11Buffer> first;
    ASSERT_GE(mDevice->CreateBuffer(&desc, nullptr, &first), 0);
    ATL::CComPtr<ID3D11Buffer> second;
    ASSERT_GE(mDevice->CreateBuffer(&desc, nullptr, &second), 0);

    ID3D11Buffer* watched = first;
    watched->AddRef(); // keeps the object alive to observe its count
    EXPECT_EQ(referenceCount(watched), 2u);
    first = second;
    EXPECT_EQ(referenceCount(watched), 1u);
    EXPECT_EQ(first.p, second.p);
    first = first; // self-assignment keeps the reference
    EXPECT_EQ(referenceCount(second), 2u);
    EXPECT_EQ(watched->Release(), 0u);
}

TEST_F(ComPtrTest, AttachAndDetachTransferOwnershipWithoutCounting)
{
    ULONG const before = referenceCount(mDevice);
    mDevice->AddRef();
    ATL::CComPtr<ID3D11Device> holder;
    holder.Attach(mDevice);
    EXPECT_EQ(referenceCount(mDevice), before + 1);
    ID3D11Device* detached = holder.Detach();
    EXPECT_EQ(holder, nullptr);
    EXPECT_EQ(referenceCount(mDevice), before + 1);
    detached->Release();
    EXPECT_EQ(referenceCount(mDevice), before);
}

TEST_F(ComPtrTest, QueryInterfaceAddsAReference)
{
    ATL::CComPtr<ID3D11Device> holder(mDevice);
    ATL::CComPtr<IDXGIDevice> dxgiDevice;
    ASSERT_GE(holder.QueryInterface(&dxgiDevice), 0);
    EXPECT_NE(dxgiDevice, nullptr);
}

} // namespace
