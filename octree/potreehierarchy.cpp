#include "octree/potreehierarchy.h"

#include "octree/littleendian.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <exception>
#include <stdexcept>
#include <vector>

namespace PoTree {
namespace {

using Octree::readLittleEndian;

constexpr std::uint8_t kLowNibble = 0x0f;
// Largest batch of sibling nodes' bytes (see Node::batchOffset).
constexpr std::uint64_t kMaxBatchBytes = std::uint64_t{4} << 20;

// Gives the children of `parent` that lie back to back in the octree file their common batch,
// in runs of at most kMaxBatchBytes. Proxies address the hierarchy file and stay out.
void assignSiblingBatches(Node const& parent)
{
    std::vector<Node*> siblings;
    for (NodePtr const& child : parent.children) {
        if (child && !child->isProxy() && child->byteSize > 0)
            siblings.push_back(child.get());
    }
    std::ranges::sort(siblings, {}, &Node::byteOffset);
    for (std::size_t first = 0; first < siblings.size();) {
        std::size_t end = first + 1;
        std::uint64_t size = siblings[first]->byteSize;
        while (end < siblings.size() && siblings[end]->byteOffset == siblings[first]->byteOffset + size &&
               size + siblings[end]->byteSize <= kMaxBatchBytes)
            size += siblings[end++]->byteSize;
        for (std::size_t k = first; k < end; ++k) {
            siblings[k]->batchOffset = siblings[first]->byteOffset;
            siblings[k]->batchSize = size;
        }
        first = end;
    }
}

} // namespace

Math::NBoundingBox<double, 3> childBox(Math::NBoundingBox<double, 3> const& box, unsigned index)
{
    Math::Point<double, 3> const center = box.center();
    Math::Point<double, 3> min = box.min();
    Math::Point<double, 3> max = box.max();
    unsigned const axisBits[3] = {4, 2, 1};
    for (int axis = 0; axis < 3; ++axis) {
        if (index & axisBits[axis])
            min[axis] = center[axis];
        else
            max[axis] = center[axis];
    }
    return {min, max};
}

NodePtr parseHierarchyChunk(std::string_view bytes, Octree::OctreeNodeId id, Math::NBoundingBox<double, 3> const& box)
{
    auto first = std::make_shared<Node>(id, box);
    std::deque<NodePtr> work{first};
    std::vector<NodePtr> parents;
    std::size_t const records = bytes.size() / kHierarchyRecordBytes;
    for (std::size_t k = 0; k < records && !work.empty(); ++k) {
        NodePtr const node = work.front();
        work.pop_front();
        std::size_t const at = k * kHierarchyRecordBytes;
        auto const typeByte = static_cast<std::uint8_t>(bytes[at]);
        node->type = typeByte & kLowNibble;
        node->flags = typeByte >> 4;
        node->numPoints = readLittleEndian<std::uint32_t>(bytes, at + 2);
        node->byteOffset = readLittleEndian<std::uint64_t>(bytes, at + 6);
        node->byteSize = readLittleEndian<std::uint64_t>(bytes, at + 14);
        if (node->isProxy() || node->id.level() >= Octree::OctreeNodeId::kMaxLevel)
            continue;
        node->childMask = static_cast<std::uint8_t>(bytes[at + 1]);
        if (node->childMask)
            parents.push_back(node);
        for (unsigned i = 0; i < 8; ++i) {
            if (node->childMask & (1u << i)) {
                auto child = std::make_shared<Node>(node->id.child(i), childBox(node->boundingBox, i));
                node->children[i] = child;
                work.push_back(std::move(child));
            }
        }
    }
    // Only now are the children's offsets known.
    for (NodePtr const& parent : parents)
        assignSiblingBatches(*parent);
    return first;
}

Hierarchy::Hierarchy(std::shared_ptr<Location const> location) : mLocation(std::move(location)) {}

NodePtr Hierarchy::findNode(Octree::OctreeNodeId id, std::stop_token stopToken) const
{
    std::lock_guard const lock(mMutex);
    return findNodeLocked(id, stopToken);
}

NodePtr Hierarchy::nodeById(Octree::OctreeNodeId id, std::stop_token stopToken) const
{
    NodePtr node;
    try {
        node = findNode(id, stopToken);
    } catch (std::exception const&) {
        std::throw_with_nested(std::runtime_error("Failed to fetch node by id"));
    }
    if (!node && !stopToken.stop_requested())
        throw std::runtime_error("Failed to fetch node by id");
    return node;
}

NodePtr Hierarchy::findNodeLocked(Octree::OctreeNodeId id, std::stop_token const& stopToken) const
{
    if (auto const it = mNodes.find(id); it != mNodes.end())
        return it->second;

    NodePtr node;
    if (id.isRoot()) {
        node = readChunk(id, metadata().boundingBox, 0, metadata().firstChunkSize, stopToken);
    } else {
        NodePtr const parent = findNodeLocked(id.parent(), stopToken);
        if (!parent)
            return nullptr;
        node = parent->children[id.childIndex()];
        if (node && node->isProxy()) {
            node = readChunk(id, node->boundingBox, node->byteOffset, node->byteSize, stopToken);
            if (node)
                parent->children[id.childIndex()] = node;
        }
    }
    if (node)
        mNodes.emplace(id, node);
    return node;
}

NodePtr Hierarchy::readChunk(Octree::OctreeNodeId id, Math::NBoundingBox<double, 3> const& box, std::uint64_t offset,
                             std::uint64_t size, std::stop_token const& stopToken) const
{
    std::string bytes;
    if (!mLocation->fetchHierarchyChunk(offset, size, bytes, stopToken))
        return nullptr;
    NodePtr node = parseHierarchyChunk(bytes, id, box);
    // A chunk whose first record is itself a proxy would send the lookup round in circles.
    if (node->isProxy())
        throw std::runtime_error(mLocation->displayName() + ": hierarchy chunk at offset " + std::to_string(offset) +
                                 " of node " + id.name() + " describes its first node as a proxy again");
    return node;
}

} // namespace PoTree
