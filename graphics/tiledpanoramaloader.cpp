#include "graphics/tiledpanoramaloader.h"

#include "core/filereading.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
// Tiles are at most this wide; larger images are refused before any pixel memory is taken.
#define STBI_MAX_DIMENSIONS 16384
#include <stb/stb_image.h>
// The decoder's failure text is kept per thread, so that tiles decoded at the same time on other
// threads cannot report each other's errors.
#ifndef STBI_THREAD_LOCAL
#error "stb_image must keep its failure reason per thread"
#endif

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

namespace Graphics {
namespace {

static_assert(std::endian::native == std::endian::little, "depth tiles are read as little-endian floats in place");

constexpr char const* kEquirectangularName = "equirectangular";
constexpr char const* kCubeName = "cube";
constexpr int kRgbaChannels = 4;

struct StbiImageDeleter {
    void operator()(void* pixels) const { stbi_image_free(pixels); }
};

std::runtime_error descriptionError(std::filesystem::path const& path, std::string const& problem)
{
    return std::runtime_error(fmt::format("invalid panorama description \"{}\": {}", path.generic_string(), problem));
}

std::size_t boundedCount(nlohmann::json const& description, char const* key, std::size_t minimum,
                         std::size_t maximum, std::filesystem::path const& path)
{
    auto const found = description.find(key);
    if (found == description.end() || !found->is_number_unsigned())
        throw descriptionError(path, fmt::format("\"{}\" must be a whole number", key));
    auto const value = found->get<std::uint64_t>();
    if (value < minimum || value > maximum)
        throw descriptionError(path, fmt::format("\"{}\" is {}, expected {} to {}", key, value, minimum, maximum));
    return static_cast<std::size_t>(value);
}

std::string fileBytes(std::filesystem::path const& path)
{
    if (!std::filesystem::is_regular_file(path))
        throw std::runtime_error(fmt::format("panorama file \"{}\" is missing", path.generic_string()));
    return Core::readLocalFile(path);
}

stbi_uc const* asStbiBytes(std::string const& bytes)
{
    return reinterpret_cast<stbi_uc const*>(bytes.data());
}

int stbiLength(std::string const& bytes, std::filesystem::path const& path)
{
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw std::runtime_error(fmt::format("image \"{}\" is too large", path.generic_string()));
    return static_cast<int>(bytes.size());
}

std::runtime_error decodeError(std::filesystem::path const& path)
{
    return std::runtime_error(fmt::format("cannot decode the PNG image \"{}\": {}", path.generic_string(), stbi_failure_reason()));
}

// A smaller tile is drawn at the top left of its slot; a larger one cannot be drawn.
void checkTileFits(std::size_t width, std::size_t height, PanoramaTileSize const& expected,
                   std::filesystem::path const& path)
{
    if (width > expected.width || height > expected.height)
        throw std::runtime_error(fmt::format("panorama tile \"{}\" is {} x {} pixels, more than {} x {}: Color tile "
                                             "does not fit into texture.",
                                             path.generic_string(), width, height, expected.width, expected.height));
}

DepthImage rawDepth(std::string const& bytes, std::size_t width, std::size_t height, std::filesystem::path const& path)
{
    std::size_t const expected = width * height * sizeof(float);
    if (bytes.size() != expected)
        throw std::runtime_error(fmt::format("depth file \"{}\" holds {} bytes, expected {} for {} x {} float32 values",
                                             path.generic_string(), bytes.size(), expected, width, height));
    DepthImage image(width, height);
    std::memcpy(image.data(), bytes.data(), expected);
    return image;
}

ColorImage decodePng(std::string const& bytes, std::filesystem::path const& path)
{
    int width = 0;
    int height = 0;
    int channels = 0;
    std::unique_ptr<stbi_uc, StbiImageDeleter> const pixels(
        stbi_load_from_memory(asStbiBytes(bytes), stbiLength(bytes, path), &width, &height, &channels, kRgbaChannels));
    if (!pixels)
        throw decodeError(path);
    ColorImage image(static_cast<std::size_t>(width), static_cast<std::size_t>(height));
    for (std::size_t y = 0; y < image.height; ++y) {
        for (std::size_t x = 0; x < image.width; ++x) {
            stbi_uc const* rgba = pixels.get() + (y * image.width + x) * kRgbaChannels;
            image.setPixel(x, y, Math::Color(rgba[0], rgba[1], rgba[2], rgba[3]));
        }
    }
    return image;
}

} // namespace

TiledPanoramaLoader::TiledPanoramaLoader(std::filesystem::path folder)
    : PanoramaLoader(parseDescription(fileBytes(folder / kDescriptionFileName), folder / kDescriptionFileName)),
      mFolder(std::move(folder))
{
}

std::filesystem::path TiledPanoramaLoader::colorTilePath(std::filesystem::path const& folder, std::size_t level,
                                                         std::size_t index)
{
    return folder / fmt::format("level{}", level) / fmt::format("color-{}.png", index);
}

std::filesystem::path TiledPanoramaLoader::depthTilePath(std::filesystem::path const& folder, std::size_t level,
                                                         std::size_t index)
{
    return folder / fmt::format("level{}", level) / fmt::format("depth-{}.f32", index);
}

std::string TiledPanoramaLoader::describe(PanoramaLayout const& layout)
{
    nlohmann::json levels = nlohmann::json::array();
    for (PanoramaTileSize const& size : layout.levels)
        levels.push_back({{"width", size.width}, {"height", size.height}});
    nlohmann::json const description{
        {"projection", layout.projectionType == kProjectionEquirectangular ? kEquirectangularName : kCubeName},
        {"tileRows", layout.tileRows},
        {"tileColumns", layout.tileColumns},
        {"levels", levels},
        {"colorLevels", layout.colorLevels},
        {"depthLevels", layout.depthLevels},
    };
    return description.dump(2) + "\n";
}

PanoramaLayout TiledPanoramaLoader::parseDescription(std::string const& text, std::filesystem::path const& path)
{
    nlohmann::json const description = nlohmann::json::parse(text, nullptr, false);
    if (description.is_discarded())
        throw descriptionError(path, "not valid JSON");
    if (!description.is_object())
        throw descriptionError(path, "not a JSON object");

    PanoramaLayout layout;
    auto const projection = description.find("projection");
    if (projection == description.end() || !projection->is_string())
        throw descriptionError(path, "\"projection\" must be \"equirectangular\" or \"cube\"");
    if (*projection == kEquirectangularName)
        layout.projectionType = kProjectionEquirectangular;
    else if (*projection == kCubeName)
        layout.projectionType = kProjectionCubeMap;
    else
        throw descriptionError(path, fmt::format("unknown projection {}", projection->dump()));

    layout.tileRows = boundedCount(description, "tileRows", 1, kMaxTilesPerLevel, path);
    layout.tileColumns = boundedCount(description, "tileColumns", 1, kMaxTilesPerLevel, path);
    std::size_t const faces = layout.projectionType == kProjectionEquirectangular ? 1 : kCubeFaces;
    if (faces * layout.tileRows * layout.tileColumns > kMaxTilesPerLevel)
        throw descriptionError(path, fmt::format("more than {} tiles per level", kMaxTilesPerLevel));

    auto const levels = description.find("levels");
    if (levels == description.end() || !levels->is_array() || levels->empty() || levels->size() > kMaxLevels)
        throw descriptionError(path, fmt::format("\"levels\" must list 1 to {} tile sizes", kMaxLevels));
    for (nlohmann::json const& level : *levels) {
        if (!level.is_object())
            throw descriptionError(path, "every level must be an object with \"width\" and \"height\"");
        layout.levels.push_back(PanoramaTileSize{boundedCount(level, "width", 1, kMaxTileSide, path),
                                                 boundedCount(level, "height", 1, kMaxTileSide, path)});
    }
    layout.colorLevels = boundedCount(description, "colorLevels", 0, layout.levels.size(), path);
    layout.depthLevels = boundedCount(description, "depthLevels", 0, layout.levels.size(), path);
    return layout;
}

ColorImage TiledPanoramaLoader::loadColorTile(TileId id)
{
    if (level(id) >= numColorLevels() || tileIndexWithinLevel(id) >= numTilesPerLevel())
        throw std::out_of_range(fmt::format("panorama \"{}\" has no color tile {:#x}", source(), id));
    std::filesystem::path const path = colorTilePath(mFolder, level(id), tileIndexWithinLevel(id));
    std::string const bytes = fileBytes(path);
    // The size is checked from the header, so that a damaged tile cannot make the decoder allocate
    // for a huge image.
    int width = 0;
    int height = 0;
    int channels = 0;
    if (stbi_info_from_memory(asStbiBytes(bytes), stbiLength(bytes, path), &width, &height, &channels) == 0)
        throw decodeError(path);
    checkTileFits(static_cast<std::size_t>(width), static_cast<std::size_t>(height), layout().levels[level(id)], path);
    return decodePng(bytes, path);
}

DepthImage TiledPanoramaLoader::loadDepthTile(TileId id)
{
    if (level(id) >= numDepthLevels() || tileIndexWithinLevel(id) >= numTilesPerLevel())
        throw std::out_of_range(fmt::format("panorama \"{}\" has no depth tile {:#x}", source(), id));
    std::filesystem::path const path = depthTilePath(mFolder, level(id), tileIndexWithinLevel(id));
    PanoramaTileSize const size = layout().levels[level(id)];
    return rawDepth(fileBytes(path), size.width, size.height, path);
}

ColorImage readPng(std::filesystem::path const& path)
{
    return decodePng(fileBytes(path), path);
}

DepthImage readDepth(std::filesystem::path const& path, std::size_t width, std::size_t height)
{
    return rawDepth(fileBytes(path), width, height, path);
}

} // namespace Graphics
