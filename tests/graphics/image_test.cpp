// Images in memory and on disk: pixel buffers, PNG files, and tiled panoramas with their damage.
#include "graphics/colorimage.h"
#include "graphics/depthimage.h"
#include "graphics/panoramatestsupport.h"

#include "core/filereading.h"
#include "support/thrownmessage.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <stb/stb_image.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>

namespace {

using Graphics::ColorImage;
using Graphics::DepthImage;
using Graphics::PanoramaFacePoint;
using Graphics::PanoramaLoader;
using Graphics::PanoramaWriterOptions;
using Graphics::TiledPanoramaLoader;
using Math::Color;
using PanoramaTest::TempFolder;
using TestSupport::writeFile;

constexpr float kPi = 3.14159265f;

std::string errorOf(std::function<void()> const& action)
{
    return TestSupport::thrownMessage<std::runtime_error>(action);
}

TEST(Image, RowsAreTightOrPaddedPaddingIsNeverWrittenAndMisuseKeepsTheImage)
{
    EXPECT_EQ(ColorImage().sizeInBytes(), 0u);
    DepthImage const tight(7, 5);
    EXPECT_EQ(tight.stride, 28u);
    EXPECT_EQ(tight.sizeInBytes(), 140u);
    EXPECT_EQ(tight.pixel(6, 4), 0.0f);

    DepthImage padded;
    padded.resize(2, 3, 12);
    padded.fill(0.5f);
    padded.setPixel(1, 2, 0.25f);
    for (std::size_t y = 0; y < 3; ++y) {
        EXPECT_EQ(padded.pixel(0, y), 0.5f);
        float padding;
        std::memcpy(&padding, padded.data() + y * padded.stride + 8, 4);
        EXPECT_EQ(padding, 0.0f) << "row " << y;
    }
    float last;
    std::memcpy(&last, padded.data() + 2 * 12 + 4, 4);
    EXPECT_EQ(last, 0.25f);

    // Misuse throws and keeps the image; a move empties the source.
    ColorImage image(4, 4);
    image.fill(Color(9, 9, 9));
    EXPECT_THROW(image.resize(10, 2, 36), std::invalid_argument);
    EXPECT_THROW(image.resize(10, 2, 42), std::invalid_argument);
    EXPECT_THROW(image.pixel(4, 0), std::out_of_range);
    EXPECT_THROW(image.setPixel(0, 4, Color()), std::out_of_range);
    EXPECT_EQ(image.width, 4u);
    EXPECT_EQ(image.pixel(3, 3), Color(9, 9, 9));

    ColorImage moved(std::move(image));
    EXPECT_EQ(moved.pixel(3, 3), Color(9, 9, 9));
    EXPECT_EQ(image.width, 0u);
    EXPECT_EQ(image.sizeInBytes(), 0u);
}

TEST(ColorImagePng, RoundTripKeepsRgbaChannelsOfAPaddedImage)
{
    ColorImage image;
    image.resize(5, 3, 32);
    for (std::size_t y = 0; y < image.height; ++y)
        for (std::size_t x = 0; x < image.width; ++x)
            image.setPixel(
                x, y, Color(std::uint8_t(x * 50), std::uint8_t(y * 100), std::uint8_t(x + y), std::uint8_t(255 - x)));

    TempFolder const folder("png");
    image.writePng(folder.path() / "roundtrip.png");
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<stbi_uc, decltype(&stbi_image_free)> loaded(
        stbi_load((folder.path() / "roundtrip.png").string().c_str(), &width, &height, &channels, 4), &stbi_image_free);
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(width, 5);
    ASSERT_EQ(height, 3);
    EXPECT_EQ(channels, 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            stbi_uc const* rgba = loaded.get() + (y * width + x) * 4;
            EXPECT_EQ(Color(rgba[0], rgba[1], rgba[2], rgba[3]), image.pixel(std::size_t(x), std::size_t(y)));
        }
    }

    auto const unwritable = folder.path() / "missing-folder" / "image.png";
    EXPECT_NE(TestSupport::thrownMessage<std::runtime_error>([&] {
                  image.writePng(unwritable);
              }).find(unwritable.generic_string()),
              std::string::npos);
    EXPECT_THROW(ColorImage().writePng(folder.path() / "empty.png"), std::invalid_argument);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "empty.png"));
}

