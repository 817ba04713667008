#pragma once

#include "math/boundingbox.h"
#include "octree/entwinetree.h"
#include "octree/location.h"
#include "octree/nodepointdata.h"
#include "octree/octreenodeid.h"
#include "octree/potreehierarchy.h"

#include <atomic>
#include <memory>
#include <stop_token>
#include <vector>

namespace Octree {

// How much of a node the traversal may show: value 2 means none of its points.
enum class NodeVisibilityType : std::uint8_t { Visible = 0, PartiallyVisible = 1, Hidden = 2 };

// A Potree 2.0 or Entwine octree. Node boxes, spacings and positions are in the model
// frame: relative to position(), times the unit scale.
class Octree {
public:
    // Throws std::invalid_argument for a location of an unknown kind and std::runtime_error
    // naming the file when the data set's description cannot be read.
    Octree(std::shared_ptr<Location> location, double unitScale);

    std::shared_ptr<Location> const& location() const { return mLocation; }

    OctreeNodeId root() const { return {}; }
    std::vector<OctreeNodeId> children(OctreeNodeId id) const;
    bool isLeaf(OctreeNodeId id) const { return children(id).empty(); }
    unsigned level(OctreeNodeId id) const { return id.level(); }

    Math::NBoundingBox<float, 3> boundingBox() const;
    Math::NBoundingBox<float, 3> boundingCube(OctreeNodeId id) const;

    float spacing() const;
    float spacing(std::size_t level) const;
    float spacing(OctreeNodeId id) const { return spacing(static_cast<std::size_t>(id.level())); }

    Math::Point<double, 3> const& position() const { return mPosition; }
    double unitScale() const { return mUnitScale; }
    void setUnitScale(double unitScale);
    // A new octree of the same data set and external attribute sources at `unitScale`; this one, and
    // whoever shares it, keeps decoding at its own scale.
    std::shared_ptr<Octree> withUnitScale(double unitScale) const;

    NodeVisibilityType nodeVisibility(OctreeNodeId id) const;
    // The points the hierarchy gives the node; 0 for a node the data set does not have. Throws
    // std::runtime_error naming the file when the hierarchy cannot be read.
    std::uint64_t pointCount(OctreeNodeId id) const;

    // Attaches a Potree data set whose per-point attributes extend the same nodes.
    void addExternalAttributeLocation(std::shared_ptr<Location> location);
    std::vector<std::shared_ptr<PoTree::Hierarchy>> externalAttributeHierarchies() const;

    bool hasNormals() const;
    // Whether the points carry colors and intensities of their own.
    bool hasColors() const;
    bool hasIntensities() const;

    // Exactly one of these is set.
    PoTree::Hierarchy const* potreeTree() const { return mPotree.get(); }
    Entwine::EntwineTree const* entwineTree() const { return mEntwine.get(); }

    // Reads a node's points into `out` (its attribute mask decides what is filled). False when
    // stopped; throws std::runtime_error naming the file when the node cannot be read.
    bool loadNodePointData(OctreeNodeId id, NodePointData& out, std::stop_token stopToken = {}) const;

private:
    std::shared_ptr<Location> mLocation;
    std::shared_ptr<PoTree::Hierarchy> mPotree;
    std::shared_ptr<Entwine::EntwineTree> mEntwine;
    Math::NBoundingBox<double, 3> mCube;
    Math::NBoundingBox<double, 3> mBounds;
    double mRootSpacing = 0.0;
    Math::Point<double, 3> mPosition = Math::Point<double, 3>::Zero();
    std::atomic<double> mUnitScale{1.0};
    mutable std::mutex mExternalMutex;
    std::vector<std::shared_ptr<PoTree::Hierarchy>> mExternal;
};

// Every node id of the tree, breadth first from the root.
std::vector<OctreeNodeId> allNodeIds(Octree const& octree);

} // namespace Octree
