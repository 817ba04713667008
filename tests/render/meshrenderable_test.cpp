#include "math/convexpolytope.h"
#include "math/halfspace.h"
#include "render/grouprenderable.h"
#include "render/meshloader.h"
#include "render/meshrenderable.h"
#include "render/objmeshloader.h"
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
using Render::ObjMeshLoader;
using TestSupport::thrownMessage;
using Vertex = Render::VertexPosNormalTexCoordColor;
using Part = std::vector<Vertex>;
using Volume = Math::ConvexPolytope<float, 3>;
using Plane = Math::HalfSpace<float, 3>;
using StreamingTest::translation;

std::vector<Part> loadParts(std::filesystem::path const& path)
{
    std::vector<Part> parts;
    ObjMeshLoader(path).load([&](Part const& part) { parts.push_back(part); });
    return parts;
}

std::size_t triangleCount(std::vector<Part> const& parts)
{
    std::size_t triangles = 0;
    for (Part const& part : parts) {
        EXPECT_EQ(part.size() % 3, 0u) << "three vertices per triangle";
        triangles += part.size() / 3;
    }
    return triangles;
}

Eigen::Vector3f normal(Vertex const& vertex) { return {vertex.nx, vertex.ny, vertex.nz}; }

// OBJ files written by the test into a folder of their own.
class ObjMeshLoaderTest : public ::testing::Test {
protected:
    std::filesystem::path write(std::string const& name, std::string const& text)
    {
        std::filesystem::path const path = folder.path() / (name + ".obj");
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    static std::string errorOf(std::filesystem::path const& path)
    {
        return thrownMessage<std::runtime_error>([&] { loadParts(path); });
    }

    TestSupport::TempFolder folder{"obj"};
};

// One part per object or group with faces, in file order.
TEST(ObjMeshLoaderRealFiles, PartsAndTrianglesComeFromTheFile)
{
    std::vector<Part> const cornell = loadParts(StreamingTest::realWorld("obj/cornell-box/cornell_box.obj"));
    EXPECT_EQ(triangleCount(cornell), 36u) << "18 quads";
    ASSERT_GE(cornell.size(), 2u);
    EXPECT_EQ(cornell[0].size(), 3u * 6u) << "the floor's three quads";
    EXPECT_EQ(cornell[1].size(), 6u) << "the light, given by relative indices";
    for (Vertex const& vertex : cornell[1])
        EXPECT_EQ(vertex.y, 548.0f) << "the light hangs under the ceiling";

    std::vector<Part> const spider = loadParts(StreamingTest::realWorld("obj/spider/spider.obj"));
    EXPECT_EQ(triangleCount(spider), 1368u);
    EXPECT_EQ(spider.size(), 19u) << "one part per group";
    // "v/vt" faces with Latin-1 material names.
    EXPECT_EQ(triangleCount(loadParts(StreamingTest::realWorld("obj/regr01/regr01.obj"))), 2710u);
}

// Flat normals where the file gives none for a corner; vertex colors clamped and white where none is
// given; texture coordinates (0, 0) where none is given.
TEST_F(ObjMeshLoaderTest, NormalsColorsAndTextureCoordinatesOfEachCorner)
{
    struct Case {
        char const* name;
        char const* text;
        std::vector<Eigen::Vector3f> normals; // one a triangle, in file order
    };
    Eigen::Vector3f const up = Eigen::Vector3f::UnitZ();
    Case const cases[] = {
        {"quad", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n", {up, up}},
        // A face with normals on some corners only gets its flat normal on all of them.
        {"partial normals", "v 0 0 0\nv 2 0 0\nv 0 2 0\nvn 1 0 0\nf 1//1 2//1 3\nf 1//1 2//1 3//1\n",
         {up, Eigen::Vector3f::UnitX()}},
        {"degenerate", "v 0 0 0\nv 1 1 1\nv 2 2 2\nf 1 2 3\n", {Eigen::Vector3f::Zero()}},
        {"tiny and huge", "v 0 0 0\nv 1e-30 0 0\nv 0 1e-30 0\nv -3e38 -3e38 0\nv 3e38 -3e38 0\nv 0 3e38 0\n"
                          "f 1 2 3\nf 4 5 6\n",
         {up, up}},
        {"no faces", "v 0 0 0\nv 1 0 0\n", {}},
        {"colors", "v 0 0 0 1 0.5 0\nv 1 0 0 2 -1 0.25\nv 0 1 0\nvt 0.25 0.75\nf 1/1 2/1 3\n", {up}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Part> const parts = loadParts(write(c.name, c.text));
        ASSERT_EQ(triangleCount(parts), c.normals.size());
        for (std::size_t corner = 0; corner < 3 * c.normals.size(); ++corner)
            EXPECT_LT((normal(parts[0][corner]) - c.normals[corner / 3]).norm(), 1e-6f) << corner;
    }
    Part const colored = loadParts(folder.path() / "colors.obj").at(0);
    EXPECT_EQ(colored[0].color, Math::Color(255, 127, 0, 255));
    EXPECT_EQ(colored[1].color, Math::Color(255, 0, 63, 255)) << "channels outside [0, 1] are clamped";
    EXPECT_EQ(colored[2].color, Math::Color(255, 255, 255, 255)) << "a vertex without color is white";
    EXPECT_EQ(std::make_pair(colored[0].u, colored[0].v), std::make_pair(0.25f, 0.75f));
    EXPECT_EQ(std::make_pair(colored[2].u, colored[2].v), std::make_pair(0.0f, 0.0f)) << "none given";
}

// Errors name the file and the entry; indices past the file's data are errors, not crashes; warnings
// are logged and loading goes on.
TEST_F(ObjMeshLoaderTest, BrokenFilesAreErrorsNamingTheFile)
{
    struct Case {
        char const* name;
        char const* text;
        char const* entry;
    };
    Case const cases[] = {
        {"truncated", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf -4 -3 -", "TinyObjReader: "},
        {"badvertex", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 9\n", "vertex"},
        {"badrelative", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 -7\n", "vertex"},
        {"badnormal", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nf 1//1 2//1 3//5\n", "normal"},
        {"badtexcoord", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nf 1/1 2/4 3/1\n", "texture coordinate"},
        {"badpolygon", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4 12\n", "vertex"},
        {"infinite", "v 0 0 0\nv 1e999 0 0\nv 0 1 0\nf 1 2 3\n", "vertex 2"},
    };
    for (Case const& c : cases) {
        std::string const message = errorOf(write(c.name, c.text));
        EXPECT_NE(message.find(c.name + std::string(".obj")), std::string::npos) << c.name << ": " << message;
        EXPECT_NE(message.find(c.entry), std::string::npos) << c.name << ": " << message;
    }
    std::string const missing = errorOf(folder.path() / "no-such-mesh.obj");
    EXPECT_EQ(missing.rfind("TinyObjReader: ", 0), 0u) << missing;
    EXPECT_NE(missing.find("no-such-mesh.obj"), std::string::npos) << missing;

    // What the reader only warns about goes to the log, and loading goes on.
    std::vector<std::string> warnings;
    Render::setLogSink([&](Core::LogLevel level, std::string_view line) {
        if (level == Core::LogLevel::Warning)
            warnings.emplace_back(line);
    });
    std::filesystem::path const path =
        write("missingmtl", "mtllib morvid-no-such-material.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    std::size_t triangles = 0;
    EXPECT_NO_THROW(triangles = triangleCount(loadParts(path)));
    Render::setLogSink({});
    EXPECT_EQ(triangles, 1u);
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings.front().rfind("TinyObjReader: ", 0), 0u) << warnings.front();
}

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

// Hands over a shape without faces and a triangle list made in the test, then optionally fails like
// a file that breaks off.
class TriangleListLoader : public Render::MeshLoader {
public:
    explicit TriangleListLoader(Part part, bool failAtEnd = false) : mPart(std::move(part)), mFailAtEnd(failAtEnd) {}

    void load(PartCallback const& onPart) override
    {
        onPart({});
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
        // From kCameraDistance above the origin, looking down the z axis.
        Math::Point<float, 3> const eye(0.0f, 0.0f, kCameraDistance);
        renderer->setCameraPose(eye, Eigen::Vector3f(0.0f, 0.0f, -1.0f), Eigen::Vector3f(0.0f, 1.0f, 0.0f));
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

// Nothing is read before init: drawing then draws nothing. Init reads the file (in scene units),
// skipping objects without faces, init again replaces what it read, and a node moved to another
// renderer makes its buffers anew on that renderer's device. A load that fails leaves nothing behind
// and the renderer usable. Scales that are not positive and finite are refused; buffers hold whole
// triangles.
TEST_F(MeshRenderTest, MeshIsReadAtEachInitIntoBuffersOfThatDevice)
{
    auto const later = MeshRenderable::create(StreamingTest::realWorld("obj/no-such-mesh.obj"), 0.5, "later");
    EXPECT_NO_THROW(later->render());
    for (double const scale : {0.0, -1.0, std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_THROW(MeshRenderable::create("any.obj", scale, "bad"), std::invalid_argument) << scale;
    using Counts = std::vector<std::size_t>;
    EXPECT_EQ(MeshRenderable::bufferVertexCounts(10, 9), Counts{9}) << "a trailing partial triangle is not drawn";
    EXPECT_EQ(MeshRenderable::bufferVertexCounts(21, 10), (Counts{9, 9, 3})) << "the limit is cut to whole triangles";
    EXPECT_THROW(MeshRenderable::bufferVertexCounts(9, 2), std::invalid_argument);

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
    EXPECT_EQ(square->numVertexBuffers(), 1u) << "no buffer for the shape without faces";
    renderer->render();
    expectMeshColor(centerColor(), 1.0f);
}

// The vertex color where the square faces the camera; turned by 60 degrees it gets half the diffuse
// light (0.2 + 0.8 * 0.5 of its color), its back side alike; without a normal only the ambient 0.2.
// The unit scale and the transforms of the node and its parent place the surface. A volume set before
// init holds from the first frame; up to eight planes cut, a ninth is refused.
TEST_F(MeshRenderTest, LitByTheHeadlightPlacedByItsTransformsAndCutByItsPlanes)
{
    auto const lit = squareMesh();
    renderer->setScene(lit);
    EXPECT_TRUE(lit->needsRedraw());
    renderer->render();
    EXPECT_FALSE(lit->needsRedraw());
    expectMeshColor(centerColor(), 1.0f);
    for (float const degrees : {60.0f, 120.0f}) {
        float const radians = degrees * std::numbers::pi_v<float> / 180.0f;
        lit->setMatrix(Eigen::Affine3f(Eigen::AngleAxisf(radians, Eigen::Vector3f::UnitY())).matrix());
        renderer->render();
        expectMeshColor(centerColor(), 0.6f, 3.0f);
    }

    Part unlit = square(kQuadHalfSize, 0.0f, kMeshColor);
    for (Vertex& vertex : unlit)
        vertex.nx = vertex.ny = vertex.nz = 0.0f;
    renderer->setScene(MeshRenderable::create(std::make_shared<TriangleListLoader>(unlit), 1.0, "unlit"));
    renderer->render();
    expectMeshColor(centerColor(), 0.2f);

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

} // namespace
