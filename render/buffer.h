#pragma once

#include "math/vertexformats.h"
#include "octree/octreenodeid.h"
#include "render/boxes.h"

#include <array>
#include <cstdint>
#include <vector>

namespace Render {

// One point cloud's loaded nodes as the render thread draws them.
struct Buffer {
    struct Node {
        Octree::OctreeNodeId nodeId;
        // Position in node-id order: the node's texel in octreeTexture.
        std::uint64_t index = 0;
        std::uint64_t level = 0;
        std::uint64_t firstPoint = 0;
        std::uint64_t pointCount = 0;
        std::array<float, 3> min{};
    };

    // One RGBA8 texel per node in node-id order: child mask, first-child offset high and low byte.
    std::vector<std::uint8_t> octreeTexture;
    std::vector<Node> nodes;
    std::vector<VertexPosColorIntensityClassIndexScanIndexDistance> vertices;
    std::vector<BoxWithColor> boxes;
};

} // namespace Render
