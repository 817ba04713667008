#include "octree/nodevertexloader.h"

#include "octree/potreenodedecoder.h"

#include <exception>

namespace Octree {
namespace {

// Flags of a node in a visibility-only attribute source, which stores no bytes for it.
constexpr std::uint8_t kAllPointsShown = 1;
constexpr std::uint8_t kAllPointsHidden = 2;

bool decodeInto(PoTree::Location const& location, PoTree::Node const& node, double unitScale,
                Render::VertexContainer& out, std::stop_token const& stopToken)
{
    PoTree::Metadata const& metadata = location.metadata();
    if (metadata.isVisibilityOnly() && (node.flags == kAllPointsShown || node.flags == kAllPointsHidden)) {
        std::uint8_t const value = node.flags == kAllPointsHidden ? 1 : 0;
        for (std::size_t i = 0; i < out.size(); ++i)
            out.setVisibility(i, value);
        return true;
    }
    return PoTree::readNodeVertices(location, node, unitScale, out, stopToken);
}

bool loadPotreeNode(Octree const& octree, PoTree::Node const& node, Render::VertexContainer& out,
                    std::stop_token const& stopToken)
{
    out.resize(0);
    double const unitScale = octree.unitScale();
    if (!decodeInto(octree.potreeTree()->location(), node, unitScale, out, stopToken))
        return false;
    for (auto const& external : octree.externalAttributeHierarchies()) {
        PoTree::NodePtr const externalNode = external->findNode(node.id, stopToken);
        if (stopToken.stop_requested())
            return false;
        if (externalNode && !decodeInto(external->location(), *externalNode, unitScale, out, stopToken))
            return false;
    }
    out.complete();
    return true;
}

bool loadEntwineNode(Entwine::EntwineTree const& tree, OctreeNodeId id, Render::VertexContainer& out,
                     std::stop_token const& stopToken)
{
    auto const node = tree.nodeById(id, stopToken);
    if (!node)
        return false;
    std::vector<Math::Point<double, 3>> positions;
    std::vector<Math::Color> colors;
    std::vector<std::uint16_t> intensities;
    std::vector<int> scanIndices;
    std::vector<std::uint8_t> classIndices;
    std::size_t const n = tree.getNodePointData(*node, &positions, tree.hasColors() ? &colors : nullptr,
                                                tree.hasIntensities() ? &intensities : nullptr,
                                                tree.hasScanIndices() ? &scanIndices : nullptr,
                                                tree.hasClassification() ? &classIndices : nullptr, nullptr, stopToken);
    if (stopToken.stop_requested())
        return false;
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        out.setPosition(i, positions[i].x(), positions[i].y(), positions[i].z());
        Math::Color const color = !colors.empty()      ? colors[i]
                                  : !intensities.empty() ? Math::Color::gray(static_cast<std::uint8_t>(intensities[i] >> 8), 255)
                                                         : Math::Color::black(255);
        out.setColor(i, color.r(), color.g(), color.b(), color.a());
        out.setIntensity(i, intensities.empty() ? 0 : intensities[i]);
        out.setClassIndex(i, classIndices.empty() ? 0 : classIndices[i]);
        out.setScanIndex(i, scanIndices.empty() ? 0 : static_cast<std::uint16_t>(scanIndices[i]));
    }
    return true;
}

} // namespace

bool loadNodeVertices(Octree const& octree, OctreeNodeId id, Render::VertexContainer& out, std::stop_token stopToken,
                      std::string* error)
{
    if (octree.entwineTree()) {
        try {
            return loadEntwineNode(*octree.entwineTree(), id, out, stopToken);
        } catch (std::exception const& failure) {
            if (error)
                *error = failure.what();
            return false;
        }
    }
    // The hierarchy lookup's failure goes to the caller; decoding failures do not.
    PoTree::NodePtr const node = octree.potreeTree()->nodeById(id, stopToken);
    if (!node)
        return false;
    try {
        return loadPotreeNode(octree, *node, out, stopToken);
    } catch (std::exception const& failure) {
        if (error)
            *error = failure.what();
        return false;
    }
}

void prefetchNodeVertices(Octree const& octree, OctreeNodeId id)
{
    if (Entwine::EntwineTree const* const tree = octree.entwineTree()) {
        if (auto const node = tree->nodeById(id))
            tree->prefetchNodePointData(*node);
        return;
    }
    PoTree::Hierarchy const* const hierarchy = octree.potreeTree();
    try {
        if (PoTree::NodePtr const node = hierarchy->findNode(id))
            hierarchy->location().prefetchNodeBytes(*node);
    } catch (std::exception const&) {
    }
}

} // namespace Octree
