#include "render/logsink.h"
#include "render/objmeshloader.h"
#include "support/tempfolder.h"
#include "support/thrownmessage.h"

#include <gtest/gtest.h>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
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

Eigen::Vector3f position(Vertex const& vertex) { return {vertex.x, vertex.y, vertex.z}; }
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
        return TestSupport::thrownMessage<std::runtime_error>([&] { loadParts(path); });
    }

    TestSupport::TempFolder folder{"obj"};
};

// One part per object or group with faces, in file order; without normals in the file every corner
// carries its triangle's flat normal.
TEST(ObjMeshLoaderRealFiles, PartsNormalsAndTextureCoordinatesComeFromTheFile)
{
    std::vector<Part> const cornell = loadParts(realWorldObj("cornell-box/cornell_box.obj"));
    EXPECT_EQ(triangleCount(cornell), 36u) << "18 quads";
    ASSERT_GE(cornell.size(), 2u);
    EXPECT_EQ(cornell[0].size(), 3u * 6u) << "the floor's three quads";
    EXPECT_EQ(cornell[1].size(), 6u) << "the light, given by relative indices";
    for (Vertex const& vertex : cornell[1])
        EXPECT_EQ(vertex.y, 548.0f) << "the light hangs under the ceiling";
    for (Part const& part : cornell)
        for (std::size_t first = 0; first + 2 < part.size(); first += 3) {
            Eigen::Vector3f const n = normal(part[first]);
            ASSERT_NEAR(n.norm(), 1.0f, 1e-5f);
            for (std::size_t corner = 0; corner < 3; ++corner) {
                EXPECT_EQ(normal(part[first + corner]), n);
                EXPECT_NEAR((position(part[first + corner]) - position(part[first])).dot(n), 0.0f, 1e-2f);
            }
        }

    std::vector<Part> const spider = loadParts(realWorldObj("spider/spider.obj"));
    EXPECT_EQ(triangleCount(spider), 1368u);
    EXPECT_EQ(spider.size(), 19u) << "one part per group";
    // "v/vt" faces with Latin-1 material names.
    EXPECT_EQ(triangleCount(loadParts(realWorldObj("regr01/regr01.obj"))), 2710u);
}

TEST_F(ObjMeshLoaderTest, NormalsOfEachTriangle)
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
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Part> const parts = loadParts(write(c.name, c.text));
        ASSERT_EQ(triangleCount(parts), c.normals.size());
        for (std::size_t corner = 0; corner < 3 * c.normals.size(); ++corner)
            EXPECT_LT((normal(parts[0][corner]) - c.normals[corner / 3]).norm(), 1e-6f) << corner;
    }
}

TEST_F(ObjMeshLoaderTest, VertexColorsAreClampedAndMissingValuesDefault)
{
    std::vector<Part> const parts =
        loadParts(write("colors", "v 0 0 0 1 0.5 0\nv 1 0 0 2 -1 0.25\nv 0 1 0\nvt 0.25 0.75\nf 1/1 2/1 3\n"));
    ASSERT_EQ(triangleCount(parts), 1u);
    EXPECT_EQ(parts[0][0].color, Math::Color(255, 127, 0, 255));
    EXPECT_EQ(parts[0][1].color, Math::Color(255, 0, 63, 255)) << "channels outside [0, 1] are clamped";
    EXPECT_EQ(parts[0][2].color, Math::Color(255, 255, 255, 255)) << "a vertex without color is white";
    EXPECT_EQ(std::make_pair(parts[0][0].u, parts[0][0].v), std::make_pair(0.25f, 0.75f));
    EXPECT_EQ(std::make_pair(parts[0][2].u, parts[0][2].v), std::make_pair(0.0f, 0.0f)) << "none given";
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

} // namespace
