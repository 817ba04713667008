#include "graphics/panoramawriter.h"

#include "graphics/tiledpanoramaloader.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <stdexcept>

namespace Graphics {
namespace {

constexpr std::size_t kEquirectangularToCubeFaceWidth = 4;
// Room grid lines: half a unit off the axes, so that the middle of every wall stays clear.
constexpr float kGridOffset = 0.5f;
constexpr float kGridLineWidth = 0.03f;

PanoramaTileSize finestTileSize(ColorImage const& color, PanoramaWriterOptions const& options)
{
    if (options.tileWidth != 0 || options.tileHeight != 0)
        return {options.tileWidth, options.tileHeight};
    if (options.projectionType == PanoramaLoader::kProjectionEquirectangular)
        return {color.width / options.tileColumns, color.height / options.tileRows};
    std::size_t const faceSide = color.width / kEquirectangularToCubeFaceWidth;
    return {faceSide / options.tileColumns, faceSide / options.tileRows};
}

PanoramaLayout layoutFor(ColorImage const& color, PanoramaWriterOptions const& options)
{
    if (options.tileRows == 0 || options.tileColumns == 0)
        throw std::invalid_argument("a panorama needs at least one tile row and column");
    if (options.levels == 0 || options.levels > TiledPanoramaLoader::kMaxLevels)
        throw std::invalid_argument(
            fmt::format("a panorama has 1 to {} levels, not {}", TiledPanoramaLoader::kMaxLevels, options.levels));
    PanoramaTileSize const finest = finestTileSize(color, options);
    if (finest.width == 0 || finest.height == 0 || finest.width > TiledPanoramaLoader::kMaxTileSide ||
        finest.height > TiledPanoramaLoader::kMaxTileSide)
        throw std::invalid_argument(fmt::format("tile size {} x {} is outside 1 to {} pixels", finest.width,
                                                finest.height, TiledPanoramaLoader::kMaxTileSide));
    PanoramaLayout layout;
    layout.projectionType = options.projectionType;
    layout.tileRows = options.tileRows;
    layout.tileColumns = options.tileColumns;
    layout.colorLevels = layout.depthLevels = options.levels;
    for (std::size_t level = 0; level < options.levels; ++level) {
        unsigned const halvings = static_cast<unsigned>(options.levels - 1 - level);
        layout.levels.push_back({std::max<std::size_t>(finest.width >> halvings, 1),
                                 std::max<std::size_t>(finest.height >> halvings, 1)});
    }
    return layout;
}

// The source pixel for a point on a face: nearest pixel of the equirectangular image.
template <class Image>
auto sampleEquirectangular(Image const& image, float u, float v)
{
    auto const pixelOf = [](float coordinate, std::size_t size) {
        auto const scaled = static_cast<std::ptrdiff_t>(std::floor(coordinate * static_cast<float>(size)));
        return static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(scaled, 0, static_cast<std::ptrdiff_t>(size) - 1));
    };
    return image.pixel(pixelOf(u - std::floor(u), image.width), pixelOf(v, image.height));
}

template <class Image>
Image cutTile(Image const& source, PanoramaLayout const& layout, PanoramaTileSize const& size, std::size_t face,
              std::size_t row, std::size_t column)
{
    Image tile(size.width, size.height);
    for (std::size_t y = 0; y < size.height; ++y) {
        for (std::size_t x = 0; x < size.width; ++x) {
            PanoramaFacePoint const point{
                face,
                (static_cast<float>(column) + (static_cast<float>(x) + 0.5f) / static_cast<float>(size.width)) /
                    static_cast<float>(layout.tileColumns),
                (static_cast<float>(row) + (static_cast<float>(y) + 0.5f) / static_cast<float>(size.height)) /
                    static_cast<float>(layout.tileRows)};
            PanoramaFacePoint const onSource =
                layout.projectionType == PanoramaLoader::kProjectionEquirectangular
                    ? point
                    : PanoramaLoader::facePoint(PanoramaLoader::kProjectionEquirectangular,
                                                PanoramaLoader::direction(layout.projectionType, point));
            tile.setPixel(x, y, sampleEquirectangular(source, onSource.u, onSource.v));
        }
    }
    return tile;
}

void writeDepthFile(std::filesystem::path const& path, DepthImage const& depth)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (std::size_t y = 0; y < depth.height; ++y)
        file.write(reinterpret_cast<char const*>(depth.data() + y * depth.stride),
                   static_cast<std::streamsize>(depth.width * sizeof(float)));
    file.close();
    if (!file)
        throw std::runtime_error(fmt::format("cannot write the depth file \"{}\"", path.generic_string()));
}

