#include "render/nodeprioritizer.h"

#include "core/hashing.h"
#include "math/colorscales.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <unordered_map>

namespace Render {

namespace {

// Node boxes are colored by priority: this range of priorities spans the color map.
constexpr double kBoxPriorityOffset = 0.0;
constexpr double kBoxPriorityExtent = 1000.0;
// Boxes below the root are drawn slightly smaller so that nested bounds stay apart.
constexpr float kBoxShrinkFactor = 0.95f;
constexpr std::size_t kTexelBytes = 4;

// Heap order: the front is the least important entry.
template <class Entry>
bool moreImportant(Entry const& a, Entry const& b)
{
    return a.priority > b.priority;
}

// A strict order for sorting (the tolerant NodePriority comparison is not transitive).
template <class Entry>
bool strictlyMoreImportant(Entry const& a, Entry const& b)
{
    if (a.priority.priority() != b.priority.priority())
        return a.priority.priority() > b.priority.priority();
    return a.priority.distanceToEye() < b.priority.distanceToEye();
}

Math::Color boxColor(NodePriority const& priority)
{
    double const t = Math::Boundary::ClampToBorder::apply((priority.priority() - kBoxPriorityOffset) /
                                                          kBoxPriorityExtent);
    return Math::Spectrum::Inferno::color(1.0 - t);
}

} // namespace

std::size_t NodePrioritizer::NodeKeyHash::operator()(NodeKey const& key) const
{
    std::size_t seed = 0;
    Core::hashCombine(seed, std::hash<std::uint64_t>{}(key.cloudId));
    Core::hashCombine(seed, std::hash<Octree::OctreeNodeId>{}(key.nodeId));
    return seed;
}

NodePrioritizer::NodePrioritizer(std::size_t totalMaxPointCount) : mTotalMaxPointCount(totalMaxPointCount) {}

std::size_t NodePrioritizer::totalMaxPointCount() const
{
    std::lock_guard lock(mMutex);
    return mTotalMaxPointCount;
}

std::size_t NodePrioritizer::totalUsedPointCount() const
{
    std::lock_guard lock(mMutex);
    return mTotalUsedPointCount;
}

std::size_t NodePrioritizer::usedPointCount(std::uint64_t cloudId) const
{
    std::lock_guard lock(mMutex);
    std::size_t points = 0;
    for (Entry const& entry : mNodes)
        points += entry.cloudId == cloudId ? entry.vertices.size() : 0;
    return points;
}

std::size_t NodePrioritizer::nodeCount(std::uint64_t cloudId) const
{
    std::lock_guard lock(mMutex);
    return static_cast<std::size_t>(
        std::count_if(mNodes.begin(), mNodes.end(), [&](Entry const& entry) { return entry.cloudId == cloudId; }));
}

std::vector<Octree::OctreeNodeId> NodePrioritizer::nodeIds(std::uint64_t cloudId) const
{
    std::lock_guard lock(mMutex);
    std::vector<Octree::OctreeNodeId> ids;
    for (Entry const& entry : mNodes) {
        if (entry.cloudId == cloudId)
            ids.push_back(entry.nodeId);
    }
    return ids;
}

void NodePrioritizer::setTotalMaxPointCount(std::size_t totalMaxPointCount)
{
    std::lock_guard lock(mMutex);
    mTotalMaxPointCount = totalMaxPointCount;
    if (mTotalUsedPointCount <= mTotalMaxPointCount)
        return;
    ensureHeap({});
    while (mTotalUsedPointCount > mTotalMaxPointCount)
        popLeastImportant();
}

void NodePrioritizer::clear()
{
    std::lock_guard lock(mMutex);
    mHeapValid = false;
    mTotalUsedPointCount = 0;
    mNodes.clear();
    mLoadedKeys.clear();
}

void NodePrioritizer::clear(std::uint64_t cloudId)
{
    std::lock_guard lock(mMutex);
    mHeapValid = false;
    std::erase_if(mNodes, [&](Entry const& entry) {
        if (entry.cloudId != cloudId)
            return false;
        mLoadedKeys.erase(NodeKey{entry.cloudId, entry.nodeId});
        mTotalUsedPointCount -= entry.vertices.size();
        return true;
    });
}

bool NodePrioritizer::ensureHeap(std::stop_token const& stopToken)
{
    if (!mHeapValid) {
        std::make_heap(mNodes.begin(), mNodes.end(), moreImportant<Entry>);
        mHeapValid = true;
    }
    return !stopToken.stop_requested();
}

NodePrioritizer::Entry NodePrioritizer::popLeastImportant()
{
    std::pop_heap(mNodes.begin(), mNodes.end(), moreImportant<Entry>);
    Entry popped = std::move(mNodes.back());
    mNodes.pop_back();
    mTotalUsedPointCount -= popped.vertices.size();
    mLoadedKeys.erase(NodeKey{popped.cloudId, popped.nodeId});
    return popped;
}

bool NodePrioritizer::addNode(NodeKey const& key, Math::NBoundingBox<float, 3> const& cube, NodePriority priority,
                              NodeLoader const& loader, bool& accepted, std::stop_token stopToken,
                              std::size_t expectedPointCount)
{
    accepted = false;
    // A full budget admits a node only in place of a less important one. With nothing loaded
    // (a budget of 0) there is nothing to replace.
    auto const admits = [&] {
        if (!ensureHeap(stopToken) || mNodes.empty())
            return false;
        return priority > mNodes.front().priority;
    };
    {
        std::lock_guard lock(mMutex);
        if (mLoadedKeys.contains(key)) {
            accepted = true;
            return false;
        }
        // A node of unknown size is refused only by a full budget.
        bool const refused = expectedPointCount == 0
                                 ? mTotalUsedPointCount >= mTotalMaxPointCount && !admits()
                                 : nodesToLoadLocked(key.cloudId, {{key.nodeId, priority, expectedPointCount}}).empty();
        if (refused)
            return false;
    }

    VertexContainer vertices;
    if (!loader(vertices, stopToken)) {
        if (stopToken.stop_requested())
            return false;
        throw std::runtime_error("Error loading point data");
    }
    std::size_t const pointCount = vertices.size();
    if (pointCount == 0)
        return false;

    std::lock_guard lock(mMutex);
    // Checked under the lock: a caller that requests the stop and then clears the cloud's nodes
    // never finds a node loaded for the state it left behind.
    if (stopToken.stop_requested())
        return false;
    if (mLoadedKeys.contains(key)) {
        accepted = true;
        return false;
    }
    // Checked again with the points loaded, against what the other clouds loaded meanwhile: a node
    // enters where it fits or in place of less important nodes that make room enough, so that it
    // never pushes out nodes as important as itself, nor others only to be pushed out itself.
    if (nodesToLoadLocked(key.cloudId, {{key.nodeId, priority, pointCount}}).empty())
        return false;
    bool const fits = mTotalUsedPointCount + pointCount <= mTotalMaxPointCount;
    if (!fits && !ensureHeap(stopToken))
        return false;
    mNodes.push_back(Entry{cube, key.cloudId, key.nodeId, priority, std::move(vertices)});
    mLoadedKeys.insert(key);
    mTotalUsedPointCount += pointCount;
    accepted = true;
    if (fits) {
        mHeapValid = false;
        return true;
    }
    std::push_heap(mNodes.begin(), mNodes.end(), moreImportant<Entry>);
    while (mTotalUsedPointCount > mTotalMaxPointCount) {
        Entry const popped = popLeastImportant();
        if (popped.cloudId == key.cloudId && popped.nodeId == key.nodeId)
            accepted = false;
    }
    return accepted;
}

std::vector<Octree::OctreeNodeId> NodePrioritizer::nodesToLoad(std::uint64_t cloudId,
                                                               std::vector<Offer> const& offers) const
{
    std::lock_guard lock(mMutex);
    return nodesToLoadLocked(cloudId, offers);
}

std::vector<Octree::OctreeNodeId> NodePrioritizer::nodesToLoadLocked(std::uint64_t cloudId,
                                                                     std::vector<Offer> const& offers) const
{
    std::vector<Octree::OctreeNodeId> toLoad;
    std::size_t used = mTotalUsedPointCount;
    // Points pushed out so far, always the least important ones first.
    std::size_t pushedOut = 0;
    // The least important of the nodes planned to enter so far.
    std::optional<NodePriority> leastPlanned;
    for (Offer const& offer : offers) {
        if (mLoadedKeys.contains(NodeKey{cloudId, offer.nodeId}))
            continue;
        std::size_t const free = mTotalMaxPointCount > used ? mTotalMaxPointCount - used : 0;
        if (offer.pointCount > free) {
            // Only in place of less important loaded nodes that make room enough, and not after a
            // planned node more important than itself took the last room.
            if (leastPlanned && !(offer.priority > *leastPlanned))
                break;
            std::size_t lessImportant = 0;
            for (Entry const& entry : mNodes)
                lessImportant += entry.priority < offer.priority ? entry.vertices.size() : 0;
            std::size_t const needed = offer.pointCount - free;
            if (lessImportant < pushedOut + needed)
                break;
            pushedOut += needed;
            used -= needed;
        }
        used += offer.pointCount;
        if (!leastPlanned || offer.priority < *leastPlanned)
            leastPlanned = offer.priority;
        toLoad.push_back(offer.nodeId);
    }
    return toLoad;
}

void NodePrioritizer::refreshPriorities(std::uint64_t cloudId, PriorityFunction const& priorityOf,
                                        std::stop_token stopToken)
{
    std::lock_guard lock(mMutex);
    mHeapValid = false;
    for (Entry& entry : mNodes) {
        if (entry.cloudId != cloudId)
            continue;
        if (stopToken.stop_requested())
            return;
        entry.priority = priorityOf(entry.nodeId.level(), entry.cube);
    }
}

void NodePrioritizer::updateNodes(std::uint64_t cloudId, NodeVisitor const& visit)
{
    std::lock_guard lock(mMutex);
    mHeapValid = false;
    for (Entry& entry : mNodes) {
        if (entry.cloudId == cloudId)
            visit(entry.nodeId, entry.cube, entry.priority, entry.vertices);
    }
}

std::vector<std::size_t> NodePrioritizer::selectDrawnNodes(std::uint64_t cloudId, bool dropDeepestLevel) const
{
    NodePriority const discard = NodePriority::discard();
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < mNodes.size(); ++i) {
        Entry const& entry = mNodes[i];
        if (entry.cloudId == cloudId && entry.priority != discard && entry.nodeId.level() <= kMaxLevel)
            candidates.push_back(i);
    }

