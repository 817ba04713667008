#include "d3dtestsupport.h"

#include "graphics/colorimage.h"
#include "math/convexpolytope.h"
#include "math/halfspace.h"
#include "octree/octreenodeid.h"
#include "octree/potreelocation.h"
#include "octree/potreewriter.h"
#include "octree/sourcepoints.h"
#include "render/grouprenderable.h"
#include "render/meshloader.h"
#include "render/meshrenderable.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"
#include "support/tempfolder.h"

#include "streamingtestsupport.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using RenderTest::messageOf;
using Render::MeshRenderable;
using RenderTest::Float4;
using Vertex = Render::VertexPosNormalTexCoordColor;
using Part = std::vector<Vertex>;
using Volume = Math::ConvexPolytope<float, 3>;
using Plane = Math::HalfSpace<float, 3>;

constexpr std::size_t kViewSize = 64;
constexpr float kCameraDistance = 5.0f;
constexpr float kFieldOfViewY = 60.0f;
constexpr float kQuadHalfSize = 2.0f;
// World size of one pixel where the camera looks, at the test's distance and field of view.
const float kPixelSize = 2.0f * kCameraDistance * std::tan(kFieldOfViewY / 2.0f * std::numbers::pi_v<float> / 180.0f) /
                         static_cast<float>(kViewSize);
Math::Color const kMeshColor(200, 160, 100, 255);

std::filesystem::path realWorldObj(std::string const& relative)
{
    return std::filesystem::path(MORVID_TEST_DATA_DIR) / "realworld" / "obj" / relative;
}

// An axis-aligned square at height z facing +z, as two triangles.
Part square(float halfSize, float z, Math::Color const& color)
{
    auto corner = [&](float x, float y) { return Vertex(x, y, z, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, color.packed()); };
    Vertex const a = corner(-halfSize, -halfSize), b = corner(halfSize, -halfSize), c = corner(halfSize, halfSize),
                 d = corner(-halfSize, halfSize);
    return {a, b, c, a, c, d};
}

// Hands over triangle lists made in the test, then optionally fails like a file that breaks off.
class TriangleListLoader : public Render::MeshLoader {
public:
    explicit TriangleListLoader(std::vector<Part> parts, bool failAtEnd = false)
        : mParts(std::move(parts)), mFailAtEnd(failAtEnd)
    {
    }

    void load(PartCallback const& onPart) override
    {
        for (Part const& part : mParts)
            onPart(part);
        if (mFailAtEnd)
            throw std::runtime_error("the mesh source broke off");
    }

private:
    std::vector<Part> mParts;
    bool mFailAtEnd;
};

std::shared_ptr<MeshRenderable> squareMesh(double unitScale = 1.0)
{
    auto loader = std::make_shared<TriangleListLoader>(std::vector<Part>{square(kQuadHalfSize, 0.0f, kMeshColor)});
    return MeshRenderable::create(std::move(loader), unitScale, "square");
}

Eigen::Matrix4f translation(float x, float y, float z)
{
    return Eigen::Affine3f(Eigen::Translation3f(x, y, z)).matrix();
}

Eigen::Matrix4f rotationAboutY(float degrees)
{
    return Eigen::Affine3f(Eigen::AngleAxisf(degrees * std::numbers::pi_v<float> / 180.0f, Eigen::Vector3f::UnitY()))
        .matrix();
}

class MeshRenderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        renderer = std::make_unique<Render::Renderer>();
        renderer->setViewport(kViewSize, kViewSize);
        renderer->setBackgroundColor(0, 0, 0, 255);
        lookAt(Math::Point<float, 3>::Zero());
    }

    // From kCameraDistance above `target`, looking down the z axis.
    void lookAt(Math::Point<float, 3> const& target)
    {
        renderer->setCameraPose(target + Math::Point<float, 3>(0.0f, 0.0f, kCameraDistance), target,
                                Eigen::Vector3f(0.0f, 1.0f, 0.0f));
        renderer->setPerspective(kFieldOfViewY, 0.1f, 100.0f);
    }

    std::vector<Float4> exactWorldPositions() const { return StreamingTest::exactWorldPositions<Float4>(*renderer); }

    static std::vector<Float4> covered(std::vector<Float4> const& positions)
    {
        std::vector<Float4> result;
        for (Float4 const& position : positions)
            if (position.w != 0.0f)
                result.push_back(position);
        return result;
    }

    std::vector<Float4> renderAndReadCovered()
    {
        renderer->render();
        return covered(exactWorldPositions());
    }

    Math::Color centerColor()
    {
        Graphics::ColorImage image;
        renderer->getColorImage(image);
        return image.pixel(kViewSize / 2, kViewSize / 2);
    }

    std::unique_ptr<Render::Renderer> renderer;
};