void writeTextFile(std::filesystem::path const& path, std::string const& text)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file)
        throw std::runtime_error(fmt::format("cannot write the file \"{}\"", path.generic_string()));
}

bool onGridLine(float coordinate)
{
    float const distance = std::abs(coordinate - kGridOffset - std::round(coordinate - kGridOffset));
    return distance < kGridLineWidth;
}

} // namespace

PanoramaLayout PanoramaWriter::write(std::filesystem::path const& folder, ColorImage const& color,
                                     DepthImage const& depth, PanoramaWriterOptions const& options)
{
    if (color.width == 0 || color.height == 0 || depth.width == 0 || depth.height == 0)
        throw std::invalid_argument("a panorama needs non-empty color and depth images");
    PanoramaLayout const layout = layoutFor(color, options);
    std::size_t const faces =
        layout.projectionType == PanoramaLoader::kProjectionEquirectangular ? 1 : PanoramaLoader::kCubeFaces;
    if (faces * layout.tileRows * layout.tileColumns > TiledPanoramaLoader::kMaxTilesPerLevel)
        throw std::invalid_argument(
            fmt::format("a panorama has at most {} tiles per level", TiledPanoramaLoader::kMaxTilesPerLevel));

    for (std::size_t level = 0; level < layout.levels.size(); ++level) {
        std::filesystem::create_directories(TiledPanoramaLoader::colorTilePath(folder, level, 0).parent_path());
        std::size_t index = 0;
        for (std::size_t face = 0; face < faces; ++face) {
            for (std::size_t row = 0; row < layout.tileRows; ++row) {
                for (std::size_t column = 0; column < layout.tileColumns; ++column, ++index) {
                    PanoramaTileSize const size = layout.levels[level];
                    cutTile(color, layout, size, face, row, column)
                        .writePng(TiledPanoramaLoader::colorTilePath(folder, level, index));
                    writeDepthFile(TiledPanoramaLoader::depthTilePath(folder, level, index),
                                   cutTile(depth, layout, size, face, row, column));
                }
            }
        }
    }
    writeTextFile(folder / TiledPanoramaLoader::kDescriptionFileName, TiledPanoramaLoader::describe(layout));
    return layout;
}

Math::Color roomWallColor(std::size_t wall)
{
    static constexpr std::array<std::array<std::uint8_t, 3>, PanoramaLoader::kCubeFaces> kWallColors{{
        {220, 40, 40},
        {40, 200, 200},
        {40, 180, 60},
        {200, 60, 200},
        {60, 80, 220},
        {210, 190, 50},
    }};
    std::array<std::uint8_t, 3> const& rgb = kWallColors.at(wall);
    return Math::Color(rgb[0], rgb[1], rgb[2]);
}

EquirectangularPanorama makeRoomPanorama(std::size_t width, std::size_t height, Eigen::Vector3f const& halfExtent)
{
    if (!(halfExtent.minCoeff() > 0.0f))
        throw std::invalid_argument("a room needs a positive extent along every axis");
    EquirectangularPanorama room{ColorImage(width, height), DepthImage(width, height)};
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            Eigen::Vector3f const ray = PanoramaLoader::direction(
                PanoramaLoader::kProjectionEquirectangular,
                {0, (static_cast<float>(x) + 0.5f) / static_cast<float>(width),
                 (static_cast<float>(y) + 0.5f) / static_cast<float>(height)});
            // The wall hit first is the one whose plane the ray reaches at the smallest distance.
            Eigen::Vector3f const reach = halfExtent.cwiseQuotient(ray.cwiseAbs());
            Eigen::Index axis = 0;
            float const distance = reach.minCoeff(&axis);
            std::size_t const wall = static_cast<std::size_t>(2 * axis) + (ray[axis] > 0.0f ? 0 : 1);
            Eigen::Vector3f const hit = distance * ray;
            Math::Color color = roomWallColor(wall);
            bool line = false;
            for (Eigen::Index other = 0; other < 3; ++other)
                line = line || (other != axis && onGridLine(hit[other]));
            if (line)
                color = Math::Color(color.r() / 2, color.g() / 2, color.b() / 2);
            room.color.setPixel(x, y, color);
            room.depth.setPixel(x, y, distance);
        }
    }
    return room;
}

} // namespace Graphics
