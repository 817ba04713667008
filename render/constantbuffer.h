#pragma once

#include "render/comexception.h"
#include "render/comptr.h"
#include "render/shaderconfiguration.h"
#include "render/stagebinding.h"

#include <d3d11.h>

#include <cstring>
#include <type_traits>
#include <utility>

namespace Render {

// A dynamic constant buffer with its CPU copy. Writers change the copy through modify(), which
// marks it for upload; begin uploads a changed copy and binds the buffer.
template <class T>
class ConstantBuffer {
    static_assert(std::is_trivially_copyable_v<T>, "constant data is copied bytewise to the GPU");
    static_assert(sizeof(T) % 16 == 0, "constant buffers are made of 16-byte registers");

public:
    ConstantBuffer() = default;
    ConstantBuffer(ID3D11Device* device, T const& initial) : mData(initial)
    {
        D3D11_BUFFER_DESC desc{};
        desc.ByteWidth = sizeof(T);
        desc.Usage = D3D11_USAGE_DYNAMIC;
        desc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
        D3D11_SUBRESOURCE_DATA data{};
        data.pSysMem = &mData;
        throwIfFailed(device->CreateBuffer(&desc, &data, &mBuffer));
    }
    ConstantBuffer(ConstantBuffer&& other) noexcept
        : mData(other.mData), mBuffer(std::move(other.mBuffer)), mChanged(other.mChanged),
          mBinding(std::move(other.mBinding))
    {
    }
    ConstantBuffer& operator=(ConstantBuffer&& other) noexcept
    {
        if (this != &other) {
            mData = other.mData;
            mBuffer = std::move(other.mBuffer);
            mChanged = other.mChanged;
            mBinding = std::move(other.mBinding);
        }
        return *this;
    }

    T const& data() const { return mData; }
    T& modify()
    {
        mChanged = true;
        return mData;
    }
    bool isChanged() const { return mChanged; }

    // Copies the whole CPU copy into the buffer (map with discard).
    void upload(ID3D11DeviceContext* context)
    {
        mChanged = false;
        D3D11_MAPPED_SUBRESOURCE mapped{};
        throwIfFailed(context->Map(mBuffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped));
        std::memcpy(mapped.pData, &mData, sizeof(T));
        context->Unmap(mBuffer, 0);
    }

    // Uploads if changed and binds at `slot` of `stages`; throws "Error: end call is missing" while bound.
    void begin(ID3D11DeviceContext* context, ShaderConfiguration stages, unsigned int slot)
    {
        mBinding.open(stages, slot);
        if (mChanged) {
            try {
                upload(context);
            } catch (...) {
                mBinding.close();
                throw;
            }
        }
        bindConstantBufferToStages(context, mBinding.stages(), mBinding.slot(), mBuffer);
    }

    // Binds null where begin bound the buffer; throws "Error: begin call is missing" when not bound.
    void end(ID3D11DeviceContext* context)
    {
        StageBinding const bound = mBinding;
        mBinding.close();
        bindConstantBufferToStages(context, bound.stages(), bound.slot(), nullptr);
    }

    bool isBound() const { return mBinding.isBound(); }
    ID3D11Buffer* get() const { return mBuffer; }

private:
    T mData{};
    ATL::CComPtr<ID3D11Buffer> mBuffer;
    bool mChanged = true;
    StageBinding mBinding;
};

} // namespace Render
