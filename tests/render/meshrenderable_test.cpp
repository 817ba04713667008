#include "math/convexpolytope.h"
#include "math/halfspace.h"
#include "octree/potreewriter.h"
#include "octree/sourcepoints.h"
#include "render/grouprenderable.h"
#include "render/meshloader.h"
#include "render/meshrenderable.h"
#include "support/tempfolder.h"
#include "support/thrownmessage.h"

#include "streamingtestsupport.h"

#include <Eigen/Geometry>

#include <cmath>
#include <fstream>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace {

using Render::MeshRenderable;
using TestSupport::thrownMessage;
using Vertex = Render::VertexPosNormalTexCoordColor;
using Part = std::vector<Vertex>;
using Volume = Math::ConvexPolytope<float, 3>;
using Plane = Math::HalfSpace<float, 3>;
using StreamingTest::translation;

constexpr std::size_t kViewSize = 64;
constexpr float kCameraDistance = 5.0f;
constexpr float kFieldOfViewY = 60.0f;
constexpr float kQuadHalfSize = 2.0f;
// World size of one pixel where the camera looks, at the test's distance and field of view.
const float kPixelSize = 2.0f * kCameraDistance * std::tan(kFieldOfViewY / 2.0f * std::numbers::pi_v<float> / 180.0f) /
                         static_cast<float>(kViewSize);
Math::Color const kMeshColor(200, 160, 100, 255);

// An axis-aligned square at height z facing +z, as two triangles.
Part square(float halfSize, float z, Math::Color const& color)
{
    auto corner = [&](float x, float y) { return Vertex(x, y, z, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, color.packed()); };
    Vertex const a = corner(-halfSize, -halfSize), b = corner(halfSize, -halfSize), c = corner(halfSize, halfSize),
                 d = corner(-halfSize, halfSize);
    return {a, b, c, a, c, d};
}

// Hands over a triangle list made in the test, then optionally fails like a file that breaks off.
class TriangleListLoader : public Render::MeshLoader {
public:
    explicit TriangleListLoader(Part part, bool failAtEnd = false) : mPart(std::move(part)), mFailAtEnd(failAtEnd) {}

    void load(PartCallback const& onPart) override
    {
        onPart(mPart);
        if (mFailAtEnd)
            throw std::runtime_error("the mesh source broke off");
    }

private:
    Part mPart;
    bool mFailAtEnd;
};

std::shared_ptr<MeshRenderable> squareMesh(double unitScale = 1.0)
{
    return MeshRenderable::create(std::make_shared<TriangleListLoader>(square(kQuadHalfSize, 0.0f, kMeshColor)),
                                  unitScale, "square");
}

class MeshRenderTest : public StreamingTest::PointCloudTest {
protected:
    void SetUp() override
    {
        PointCloudTest::SetUp();
        renderer->setViewport(kViewSize, kViewSize);
        lookAt(Math::Point<float, 3>::Zero());
    }

    // From kCameraDistance above `target`, looking down the z axis.
    void lookAt(Math::Point<float, 3> const& target)
    {
        renderer->setCameraPose(target + Math::Point<float, 3>(0.0f, 0.0f, kCameraDistance), target,
                                Eigen::Vector3f(0.0f, 1.0f, 0.0f));
        renderer->setPerspective(kFieldOfViewY, 0.1f, 100.0f);
    }

    // The world positions of the pixels a new frame covers.
    std::vector<Eigen::Vector3f> renderAndReadCovered()
    {
        renderer->render();
        std::vector<Eigen::Vector3f> covered;
        for (Eigen::Vector4f const& position : worldPositions())
            if (position.w() != 0.0f)
                covered.push_back(position.head<3>());
        return covered;
    }
};

// The mesh's color at `brightness` (1 where the surface faces the headlight).
void expectMeshColor(Math::Color const& actual, float brightness, float tolerance = 2.0f)
{
    EXPECT_NEAR(actual.r(), brightness * kMeshColor.r(), tolerance);
    EXPECT_NEAR(actual.g(), brightness * kMeshColor.g(), tolerance);
    EXPECT_NEAR(actual.b(), brightness * kMeshColor.b(), tolerance);
}