TEST(PanoramaMapping, FacePointAndDirectionInvertEachOtherCubeFacesFollowTheLargestAxisAndUvTheAngles)
{
    std::mt19937 random(3);
    std::normal_distribution<float> component;
    for (std::uint32_t projection : {PanoramaLoader::kProjectionEquirectangular, PanoramaLoader::kProjectionCubeMap}) {
        for (int sample = 0; sample < 500; ++sample) {
            Eigen::Vector3f const direction =
                Eigen::Vector3f(component(random), component(random), component(random)).normalized();
            PanoramaFacePoint const point = PanoramaLoader::facePoint(projection, direction);
            ASSERT_GE(point.u, 0.0f);
            ASSERT_LE(point.u, 1.0f);
            ASSERT_GE(point.v, 0.0f);
            ASSERT_LE(point.v, 1.0f);
            EXPECT_LT((PanoramaLoader::direction(projection, point) - direction).norm(), 1e-4f)
                << "projection " << projection << ", face " << point.face;
        }
    }
    Eigen::Vector3f const axes[] = {Eigen::Vector3f::UnitX(),  -Eigen::Vector3f::UnitX(), Eigen::Vector3f::UnitY(),
                                    -Eigen::Vector3f::UnitY(), Eigen::Vector3f::UnitZ(),  -Eigen::Vector3f::UnitZ()};
    for (std::size_t face = 0; face < PanoramaLoader::kCubeFaces; ++face) {
        PanoramaFacePoint const point = PanoramaLoader::facePoint(PanoramaLoader::kProjectionCubeMap, axes[face]);
        EXPECT_EQ(point.face, face);
        EXPECT_EQ(Eigen::Vector2f(point.u, point.v), Eigen::Vector2f(0.5f, 0.5f)) << "face " << face;
    }
    auto const uv = [](std::uint32_t projection, Eigen::Vector3f const& direction) {
        PanoramaFacePoint const point = PanoramaLoader::facePoint(projection, direction);
        return Eigen::Vector2f(point.u, point.v);
    };
    // +x face: u grows towards -y, v towards -z.
    EXPECT_TRUE(uv(PanoramaLoader::kProjectionCubeMap, {1.0f, -0.5f, -0.5f}).isApprox(Eigen::Vector2f(0.75f, 0.75f)));
    EXPECT_TRUE(
        uv(PanoramaLoader::kProjectionEquirectangular, Eigen::Vector3f::UnitX()).isApprox(Eigen::Vector2f(0.5f, 0.5f)));
    EXPECT_TRUE(uv(PanoramaLoader::kProjectionEquirectangular, Eigen::Vector3f::UnitY())
                    .isApprox(Eigen::Vector2f(0.25f, 0.5f)));
    EXPECT_NEAR(uv(PanoramaLoader::kProjectionEquirectangular, Eigen::Vector3f::UnitZ()).y(), 0.0f, 1e-6f);
}

TEST(PanoramaRoundTrip, EquirectangularLevelsHoldTheSourcePixelsAndTileIdsFollowLoadingOrder)
{
    TempFolder const folder("roundtrip");
    Graphics::EquirectangularPanorama const room = Graphics::makeRoomPanorama(64, 32, PanoramaTest::kRoomHalfExtent);
    Graphics::PanoramaWriter::write(folder.path(), room.color, room.depth, PanoramaWriterOptions{});
    TiledPanoramaLoader loader(folder.path());

    EXPECT_EQ(loader.projectionType(), PanoramaLoader::kProjectionEquirectangular);
    EXPECT_EQ(loader.numTilesPerLevel(), 8u);
    ASSERT_EQ(loader.numColorLevels(), 3u);
    ASSERT_EQ(loader.numDepthLevels(), 3u);
    for (std::size_t level = 0; level < 3; ++level) {
        EXPECT_EQ(loader.tileWidth(level), 16u >> (2 - level));
        EXPECT_EQ(loader.tileHeight(level), 16u >> (2 - level));
    }

    for (std::size_t row = 0; row < 2; ++row) {
        for (std::size_t column = 0; column < 4; ++column) {
            PanoramaLoader::TileId const id = PanoramaLoader::tileId(2, loader.tileIndex(0, row, column));
            Graphics::ColorImage const color = loader.loadColorTile(id);
            Graphics::DepthImage const depth = loader.loadDepthTile(id);
            for (std::size_t y = 0; y < 16; ++y) {
                for (std::size_t x = 0; x < 16; ++x) {
                    ASSERT_EQ(color.pixel(x, y).packed(), room.color.pixel(column * 16 + x, row * 16 + y).packed());
                    ASSERT_EQ(depth.pixel(x, y), room.depth.pixel(column * 16 + x, row * 16 + y));
                }
            }
        }
    }

    // Level 0 of the 2 x 4 grid: 4 x 4 pixel tiles; the tile looking along +x is row 0 or 1 of column 2.
    PanoramaLoader::TileId const alongX = PanoramaLoader::tileId(0, loader.tileIndex(0, 1, 2));
    Graphics::DepthImage const depth = loader.loadDepthTile(alongX);
    ASSERT_EQ(depth.width, 4u);
    ASSERT_EQ(depth.height, 4u);
    // Its top-left pixel looks slightly below the horizon, towards +x: it meets the +x wall.
    EXPECT_NEAR(depth.pixel(0, 0), PanoramaTest::kRoomHalfExtent.x() / std::cos(kPi / 16.0f) / std::cos(kPi / 16.0f),
                0.2f);
    EXPECT_EQ(loader.loadColorTile(alongX).pixel(0, 0).packed(), Graphics::roomWallColor(0).packed());

    std::vector<PanoramaLoader::TileId> const tiles = loader.colorTiles();
    ASSERT_EQ(tiles.size(), 24u);
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        EXPECT_EQ(loader.level(tiles[i]), i / 8);
        EXPECT_EQ(loader.tileIndexWithinLevel(tiles[i]), i % 8);
    }
    EXPECT_EQ(loader.depthTiles(), tiles);
    // Row 0 of an equirectangular grid looks 45 degrees up, column 2 (of 4) 45 degrees from +x towards -y.
    Eigen::Vector3f const direction = loader.tileDirection(PanoramaLoader::tileId(0, loader.tileIndex(0, 0, 2)));
    EXPECT_LT((direction - Eigen::Vector3f(0.5f, -0.5f, std::sqrt(0.5f))).norm(), 1e-6f);
}

