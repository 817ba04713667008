#include "graphics/colorimage.h"
#include "graphics/plypointwriter.h"
#include "graphics/tiledpanoramaloader.h"
#include "math/vertexformats.h"
#include "octree/entwinelocation.h"
#include "octree/octreenodeid.h"
#include "octree/potreelocation.h"
#include "octree/testdatasets.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"
#include "render/thumbnail.h"

#include <gtest/gtest.h>


#include <cfloat>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Render::VertexPosColor;

constexpr std::size_t kWidth = 64;
constexpr std::size_t kHeight = 48;
constexpr std::size_t kPixels = kWidth * kHeight;
constexpr int kGridSteps = 120;
constexpr double kGridSpacing = 0.1;
constexpr std::size_t kGridBudget = 4 * kGridSteps * kGridSteps;
// Chunk sizes that do not divide the row width, so that chunks end in the middle of rows.
constexpr std::size_t kOddChunk = 7;
constexpr std::size_t kSmallChunk = 5;
Math::Color const kBackground(0, 0, 0, 255);

// A flat grid of points whose colors change along both axes, so that any shift of a chunk shows.
Octree::SourcePoints colorGrid()
{
    Octree::SourcePoints source;
    source.hasRgb = true;
    for (int i = 0; i < kGridSteps; ++i)
        for (int j = 0; j < kGridSteps; ++j) {
            Octree::SourcePoint point;
            point.position = {500.0 + i * kGridSpacing, 800.0 + j * kGridSpacing, 20.0};
            point.rgb = {static_cast<std::uint16_t>(i * 2 * 257), static_cast<std::uint16_t>(j * 2 * 257),
                         static_cast<std::uint16_t>(200 * 257)};
            source.points.push_back(point);
        }
    return source;
}

std::string readBytes(std::filesystem::path const& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool sameBytes(VertexPosColor const& a, VertexPosColor const& b)
{
    return std::memcmp(&a, &b, sizeof(VertexPosColor)) == 0;
}

bool isEmptyPixel(VertexPosColor const& pixel)
{
    return pixel.color == Math::Color();
}

// The frame of a colored grid seen from above, with empty pixels left and right of it.
class ExportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        gridFolder = std::make_unique<OctreeTest::TempFolder>("export-grid");
        PoTree::writePotree(colorGrid(), gridFolder->path(), PoTree::WriterOptions{});
    }
    static void TearDownTestSuite() { gridFolder.reset(); }

    void SetUp() override
    {
        output = std::make_unique<OctreeTest::TempFolder>("export-output");
        renderer = std::make_unique<Render::Renderer>();
        renderer->setViewport(kWidth, kHeight);
        renderer->setBackgroundColor(kBackground);
        cloud = Render::PointCloudRenderable::create(std::make_shared<PoTree::FileSystemLocation>(gridFolder->path()),
                                                     "grid", kGridBudget, 1.0);
        renderer->setScene(cloud);
        Math::NBoundingBox<float, 3> const box = cloud->boundingBoxWorld();
        float const height = (box.max() - box.min()).maxCoeff() * 1.6f;
        renderer->setCameraPose(box.center() + Math::Point<float, 3>(0.0f, 0.0f, height), Eigen::Vector3f(0, 0, -1),
                                Eigen::Vector3f(0, 1, 0));
        renderer->setPerspective(60.0f, height * 0.1f, height * 10.0f);
        cloud->reloadPoints(std::function<void()>(), Octree::OctreeNodeId::kMaxLevel, std::stop_token());
        renderer->render();
        gridHeight = box.center().z();
    }

    std::vector<VertexPosColor> allPixels()
    {
        std::vector<VertexPosColor> pixels;
        renderer->getPoints(pixels, false);
        return pixels;
    }

    Graphics::ColorImage colorImage()
    {
        Graphics::ColorImage image;
        renderer->getColorImage(image);
        return image;
    }

    inline static std::unique_ptr<OctreeTest::TempFolder> gridFolder;
    std::unique_ptr<OctreeTest::TempFolder> output;
    std::unique_ptr<Render::Renderer> renderer;
    std::shared_ptr<Render::PointCloudRenderable> cloud;
    float gridHeight = 0.0f;
};

