#include "octree/octree.h"

#include "octree/potreenodedecoder.h"

#include <cmath>
#include <stdexcept>

namespace Octree {
namespace {

Math::NBoundingBox<float, 3> toModel(Math::NBoundingBox<double, 3> const& box, Math::Point<double, 3> const& position,
                                     double unitScale)
{
    return {((box.min() - position) * unitScale).cast<float>(), ((box.max() - position) * unitScale).cast<float>()};
}

// The cube of a node, cut from the root cube by the node's cell.
Math::NBoundingBox<double, 3> cellCube(Math::NBoundingBox<double, 3> const& rootCube, OctreeNodeId id)
{
    auto const cell = id.cell();
    double const cells = std::ldexp(1.0, static_cast<int>(id.level()));
    Math::Point<double, 3> const size = rootCube.size() / cells;
    Math::Point<double, 3> const min =
        rootCube.min() + Math::Point<double, 3>(cell[0] * size.x(), cell[1] * size.y(), cell[2] * size.z());
    return {min, min + size};
}

} // namespace

Octree::Octree(std::shared_ptr<Location> location, double unitScale) : mLocation(std::move(location)), mUnitScale(unitScale)
{
    if (auto potree = std::dynamic_pointer_cast<PoTree::Location>(mLocation)) {
        mPotree = std::make_shared<PoTree::Hierarchy>(potree);
        PoTree::Metadata const& metadata = potree->metadata();
        mCube = metadata.boundingBox;
        mBounds = metadata.pointBounds();
        mRootSpacing = metadata.spacing;
        mPosition = metadata.offset;
    } else if (auto entwine = std::dynamic_pointer_cast<Entwine::Location>(mLocation)) {
        mEntwine = std::make_shared<Entwine::EntwineTree>(entwine);
        mEntwine->setUnitScale(unitScale);
        Entwine::Description const& description = mEntwine->description();
        mPosition = mEntwine->referencePosition();
        mCube = description.cube;
        mBounds = description.conformingBounds;
        mRootSpacing = description.cube.size().x() / static_cast<double>(description.span);
    } else {
        throw std::invalid_argument("Octree: the location is neither a Potree nor an Entwine data set");
    }
}

std::vector<OctreeNodeId> Octree::children(OctreeNodeId id) const
{
    if (mEntwine)
        return mEntwine->children(id);
    std::vector<OctreeNodeId> result;
    PoTree::NodePtr const node = mPotree->findNode(id);
    if (!node)
        return result;
    for (unsigned i = 0; i < 8; ++i) {
        if (node->childMask & (1u << i))
            result.push_back(id.child(i));
    }
    return result;
}

Math::NBoundingBox<float, 3> Octree::boundingBox() const
{
    return toModel(mBounds, mPosition, mUnitScale);
}

Math::NBoundingBox<float, 3> Octree::boundingCube(OctreeNodeId id) const
{
    return toModel(cellCube(mCube, id), mPosition, mUnitScale);
}

float Octree::spacing() const
{
    return static_cast<float>(mRootSpacing * mUnitScale);
}

float Octree::spacing(std::size_t level) const
{
    return static_cast<float>(std::ldexp(mRootSpacing * mUnitScale, -static_cast<int>(level)));
}

std::shared_ptr<Octree> Octree::withUnitScale(double unitScale) const
{
    auto copy = std::make_shared<Octree>(mLocation, unitScale);
    copy->mExternal = externalAttributeHierarchies();
    return copy;
}

void Octree::setUnitScale(double unitScale)
{
    mUnitScale = unitScale;
    if (mEntwine)
        mEntwine->setUnitScale(unitScale);
}

NodeVisibilityType Octree::nodeVisibility(OctreeNodeId id) const
{
    for (auto const& hierarchy : externalAttributeHierarchies()) {
        if (!hierarchy->metadata().isVisibilityOnly())
            continue;
        PoTree::NodePtr const node = hierarchy->findNode(id);
        if (!node)
            continue;
        if (node->flags == 2)
            return NodeVisibilityType::Hidden;
        if (node->flags == 0 && node->numPoints > 0)
            return NodeVisibilityType::PartiallyVisible;
    }
    return NodeVisibilityType::Visible;
}

std::uint64_t Octree::pointCount(OctreeNodeId id) const
{
    if (mEntwine) {
        auto const node = mEntwine->nodeById(id);
        return node ? node->pointCount : 0;
    }
    PoTree::NodePtr const node = mPotree->findNode(id);
    return node ? node->numPoints : 0;
}

void Octree::addExternalAttributeLocation(std::shared_ptr<Location> location)
{
    auto potree = std::dynamic_pointer_cast<PoTree::Location>(location);
    if (!potree)
        throw std::invalid_argument("Octree: external attributes must be a Potree data set");
    std::lock_guard const lock(mExternalMutex);
    mExternal.push_back(std::make_shared<PoTree::Hierarchy>(std::move(potree)));
}

std::vector<std::shared_ptr<PoTree::Hierarchy>> Octree::externalAttributeHierarchies() const
{
    std::lock_guard const lock(mExternalMutex);
    return mExternal;
}

bool Octree::hasNormals() const
{
    return mEntwine ? mEntwine->hasNormals() : mPotree->metadata().hasNormals();
}

bool Octree::hasColors() const
{
    return mEntwine ? mEntwine->hasColors() : mPotree->metadata().hasRgb;
}

bool Octree::hasIntensities() const
{
    return mEntwine ? mEntwine->hasIntensities() : mPotree->metadata().hasIntensity;
}

bool Octree::loadNodePointData(OctreeNodeId id, NodePointData& out, std::stop_token stopToken) const
{
    if (mEntwine) {
        auto const node = mEntwine->nodeById(id, stopToken);
        if (!node)
            return false;
        std::vector<Math::Point<double, 3>> positions;
        std::vector<Math::Color> colors;
        std::vector<std::uint16_t> intensities;
        std::vector<int> scanIndices;
        std::vector<std::uint8_t> classIndices;
        std::vector<Math::Point<double, 3>> normals;
        std::size_t const n = mEntwine->getNodePointData(
            *node, &positions, &colors, &intensities, &scanIndices, &classIndices,
            out.has(PointAttributes::Normal) && hasNormals() ? &normals : nullptr, stopToken);
        if (stopToken.stop_requested())
            return false;
        out.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            out.setPosition(i, positions[i]);
            if (!colors.empty())
                out.setColor(i, colors[i]);
            else
                out.setColor(i, intensities.empty() ? Math::Color::black(255)
                                                    : Math::Color::gray(static_cast<std::uint8_t>(intensities[i] >> 8)));
            if (!intensities.empty())
                out.setIntensity(i, intensities[i]);
            if (!scanIndices.empty())
                out.setScanIndex(i, scanIndices[i]);
            if (!classIndices.empty())
                out.setClassIndex(i, classIndices[i]);
            if (!normals.empty())
                out.setNormal(i, normals[i].cast<float>());
        }
        return true;
    }
    PoTree::NodePtr const node = mPotree->nodeById(id, stopToken);
    if (!node)
        return false;
    PoTree::DecodedPoints points;
    if (!PoTree::readNodePoints(mPotree->location(), *node, points, stopToken))
        return false;
    PoTree::fillNodePointData(points, mPotree->metadata(), mUnitScale, out);
    out.removeHiddenPoints();
    return true;
}

std::vector<OctreeNodeId> allNodeIds(Octree const& octree)
{
    std::vector<OctreeNodeId> nodes{octree.root()};
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        for (OctreeNodeId const child : octree.children(nodes[i]))
            nodes.push_back(child);
    }
    return nodes;
}

} // namespace Octree
