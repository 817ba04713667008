// Parses arbitrary text as an Entwine hierarchy page.
#include "octree/entwinetree.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    try {
        auto const entries = Entwine::parseHierarchyPage(
            std::string_view(reinterpret_cast<char const*>(data), size), "ept-hierarchy/0-0-0-0.json");
        for (auto const& [id, count] : entries) {
            // Every accepted key must name a node that prints back to a key.
            if (Entwine::nodeKey(id).empty() || count < -1)
                __builtin_trap();
        }
    } catch (std::runtime_error const&) {
    }
    return 0;
}