    // Too many nodes: keep the most important ones, each only together with its loaded ancestors,
    // so that the coarse levels that cover the whole cloud are never the ones left out.
    if (candidates.size() > kMaxNodesPerCloud) {
        std::unordered_map<Octree::OctreeNodeId, std::size_t> indexOf;
        for (std::size_t i : candidates)
            indexOf.emplace(mNodes[i].nodeId, i);
        std::sort(candidates.begin(), candidates.end(),
                  [&](std::size_t a, std::size_t b) { return strictlyMoreImportant(mNodes[a], mNodes[b]); });
        std::unordered_set<Octree::OctreeNodeId> chosen;
        std::vector<std::size_t> selected;
        std::vector<std::size_t> chain;
        for (std::size_t candidate : candidates) {
            if (selected.size() == kMaxNodesPerCloud)
                break;
            chain.clear();
            for (Octree::OctreeNodeId id = mNodes[candidate].nodeId; !chosen.contains(id); id = id.parent()) {
                if (auto const found = indexOf.find(id); found != indexOf.end())
                    chain.push_back(found->second);
                if (id.isRoot())
                    break;
            }
            if (selected.size() + chain.size() > kMaxNodesPerCloud)
                continue;
            for (std::size_t index : chain) {
                chosen.insert(mNodes[index].nodeId);
                selected.push_back(index);
            }
        }
        candidates = std::move(selected);
    }

