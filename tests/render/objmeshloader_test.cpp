#include "render/logsink.h"
#include "render/objmeshloader.h"

#include <gtest/gtest.h>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Render::ObjMeshLoader;
using Vertex = Render::VertexPosNormalTexCoordColor;
using Part = std::vector<Vertex>;

std::filesystem::path realWorldObj(std::string const& relative)
{
    return std::filesystem::path(MORVID_TEST_DATA_DIR) / "realworld" / "obj" / relative;
}

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

Eigen::Vector3f position(Vertex const& vertex)
{
    return {vertex.x, vertex.y, vertex.z};
}

Eigen::Vector3f normal(Vertex const& vertex)
{
    return {vertex.nx, vertex.ny, vertex.nz};
}

Eigen::AlignedBox3f boundsOf(std::vector<Part> const& parts)
{
    Eigen::AlignedBox3f box;
    for (Part const& part : parts)
        for (Vertex const& vertex : part)
            box.extend(position(vertex));
    return box;
}

// Every triangle's corners carry its flat normal: unit length, at right angles to its edges.
void expectFlatNormals(std::vector<Part> const& parts)
{
    for (Part const& part : parts)
        for (std::size_t first = 0; first + 2 < part.size(); first += 3) {
            Eigen::Vector3f const n = normal(part[first]);
            ASSERT_NEAR(n.norm(), 1.0f, 1e-5f);
            for (std::size_t corner = 1; corner < 3; ++corner) {
                EXPECT_EQ(normal(part[first + corner]), n);
                Eigen::Vector3f const edge = (position(part[first + corner]) - position(part[first])).normalized();
                EXPECT_NEAR(edge.dot(n), 0.0f, 1e-4f);
            }
        }
}

// OBJ text written to a file of its own, removed at the end of the test.
class ObjFile {
public:
    ObjFile(std::string const& name, std::string const& text)
        : mPath(std::filesystem::temp_directory_path() / ("morvid-mesh-" + name + ".obj"))
    {
        std::ofstream(mPath, std::ios::binary) << text;
    }
    ~ObjFile() { std::filesystem::remove(mPath); }
    std::filesystem::path const& path() const { return mPath; }

private:
    std::filesystem::path mPath;
};

std::string errorOf(std::filesystem::path const& path)
{
    try {
        loadParts(path);
    } catch (std::runtime_error const& error) {
        return error.what();
    }
    return {};
}

TEST(ObjMeshLoaderRealFiles, CornellBoxQuadsBecomeTwoTrianglesEachWithFlatNormals)
{
    std::vector<Part> const parts = loadParts(realWorldObj("cornell-box/cornell_box.obj"));
    EXPECT_EQ(triangleCount(parts), 36u) << "18 quads";
    Eigen::AlignedBox3f const box = boundsOf(parts);
    EXPECT_TRUE(box.min().isApprox(Eigen::Vector3f(0.0f, 0.0f, 0.0f)));
    EXPECT_TRUE(box.max().isApprox(Eigen::Vector3f(556.0f, 548.8f, 559.2f)));
    // The file has no normals and no vertex colors.
    expectFlatNormals(parts);
    for (Part const& part : parts)
        for (Vertex const& vertex : part) {
            EXPECT_EQ(vertex.color, Math::Color(255, 255, 255, 255));
            EXPECT_EQ(vertex.u, 0.0f);
            EXPECT_EQ(vertex.v, 0.0f);
        }
    // One part per object with faces, in file order; the light is one quad given by relative indices.
    ASSERT_GE(parts.size(), 2u);
    EXPECT_EQ(parts[0].size(), 3u * 6u) << "the floor's three quads";
    EXPECT_EQ(parts[1].size(), 6u) << "the light";
    for (Vertex const& vertex : parts[1])
        EXPECT_EQ(vertex.y, 548.0f) << "the light hangs under the ceiling";
}

TEST(ObjMeshLoaderRealFiles, BuildingWithTextureCoordinatesAndLatin1MaterialNames)
{
    std::vector<Part> const parts = loadParts(realWorldObj("regr01/regr01.obj"));
    EXPECT_EQ(triangleCount(parts), 2710u);
    Eigen::AlignedBox3f const box = boundsOf(parts);
    EXPECT_TRUE(box.min().isApprox(Eigen::Vector3f(-194.19950867f, -204.51156616f, 0.0f), 1e-6f));
    EXPECT_TRUE(box.max().isApprox(Eigen::Vector3f(1442.08557129f, 967.61529541f, 337.5090332f), 1e-6f));
    bool anyTexCoord = false;
    for (Part const& part : parts)
        for (Vertex const& vertex : part)
            anyTexCoord = anyTexCoord || vertex.u != 0.0f || vertex.v != 0.0f;
    EXPECT_TRUE(anyTexCoord);
    // "v/vt" faces: the normals are the faces' own; degenerate faces keep a zero normal, never NaN.
    for (Part const& part : parts)
        for (Vertex const& vertex : part) {
            float const length = normal(vertex).norm();
            ASSERT_TRUE(std::abs(length - 1.0f) < 1e-5f || length == 0.0f) << length;
        }
}

