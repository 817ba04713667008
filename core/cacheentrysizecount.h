#pragma once

#include <cstdint>

namespace Core {

// Size policy of LruCache: a value weighs as many units as it has elements, so that a cache of
// node data is bounded in points rather than in nodes.
template <typename V>
struct CacheEntrySizeCount {
    std::uint64_t operator()(V const& value) const { return static_cast<std::uint64_t>(value.size()); }
};

// Size policy of LruCache: every value weighs one unit, so that the capacity counts entries.
template <typename V>
struct CacheEntrySizeOne {
    std::uint64_t operator()(V const&) const { return 1; }
};

} // namespace Core
