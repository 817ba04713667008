#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

#include <cstddef>
#include <vector>

namespace Render {

// Owns an immutable buffer of 32-bit indices.
class MORVID_RENDER_API IndexBuffer {
public:
    IndexBuffer() = default;
    IndexBuffer(ID3D11Device* device, unsigned int const* indices, std::size_t count);
    IndexBuffer(ID3D11Device* device, std::vector<unsigned int> const& indices);
    IndexBuffer(IndexBuffer&& other) noexcept;
    IndexBuffer& operator=(IndexBuffer&& other) noexcept;

    void begin(ID3D11DeviceContext* context, unsigned int byteOffset);
    void end(ID3D11DeviceContext* context);

    std::size_t numIndices() const { return mNumIndices; }
    ID3D11Buffer* get() const { return mBuffer; }

private:
    std::size_t mNumIndices = 0;
    ATL::CComPtr<ID3D11Buffer> mBuffer;
    unsigned int mByteOffset = 0;
};

} // namespace Render