    // Only levels that all shallower levels lead up to are drawn.
    std::array<std::size_t, kMaxLevel + 1> pointsPerLevel{};
    for (std::size_t i : candidates)
        pointsPerLevel[mNodes[i].nodeId.level()] += mNodes[i].vertices.size();
    std::size_t leadingLevels = 0;
    while (leadingLevels < pointsPerLevel.size() && pointsPerLevel[leadingLevels] != 0)
        ++leadingLevels;
    std::size_t const levelLimit = dropDeepestLevel ? std::max<std::size_t>(leadingLevels, 1) - 1 : leadingLevels;
    std::erase_if(candidates, [&](std::size_t i) { return mNodes[i].nodeId.level() >= levelLimit; });

    std::sort(candidates.begin(), candidates.end(),
              [&](std::size_t a, std::size_t b) { return mNodes[a].nodeId < mNodes[b].nodeId; });
    return candidates;
}

void NodePrioritizer::updateVertexBuffer(std::vector<std::size_t> const& drawn, Buffer& buffer) const
{
    std::size_t pointCount = 0;
    for (std::size_t i : drawn)
        pointCount += mNodes[i].vertices.size();
    buffer.nodes.resize(drawn.size());
    buffer.boxes.resize(drawn.size());
    buffer.vertices.resize(pointCount);

    std::size_t firstPoint = 0;
    for (std::size_t index = 0; index < drawn.size(); ++index) {
        Entry const& entry = mNodes[drawn[index]];
        std::size_t const count = entry.vertices.size();
        Math::Point<float, 3> const& min = entry.cube.min();
        buffer.nodes[index] = Buffer::Node{entry.nodeId, index, entry.nodeId.level(), firstPoint, count,
                                           {min.x(), min.y(), min.z()}};
        if (count > 0)
            std::memcpy(buffer.vertices.data() + firstPoint, entry.vertices.data(), count * sizeof(VertexContainer::Vertex));
        firstPoint += count;

        Math::Point<float, 3> lower = entry.cube.min();
        Math::Point<float, 3> upper = entry.cube.max();
        if (!entry.nodeId.isRoot()) {
            Math::Point<float, 3> const center = entry.cube.center();
            lower = center + (lower - center) * kBoxShrinkFactor;
            upper = center + (upper - center) * kBoxShrinkFactor;
        }
        buffer.boxes[index] =
            BoxWithColor{{lower.x(), lower.y(), lower.z()}, {upper.x(), upper.y(), upper.z()}, boxColor(entry.priority)};
    }
}