void expectColorNear(Math::Color const& actual, float r, float g, float b, float tolerance)
{
    EXPECT_NEAR(actual.r(), r, tolerance);
    EXPECT_NEAR(actual.g(), g, tolerance);
    EXPECT_NEAR(actual.b(), b, tolerance);
}

TEST(MeshNode, NothingIsReadBeforeInit)
{
    auto const mesh = MeshRenderable::create(realWorldObj("no-such-mesh.obj"), 0.5, "later");
    EXPECT_EQ(mesh->numTriangles(), 0u);
    EXPECT_TRUE(mesh->boundingBox().isEmpty());
    EXPECT_TRUE(mesh->boundingBoxWorld().isEmpty());
    EXPECT_EQ(mesh->unitScale(), 0.5);
    EXPECT_EQ(mesh->name(), "later");
    EXPECT_NO_THROW(mesh->render()) << "drawing before init draws nothing";
}

TEST(MeshNode, UnitScaleMustBePositiveAndFinite)
{
    for (double const scale : {0.0, -1.0, std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_THROW(MeshRenderable::create(realWorldObj("cornell-box/cornell_box.obj"), scale, "bad"),
                     std::invalid_argument)
            << scale;
}

TEST(MeshNode, BuffersHoldWholeTrianglesWithinTheLimit)
{
    using Counts = std::vector<std::size_t>;
    EXPECT_EQ(MeshRenderable::bufferVertexCounts(0, 9), Counts{});
    EXPECT_EQ(MeshRenderable::bufferVertexCounts(9, 9), Counts{9});
    EXPECT_EQ(MeshRenderable::bufferVertexCounts(10, 9), Counts{9}) << "a trailing partial triangle is not drawn";
    EXPECT_EQ(MeshRenderable::bufferVertexCounts(21, 10), (Counts{9, 9, 3})) << "the limit is cut to whole triangles";
    EXPECT_THROW(MeshRenderable::bufferVertexCounts(9, 2), std::invalid_argument);
    EXPECT_EQ(MeshRenderable::kMaxVerticesPerBuffer % 3, 0u);
    EXPECT_LE(MeshRenderable::kMaxVerticesPerBuffer * sizeof(Vertex), MeshRenderable::kMaxVertexBufferBytes);
    EXPECT_GT((MeshRenderable::kMaxVerticesPerBuffer + 3) * sizeof(Vertex), MeshRenderable::kMaxVertexBufferBytes);
}

TEST_F(MeshRenderTest, InitLoadsTheFileAndReportsItsBoundsInSceneUnits)
{
    auto const mesh = MeshRenderable::create(realWorldObj("cornell-box/cornell_box.obj"), 0.001, "box");
    renderer->setScene(mesh);
    EXPECT_EQ(mesh->numTriangles(), 36u);
    EXPECT_GE(mesh->numVertexBuffers(), 8u) << "one buffer per object with faces";
    auto const box = mesh->boundingBox();
    EXPECT_TRUE(box.min().isApprox(Math::Point<float, 3>(0.0f, 0.0f, 0.0f)));
    EXPECT_TRUE(box.max().isApprox(Math::Point<float, 3>(0.556f, 0.5488f, 0.5592f), 1e-5f));
    mesh->setMatrix(translation(1.0f, 2.0f, 3.0f));
    auto const world = mesh->boundingBoxWorld();
    EXPECT_TRUE(world.min().isApprox(Math::Point<float, 3>(1.0f, 2.0f, 3.0f)));
    EXPECT_TRUE(world.max().isApprox(Math::Point<float, 3>(1.556f, 2.5488f, 3.5592f), 1e-5f));
}

TEST_F(MeshRenderTest, ObjectWithoutFacesInTheFileIsSkippedAtInit)
{
    TestSupport::TempFolder const folder("mesh-empty-object");
    std::filesystem::path const path = folder.path() / "empty-object.obj";
    std::ofstream(path) << "o empty\nv 9 9 9\no square\nv -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nf 2 3 4\nf 2 4 5\n";
    auto const mesh = MeshRenderable::create(path, 1.0, "empty object");
    renderer->setScene(mesh);
    EXPECT_EQ(mesh->numTriangles(), 2u);
    EXPECT_EQ(mesh->numVertexBuffers(), 1u) << "no buffer for the empty object";
    std::vector<Float4> const positions = renderAndReadCovered();
    ASSERT_FALSE(positions.empty());
    for (Float4 const& position : positions)
        EXPECT_EQ(position.z, 0.0f);
}

TEST_F(MeshRenderTest, RealMeshIsDrawnInsideItsBounds)
{
    auto const mesh = MeshRenderable::create(realWorldObj("spider/spider.obj"), 0.03, "spider");
    renderer->setScene(mesh);
    auto const box = mesh->boundingBoxWorld();
    lookAt(box.center());
    std::vector<Float4> const positions = renderAndReadCovered();
    EXPECT_GT(positions.size(), kViewSize * kViewSize / 20);
    for (Float4 const& position : positions) {
        EXPECT_LE(std::abs(position.x - box.center().x()), box.halfExtent().x() + 1e-3f);
        EXPECT_LE(std::abs(position.y - box.center().y()), box.halfExtent().y() + 1e-3f);
        EXPECT_LE(std::abs(position.z - box.center().z()), box.halfExtent().z() + 1e-3f);
    }
}

TEST_F(MeshRenderTest, FailedLoadLeavesNothingBehindAndTheRendererUsable)
{
    auto const broken = MeshRenderable::create(
        std::make_shared<TriangleListLoader>(std::vector<Part>{square(1.0f, 0.0f, kMeshColor)}, true), 1.0, "broken");
    EXPECT_THROW(renderer->setScene(broken), std::runtime_error);
    EXPECT_EQ(broken->numTriangles(), 0u);
    EXPECT_EQ(broken->numVertexBuffers(), 0u);
    EXPECT_TRUE(broken->boundingBox().isEmpty());
    EXPECT_TRUE(renderAndReadCovered().empty());

    std::filesystem::path const missing = realWorldObj("no-such-mesh.obj");
    std::string const message = messageOf([&] { renderer->setScene(MeshRenderable::create(missing, 1.0, "missing")); });
    EXPECT_EQ(message.rfind("TinyObjReader: ", 0), 0u) << message;
    EXPECT_NE(message.find("no-such-mesh.obj"), std::string::npos) << message;

    renderer->setScene(squareMesh());
    EXPECT_FALSE(renderAndReadCovered().empty());
}

TEST_F(MeshRenderTest, InitAgainReplacesTheMeshAlsoInAnotherRenderer)
{
    auto const mesh = MeshRenderable::create(realWorldObj("cornell-box/cornell_box.obj"), 0.01, "box");
    renderer->setScene(mesh);
    std::size_t const buffers = mesh->numVertexBuffers();
    renderer->setScene(nullptr);
    renderer->setScene(mesh);
    EXPECT_EQ(mesh->numTriangles(), 36u);
    EXPECT_EQ(mesh->numVertexBuffers(), buffers);

    // The buffers of the first device are of no use to the second one.
    auto const square = squareMesh();
    renderer->setScene(square);
    renderer->render();
    renderer.reset();
    Render::Renderer other;
    other.setViewport(kViewSize, kViewSize);
    other.setScene(square);
    EXPECT_EQ(square->numVertexBuffers(), 1u);
    other.setCameraPose(Math::Point<float, 3>(0.0f, 0.0f, kCameraDistance), Math::Point<float, 3>(0.0f, 0.0f, 0.0f),
                        Eigen::Vector3f(0.0f, 1.0f, 0.0f));
    other.setPerspective(kFieldOfViewY, 0.1f, 100.0f);
    other.render();
    Graphics::ColorImage image;
    other.getColorImage(image);
    expectColorNear(image.pixel(kViewSize / 2, kViewSize / 2), kMeshColor.r(), kMeshColor.g(), kMeshColor.b(), 2.0f);
}

TEST_F(MeshRenderTest, CoversItsPixelsWithTheVertexColorWhereItFacesTheCamera)
{
    auto const mesh = squareMesh();
    renderer->setScene(mesh);
    EXPECT_TRUE(mesh->needsRedraw());
    std::vector<Float4> const positions = renderAndReadCovered();
    EXPECT_FALSE(mesh->needsRedraw());

    float const expectedSide = 2.0f * kQuadHalfSize / kPixelSize;
    EXPECT_NEAR(static_cast<float>(positions.size()), expectedSide * expectedSide, 4.0f * expectedSide);
    for (Float4 const& position : positions) {
        EXPECT_NEAR(position.z, 0.0f, 1e-5f);
        EXPECT_LE(std::abs(position.x), kQuadHalfSize);
        EXPECT_LE(std::abs(position.y), kQuadHalfSize);
        EXPECT_EQ(position.w, 1.0f);
    }
    expectColorNear(centerColor(), kMeshColor.r(), kMeshColor.g(), kMeshColor.b(), 2.0f);
}

TEST_F(MeshRenderTest, HeadlightDimsTurnedSurfacesAndLightsBothSidesAlike)
{
    auto const mesh = squareMesh();
    renderer->setScene(mesh);
    // Turned by 60 degrees the surface gets half the diffuse light: 0.2 + 0.8 * 0.5 of its color.
    mesh->setMatrix(rotationAboutY(60.0f));
    renderer->render();
    Math::Color const front = centerColor();
    expectColorNear(front, 0.6f * kMeshColor.r(), 0.6f * kMeshColor.g(), 0.6f * kMeshColor.b(), 3.0f);
    // Its back side, turned by the same angle the other way, looks the same.
    mesh->setMatrix(rotationAboutY(120.0f));
    renderer->render();
    expectColorNear(centerColor(), front.r(), front.g(), front.b(), 2.0f);
    for (Float4 const& position : covered(exactWorldPositions()))
        EXPECT_NEAR(std::sin(2.0f * std::numbers::pi_v<float> / 3.0f) * position.x +
                        std::cos(2.0f * std::numbers::pi_v<float> / 3.0f) * position.z,
                    0.0f, 1e-4f)
            << "world positions lie on the turned square";
}

TEST_F(MeshRenderTest, ZeroNormalsGetTheAmbientLightOnly)
{
    Part part = square(kQuadHalfSize, 0.0f, kMeshColor);
    for (Vertex& vertex : part)
        vertex.nx = vertex.ny = vertex.nz = 0.0f;
    renderer->setScene(
        MeshRenderable::create(std::make_shared<TriangleListLoader>(std::vector<Part>{part}), 1.0, "unlit"));
    renderer->render();
    expectColorNear(centerColor(), 0.2f * kMeshColor.r(), 0.2f * kMeshColor.g(), 0.2f * kMeshColor.b(), 2.0f);
}

TEST_F(MeshRenderTest, UnitScaleAndTransformsOfTheNodeAndItsParentPlaceTheSurface)
{
    auto const mesh = squareMesh(0.5);
    auto const group = Render::GroupRenderable::create("group");
    group->add(mesh);
    renderer->setScene(group);
    mesh->setMatrix(translation(0.5f, 0.0f, 0.0f));
    auto extent = [&] {
        Eigen::AlignedBox3f box;
        for (Float4 const& position : renderAndReadCovered())
            box.extend(Eigen::Vector3f(position.x, position.y, position.z));
        return box;
    };
    Eigen::AlignedBox3f const scaled = extent();
    float const half = kQuadHalfSize * 0.5f;
    EXPECT_NEAR(scaled.min().x(), 0.5f - half, kPixelSize);
    EXPECT_NEAR(scaled.max().x(), 0.5f + half, kPixelSize);
    EXPECT_NEAR(scaled.min().y(), -half, kPixelSize);
    EXPECT_NEAR(scaled.max().y(), half, kPixelSize);

    group->setMatrix(translation(0.0f, 1.0f, 0.0f));
    Eigen::AlignedBox3f const moved = extent();
    EXPECT_NEAR(moved.min().y(), 1.0f - half, kPixelSize) << "the parent's move reaches the drawn mesh";
    EXPECT_NEAR(moved.max().x(), 0.5f + half, kPixelSize);
}

TEST_F(MeshRenderTest, ClippingPlanesCutPixelsAway)
{
    auto const mesh = squareMesh();
    renderer->setScene(mesh);
    std::size_t const whole = renderAndReadCovered().size();

    Volume const rightHalf({Plane(1.0f, 0.0f, 0.0f, 0.0f)});
    mesh->setClippingVolume(rightHalf);
    EXPECT_TRUE(mesh->needsRedraw());
    std::vector<Float4> const cut = renderAndReadCovered();
    EXPECT_NEAR(static_cast<double>(cut.size()), whole / 2.0, whole * 0.05);
    for (Float4 const& position : cut)
        EXPECT_GE(position.x, 0.0f);
    mesh->setClippingVolume(rightHalf);
    EXPECT_FALSE(mesh->needsRedraw()) << "the same volume changes nothing";

    // Eight planes fit: the cut above and seven that keep everything near the square.
    std::vector<Plane> planes{Plane(1.0f, 0.0f, 0.0f, 0.0f)};
    for (int plane = 1; plane < 8; ++plane)
        planes.emplace_back(0.0f, 0.0f, 1.0f, static_cast<float>(plane));
    Volume const eight(planes);
    mesh->setClippingVolume(eight);
    EXPECT_EQ(renderAndReadCovered().size(), cut.size());

    planes.emplace_back(-1.0f, 0.0f, 0.0f, 0.0f);
    std::string const message = messageOf([&] { mesh->setClippingVolume(Volume(planes)); });
    EXPECT_EQ(message, "Error: volume contains too many clipping planes, plane count = 9");
    EXPECT_EQ(mesh->clippingVolume(), eight) << "the previous volume stays in force";
    EXPECT_EQ(renderAndReadCovered().size(), cut.size());

    mesh->setClippingVolume(Volume());
    EXPECT_EQ(renderAndReadCovered().size(), whole);
}

TEST_F(MeshRenderTest, VolumeSetBeforeInitIsUsedFromTheFirstFrame)
{
    auto const mesh = squareMesh();
    mesh->setClippingVolume(Volume({Plane(0.0f, -1.0f, 0.0f, 0.0f)}));
    renderer->setScene(mesh);
    std::vector<Float4> const positions = renderAndReadCovered();
    ASSERT_FALSE(positions.empty());
    for (Float4 const& position : positions)
        EXPECT_LE(position.y, 0.0f);
}

// Points in front of the mesh on the left, behind it on the right: one depth buffer decides, also when
// the renderer refits the z range to the scene every frame.
TEST_F(MeshRenderTest, MeshAndPointCloudShareTheDepthBuffer)
{
    std::filesystem::path const folder = std::filesystem::temp_directory_path() / "morvid-mesh-depth-cloud";
    std::filesystem::remove_all(folder);
    Octree::SourcePoints source;
    constexpr int kSteps = 80;
    for (int i = 0; i < kSteps; ++i)
        for (int j = 0; j < 2 * kSteps; ++j) {
            double const x = -2.0 + 2.0 * i / kSteps;
            double const y = -2.0 + 2.0 * j / kSteps;
            source.points.push_back({Math::Point<double, 3>(x, y, 0.5)});
            source.points.push_back({Math::Point<double, 3>(x + 2.0, y, -0.5)});
        }
    PoTree::writePotree(source, folder, PoTree::WriterOptions{});

    auto const cloud = Render::PointCloudRenderable::create(std::make_shared<PoTree::FileSystemLocation>(folder),
                                                            "cloud", source.points.size(), 1.0);
    auto const mesh = squareMesh();
    auto const group = Render::GroupRenderable::create("scene");
    group->add(cloud);
    group->add(mesh);
    renderer->setScene(group);
    // The mesh goes halfway between the two layers, wherever the cloud's frame puts them.
    auto const cloudBox = cloud->boundingBoxWorld();
    Math::Point<float, 3> const center = cloudBox.center();
    mesh->setMatrix(translation(center.x(), center.y(), center.z()));
    lookAt(center);
    cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    StreamingTest::renderUntilSettled(*renderer, {cloud});
    ASSERT_GT(cloud->numVisiblePoints(), 0u);
    cloud->stopAsyncReload();
    for (bool const automaticZRange : {false, true}) {
        SCOPED_TRACE(automaticZRange ? "automatic z range" : "fixed z range");
        renderer->setAutoAdjustZRange(automaticZRange);
        renderer->render();
        std::vector<Float4> const positions = exactWorldPositions();
        std::size_t leftPoints = 0, leftCovered = 0, rightMesh = 0, rightHiddenPoints = 0;
        for (std::size_t y = 0; y < kViewSize; ++y)
            for (std::size_t x = 0; x < kViewSize; ++x) {
                Float4 const& position = positions[y * kViewSize + x];
                if (position.w == 0.0f)
                    continue;
                float const height = position.z - center.z();
                float const across = position.x - center.x();
                if (across < -0.25f) {
                    ++leftCovered;
                    leftPoints += height > 0.25f ? 1 : 0;
                } else if (across > 0.25f) {
                    rightMesh += std::abs(height) < 1e-3f ? 1 : 0;
                    rightHiddenPoints += height < -0.25f ? 1 : 0;
                }
            }
        EXPECT_GT(leftPoints, leftCovered / 2) << "the points in front hide the mesh";
        EXPECT_GT(rightMesh, 0u);
        EXPECT_EQ(rightHiddenPoints, 0u) << "the mesh hides the points behind it";
    }
    renderer->setScene(nullptr);
    std::filesystem::remove_all(folder);
}

} // namespace
