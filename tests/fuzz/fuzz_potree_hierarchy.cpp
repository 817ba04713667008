// Builds the nodes of an arbitrary hierarchy chunk and walks them.
#include "octree/potreehierarchy.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    std::string_view const bytes(reinterpret_cast<char const*>(data), size);
    Math::NBoundingBox<double, 3> const box({0, 0, 0}, {1, 1, 1});
    std::vector<PoTree::NodePtr> nodes{PoTree::parseHierarchyChunk(bytes, {}, box)};
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        for (auto const& child : nodes[i]->children) {
            if (child) {
                if (child->id.parent() != nodes[i]->id || !nodes[i]->boundingBox.contains(child->boundingBox.center()))
                    __builtin_trap();
                nodes.push_back(child);
            }
        }
    }
    // Each record adds at most 8 children to the chunk's first node.
    if (nodes.size() > 1 + 8 * (size / PoTree::kHierarchyRecordBytes))
        __builtin_trap();
    return 0;
}
