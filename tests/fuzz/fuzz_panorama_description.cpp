// Parses arbitrary text as a tiled panorama's "panorama.json".
#include "graphics/tiledpanoramaloader.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    try {
        Graphics::PanoramaLayout const layout = Graphics::TiledPanoramaLoader::parseDescription(
            std::string(reinterpret_cast<char const*>(data), size), "panorama.json");
        // An accepted description must stay within the bounds the loader promises.
        std::size_t const faces =
            layout.projectionType == Graphics::PanoramaLoader::kProjectionEquirectangular ? 1 : 6;
        if (layout.levels.empty() || layout.levels.size() > Graphics::TiledPanoramaLoader::kMaxLevels ||
            layout.colorLevels > layout.levels.size() || layout.depthLevels > layout.levels.size() ||
            layout.tileRows == 0 || layout.tileColumns == 0 ||
            faces * layout.tileRows * layout.tileColumns > Graphics::TiledPanoramaLoader::kMaxTilesPerLevel)
            __builtin_trap();
        for (Graphics::PanoramaTileSize const& tile : layout.levels) {
            if (tile.width == 0 || tile.height == 0 || tile.width > Graphics::TiledPanoramaLoader::kMaxTileSide ||
                tile.height > Graphics::TiledPanoramaLoader::kMaxTileSide)
                __builtin_trap();
        }
    } catch (std::runtime_error const&) {
    }
    return 0;
}
