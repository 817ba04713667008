#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Render {

// CPU copy of the point shader's per-node constants (register b1 of "pointcloud.hlsl"), rewritten
// before each node's draw.
struct cbPerOctreeNode {
    // Minimum corner of the node's cube, model units.
    std::array<float, 3> node_min{};
    // The node's texel in the visible-nodes texture.
    std::uint32_t node_index = 0;
    // Octree depth of the node; the root is 0.
    std::uint32_t node_depth = 0;
    std::array<std::uint32_t, 3> padding{};
};

static_assert(sizeof(cbPerOctreeNode) == 32);
static_assert(offsetof(cbPerOctreeNode, node_index) == 12);
static_assert(offsetof(cbPerOctreeNode, node_depth) == 16);

} // namespace Render