TEST_F(ExportTest, GetPointsGivesEveryPixelWithEmptyOnesAtTheLargestFloat)
{
    std::vector<VertexPosColor> const pixels = allPixels();
    ASSERT_EQ(pixels.size(), kPixels);
    std::size_t empty = 0;
    for (VertexPosColor const& pixel : pixels) {
        if (!isEmptyPixel(pixel)) {
            EXPECT_NEAR(pixel.z, gridHeight, 1e-3f);
            continue;
        }
        ++empty;
        EXPECT_EQ(pixel.x, FLT_MAX);
        EXPECT_EQ(pixel.y, FLT_MAX);
        EXPECT_EQ(pixel.z, FLT_MAX);
    }
    EXPECT_GT(empty, kPixels / 10) << "the grid leaves the sides of the view empty";
    EXPECT_LT(empty, kPixels * 9 / 10) << "the grid fills the middle of the view";
}

TEST_F(ExportTest, GetPointsWithoutTransparentKeepsThePointsInOrderWithTheImageColors)
{
    std::vector<VertexPosColor> const pixels = allPixels();
    std::vector<VertexPosColor> points;
    renderer->getPoints(points, true);
    Graphics::ColorImage const image = colorImage();

    std::size_t next = 0;
    for (std::size_t index = 0; index < pixels.size(); ++index) {
        VertexPosColor const& pixel = pixels[index];
        if (pixel.color.a() == 0)
            continue;
        ASSERT_LT(next, points.size());
        EXPECT_TRUE(sameBytes(points[next++], pixel)) << "point " << next - 1 << " out of order";
        Math::Color const shown = image.pixel(index % kWidth, index / kWidth);
        EXPECT_NEAR(shown.r(), pixel.color.r(), 1) << "pixel " << index;
        EXPECT_NEAR(shown.g(), pixel.color.g(), 1) << "pixel " << index;
        EXPECT_NEAR(shown.b(), pixel.color.b(), 1) << "pixel " << index;
    }
    EXPECT_EQ(next, points.size());
    EXPECT_GT(points.size(), 0u);
}

