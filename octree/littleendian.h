#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace Octree {

// The value of type T stored little-endian at `offset` of `bytes` (the byte order of
// every format read here, and of the machines the library runs on). The caller has
// checked that the bytes hold sizeof(T) more from there.
template <class T>
T readLittleEndian(std::string_view bytes, std::size_t offset)
{
    static_assert(std::is_trivially_copyable_v<T>);
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

} // namespace Octree