TEST(PanoramaRoundTrip, CubeMapFacesShowTheirWallsAtTheirDistances)
{
    TempFolder const folder("cubemap");
    PanoramaWriterOptions options;
    options.projectionType = PanoramaLoader::kProjectionCubeMap;
    options.tileRows = options.tileColumns = 1;
    options.levels = 2;
    PanoramaTest::writeRoom(folder.path(), options, 128, 64);
    TiledPanoramaLoader loader(folder.path());
    EXPECT_EQ(loader.projectionType(), PanoramaLoader::kProjectionCubeMap);
    EXPECT_EQ(loader.numTilesPerLevel(), 6u);
    EXPECT_EQ(loader.tileWidth(1), 32u);
    for (std::size_t face = 0; face < PanoramaLoader::kCubeFaces; ++face) {
        PanoramaLoader::TileId const id = PanoramaLoader::tileId(1, face);
        Graphics::ColorImage const color = loader.loadColorTile(id);
        Graphics::DepthImage const depth = loader.loadDepthTile(id);
        EXPECT_EQ(color.pixel(16, 16).packed(), Graphics::roomWallColor(face).packed()) << "face " << face;
        EXPECT_NEAR(depth.pixel(16, 16), PanoramaTest::kRoomHalfExtent[static_cast<Eigen::Index>(face / 2)], 0.05f)
            << "face " << face;
        EXPECT_LT((loader.tileDirection(id) - PanoramaLoader::direction(PanoramaLoader::kProjectionCubeMap,
                                                                         {face, 0.5f, 0.5f}))
                      .norm(),
                  1e-6f);
    }
}

