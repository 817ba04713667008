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

constexpr std::size_t kWidth = 64;
constexpr std::size_t kHeight = 48;
constexpr std::size_t kPixels = kWidth * kHeight;
constexpr int kGridSteps = 120;
constexpr double kGridSpacing = 0.1;
constexpr std::size_t kGridBudget = 4 * kGridSteps * kGridSteps;
// A chunk size that does not divide the row width, so that chunks end in the middle of rows.
constexpr std::size_t kOddChunk = 7;

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

bool sameBytes(std::vector<VertexPosColor> const& a, std::vector<VertexPosColor> const& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(VertexPosColor)) == 0;
}

// The frame of a colored grid seen from above, with empty pixels left and right of it.
class ExportTest : public StreamingTest::PointCloudTest {
protected:
    static void SetUpTestSuite()
    {
        gridFolder = std::make_unique<OctreeTest::TempFolder>("export-grid");
        PoTree::writePotree(colorGrid(), gridFolder->path(), PoTree::WriterOptions{});
    }
    static void TearDownTestSuite() { gridFolder.reset(); }

    void SetUp() override
    {
        PointCloudTest::SetUp();
        renderer->setViewport(kWidth, kHeight);
        auto const cloud = startCloud(std::make_shared<PoTree::FileSystemLocation>(gridFolder->path()), kGridBudget);
        renderer->setScene(cloud);
        viewFromAbove(cloud->boundingBoxWorld(), 0.6f);
        cloud->reloadPoints({}, Octree::OctreeNodeId::kMaxLevel, {});
        renderer->render();
        gridHeight = cloud->boundingBoxWorld().center().z();
    }

    std::vector<VertexPosColor> points(bool withoutEmptyPixels)
    {
        std::vector<VertexPosColor> points;
        renderer->getPoints(points, withoutEmptyPixels);
        return points;
    }

    inline static std::unique_ptr<OctreeTest::TempFolder> gridFolder;
    OctreeTest::TempFolder output{"export-output"};
    float gridHeight = 0.0f;
};

