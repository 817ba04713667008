#pragma once

#include <cstddef>
#include <cstdint>

namespace Core {

inline constexpr std::uint64_t kFnv1aOffsetBasis = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnv1aPrime = 0x100000001b3ULL;

// 64-bit FNV-1a over raw bytes: cheap and well spread for small fixed-size keys such as node ids.
inline std::uint64_t fnv1a64(void const* data, std::size_t size)
{
    auto const* bytes = static_cast<unsigned char const*>(data);
    std::uint64_t hash = kFnv1aOffsetBasis;
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= kFnv1aPrime;
    }
    return hash;
}

// Mixes the hash of one more part into `seed`; parts are combined in call order.
inline void hashCombine(std::size_t& seed, std::size_t partHash)
{
    seed ^= partHash + 0x9e3779b9 + (seed << 6) + (seed >> 2);
}

} // namespace Core