void NodePrioritizer::updateOctreeTextureData(std::vector<std::size_t> const& drawn, Buffer& buffer) const
{
    std::unordered_map<Octree::OctreeNodeId, std::size_t> sortedIndex;
    for (std::size_t index = 0; index < drawn.size(); ++index)
        sortedIndex.emplace(mNodes[drawn[index]].nodeId, index);

    buffer.octreeTexture.assign(kTexelBytes * drawn.size(), 0);
    std::vector<std::size_t> firstChildOffset(drawn.size(), std::numeric_limits<std::size_t>::max());
    for (std::size_t index = 1; index < drawn.size(); ++index) {
        Octree::OctreeNodeId const id = mNodes[drawn[index]].nodeId;
        auto const parent = sortedIndex.find(id.parent());
        if (id.isRoot() || parent == sortedIndex.end())
            continue;
        std::size_t const p = parent->second;
        std::uint8_t* texel = &buffer.octreeTexture[kTexelBytes * p];
        texel[0] = static_cast<std::uint8_t>(texel[0] | (1u << id.childIndex()));
        firstChildOffset[p] = std::min(firstChildOffset[p], index - p);
        texel[1] = static_cast<std::uint8_t>((firstChildOffset[p] >> 8) & 0xff);
        texel[2] = static_cast<std::uint8_t>(firstChildOffset[p] & 0xff);
    }
}

void NodePrioritizer::updateBuffers(std::uint64_t cloudId, bool dropDeepestLevel, Core::TripleBuffer<Buffer>& buffers)
{
    std::lock_guard lock(mMutex);
    std::vector<std::size_t> const drawn = selectDrawnNodes(cloudId, dropDeepestLevel);
    Buffer& buffer = buffers.writeBuffer();
    updateOctreeTextureData(drawn, buffer);
    updateVertexBuffer(drawn, buffer);
    buffers.publish();
}

} // namespace Render
