#pragma once

#include <d3d11.h>

#include <fmt/format.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace Render {

// The most bytes that one Direct3D 11 buffer may hold on any device (2 GiB).
constexpr std::uint64_t kMaxBufferBytes = std::uint64_t{D3D11_REQ_RESOURCE_SIZE_IN_MEGABYTES_EXPRESSION_C_TERM}
                                          << 20;

// The byte width of a buffer of `count` elements of `stride` bytes, computed without wrapping.
// Throws std::length_error naming `what` when the buffer would exceed kMaxBufferBytes.
inline UINT bufferByteWidth(std::size_t count, std::size_t stride, char const* what)
{
    if (stride == 0 || count > kMaxBufferBytes / stride)
        throw std::length_error(fmt::format("Error: {} {} of {} bytes exceed the {} bytes a Direct3D 11 buffer can hold",
                                            count, what, stride, kMaxBufferBytes));
    return static_cast<UINT>(count * stride);
}

} // namespace Render
