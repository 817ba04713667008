#pragma once

#include "core/hashing.h"

#include <array>
#include <functional>
#include <cstdint>
#include <string>

namespace Octree {

// A node of an octree as the path of child indices from the root, three bits a level,
// behind a leading marker bit. The root is 1, so ids sort level by level and fit 21
// levels into 8 bytes.
class OctreeNodeId {
public:
    static constexpr unsigned kMaxLevel = 21;

    OctreeNodeId() = default;

    // (x, y, z) are the node's cell coordinates within its level, 0 .. 2^level - 1; each
    // child index holds the x bit in 4, the y bit in 2 and the z bit in 1.
    static OctreeNodeId fromCell(unsigned level, std::uint32_t x, std::uint32_t y, std::uint32_t z);
    static OctreeNodeId fromRaw(std::uint64_t raw) { return OctreeNodeId(raw); }

    unsigned level() const;
    OctreeNodeId parent() const { return isRoot() ? *this : OctreeNodeId(mPath >> 3); }
    // Throws std::logic_error beyond the deepest level.
    OctreeNodeId child(unsigned index) const;
    unsigned childIndex() const { return static_cast<unsigned>(mPath & 7); }
    bool isRoot() const { return mPath == kRootPath; }
    std::array<std::uint32_t, 3> cell() const;
    std::uint64_t raw() const { return mPath; }

    // "r" followed by the child indices, the node file naming of Potree data sets.
    std::string name() const;

    bool operator==(OctreeNodeId const& other) const = default;
    bool operator<(OctreeNodeId const& other) const { return mPath < other.mPath; }

private:
    static constexpr std::uint64_t kRootPath = 1;
    explicit OctreeNodeId(std::uint64_t path) : mPath(path) {}

    std::uint64_t mPath = kRootPath;
};

static_assert(sizeof(OctreeNodeId) == 8);

} // namespace Octree

// FNV-1a over the id's 8 bytes.
template <>
struct std::hash<Octree::OctreeNodeId> {
    std::size_t operator()(Octree::OctreeNodeId const& id) const
    {
        std::uint64_t const raw = id.raw();
        return static_cast<std::size_t>(Core::fnv1a64(&raw, sizeof(raw)));
    }
};
