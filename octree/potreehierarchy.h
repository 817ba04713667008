#pragma once

#include "octree/potreelocation.h"
#include "octree/potreenode.h"

#include <mutex>
#include <stop_token>
#include <string_view>
#include <unordered_map>

namespace PoTree {

// Bytes of one hierarchy record: type and flags, child mask, point count, byte offset, byte size.
constexpr std::size_t kHierarchyRecordBytes = 22;

// The box of child `index` of `box`: bit 4 of the index selects the upper half in x,
// bit 2 in y, bit 1 in z.
Math::NBoundingBox<double, 3> childBox(Math::NBoundingBox<double, 3> const& box, unsigned index);

// Builds the nodes one hierarchy chunk describes, breadth first from its first node
// (`id`, `box`), and returns that node. Trailing bytes short of a record are ignored.
NodePtr parseHierarchyChunk(std::string_view bytes, Octree::OctreeNodeId id, Math::NBoundingBox<double, 3> const& box);

// The hierarchy of one data set, read chunk by chunk as nodes are asked for. Each node
// is resolved once, also under concurrent lookups.
class Hierarchy {
public:
    explicit Hierarchy(std::shared_ptr<Location const> location);

    Location const& location() const { return *mLocation; }
    std::shared_ptr<Location const> const& locationPtr() const { return mLocation; }
    Metadata const& metadata() const { return mLocation->metadata(); }

    // The node, or null when the data set has no such node (or a stop was requested).
    // Throws std::runtime_error when a hierarchy chunk cannot be read.
    NodePtr findNode(Octree::OctreeNodeId id, std::stop_token stopToken = {}) const;
    // Throws std::runtime_error "Failed to fetch node by id" (with the cause nested) when the
    // node cannot be found or loaded; null only when a stop was requested.
    NodePtr nodeById(Octree::OctreeNodeId id, std::stop_token stopToken = {}) const;

private:
    NodePtr findNodeLocked(Octree::OctreeNodeId id, std::stop_token const& stopToken) const;
    NodePtr readChunk(Octree::OctreeNodeId id, Math::NBoundingBox<double, 3> const& box, std::uint64_t offset,
                      std::uint64_t size, std::stop_token const& stopToken) const;

    std::shared_ptr<Location const> mLocation;
    mutable std::mutex mMutex;
    mutable std::unordered_map<Octree::OctreeNodeId, NodePtr> mNodes;
};

} // namespace PoTree
