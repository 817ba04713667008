// Decompresses arbitrary bytes as a BROTLI-encoded node and decodes the result.
#include "fuzzmetadata.h"

#include "core/brotlidecode.h"
#include "octree/potreenodedecoder.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    static PoTree::Metadata const metadata = FuzzSupport::nodeMetadata("BROTLI");
    try {
        std::string const decoded = Core::brotliDecode(std::string_view(reinterpret_cast<char const*>(data), size));
        std::size_t const bytesPerPoint = metadata.brotliBytesPerPoint();
        auto const count = static_cast<std::uint32_t>(decoded.size() / bytesPerPoint);
        std::string_view const node = std::string_view(decoded).substr(0, count * bytesPerPoint);
        PoTree::decodeNodePoints(metadata, node, count, "r");
        Render::VertexContainer vertices;
        PoTree::decodeNodeVertices(metadata, node, count, "r", 1.0, vertices);
        vertices.complete();
    } catch (std::runtime_error const&) {
    }
    return 0;
}
