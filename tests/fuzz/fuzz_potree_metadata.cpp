// Parses arbitrary text as a Potree "metadata.json".
#include "octree/potreemetadata.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    try {
        PoTree::Metadata const metadata =
            PoTree::Metadata::parse(std::string_view(reinterpret_cast<char const*>(data), size), "metadata.json");
        // What the decoder derives from a parsed file must hold for any accepted input.
        if (metadata.bytesPerPoint == 0 || metadata.brotliBytesPerPoint() < metadata.bytesPerPoint)
            __builtin_trap();
    } catch (std::runtime_error const&) {
    }
    return 0;
}
