#pragma once

#include "math/boundingbox.h"
#include "math/color.h"
#include "octree/entwinelocation.h"
#include "octree/octreenodeid.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Entwine {

struct Dimension {
    std::string name;
    std::string type; // "signed", "unsigned" or "float"
    std::size_t size = 0;
    double scale = 1.0;
    double offset = 0.0;
};

// What the reader needs from "ept.json".
struct Description {
    Math::NBoundingBox<double, 3> cube;
    Math::NBoundingBox<double, 3> conformingBounds;
    std::string dataType;
    std::uint64_t points = 0;
    std::uint64_t span = 0;
    std::vector<Dimension> schema;
    // The coordinate system: the "srs" WKT, else its authority and code ("EPSG:26912"), else empty.
    std::string srs;

    Dimension const* find(std::string_view name) const;
    std::size_t recordSize() const;

    // Throws std::runtime_error naming `fileName` and the field that is missing or malformed.
    static Description parse(std::string_view json, std::string const& fileName);
};

// The "D-X-Y-Z" key of a node.
std::string nodeKey(Octree::OctreeNodeId id);

// One page of the hierarchy: node ids with their point counts; -1 marks a node whose
// entries continue on a page of its own. Throws std::runtime_error naming `fileName`.
std::vector<std::pair<Octree::OctreeNodeId, std::int64_t>> parseHierarchyPage(std::string_view json,
                                                                              std::string const& fileName);

struct Node {
    Octree::OctreeNodeId id;
    std::uint64_t pointCount = 0;
};

// An Entwine Point Tile tree with "laszip" or "binary" node data. Positions come out
// relative to the reference position, the centre of the tree's cube, in the unit scale.
class EntwineTree {
public:
    // Throws std::runtime_error naming the file when the description or a hierarchy page
    // cannot be read.
    explicit EntwineTree(std::shared_ptr<Location const> location);

    Description const& description() const { return mDescription; }
    Math::Point<double, 3> const& referencePosition() const { return mReferencePosition; }
    void setUnitScale(double unitScale) { mUnitScale = unitScale; }

    std::optional<Node> nodeById(Octree::OctreeNodeId id, std::stop_token stopToken = {}) const;
    std::vector<Octree::OctreeNodeId> children(Octree::OctreeNodeId id) const;

    // Fills every vector that is not null with the node's points and returns their count.
    // Throws std::runtime_error naming the node file when it cannot be read or decoded.
    std::size_t getNodePointData(Node const& node, std::vector<Math::Point<double, 3>>* positions,
                                 std::vector<Math::Color>* colors, std::vector<std::uint16_t>* intensities,
                                 std::vector<int>* scanIndices, std::vector<std::uint8_t>* classIndices,
                                 std::vector<Math::Point<double, 3>>* normals, std::stop_token stopToken = {}) const;

    // Starts fetching the node's points where every read costs a round trip (see
    // Location::prefetchFile).
    void prefetchNodePointData(Node const& node) const;

    bool hasColors() const;
    bool hasIntensities() const;
    bool hasScanIndices() const;
    bool hasClassification() const;
    bool hasNormals() const;

private:
    // The node's data file below the root.
    std::string dataFile(Octree::OctreeNodeId id) const;
    void loadHierarchyPage(Octree::OctreeNodeId pageRoot, unsigned pagesLeft);

    std::shared_ptr<Location const> mLocation;
    Description mDescription;
    Math::Point<double, 3> mReferencePosition;
    std::atomic<double> mUnitScale{1.0};
    std::map<Octree::OctreeNodeId, std::uint64_t> mNodes;
};

} // namespace Entwine