// Nothing is read before init: drawing then draws nothing.
TEST(MeshNode, RefusesBadScalesAndCutsBuffersToWholeTriangles)
{
    auto const later = MeshRenderable::create(StreamingTest::realWorld("obj/no-such-mesh.obj"), 0.5, "later");
    EXPECT_EQ(later->numTriangles(), 0u);
    EXPECT_TRUE(later->boundingBoxWorld().isEmpty());
    EXPECT_NO_THROW(later->render());
    std::filesystem::path const box = StreamingTest::realWorld("obj/cornell-box/cornell_box.obj");
    for (double const scale : {0.0, -1.0, std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_THROW(MeshRenderable::create(box, scale, "bad"), std::invalid_argument) << scale;

    using Counts = std::vector<std::size_t>;
    EXPECT_EQ(MeshRenderable::bufferVertexCounts(10, 9), Counts{9}) << "a trailing partial triangle is not drawn";
    EXPECT_EQ(MeshRenderable::bufferVertexCounts(21, 10), (Counts{9, 9, 3})) << "the limit is cut to whole triangles";
    EXPECT_THROW(MeshRenderable::bufferVertexCounts(9, 2), std::invalid_argument);
}

// Init reads the file (in scene units), skipping objects without faces, init again replaces what it
// read, and a node moved to another renderer makes its buffers anew on that renderer's device. A load
// that fails leaves nothing behind and the renderer usable.
TEST_F(MeshRenderTest, MeshIsReadAtEachInitIntoBuffersOfThatDevice)
{
    TestSupport::TempFolder const folder("mesh-empty-object");
    std::filesystem::path const path = folder.path() / "empty-object.obj";
    std::ofstream(path) << "o empty\nv 9 9 9\no square\nv -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nf 2 3 4\nf 2 4 5\n";
    auto const mesh = MeshRenderable::create(path, 0.5, "empty object");
    for (int init = 0; init < 2; ++init) {
        renderer->setScene(nullptr);
        renderer->setScene(mesh);
        EXPECT_EQ(mesh->numTriangles(), 2u);
        EXPECT_EQ(mesh->numVertexBuffers(), 1u) << "no buffer for the empty object";
    }
    mesh->setMatrix(translation({1.0f, 2.0f, 3.0f}));
    EXPECT_TRUE(mesh->boundingBoxWorld().min().isApprox(Math::Point<float, 3>(0.5f, 1.5f, 3.0f)));
    EXPECT_TRUE(mesh->boundingBoxWorld().max().isApprox(Math::Point<float, 3>(1.5f, 2.5f, 3.0f)));

    auto const broken = MeshRenderable::create(
        std::make_shared<TriangleListLoader>(square(1.0f, 0.0f, kMeshColor), true), 1.0, "broken");
    EXPECT_THROW(renderer->setScene(broken), std::runtime_error);
    EXPECT_EQ(broken->numTriangles(), 0u);
    EXPECT_EQ(broken->numVertexBuffers(), 0u);
    EXPECT_TRUE(broken->boundingBox().isEmpty());
    EXPECT_TRUE(renderAndReadCovered().empty());

    auto const square = squareMesh();
    renderer->setScene(square);
    renderer->render();
    renderer.reset();
    SetUp(); // a renderer with a device of its own
    renderer->setScene(square);
    EXPECT_EQ(square->numVertexBuffers(), 1u);
    renderer->render();
    expectMeshColor(centerColor(), 1.0f);
}

// The vertex color where the square faces the camera; turned by 60 degrees it gets half the diffuse
// light (0.2 + 0.8 * 0.5 of its color), its back side alike; without a normal only the ambient 0.2.
TEST_F(MeshRenderTest, SquareIsLitByTheHeadlight)
{
    auto const mesh = squareMesh();
    renderer->setScene(mesh);
    EXPECT_TRUE(mesh->needsRedraw());
    renderer->render();
    EXPECT_FALSE(mesh->needsRedraw());
    expectMeshColor(centerColor(), 1.0f);

    for (float const degrees : {60.0f, 120.0f}) {
        float const radians = degrees * std::numbers::pi_v<float> / 180.0f;
        mesh->setMatrix(Eigen::Affine3f(Eigen::AngleAxisf(radians, Eigen::Vector3f::UnitY())).matrix());
        renderer->render();
        expectMeshColor(centerColor(), 0.6f, 3.0f);
    }
    float const turned = 2.0f * std::numbers::pi_v<float> / 3.0f;
    for (Eigen::Vector3f const& position : renderAndReadCovered())
        EXPECT_NEAR(std::sin(turned) * position.x() + std::cos(turned) * position.z(), 0.0f, 1e-4f)
            << "world positions lie on the turned square";

    Part unlit = square(kQuadHalfSize, 0.0f, kMeshColor);
    for (Vertex& vertex : unlit)
        vertex.nx = vertex.ny = vertex.nz = 0.0f;
    renderer->setScene(MeshRenderable::create(std::make_shared<TriangleListLoader>(unlit), 1.0, "unlit"));
    renderer->render();
    expectMeshColor(centerColor(), 0.2f);
}

// The unit scale and the transforms of the node and its parent place the surface. A volume set before
// init holds from the first frame; up to eight planes cut, a ninth is refused.
TEST_F(MeshRenderTest, PlacedAndCutByItsTransformsAndClippingPlanes)
{
    auto const mesh = squareMesh(0.5);
    mesh->setClippingVolume(Volume({Plane(0.0f, -1.0f, 0.0f, 0.0f)}));
    auto const group = Render::GroupRenderable::create("group");
    group->add(mesh);
    renderer->setScene(group);
    mesh->setMatrix(translation({0.5f, 0.0f, 0.0f}));
    auto extent = [&] {
        Eigen::AlignedBox3f box;
        for (Eigen::Vector3f const& position : renderAndReadCovered())
            box.extend(position);
        return box;
    };
    float const half = kQuadHalfSize * 0.5f;
    Eigen::AlignedBox3f const lowerHalf = extent();
    EXPECT_NEAR(lowerHalf.max().y(), 0.0f, kPixelSize) << "cut from the first frame";
    mesh->setClippingVolume(Volume());
    Eigen::AlignedBox3f const scaled = extent();
    EXPECT_NEAR(scaled.min().x(), 0.5f - half, kPixelSize);
    EXPECT_NEAR(scaled.max().x(), 0.5f + half, kPixelSize);
    EXPECT_NEAR(scaled.max().y(), half, kPixelSize);
    EXPECT_NEAR(lowerHalf.min().y(), -half, kPixelSize);
    group->setMatrix(translation({0.0f, 1.0f, 0.0f}));
    Eigen::AlignedBox3f const moved = extent();
    EXPECT_NEAR(moved.min().y(), 1.0f - half, kPixelSize) << "the parent's move reaches the drawn mesh";
    EXPECT_NEAR(moved.max().x(), 0.5f + half, kPixelSize);

    Volume const rightHalf({Plane(1.0f, 0.0f, 0.0f, 0.0f)});
    mesh->setClippingVolume(rightHalf);
    EXPECT_TRUE(mesh->needsRedraw());
    std::vector<Eigen::Vector3f> const cut = renderAndReadCovered();
    for (Eigen::Vector3f const& position : cut)
        EXPECT_GE(position.x(), 0.0f);
    mesh->setClippingVolume(rightHalf);
    EXPECT_FALSE(mesh->needsRedraw()) << "the same volume changes nothing";

    // The cut above and seven planes that keep everything near the square.
    std::vector<Plane> planes{Plane(1.0f, 0.0f, 0.0f, 0.0f)};
    for (int plane = 1; plane < 8; ++plane)
        planes.emplace_back(0.0f, 0.0f, 1.0f, static_cast<float>(plane));
    Volume const eight(planes);
    mesh->setClippingVolume(eight);
    EXPECT_EQ(renderAndReadCovered().size(), cut.size());
    planes.emplace_back(-1.0f, 0.0f, 0.0f, 0.0f);
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { mesh->setClippingVolume(Volume(planes)); }),
              "Error: volume contains too many clipping planes, plane count = 9");
    EXPECT_EQ(mesh->clippingVolume(), eight) << "the previous volume stays in force";
    EXPECT_EQ(renderAndReadCovered().size(), cut.size());
}

