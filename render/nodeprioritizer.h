#pragma once

#include "core/triplebuffer.h"
#include "math/boundingbox.h"
#include "math/vertexcontainer.h"
#include "octree/octreenodeid.h"
#include "render/buffer.h"
#include "render/export.h"
#include "render/nodepriority.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <unordered_set>
#include <vector>

namespace Render {

// The loaded octree nodes of all point clouds of one renderer, held within one point budget. When
// the budget is full a node enters only by pushing out less important nodes of any cloud.
class MORVID_RENDER_API NodePrioritizer {
public:
    // The texel count of the octree texture: at most this many nodes of one cloud are drawn.
    static constexpr std::size_t kMaxNodesPerCloud = 4096;
    // Node levels 0 .. kMaxLevel are tallied; deeper nodes are never drawn.
    static constexpr unsigned kMaxLevel = Octree::OctreeNodeId::kMaxLevel;

    struct NodeKey {
        std::uint64_t cloudId = 0;
        Octree::OctreeNodeId nodeId;
        bool operator==(NodeKey const& other) const = default;
    };

    // Fills the container with the node's points; false when stopped or when nothing could be read.
    using NodeLoader = std::function<bool(VertexContainer& out, std::stop_token stopToken)>;
    // The current priority of a node of the cloud being refreshed.
    using PriorityFunction = std::function<NodePriority(unsigned level, Math::NBoundingBox<float, 3> const& cube)>;

    explicit NodePrioritizer(std::size_t totalMaxPointCount);
    NodePrioritizer(NodePrioritizer const&) = delete;
    NodePrioritizer& operator=(NodePrioritizer const&) = delete;

    std::size_t totalMaxPointCount() const;
    std::size_t totalUsedPointCount() const;
    // Evicts the least important nodes until the loaded points fit the new budget.
    void setTotalMaxPointCount(std::size_t totalMaxPointCount);

    // Loaded points and nodes of one cloud.
    std::size_t usedPointCount(std::uint64_t cloudId) const;
    std::size_t nodeCount(std::uint64_t cloudId) const;
    std::vector<Octree::OctreeNodeId> nodeIds(std::uint64_t cloudId) const;

    void clear();
    void clear(std::uint64_t cloudId);

    // Offers a node. The loader runs only when the node can enter, and never under the lock: with
    // `expectedPointCount` (0 when unknown) a node that will not fit is refused before it is loaded.
    // A node enters where it fits or in place of less important nodes that make room enough, never
    // pushing out nodes as important as itself. Returns whether the loaded set changed and now holds the node; `accepted` tells whether the
    // node is loaded at the end (its children are worth visiting). Once a stop is requested nothing
    // enters. Throws std::runtime_error "Error loading point data" when the loader fails without a
    // stop request.
    bool addNode(NodeKey const& key, Math::NBoundingBox<float, 3> const& cube, NodePriority priority,
                 NodeLoader const& loader, bool& accepted, std::stop_token stopToken,
                 std::size_t expectedPointCount = 0);

    // A node a cloud's loader is about to offer.
    struct Offer {
        Octree::OctreeNodeId nodeId;
        NodePriority priority;
        std::size_t pointCount = 0;
    };
    // Of `offers` (most important first), the nodes that offering them in turn would load now: those
    // not loaded yet that fit into the budget or push out enough less important points, up to the
    // first that the budget refuses.
    std::vector<Octree::OctreeNodeId> nodesToLoad(std::uint64_t cloudId, std::vector<Offer> const& offers) const;

    // Recomputes the priorities of one cloud's nodes for the current view.
    void refreshPriorities(std::uint64_t cloudId, PriorityFunction const& priorityOf, std::stop_token stopToken);

    // Visits one cloud's loaded nodes under the lock. The visitor may set a node's priority and change
    // the values of its points, but not their number.
    using NodeVisitor = std::function<void(Octree::OctreeNodeId nodeId, Math::NBoundingBox<float, 3> const& cube,
                                           NodePriority& priority, VertexContainer& vertices)>;
    void updateNodes(std::uint64_t cloudId, NodeVisitor const& visit);

    // Builds the cloud's Buffer from its most important nodes (at most kMaxNodesPerCloud, always
    // together with their loaded ancestors) and publishes it. With dropDeepestLevel the deepest
    // drawn level is left out.
    void updateBuffers(std::uint64_t cloudId, bool dropDeepestLevel, Core::TripleBuffer<Buffer>& buffers);

private:
    struct NodeKeyHash {
        std::size_t operator()(NodeKey const& key) const;
    };

    struct Entry {
        Math::NBoundingBox<float, 3> cube;
        std::uint64_t cloudId = 0;
        Octree::OctreeNodeId nodeId;
        NodePriority priority = NodePriority::discard();
        VertexContainer vertices;
    };

    // Indices into mNodes of the entries that go into the cloud's Buffer, in node-id order.
    std::vector<std::size_t> selectDrawnNodes(std::uint64_t cloudId, bool dropDeepestLevel) const;
    void updateVertexBuffer(std::vector<std::size_t> const& drawn, Buffer& buffer) const;
    void updateOctreeTextureData(std::vector<std::size_t> const& drawn, Buffer& buffer) const;

    // Caller holds mMutex.
    std::vector<Octree::OctreeNodeId> nodesToLoadLocked(std::uint64_t cloudId, std::vector<Offer> const& offers) const;
    // Caller holds mMutex. False when a stop was requested before the heap was ready.
    bool ensureHeap(std::stop_token const& stopToken);
    // Caller holds mMutex and a valid heap.
    Entry popLeastImportant();

    std::vector<Entry> mNodes;
    bool mHeapValid = false;
    std::unordered_set<NodeKey, NodeKeyHash> mLoadedKeys;
    mutable std::mutex mMutex;
    std::size_t mTotalUsedPointCount = 0;
    std::size_t mTotalMaxPointCount;
};

} // namespace Render