// Every pixel in scan order, empty ones at the largest float; the points alone keep that order, with
// the colors of the image. Chunks that end in the middle of rows walk the image exactly once and then
// stay at the end, so a host reading until 0 stops; a new frame starts the walk over. The older chunk
// readers give the points alone: as vertices, as doubles with the color as red, green and blue in the
// low bytes, and as a PLY file.
TEST_F(ExportTest, ChunkReadersWalkThePointsOnceInScanOrder)
{
    std::vector<VertexPosColor> const pixels = points(false);
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
    EXPECT_TRUE(sameBytes(points(true), drawn));

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
    Graphics::PlyPointWriter expected(output.path() / "expected.ply");
    expected.append(shown);
    expected.close();
    EXPECT_EQ(readBytes(path), readBytes(output.path() / "expected.ply"));
    EXPECT_EQ(renderer->getNextPointChunkDebug(path, kPixels), 0u) << "the walk had reached the end";
    EXPECT_EQ(readBytes(path), Graphics::PlyPointWriter::header(0));
    std::filesystem::path const unasked = output.path() / "unasked.ply";
    EXPECT_EQ(renderer->getNextPointChunkDebug(unasked, 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(unasked)) << "no points asked for, no file written";
}

// The text file of the drawn points and the PNG of the frame; a file that cannot be written is named,
// outputs missing or too small are refused.
TEST_F(ExportTest, FilesHoldTheFrameAndBadOutputsAreRefused)
{
    renderer->writePoints(output.path() / "points.txt");
    Graphics::TextPointWriter expectedText(output.path() / "expected.txt");
    expectedText.append(points(true));
    expectedText.close();
    EXPECT_EQ(readBytes(output.path() / "points.txt"), readBytes(output.path() / "expected.txt"));

    Graphics::ColorImage const expected = colorImage();
    renderer->writePngImage(output.path() / "frame.png");
    Graphics::ColorImage const written = Graphics::readPng(output.path() / "frame.png");
    ASSERT_EQ(written.width, kWidth);
    ASSERT_EQ(written.height, kHeight);
    EXPECT_TRUE(std::equal(written.data(), written.data() + written.sizeInBytes(), expected.data()));

    std::filesystem::path const missing = output.path() / "no-such-folder";
    for (auto const& write : std::vector<std::function<void(std::filesystem::path const&)>>{
             [&](auto const& path) { renderer->writePoints(path); },
             [&](auto const& path) { renderer->getNextPointChunkDebug(path, kPixels); },
             [&](auto const& path) { renderer->writePngImage(path); }}) {
        std::filesystem::path const path = missing / "out.file";
        std::string const message = TestSupport::thrownMessage<std::runtime_error>([&] { write(path); });
        EXPECT_NE(message.find(path.generic_string()), std::string::npos) << message;
    }
    EXPECT_FALSE(std::filesystem::exists(missing));

    // Null outputs, and caller memory too small for the rows asked for, also with a stride whose
    // product with the row count wraps around to a small number.
    std::vector<double> xyz(3);
    std::vector<int> colors(1);
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

class ThumbnailTest : public ::testing::Test {
protected:
    static constexpr std::size_t kWidth = 96;
    static constexpr std::size_t kHeight = 64;
    static constexpr std::size_t kLevels = 3;
    inline static Math::Color const kBackground{10, 20, 30, 255};

    // The pixels showing points, those of them on the picture's border, their distinct green levels
    // and their mean green.
    struct Covered {
        std::size_t pixels = 0, onBorder = 0, grays = 0;
        double meanGray = 0.0;
    };
    static Covered coveredOf(Graphics::ColorImage const& image)
    {
        Covered covered;
        std::vector<bool> grays(256);
        for (std::size_t y = 0; y < kHeight; ++y)
            for (std::size_t x = 0; x < kWidth; ++x)
                if (Math::Color const color = image.pixel(x, y); color != kBackground) {
                    ++covered.pixels;
                    covered.onBorder += x == 0 || y == 0 || x == kWidth - 1 || y == kHeight - 1 ? 1 : 0;
                    grays[color.g()] = true;
                    covered.meanGray += color.g();
                }
        covered.grays = static_cast<std::size_t>(std::count(grays.begin(), grays.end(), true));
        covered.meanGray /= static_cast<double>(std::max<std::size_t>(covered.pixels, 1));
        return covered;
    }

    OctreeTest::TempFolder output{"thumbnail"};
};

// The same airborne scan without colors, once as Potree and once as Entwine: each picture shows the
// whole cloud (only the splats of the outermost points may touch the border), fills a good part of
// the frame, and shows the intensities in many gray levels, about equally bright in both formats.
TEST_F(ThumbnailTest, WholeScanIsFramedAndLooksTheSameInBothFormats)
{
    std::vector<double> meanGrays;
    for (auto const& location : {StreamingTest::potree("lone-star-default"), StreamingTest::ept("lone-star-laszip")}) {
        std::filesystem::path const path = output.path() / "lone-star.png";
        std::ofstream(path) << "an older file";
        Render::createThumbnail(location, path, kWidth, kHeight, kBackground, kLevels);
        Covered const covered = coveredOf(Graphics::readPng(path));
        EXPECT_GT(covered.pixels, kWidth * kHeight / 4);
        EXPECT_LT(covered.onBorder, 2 * (kWidth + kHeight) / 5) << "the cloud is cut off at the border";
        EXPECT_GT(covered.grays, 64u) << "a gray scale, not a dark blob";
        meanGrays.push_back(covered.meanGray);
    }
    EXPECT_NEAR(meanGrays[0], meanGrays[1], 12.0);
}

// A vertical line of points has a box without width or depth: the eye would lie straight above the
// centre, on the line of the up direction. A folder without a data set throws before a renderer is made.
TEST_F(ThumbnailTest, VerticalLineIsFramedAndAMissingDataSetRefused)
{
    Octree::SourcePoints source;
    source.hasRgb = true;
    for (int i = 0; i < 1000; ++i)
        source.points.push_back({Math::Point<double, 3>(10.0, 20.0, 30.0 + 0.01 * i), {65535, 65535, 65535}});
    std::filesystem::path const folder = output.path() / "line";
    PoTree::writePotree(source, folder, PoTree::WriterOptions{});
    Render::createThumbnail(folder, kWidth, kHeight, kBackground, kLevels);
    std::size_t const covered = coveredOf(Graphics::readPng(folder / Render::kThumbnailFileName)).pixels;
    EXPECT_GT(covered, 0u) << "the line is in view";
    EXPECT_LT(covered, kWidth * kHeight / 4);

    std::filesystem::path const empty = output.path() / "no-data-set";
    std::filesystem::create_directories(empty);
    std::uint64_t const before = Render::Renderer().id();
    EXPECT_EQ(TestSupport::thrownMessage<std::invalid_argument>(
                  [&] { Render::createThumbnail(empty, kWidth, kHeight, kBackground, kLevels); }),
              "createThumbnail: locationPotree does not exist");
    EXPECT_EQ(Render::Renderer().id(), before + 1) << "no renderer was made in between";
    EXPECT_FALSE(std::filesystem::exists(empty / Render::kThumbnailFileName));
}

} // namespace