// Points in front of the mesh on the left, behind it on the right: one depth buffer decides, also when
// the renderer refits the z range to the scene every frame.
TEST_F(MeshRenderTest, MeshAndPointCloudShareTheDepthBuffer)
{
    TestSupport::TempFolder const folder("mesh-depth-cloud");
    Octree::SourcePoints source;
    constexpr int kSteps = 80;
    for (int i = 0; i < kSteps; ++i)
        for (int j = 0; j < 2 * kSteps; ++j) {
            double const x = -2.0 + 2.0 * i / kSteps;
            double const y = -2.0 + 2.0 * j / kSteps;
            source.points.push_back({Math::Point<double, 3>(x, y, 0.5)});
            source.points.push_back({Math::Point<double, 3>(x + 2.0, y, -0.5)});
        }
    PoTree::writePotree(source, folder.path(), PoTree::WriterOptions{});

    auto const cloud = startCloud(std::make_shared<PoTree::FileSystemLocation>(folder.path()), source.points.size());
    auto const mesh = squareMesh();
    auto const group = Render::GroupRenderable::create("scene");
    group->add(cloud);
    group->add(mesh);
    renderer->setScene(group);
    // The mesh goes halfway between the two layers, wherever the cloud's frame puts them.
    Math::Point<float, 3> const center = cloud->boundingBoxWorld().center();
    mesh->setMatrix(translation(center));
    lookAt(center);
    cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
    renderUntilSettled({cloud});
    cloud->stopAsyncReload();
    for (bool const automaticZRange : {false, true}) {
        SCOPED_TRACE(automaticZRange ? "automatic z range" : "fixed z range");
        // The refitted range must reach the mesh too: the far plane set here lies in front of it.
        if (automaticZRange)
            renderer->setPerspective(kFieldOfViewY, 0.1f, kCameraDistance - 0.2f);
        renderer->setAutoAdjustZRange(automaticZRange);
        std::size_t leftPoints = 0, leftCovered = 0, rightMesh = 0, rightHiddenPoints = 0;
        for (Eigen::Vector3f const& position : renderAndReadCovered()) {
            float const height = position.z() - center.z();
            float const across = position.x() - center.x();
            leftCovered += across < -0.25f ? 1 : 0;
            leftPoints += across < -0.25f && height > 0.25f ? 1 : 0;
            rightMesh += across > 0.25f && std::abs(height) < 1e-3f ? 1 : 0;
            rightHiddenPoints += across > 0.25f && height < -0.25f ? 1 : 0;
        }
        EXPECT_GT(leftPoints, leftCovered / 2) << "the points in front hide the mesh";
        EXPECT_GT(rightMesh, 0u);
        EXPECT_EQ(rightHiddenPoints, 0u) << "the mesh hides the points behind it";
    }
    renderer->setScene(nullptr);
}

} // namespace
