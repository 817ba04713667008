// Decodes arbitrary bytes as a DEFAULT-encoded node and fills both point containers.
#include "fuzzmetadata.h"

#include "octree/potreenodedecoder.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    static PoTree::Metadata const metadata = FuzzSupport::nodeMetadata("DEFAULT");
    std::string_view const bytes(reinterpret_cast<char const*>(data), size);
    auto const count = static_cast<std::uint32_t>(size / metadata.bytesPerPoint);
    std::string_view const whole = bytes.substr(0, count * metadata.bytesPerPoint);
    // Whole records decode; a count off by one either way must be an error, never a read.
    for (std::uint32_t const claimed : {count, count + 1, count > 0 ? count - 1 : 0u}) {
        try {
            std::string_view const node = claimed == count ? whole : bytes;
            PoTree::DecodedPoints const points = PoTree::decodeNodePoints(metadata, node, claimed, "r");
            Render::VertexContainer vertices;
            PoTree::decodeNodeVertices(metadata, node, claimed, "r", 1.0, vertices);
            vertices.complete();
            Octree::NodePointData query;
            PoTree::fillNodePointData(points, metadata, 1.0, query);
            query.removeHiddenPoints();
        } catch (std::runtime_error const&) {
        }
    }
    return 0;
}
