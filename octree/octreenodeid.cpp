#include "octree/octreenodeid.h"

#include <bit>
#include <stdexcept>

namespace Octree {

OctreeNodeId OctreeNodeId::fromCell(unsigned level, std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    if (level > kMaxLevel)
        throw std::invalid_argument("octree node level " + std::to_string(level) + " is beyond the deepest level");
    OctreeNodeId id;
    for (unsigned bit = level; bit-- > 0;)
        id = id.child(((x >> bit & 1) << 2) | ((y >> bit & 1) << 1) | (z >> bit & 1));
    return id;
}

unsigned OctreeNodeId::level() const
{
    return static_cast<unsigned>(std::bit_width(mPath) - 1) / 3;
}

OctreeNodeId OctreeNodeId::child(unsigned index) const
{
    if (level() >= kMaxLevel)
        throw std::logic_error("octree node " + name() + " has no children: deepest level reached");
    return OctreeNodeId(mPath << 3 | (index & 7));
}

std::array<std::uint32_t, 3> OctreeNodeId::cell() const
{
    std::array<std::uint32_t, 3> xyz{0, 0, 0};
    for (unsigned l = level(); l-- > 0;) {
        auto const index = static_cast<unsigned>(mPath >> (3 * l)) & 7;
        xyz[0] = xyz[0] << 1 | (index >> 2 & 1);
        xyz[1] = xyz[1] << 1 | (index >> 1 & 1);
        xyz[2] = xyz[2] << 1 | (index & 1);
    }
    return xyz;
}

std::string OctreeNodeId::name() const
{
    std::string text = "r";
    for (unsigned l = level(); l-- > 0;)
        text += static_cast<char>('0' + ((mPath >> (3 * l)) & 7));
    return text;
}

} // namespace Octree