// Chunks that end in the middle of rows walk the image exactly once and then stay at the end, so a
// host reading until 0 stops; a new frame starts the walk over.
TEST_F(ExportTest, ChunksWalkTheImageOnceAcrossRowBoundaries)
{
    std::vector<VertexPosColor> const pixels = allPixels();
    renderer->resetPointChunkPosition();
    std::vector<VertexPosColor> walked;
    std::vector<VertexPosColor> chunk(kOddChunk);
    std::size_t calls = 0;
    while (std::size_t const count = renderer->getNextPointChunk(chunk.data(), chunk.size())) {
        ASSERT_LE(count, kOddChunk);
        walked.insert(walked.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
        ASSERT_LE(++calls, kPixels) << "the walk does not end";
    }
    ASSERT_EQ(walked.size(), kPixels);
    EXPECT_EQ(calls, (kPixels + kOddChunk - 1) / kOddChunk);
    for (std::size_t index = 0; index < kPixels; ++index)
        ASSERT_TRUE(sameBytes(walked[index], pixels[index])) << "pixel " << index;
    EXPECT_EQ(renderer->getNextPointChunk(chunk.data(), chunk.size()), 0u) << "the end stays the end";

    std::vector<VertexPosColor> whole(kPixels + 1);
    renderer->resetPointChunkPosition();
    ASSERT_EQ(renderer->getNextPointChunk(whole.data(), whole.size()), kPixels);
    EXPECT_TRUE(sameBytes(whole[kPixels - 1], pixels[kPixels - 1]));
    EXPECT_EQ(renderer->getNextPointChunk(whole.data(), whole.size()), 0u) << "a whole image in one chunk ends too";

    renderer->render();
    ASSERT_EQ(renderer->getNextPointChunk(chunk.data(), chunk.size()), kOddChunk);
    EXPECT_TRUE(sameBytes(chunk[0], pixels[0]));
    ASSERT_EQ(renderer->getNextPointChunk(whole.data(), whole.size()), kPixels - kOddChunk);
    EXPECT_TRUE(sameBytes(whole[0], pixels[kOddChunk])) << "continues after the first chunk";
    EXPECT_EQ(renderer->getNextPointChunk(whole.data(), whole.size()), 0u);
}

TEST_F(ExportTest, OldChunksGiveOnlyThePointsInScanOrder)
{
    std::vector<VertexPosColor> const pixels = allPixels();
    std::vector<VertexPosColor> expected;
    for (VertexPosColor const& pixel : pixels)
        if (!isEmptyPixel(pixel))
            expected.push_back(pixel);

    renderer->resetPointChunkPosition();
    std::vector<VertexPosColor> walked;
    std::vector<VertexPosColor> chunk(kSmallChunk);
    while (std::size_t const count = renderer->getNextPointChunkOld(chunk.data(), chunk.size()))
        walked.insert(walked.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
    ASSERT_EQ(walked.size(), expected.size());
    for (std::size_t index = 0; index < walked.size(); ++index)
        ASSERT_TRUE(sameBytes(walked[index], expected[index])) << "point " << index;
}

TEST_F(ExportTest, DoubleChunksCarryTheImageColorAsRedGreenBlueInTheLowBytes)
{
    std::vector<VertexPosColor> const pixels = allPixels();
    Graphics::ColorImage const image = colorImage();
    renderer->resetPointChunkPosition();
    std::vector<double> xyz(3 * kSmallChunk);
    std::vector<int> colors(kSmallChunk);
    std::size_t pixel = 0;
    std::size_t points = 0;
    while (std::size_t const count = renderer->getNextPointChunk(xyz.data(), colors.data(), kSmallChunk)) {
        for (std::size_t i = 0; i < count; ++i, ++pixel, ++points) {
            while (isEmptyPixel(pixels[pixel]))
                ++pixel;
            ASSERT_LT(pixel, kPixels);
            EXPECT_EQ(xyz[3 * i], pixels[pixel].x);
            EXPECT_EQ(xyz[3 * i + 1], pixels[pixel].y);
            EXPECT_EQ(xyz[3 * i + 2], pixels[pixel].z);
            EXPECT_EQ(colors[i] >> 24, 0) << "nothing above the blue byte";
            Math::Color const shown = image.pixel(pixel % kWidth, pixel / kWidth);
            EXPECT_EQ(colors[i], shown.r() | shown.g() << 8 | shown.b() << 16);
        }
    }
    EXPECT_GT(points, 0u);
    EXPECT_EQ(renderer->getNextPointChunk(xyz.data(), colors.data(), 0), 0u);
}

TEST_F(ExportTest, DebugChunkWritesThePointsWithImageColorsAsPly)
{
    std::vector<VertexPosColor> const pixels = allPixels();
    Graphics::ColorImage const image = colorImage();
    std::filesystem::path const path = output->path() / "chunk.ply";
    std::ofstream(path) << "an older file";
    renderer->resetPointChunkPosition();
    std::size_t const count = renderer->getNextPointChunkDebug(path, kPixels);

    std::string const bytes = readBytes(path);
    std::string const header = Graphics::PlyPointWriter::header(count);
    ASSERT_EQ(bytes.size(), header.size() + count * Graphics::PlyPointWriter::kRecordSize);
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    std::size_t pixel = 0;
    for (std::size_t i = 0; i < count; ++i, ++pixel) {
        while (isEmptyPixel(pixels[pixel]))
            ++pixel;
        float position[3];
        std::uint8_t rgba[4];
        char const* record = bytes.data() + header.size() + i * Graphics::PlyPointWriter::kRecordSize;
        std::memcpy(position, record, sizeof(position));
        std::memcpy(rgba, record + sizeof(position), sizeof(rgba));
        EXPECT_EQ(position[0], pixels[pixel].x);
        EXPECT_EQ(position[2], pixels[pixel].z);
        Math::Color const shown = image.pixel(pixel % kWidth, pixel / kWidth);
        EXPECT_EQ(Math::Color(rgba[0], rgba[1], rgba[2], rgba[3]), shown) << "point " << i;
    }
    EXPECT_EQ(renderer->getNextPointChunkDebug(path, kPixels), 0u) << "the walk had reached the end";
    EXPECT_EQ(readBytes(path), Graphics::PlyPointWriter::header(0));
    std::filesystem::path const unasked = output->path() / "unasked.ply";
    EXPECT_EQ(renderer->getNextPointChunkDebug(unasked, 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(unasked)) << "no points asked for, no file written";
}

TEST_F(ExportTest, WritePointsWritesTheTextFileOfTheRenderedPoints)
{
    std::vector<VertexPosColor> points;
    renderer->getPoints(points, true);
    std::filesystem::path const path = output->path() / "points.txt";
    renderer->writePoints(path);

    std::ifstream file(path);
    std::string header;
    std::getline(file, header);
    EXPECT_EQ(header, "X Y Z Red Green Blue Alpha");
    for (VertexPosColor const& point : points) {
        float x = 0, y = 0, z = 0;
        int r = 0, g = 0, b = 0, a = 0;
        ASSERT_TRUE(file >> x >> y >> z >> r >> g >> b >> a);
        EXPECT_NEAR(x, point.x, 1e-3f);
        EXPECT_NEAR(y, point.y, 1e-3f);
        EXPECT_NEAR(z, point.z, 1e-4f);
        EXPECT_EQ(r, point.color.r());
        EXPECT_EQ(b, point.color.b());
        EXPECT_EQ(a, point.color.a());
    }
    std::string rest;
    EXPECT_FALSE(file >> rest);
}

TEST_F(ExportTest, WritePngImageWritesTheFrame)
{
    Graphics::ColorImage const expected = colorImage();
    std::filesystem::path const path = output->path() / "frame.png";
    renderer->writePngImage(path);
    Graphics::ColorImage const written = Graphics::readPng(path);
    ASSERT_EQ(written.width, kWidth);
    ASSERT_EQ(written.height, kHeight);
    for (std::size_t y = 0; y < kHeight; ++y)
        for (std::size_t x = 0; x < kWidth; ++x)
            ASSERT_EQ(written.pixel(x, y), expected.pixel(x, y)) << x << ", " << y;
}

TEST_F(ExportTest, UnwritableFilesThrowNamingThem)
{
    std::filesystem::path const missing = output->path() / "no-such-folder";
    for (auto const& write : std::vector<std::function<void(std::filesystem::path const&)>>{
             [&](auto const& path) { renderer->writePoints(path); },
             [&](auto const& path) { renderer->getNextPointChunkDebug(path, kPixels); },
             [&](auto const& path) { renderer->writePngImage(path); }}) {
        std::filesystem::path const path = missing / "out.file";
        try {
            write(path);
            ADD_FAILURE() << "no exception";
        } catch (std::runtime_error const& error) {
            EXPECT_NE(std::string(error.what()).find(path.generic_string()), std::string::npos) << error.what();
        }
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(ExportTest, NullOutputsAreRejected)
{
    std::vector<double> xyz(3);
    std::vector<int> colors(1);
    EXPECT_THROW(renderer->getNextPointChunk(static_cast<VertexPosColor*>(nullptr), 1), std::invalid_argument);
    EXPECT_THROW(renderer->getNextPointChunkOld(nullptr, 1), std::invalid_argument);
    EXPECT_THROW(renderer->getNextPointChunk(nullptr, colors.data(), 1), std::invalid_argument);
    EXPECT_THROW(renderer->getNextPointChunk(xyz.data(), nullptr, 1), std::invalid_argument);
}

TEST_F(ExportTest, ImageIntoTooSmallMemoryIsRejected)
{
    std::vector<std::byte> memory(kWidth * 4 * kHeight - 1);
    EXPECT_THROW(renderer->getColorImage(memory, kWidth * 4, kHeight), std::invalid_argument);
    EXPECT_NO_THROW(renderer->getColorImage(memory, kWidth * 4, kHeight - 1));
    // A stride whose product with the row count wraps around to a small number.
    std::size_t const wrappingStride = std::numeric_limits<std::size_t>::max() / 2 + 1;
    EXPECT_THROW(renderer->getColorImage(memory, wrappingStride, 2), std::invalid_argument);
    EXPECT_THROW(renderer->getDepthImage(memory, wrappingStride, 2), std::invalid_argument);
}

std::size_t pixelsOtherThan(Graphics::ColorImage const& image, Math::Color const& background)
{
    std::size_t count = 0;
    for (std::size_t y = 0; y < image.height; ++y)
        for (std::size_t x = 0; x < image.width; ++x)
            count += image.pixel(x, y) == background ? 0 : 1;
    return count;
}

class ThumbnailTest : public ::testing::Test {
protected:
    OctreeTest::TempFolder output{"thumbnail"};
};

constexpr std::size_t kThumbnailWidth = 96;
constexpr std::size_t kThumbnailHeight = 64;
constexpr std::size_t kThumbnailLevels = 3;
Math::Color const kThumbnailBackground(10, 20, 30, 255);
constexpr int kLinePoints = 1000;

// The same airborne scan without colors, once as Potree and once as Entwine: each picture shows
// the whole cloud (only the splats of the outermost points may touch the border), fills a good
// part of the frame, and shows the intensities in many gray levels, about equally bright in both
// formats.
TEST_F(ThumbnailTest, WholeScanIsFramedAndLooksTheSameInBothFormats)
{
    std::filesystem::path const realWorld = std::filesystem::path(MORVID_TEST_DATA_DIR) / "realworld";
    std::shared_ptr<Octree::Location> const locations[] = {
        std::make_shared<PoTree::FileSystemLocation>(realWorld / "potree" / "lone-star-default"),
        std::make_shared<Entwine::FileSystemLocation>(realWorld / "ept" / "lone-star-laszip"),
    };
    std::vector<double> meanGrays;
    for (auto const& location : locations) {
        std::filesystem::path const path = output.path() / "lone-star.png";
        std::ofstream(path) << "an older file";
        Render::createThumbnail(location, path, kThumbnailWidth, kThumbnailHeight, kThumbnailBackground,
                                kThumbnailLevels);
        Graphics::ColorImage const image = Graphics::readPng(path);
        std::size_t borderPixels = 0;
        for (std::size_t x = 0; x < kThumbnailWidth; ++x)
            for (std::size_t y : {std::size_t{0}, kThumbnailHeight - 1})
                borderPixels += image.pixel(x, y) == kThumbnailBackground ? 0 : 1;
        for (std::size_t y = 0; y < kThumbnailHeight; ++y)
            for (std::size_t x : {std::size_t{0}, kThumbnailWidth - 1})
                borderPixels += image.pixel(x, y) == kThumbnailBackground ? 0 : 1;
        std::size_t const borderLength = 2 * (kThumbnailWidth + kThumbnailHeight);
        std::vector<bool> grays(256);
        double graySum = 0.0;
        std::size_t covered = 0;
        for (std::size_t y = 0; y < kThumbnailHeight; ++y)
            for (std::size_t x = 0; x < kThumbnailWidth; ++x)
                if (Math::Color const color = image.pixel(x, y); color != kThumbnailBackground) {
                    grays[color.g()] = true;
                    graySum += color.g();
                    ++covered;
                }
        EXPECT_GT(covered, kThumbnailWidth * kThumbnailHeight / 4);
        EXPECT_LT(borderPixels, borderLength / 5) << "the cloud is cut off at the border";
        EXPECT_GT(std::count(grays.begin(), grays.end(), true), 64) << "a gray scale, not a dark blob";
        meanGrays.push_back(graySum / static_cast<double>(std::max<std::size_t>(covered, 1)));
    }
    EXPECT_NEAR(meanGrays[0], meanGrays[1], 12.0);
}

// A vertical line of points has a box without width or depth: the eye would lie straight above
// the centre, on the line of the up direction.
TEST_F(ThumbnailTest, VerticalLineIsFramedWithoutADegenerateCamera)
{
    Octree::SourcePoints source;
    source.hasRgb = true;
    for (int i = 0; i < kLinePoints; ++i)
        source.points.push_back({Math::Point<double, 3>(10.0, 20.0, 30.0 + 0.01 * i), {65535, 65535, 65535}});
    std::filesystem::path const folder = output.path() / "line";
    PoTree::writePotree(source, folder, PoTree::WriterOptions{});
    Render::createThumbnail(folder, kThumbnailWidth, kThumbnailHeight, kThumbnailBackground, kThumbnailLevels);
    Graphics::ColorImage const image = Graphics::readPng(folder / Render::kThumbnailFileName);
    std::size_t const covered = pixelsOtherThan(image, kThumbnailBackground);
    EXPECT_GT(covered, 0u) << "the point is in view";
    EXPECT_LT(covered, kThumbnailWidth * kThumbnailHeight / 4);
}

TEST_F(ThumbnailTest, MissingFolderThrowsBeforeAnythingIsCreated)
{
    std::filesystem::path const folder = output.path() / "no-data-set";
    std::filesystem::create_directories(folder);
    std::uint64_t const before = Render::Renderer().id();
    try {
        Render::createThumbnail(folder, kThumbnailWidth, kThumbnailHeight, kThumbnailBackground, kThumbnailLevels);
        FAIL() << "no exception";
    } catch (std::invalid_argument const& error) {
        EXPECT_STREQ(error.what(), "createThumbnail: locationPotree does not exist");
    }
    EXPECT_EQ(Render::Renderer().id(), before + 1) << "no renderer was made in between";
    EXPECT_FALSE(std::filesystem::exists(folder / Render::kThumbnailFileName));
}

} // namespace
