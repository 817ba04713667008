#include "render/indexbuffer.h"

#include "render/comexception.h"

#include <utility>

namespace Render {

IndexBuffer::IndexBuffer(ID3D11Device* device, unsigned int const* indices, std::size_t count) : mNumIndices(count)
{
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = static_cast<UINT>(count * sizeof(unsigned int));
    desc.Usage = D3D11_USAGE_IMMUTABLE;
    desc.BindFlags = D3D11_BIND_INDEX_BUFFER;
    D3D11_SUBRESOURCE_DATA data{};
    data.pSysMem = indices;
    throwIfFailed(device->CreateBuffer(&desc, &data, &mBuffer));
}

IndexBuffer::IndexBuffer(ID3D11Device* device, std::vector<unsigned int> const& indices)
    : IndexBuffer(device, indices.data(), indices.size())
{
}

IndexBuffer::IndexBuffer(IndexBuffer&& other) noexcept
    : mNumIndices(std::exchange(other.mNumIndices, 0)), mBuffer(std::move(other.mBuffer)),
      mByteOffset(std::exchange(other.mByteOffset, 0u))
{
}

IndexBuffer& IndexBuffer::operator=(IndexBuffer&& other) noexcept
{
    if (this != &other) {
        mNumIndices = std::exchange(other.mNumIndices, 0);
        mBuffer = std::move(other.mBuffer);
        mByteOffset = std::exchange(other.mByteOffset, 0u);
    }
    return *this;
}

void IndexBuffer::begin(ID3D11DeviceContext* context, unsigned int byteOffset)
{
    mByteOffset = byteOffset;
    context->IASetIndexBuffer(mBuffer, DXGI_FORMAT_R32_UINT, mByteOffset);
}

void IndexBuffer::end(ID3D11DeviceContext* context)
{
    context->IASetIndexBuffer(nullptr, DXGI_FORMAT_R32_UINT, mByteOffset);
    mByteOffset = 0;
}

} // namespace Render