TEST(PanoramaWriter, RejectsUnusableOptionsBeforeWritingAnything)
{
    TempFolder const folder("writer");
    Graphics::EquirectangularPanorama const room = Graphics::makeRoomPanorama(64, 32, PanoramaTest::kRoomHalfExtent);
    PanoramaWriterOptions noLevels;
    noLevels.levels = 0;
    PanoramaWriterOptions tooFine;
    tooFine.tileColumns = 128;
    PanoramaWriterOptions tooManyTiles;
    tooManyTiles.projectionType = PanoramaLoader::kProjectionCubeMap;
    tooManyTiles.tileRows = tooManyTiles.tileColumns = 32;
    tooManyTiles.tileWidth = tooManyTiles.tileHeight = 1;
    for (PanoramaWriterOptions const& options : {noLevels, tooFine, tooManyTiles})
        EXPECT_THROW(Graphics::PanoramaWriter::write(folder.path(), room.color, room.depth, options),
                     std::invalid_argument);
    EXPECT_THROW(Graphics::PanoramaWriter::write(folder.path(), room.color, Graphics::DepthImage(),
                                                 PanoramaWriterOptions{}),
                 std::invalid_argument);
    EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

class DamagedPanorama : public ::testing::Test {
protected:
    void SetUp() override { PanoramaTest::writeRoom(folder.path(), PanoramaWriterOptions{}); }

    std::filesystem::path description() const { return folder.path() / TiledPanoramaLoader::kDescriptionFileName; }
    std::filesystem::path colorTile() const { return TiledPanoramaLoader::colorTilePath(folder.path(), 1, 3); }
    std::filesystem::path depthTile() const { return TiledPanoramaLoader::depthTilePath(folder.path(), 1, 3); }
    PanoramaLoader::TileId const tile = PanoramaLoader::tileId(1, 3);

    TempFolder folder{"damaged"};
};

TEST_F(DamagedPanorama, UnusableDescriptionsAreRejectedNamingTheFileAndTheReason)
{
    std::string const missing = errorOf([&] { TiledPanoramaLoader{folder.path() / "nothing"}; });
    EXPECT_NE(missing.find("nothing"), std::string::npos) << missing;
    std::string const good = Core::readLocalFile(description());
    std::pair<std::string, char const*> const cases[] = {
        {"{\"projection\": ", "not valid JSON"},
        {"[1, 2]", "not a JSON object"},
        {"\"projection\": \"fisheye\"", "unknown projection \"fisheye\""},
        {"\"tileRows\": 0", "\"tileRows\" is 0"},
        {"\"tileColumns\": -4", "\"tileColumns\" must be a whole number"},
        {"\"tileColumns\": 4000", "tiles per level"},
        {"\"colorLevels\": 4", "\"colorLevels\" is 4, expected 0 to 3"},
        {"\"levels\": []", "\"levels\" must list"},
        {"\"levels\": [{\"width\": 8}]", "\"height\" must be a whole number"},
    };
    for (auto const& [change, expected] : cases) {
        // A "key": value pair replaces that key of the good description; anything else is the whole file.
        if (change.find(':') != std::string::npos && change.front() == '"') {
            nlohmann::json changed = nlohmann::json::parse(good);
            changed.update(nlohmann::json::parse("{" + change + "}"));
            writeFile(description(), changed.dump());
        } else {
            writeFile(description(), change);
        }
        std::string const message = errorOf([&] { TiledPanoramaLoader{folder.path()}; });
        EXPECT_NE(message.find(expected), std::string::npos) << message;
        EXPECT_NE(message.find(description().generic_string()), std::string::npos) << message;
    }
    std::filesystem::remove(description());
    EXPECT_NE(errorOf([&] { TiledPanoramaLoader{folder.path()}; }).find("panorama.json\" is missing"),
              std::string::npos);
}

TEST_F(DamagedPanorama, MissingTruncatedCorruptMisfitOrOutsideTilesAreRefusedNamingTheFile)
{
    TiledPanoramaLoader loader(folder.path());
    std::string const colorBytes = Core::readLocalFile(colorTile());
    std::filesystem::remove(colorTile());
    std::string const message = errorOf([&] { loader.loadColorTile(tile); });
    EXPECT_NE(message.find(colorTile().generic_string() + "\" is missing"), std::string::npos) << message;

    std::string const bytes = Core::readLocalFile(depthTile());
    writeFile(depthTile(), bytes.substr(0, bytes.size() - 3));
    std::string const truncated = errorOf([&] { loader.loadDepthTile(tile); });
    EXPECT_NE(truncated.find(depthTile().generic_string()), std::string::npos) << truncated;
    EXPECT_NE(truncated.find("expected 256"), std::string::npos) << truncated;

    EXPECT_THROW(loader.loadColorTile(PanoramaLoader::tileId(3, 0)), std::out_of_range);
    EXPECT_THROW(loader.loadDepthTile(PanoramaLoader::tileId(0, 8)), std::out_of_range);

    writeFile(colorTile(), colorBytes.substr(0, colorBytes.size() / 2));
    std::string const cut = errorOf([&] { loader.loadColorTile(tile); });
    EXPECT_NE(cut.find("cannot decode the PNG image \"" + colorTile().generic_string()), std::string::npos) << cut;

    // A well-formed PNG of the coarser level is smaller: drawn at the top left of its slot. One of the
    // finer level does not fit into the coarser level's slot.
    std::filesystem::path const coarse = TiledPanoramaLoader::colorTilePath(folder.path(), 0, 3);
    std::string const coarseBytes = Core::readLocalFile(coarse);
    writeFile(coarse, Core::readLocalFile(TiledPanoramaLoader::colorTilePath(folder.path(), 2, 3)));
    writeFile(colorTile(), coarseBytes);
    EXPECT_EQ(loader.loadColorTile(tile).width, 4u);
    std::string const misfit = errorOf([&] { loader.loadColorTile(PanoramaLoader::tileId(0, 3)); });
    std::string const tooBig = "\" is 16 x 16 pixels, more than 4 x 4: Color tile does not fit into texture.";
    EXPECT_NE(misfit.find(coarse.generic_string() + tooBig), std::string::npos) << misfit;
}

} // namespace
