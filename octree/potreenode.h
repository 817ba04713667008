#pragma once

#include "math/boundingbox.h"
#include "octree/octreenodeid.h"

#include <array>
#include <cstdint>
#include <memory>

namespace PoTree {

enum class NodeType : std::uint8_t { Normal = 0, Leaf = 1, Proxy = 2 };

// One node of a Potree 2.0 hierarchy. A proxy's offset and size address the hierarchy
// chunk that describes it; other nodes' address their point bytes in the octree file.
struct Node {
    Node(Octree::OctreeNodeId nodeId, Math::NBoundingBox<double, 3> const& box) : id(nodeId), boundingBox(box) {}

    Octree::OctreeNodeId id;
    std::uint8_t type = 0;
    std::uint8_t flags = 0;
    std::uint32_t numPoints = 0;
    std::uint64_t byteOffset = 0;
    std::uint64_t byteSize = 0;
    // The bytes of this node and of the siblings stored next to it in the octree file, which a
    // reader where every request costs a round trip fetches together; zero size when unknown.
    std::uint64_t batchOffset = 0;
    std::uint64_t batchSize = 0;
    Math::NBoundingBox<double, 3> boundingBox;
    std::uint8_t childMask = 0;
    std::array<std::shared_ptr<Node>, 8> children;

    bool isProxy() const { return type == static_cast<std::uint8_t>(NodeType::Proxy); }
};

using NodePtr = std::shared_ptr<Node>;

} // namespace PoTree