TEST(ObjMeshLoaderRealFiles, SpiderKeepsTheNormalsOfTheFile)
{
    std::vector<Part> const parts = loadParts(realWorldObj("spider/spider.obj"));
    EXPECT_EQ(triangleCount(parts), 1368u);
    Eigen::AlignedBox3f const box = boundsOf(parts);
    EXPECT_TRUE(box.min().isApprox(Eigen::Vector3f(-92.655235f, -42.233826f, -106.6912f), 1e-6f));
    EXPECT_TRUE(box.max().isApprox(Eigen::Vector3f(57.936218f, 37.503952f, 86.6912f), 1e-6f));
    // Smooth normals from the file differ between the corners of a triangle somewhere.
    bool anySmooth = false;
    for (Part const& part : parts)
        for (std::size_t first = 0; first + 2 < part.size(); first += 3)
            anySmooth = anySmooth || normal(part[first]) != normal(part[first + 1]);
    EXPECT_TRUE(anySmooth);
    EXPECT_EQ(parts.size(), 19u) << "one part per group";
}

TEST(ObjMeshLoaderCorners, QuadIsSplitIntoTwoTriangles)
{
    ObjFile const file("quad", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n");
    std::vector<Part> const parts = loadParts(file.path());
    ASSERT_EQ(parts.size(), 1u);
    ASSERT_EQ(parts[0].size(), 6u);
    for (Vertex const& vertex : parts[0])
        EXPECT_EQ(normal(vertex).cwiseAbs(), Eigen::Vector3f(0.0f, 0.0f, 1.0f));
}

TEST(ObjMeshLoaderCorners, FaceWithSomeNormalsGetsTheFaceNormalOnAllCorners)
{
    ObjFile const file("partialnormals", "v 0 0 0\nv 2 0 0\nv 0 2 0\n"
                                         "vn 1 0 0\n"
                                         "f 1//1 2//1 3\n"
                                         "f 1//1 2//1 3//1\n");
    std::vector<Part> const parts = loadParts(file.path());
    ASSERT_EQ(parts.size(), 1u);
    ASSERT_EQ(parts[0].size(), 6u);
    for (std::size_t corner = 0; corner < 3; ++corner)
        EXPECT_EQ(normal(parts[0][corner]), Eigen::Vector3f(0.0f, 0.0f, 1.0f));
    for (std::size_t corner = 3; corner < 6; ++corner)
        EXPECT_EQ(normal(parts[0][corner]), Eigen::Vector3f(1.0f, 0.0f, 0.0f)) << "complete faces keep the file's";
}

TEST(ObjMeshLoaderCorners, VertexColorsTextureCoordinatesAndClampedChannels)
{
    ObjFile const file("colors", "v 0 0 0 1 0.5 0\nv 1 0 0 2 -1 0.25\nv 0 1 0\n"
                                 "vt 0.25 0.75\n"
                                 "f 1/1 2/1 3\n");
    std::vector<Part> const parts = loadParts(file.path());
    ASSERT_EQ(parts.size(), 1u);
    ASSERT_EQ(parts[0].size(), 3u);
    EXPECT_EQ(parts[0][0].color, Math::Color(255, 127, 0, 255));
    EXPECT_EQ(parts[0][1].color, Math::Color(255, 0, 63, 255)) << "channels outside [0, 1] are clamped";
    EXPECT_EQ(parts[0][2].color, Math::Color(255, 255, 255, 255)) << "a vertex without color is white";
    EXPECT_EQ(parts[0][0].u, 0.25f);
    EXPECT_EQ(parts[0][0].v, 0.75f);
    EXPECT_EQ(parts[0][2].u, 0.0f) << "a corner without texture coordinate gets 0, 0";
}

TEST(ObjMeshLoaderCorners, DegenerateTriangleHasAZeroNormal)
{
    ObjFile const file("degenerate", "v 0 0 0\nv 1 1 1\nv 2 2 2\nf 1 2 3\n");
    std::vector<Part> const parts = loadParts(file.path());
    ASSERT_EQ(parts.size(), 1u);
    for (Vertex const& vertex : parts[0])
        EXPECT_EQ(normal(vertex), Eigen::Vector3f::Zero());
}

TEST(ObjMeshLoaderCorners, TinyAndHugeTrianglesGetUnitNormals)
{
    ObjFile const file("extremes", "v 0 0 0\nv 1e-30 0 0\nv 0 1e-30 0\n"
                                   "v -3e38 -3e38 0\nv 3e38 -3e38 0\nv 0 3e38 0\n"
                                   "f 1 2 3\nf 4 5 6\n");
    std::vector<Part> const parts = loadParts(file.path());
    ASSERT_EQ(parts.size(), 1u);
    for (Vertex const& vertex : parts[0])
        EXPECT_NEAR(normal(vertex).z(), 1.0f, 1e-6f);
}

TEST(ObjMeshLoaderCorners, FileWithoutFacesDeliversNoTriangles)
{
    ObjFile const file("nofaces", "v 0 0 0\nv 1 0 0\n");
    EXPECT_EQ(triangleCount(loadParts(file.path())), 0u);
}

TEST(ObjMeshLoaderErrors, MissingFileNamesTheFile)
{
    std::filesystem::path const missing = std::filesystem::temp_directory_path() / "morvid-no-such-mesh.obj";
    std::string const message = errorOf(missing);
    EXPECT_EQ(message.rfind("TinyObjReader: ", 0), 0u) << message;
    EXPECT_NE(message.find("morvid-no-such-mesh.obj"), std::string::npos) << message;
}

TEST(ObjMeshLoaderErrors, TruncatedFaceLineIsAnErrorNamingTheFile)
{
    std::ifstream source(realWorldObj("cornell-box/cornell_box.obj"), std::ios::binary);
    std::string const text((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());
    std::string const cutAfter = "f -4 -3 -";
    std::size_t const cut = text.find(cutAfter);
    ASSERT_NE(cut, std::string::npos);
    ObjFile const file("truncated", text.substr(0, cut + cutAfter.size()));
    std::string const message = errorOf(file.path());
    EXPECT_EQ(message.rfind("TinyObjReader: ", 0), 0u) << message;
    EXPECT_NE(message.find(file.path().filename().string()), std::string::npos) << message;
}

TEST(ObjMeshLoaderErrors, IndicesPastTheFilesDataAreErrorsNotCrashes)
{
    struct Case {
        char const* name;
        char const* text;
        char const* entry;
    };
    Case const cases[] = {
        {"badvertex", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 9\n", "vertex"},
        {"badrelative", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 -7\n", "vertex"},
        {"badnormal", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nf 1//1 2//1 3//5\n", "normal"},
        {"badtexcoord", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nf 1/1 2/4 3/1\n", "texture coordinate"},
        {"badpolygon", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4 12\n", "vertex"},
    };
    for (Case const& c : cases) {
        ObjFile const file(c.name, c.text);
        std::string const message = errorOf(file.path());
        EXPECT_NE(message.find(file.path().filename().string()), std::string::npos) << c.name << ": " << message;
        EXPECT_NE(message.find(c.entry), std::string::npos) << c.name << ": " << message;
    }
}

TEST(ObjMeshLoaderErrors, NonFiniteVertexIsAnError)
{
    ObjFile const file("infinite", "v 0 0 0\nv 1e999 0 0\nv 0 1 0\nf 1 2 3\n");
    std::string const message = errorOf(file.path());
    EXPECT_NE(message.find("vertex 2"), std::string::npos) << message;
}

TEST(ObjMeshLoaderWarnings, ReaderWarningsGoToTheLogAndLoadingGoesOn)
{
    std::vector<std::string> lines;
    Render::setLogSink([&](Core::LogLevel level, std::string_view line) {
        if (level == Core::LogLevel::Warning)
            lines.emplace_back(line);
    });
    ObjFile const file("missingmtl", "mtllib morvid-no-such-material.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    std::size_t triangles = 0;
    EXPECT_NO_THROW(triangles = triangleCount(loadParts(file.path())));
    Render::setLogSink({});
    EXPECT_EQ(triangles, 1u);
    ASSERT_FALSE(lines.empty());
    for (std::string const& line : lines)
        EXPECT_EQ(line.rfind("TinyObjReader: ", 0), 0u) << line;
}

} // namespace
