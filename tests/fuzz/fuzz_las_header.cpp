// Reads arbitrary bytes as a LAS or LAZ file.
#include "octree/lasreader.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    try {
        Las::readPoints(std::string_view(reinterpret_cast<char const*>(data), size), "points.las");
    } catch (std::runtime_error const&) {
    }
    return 0;
}
