#include "graphics/plypointwriter.h"
#include "graphics/textpointwriter.h"
#include "graphics/tiledpanoramaloader.h"
#include "math/vertexformats.h"
#include "octree/octreenodeid.h"
#include "octree/testdatasets.h"
#include "render/thumbnail.h"
#include "support/thrownmessage.h"

#include "streamingtestsupport.h"

#include <cfloat>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>

namespace {

using Render::VertexPosColor;
using TestSupport::thrownMessage;

constexpr std::size_t kWidth = 64;
constexpr std::size_t kHeight = 48;
constexpr std::size_t kPixels = kWidth * kHeight;
constexpr int kGridSteps = 120;
// A chunk size that does not divide the row width, so that chunks end in the middle of rows.
constexpr std::size_t kOddChunk = 7;

// A flat grid of points whose colors change along both axes, so that any shift of a chunk shows.
Octree::SourcePoints colorGrid()
{
    Octree::SourcePoints source;
    source.hasRgb = true;
    for (int i = 0; i < kGridSteps; ++i)
        for (int j = 0; j < kGridSteps; ++j)
            source.points.push_back({{500.0 + i * 0.1, 800.0 + j * 0.1, 20.0},
                                     {static_cast<std::uint16_t>(i * 2 * 257),
                                      static_cast<std::uint16_t>(j * 2 * 257), 200 * 257}});
    return source;
}

std::string readBytes(std::filesystem::path const& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool sameBytes(std::vector<VertexPosColor> const& a, std::vector<VertexPosColor> const& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(VertexPosColor)) == 0;
}

using ExportTest = StreamingTest::PointCloudTest;

// The frame of a colored grid seen from above, with empty pixels left and right of it. Every pixel
// in scan order, empty ones at the largest float; the points alone keep that order, with the colors
// of the image. Chunks that end in the middle of rows walk the image exactly once and then stay at
// the end, so a host reading until 0 stops; a new frame starts the walk over. The older chunk readers
// give the points alone: as vertices, as doubles with the color as red, green and blue in the low
// bytes, and as a PLY file; the text file and the PNG hold the same frame. Outputs missing or too small
// are refused.
TEST_F(ExportTest, ChunkReadersAndFilesHoldTheFrameAndBadOutputsAreRefused)
{
    OctreeTest::TempFolder const output("export");
    PoTree::writePotree(colorGrid(), output.path() / "grid", PoTree::WriterOptions{});
    renderer->setViewport(kWidth, kHeight);
    auto const cloud = startCloud(std::make_shared<PoTree::FileSystemLocation>(output.path() / "grid"),
                                  4 * kGridSteps * kGridSteps);
    renderer->setScene(cloud);
    viewFromAbove(cloud->boundingBoxWorld(), 0.6f);
    cloud->reloadPoints({}, Octree::OctreeNodeId::kMaxLevel, {});
    renderer->render();
    float const gridHeight = cloud->boundingBoxWorld().center().z();

    std::vector<VertexPosColor> pixels, points;
    renderer->getPoints(pixels, false);
    renderer->getPoints(points, true);
    ASSERT_EQ(pixels.size(), kPixels);
    Graphics::ColorImage const image = colorImage();
    std::vector<VertexPosColor> drawn;
    std::vector<VertexPosColor> shown; // with the colors of the image
    for (std::size_t index = 0; index < kPixels; ++index) {
        VertexPosColor const& pixel = pixels[index];
        if (pixel.color == Math::Color()) {
            EXPECT_EQ(Eigen::Vector3f(pixel.x, pixel.y, pixel.z), Eigen::Vector3f::Constant(FLT_MAX));
            continue;
        }
        EXPECT_NEAR(pixel.z, gridHeight, 1e-3f);
        drawn.push_back(pixel);
        shown.push_back(pixel);
        shown.back().color = image.pixel(index % kWidth, index / kWidth);
        Eigen::Vector4f const difference = pixel.color.toVector4f() - shown.back().color.toVector4f();
        EXPECT_LT(difference.head<3>().cwiseAbs().maxCoeff(), 1.5f / 255.0f) << "pixel " << index;
    }
    EXPECT_GT(drawn.size(), kPixels / 10) << "the grid fills the middle of the view";
    EXPECT_LT(drawn.size(), kPixels * 9 / 10) << "the grid leaves the sides of the view empty";
    EXPECT_TRUE(sameBytes(points, drawn));

    std::vector<VertexPosColor> chunk(kOddChunk);
    for (bool const old : {false, true}) {
        renderer->resetPointChunkPosition();
        std::vector<VertexPosColor> walked;
        std::size_t calls = 0;
        while (std::size_t const count = old ? renderer->getNextPointChunkOld(chunk.data(), chunk.size())
                                             : renderer->getNextPointChunk(chunk.data(), chunk.size())) {
            ASSERT_LE(count, kOddChunk);
            walked.insert(walked.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
            ASSERT_LE(++calls, kPixels) << "the walk does not end";
        }
        EXPECT_TRUE(sameBytes(walked, old ? drawn : pixels));
        EXPECT_EQ(renderer->getNextPointChunk(chunk.data(), chunk.size()), 0u) << "the end stays the end";
    }
    std::vector<VertexPosColor> whole(kPixels + 1);
    renderer->resetPointChunkPosition();
    ASSERT_EQ(renderer->getNextPointChunk(whole.data(), whole.size()), kPixels);
    EXPECT_EQ(renderer->getNextPointChunk(whole.data(), whole.size()), 0u) << "a whole image in one chunk ends too";
    renderer->render();
    ASSERT_EQ(renderer->getNextPointChunk(chunk.data(), chunk.size()), kOddChunk);
    ASSERT_EQ(renderer->getNextPointChunk(whole.data(), whole.size()), kPixels - kOddChunk);
    EXPECT_EQ(std::memcmp(&whole[0], &pixels[kOddChunk], sizeof(VertexPosColor)), 0) << "goes on after the first chunk";

    renderer->resetPointChunkPosition();
    std::vector<double> xyz(3 * kOddChunk);
    std::vector<int> colors(kOddChunk);
    std::size_t next = 0;
    while (std::size_t const count = renderer->getNextPointChunk(xyz.data(), colors.data(), kOddChunk))
        for (std::size_t i = 0; i < count; ++i, ++next) {
            ASSERT_LT(next, drawn.size());
            EXPECT_EQ(Eigen::Vector3d(xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]),
                      Eigen::Vector3d(drawn[next].x, drawn[next].y, drawn[next].z));
            Math::Color const color = shown[next].color;
            EXPECT_EQ(colors[i], color.r() | color.g() << 8 | color.b() << 16) << "nothing above the blue byte";
        }
    EXPECT_EQ(next, drawn.size());
    EXPECT_EQ(renderer->getNextPointChunk(xyz.data(), colors.data(), 0), 0u);

    std::filesystem::path const path = output.path() / "chunk.ply";
    std::ofstream(path) << "an older file";
    renderer->resetPointChunkPosition();
    ASSERT_EQ(renderer->getNextPointChunkDebug(path, kPixels), drawn.size());
    Graphics::PlyPointWriter expectedPly(output.path() / "expected.ply");
    expectedPly.append(shown);
    expectedPly.close();
    EXPECT_EQ(readBytes(path), readBytes(output.path() / "expected.ply"));
    EXPECT_EQ(renderer->getNextPointChunkDebug(path, kPixels), 0u) << "the walk had reached the end";
    EXPECT_EQ(readBytes(path), Graphics::PlyPointWriter::header(0));
    std::filesystem::path const unasked = output.path() / "unasked.ply";
    EXPECT_EQ(renderer->getNextPointChunkDebug(unasked, 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(unasked)) << "no points asked for, no file written";

    renderer->writePoints(output.path() / "points.txt");
    Graphics::TextPointWriter expectedText(output.path() / "expected.txt");
    expectedText.append(drawn);
    expectedText.close();
    EXPECT_EQ(readBytes(output.path() / "points.txt"), readBytes(output.path() / "expected.txt"));
    renderer->writePngImage(output.path() / "frame.png");
    Graphics::ColorImage const written = Graphics::readPng(output.path() / "frame.png");
    ASSERT_EQ(std::make_pair(written.width, written.height), std::make_pair(kWidth, kHeight));
    EXPECT_TRUE(std::equal(written.data(), written.data() + written.sizeInBytes(), image.data()));

    // Null outputs, and caller memory too small for the rows asked for, also with a stride whose
    // product with the row count wraps around to a small number.
    EXPECT_THROW(renderer->getNextPointChunk(static_cast<VertexPosColor*>(nullptr), 1), std::invalid_argument);
    EXPECT_THROW(renderer->getNextPointChunkOld(nullptr, 1), std::invalid_argument);
    EXPECT_THROW(renderer->getNextPointChunk(nullptr, colors.data(), 1), std::invalid_argument);
    EXPECT_THROW(renderer->getNextPointChunk(xyz.data(), nullptr, 1), std::invalid_argument);
    std::vector<std::byte> memory(kWidth * 4 * kHeight - 1);
    EXPECT_THROW(renderer->getColorImage(memory, kWidth * 4, kHeight), std::invalid_argument);
    EXPECT_NO_THROW(renderer->getColorImage(memory, kWidth * 4, kHeight - 1));
    std::size_t const wrappingStride = std::numeric_limits<std::size_t>::max() / 2 + 1;
    EXPECT_THROW(renderer->getColorImage(memory, wrappingStride, 2), std::invalid_argument);
    EXPECT_THROW(renderer->getDepthImage(memory, wrappingStride, 2), std::invalid_argument);
}

// Thumbnails of the same airborne scan without colors, once as Potree and once as Entwine: each
// picture shows the whole cloud (only the splats of the outermost points may touch the border), fills
// a good part of the frame, and shows the intensities in many gray levels, about equally bright in
// both formats. A vertical line of points has a box without width or depth: the eye would lie straight
// above the centre, on the line of the up direction. A folder without a data set throws before a
// renderer is made.
TEST(Thumbnail, WholeScansAndAVerticalLineAreFramedAndAMissingDataSetRefused)
{
    constexpr std::size_t kThumbWidth = 96, kThumbHeight = 64, kLevels = 3;
    Math::Color const background(10, 20, 30, 255);
    OctreeTest::TempFolder const output("thumbnail");
    std::vector<double> meanGrays;
    for (auto const& scan :
         {StreamingTest::potree("lone-star-default"), StreamingTest::ept("lone-star-laszip")}) {
        std::filesystem::path const path = output.path() / "lone-star.png";
        Render::createThumbnail(scan, path, kThumbWidth, kThumbHeight, background, kLevels);
        Graphics::ColorImage const image = Graphics::readPng(path);
        // The pixels showing points, those of them on the border, their green levels and their mean.
        std::size_t covered = 0, onBorder = 0;
        std::vector<bool> grays(256);
        double meanGray = 0.0;
        for (std::size_t y = 0; y < image.height; ++y)
            for (std::size_t x = 0; x < image.width; ++x)
                if (Math::Color const color = image.pixel(x, y); color != background) {
                    ++covered;
                    onBorder += x == 0 || y == 0 || x == image.width - 1 || y == image.height - 1 ? 1 : 0;
                    grays[color.g()] = true;
                    meanGray += color.g();
                }
        EXPECT_GT(covered, kThumbWidth * kThumbHeight / 4);
        EXPECT_LT(onBorder, 2 * (kThumbWidth + kThumbHeight) / 5) << "the cloud is cut off at the border";
        EXPECT_GT(std::count(grays.begin(), grays.end(), true), 64) << "a gray scale, not a dark blob";
        meanGrays.push_back(meanGray / static_cast<double>(std::max<std::size_t>(covered, 1)));
    }
    EXPECT_NEAR(meanGrays[0], meanGrays[1], 12.0);

    Octree::SourcePoints line;
    line.hasRgb = true;
    for (int i = 0; i < 1000; ++i)
        line.points.push_back({Math::Point<double, 3>(10.0, 20.0, 30.0 + 0.01 * i), {65535, 65535, 65535}});
    std::filesystem::path const folder = output.path() / "line";
    PoTree::writePotree(line, folder, PoTree::WriterOptions{});
    Render::createThumbnail(folder, kThumbWidth, kThumbHeight, Math::Color(0, 0, 0, 255), kLevels);
    Graphics::ColorImage const image = Graphics::readPng(folder / Render::kThumbnailFileName);
    double const covered = StreamingTest::coverageOf(image, 0, 0, image.width, image.height).fraction;
    EXPECT_GT(covered, 0.0) << "the line is in view";
    EXPECT_LT(covered, 0.25);

    std::filesystem::path const empty = output.path() / "no-data-set";
    std::filesystem::create_directories(empty);
    std::uint64_t const before = Render::Renderer().id();
    EXPECT_EQ(thrownMessage<std::invalid_argument>([&] {
        Render::createThumbnail(empty, kThumbWidth, kThumbHeight, background, kLevels);
    }), "createThumbnail: locationPotree does not exist");
    EXPECT_EQ(Render::Renderer().id(), before + 1) << "no renderer was made in between";
    EXPECT_FALSE(std::filesystem::exists(empty / Render::kThumbnailFileName));
}

} // namespace
