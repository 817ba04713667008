#include "render/objmeshloader.h"

#include "core/log.h"

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <fmt/format.h>

#define TINYOBJLOADER_IMPLEMENTATION
#include <tiny_obj_loader.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace Render {
namespace {

using Vertex = VertexPosNormalTexCoordColor;

constexpr char const* kReaderPrefix = "TinyObjReader: ";
constexpr char const* kTriangulationMethod = "simple";
// tinyobjloader's mark for a corner without normal or texture coordinate.
constexpr int kAbsentIndex = -1;
constexpr std::size_t kPositionComponents = 3;
constexpr std::size_t kNormalComponents = 3;
constexpr std::size_t kTexCoordComponents = 2;
constexpr std::size_t kColorComponents = 3;
constexpr float kMaxChannel = 255.0f;
constexpr std::uint8_t kOpaque = 255;

// Where a corner comes from, for error messages.
struct FaceLocation {
    std::filesystem::path const& path;
    std::string const& shapeName;
    std::size_t face;
};

struct Corner {
    Vertex vertex;
    bool hasNormal = false;
};

[[noreturn]] void throwMissingEntry(FaceLocation const& where, char const* entry, std::size_t available)
{
    throw std::runtime_error(fmt::format("Error: {}: face {} of shape \"{}\" refers to a {} that the file does not "
                                         "have ({} in the file)",
                                         where.path.string(), where.face + 1, where.shapeName, entry, available));
}

// True when the corner has an entry of this kind; an index past the file's entries throws.
bool hasEntry(int index, std::size_t available, FaceLocation const& where, char const* entry)
{
    if (index == kAbsentIndex)
        return false;
    if (index < 0 || static_cast<std::size_t>(index) >= available)
        throwMissingEntry(where, entry, available);
    return true;
}

// Channels outside [0, 1] (and NaN) are clamped: converting them directly would be undefined.
std::uint8_t channelByte(float value)
{
    if (!(value > 0.0f))
        return 0;
    if (value >= 1.0f)
        return 255;
    return static_cast<std::uint8_t>(value * kMaxChannel);
}

Math::Color vertexColor(tinyobj::attrib_t const& attrib, std::size_t vertex)
{
    std::size_t const first = kColorComponents * vertex;
    if (first + kColorComponents > attrib.colors.size())
        return Math::Color(255, 255, 255, kOpaque);
    return Math::Color(channelByte(attrib.colors[first]), channelByte(attrib.colors[first + 1]),
                       channelByte(attrib.colors[first + 2]), kOpaque);
}

Corner readCorner(tinyobj::attrib_t const& attrib, tinyobj::index_t const& index, FaceLocation const& where)
{
    std::size_t const vertexCount = attrib.vertices.size() / kPositionComponents;
    if (index.vertex_index < 0 || static_cast<std::size_t>(index.vertex_index) >= vertexCount)
        throwMissingEntry(where, "vertex", vertexCount);
    std::size_t const vertex = static_cast<std::size_t>(index.vertex_index);

    Corner corner;
    Vertex& out = corner.vertex;
    out.x = attrib.vertices[kPositionComponents * vertex];
    out.y = attrib.vertices[kPositionComponents * vertex + 1];
    out.z = attrib.vertices[kPositionComponents * vertex + 2];
    if (!std::isfinite(out.x) || !std::isfinite(out.y) || !std::isfinite(out.z))
        throw std::runtime_error(fmt::format("Error: {}: vertex {} has a coordinate that is not a finite number",
                                             where.path.string(), vertex + 1));

    if (hasEntry(index.normal_index, attrib.normals.size() / kNormalComponents, where, "normal")) {
        std::size_t const first = kNormalComponents * static_cast<std::size_t>(index.normal_index);
        out.nx = attrib.normals[first];
        out.ny = attrib.normals[first + 1];
        out.nz = attrib.normals[first + 2];
        // A broken normal is replaced by the face normal like a missing one.
        corner.hasNormal = std::isfinite(out.nx) && std::isfinite(out.ny) && std::isfinite(out.nz);
    }
    if (hasEntry(index.texcoord_index, attrib.texcoords.size() / kTexCoordComponents, where, "texture coordinate")) {
        std::size_t const first = kTexCoordComponents * static_cast<std::size_t>(index.texcoord_index);
        out.u = attrib.texcoords[first];
        out.v = attrib.texcoords[first + 1];
    }
    out.color = vertexColor(attrib, vertex);
    return corner;
}

// (p1 - p0) x (p2 - p0), of unit length unless the triangle is degenerate, then zero. Computed in
// double so that neither huge nor tiny triangles overflow or underflow the length.
Eigen::Vector3f faceNormal(std::array<Corner, 3> const& corners)
{
    auto position = [](Corner const& corner) {
        return Eigen::Vector3d(corner.vertex.x, corner.vertex.y, corner.vertex.z);
    };
    Eigen::Vector3d const origin = position(corners[0]);
    Eigen::Vector3d normal = (position(corners[1]) - origin).cross(position(corners[2]) - origin);
    double const squaredLength = normal.squaredNorm();
    if (squaredLength > 0.0)
        normal /= std::sqrt(squaredLength);
    return normal.cast<float>();
}

void appendTriangle(std::array<Corner, 3> corners, std::vector<Vertex>& out)
{
    bool const allHaveNormals = corners[0].hasNormal && corners[1].hasNormal && corners[2].hasNormal;
    if (!allHaveNormals) {
        Eigen::Vector3f const normal = faceNormal(corners);
        for (Corner& corner : corners) {
            corner.vertex.nx = normal.x();
            corner.vertex.ny = normal.y();
            corner.vertex.nz = normal.z();
        }
    }
    for (Corner const& corner : corners)
        out.push_back(corner.vertex);
}

std::vector<Vertex> triangleList(tinyobj::attrib_t const& attrib, tinyobj::shape_t const& shape,
                                 std::filesystem::path const& path)
{
    std::vector<tinyobj::index_t> const& indices = shape.mesh.indices;
    std::vector<Vertex> vertices;
    vertices.reserve(indices.size());
    std::size_t first = 0;
    for (std::size_t face = 0; face < shape.mesh.num_face_vertices.size(); ++face) {
        FaceLocation const where{path, shape.name, face};
        std::size_t const cornerCount = shape.mesh.num_face_vertices[face];
        // Triangulation leaves three corners per face; anything else would be drawn as a fan.
        for (std::size_t corner = 1; corner + 1 < cornerCount; ++corner)
            appendTriangle({readCorner(attrib, indices[first], where),
                            readCorner(attrib, indices[first + corner], where),
                            readCorner(attrib, indices[first + corner + 1], where)},
                           vertices);
        first += cornerCount;
    }
    return vertices;
}

// tinyobjloader separates its messages by newlines and blank lines; the log takes one line each.
std::vector<std::string> messageLines(std::string const& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty())
            lines.push_back(std::move(line));
    }
    return lines;
}

std::string parseError(std::string const& readerError, std::filesystem::path const& path)
{
    std::string const file = path.string();
    std::vector<std::string> const lines = messageLines(readerError);
    if (lines.empty())
        return fmt::format("{}cannot read {}", kReaderPrefix, file);
    std::string message = kReaderPrefix + lines.front();
    for (std::size_t line = 1; line < lines.size(); ++line)
        message += " " + lines[line];
    if (message.find(file) == std::string::npos)
        message += fmt::format(" ({})", file);
    return message;
}

} // namespace

ObjMeshLoader::ObjMeshLoader(std::filesystem::path path) : mPath(std::move(path)) {}

void ObjMeshLoader::load(PartCallback const& onPart)
{
    tinyobj::ObjReaderConfig config;
    config.triangulate = true;
    config.triangulation_method = kTriangulationMethod;
    config.vertex_color = true;
    config.mtl_search_path = mPath.parent_path().string();

    tinyobj::ObjReader reader;
    bool const parsed = reader.ParseFromFile(mPath.string(), config);
    for (std::string const& line : messageLines(reader.Warning()))
        Core::Log::warning(kReaderPrefix + line);
    if (!parsed)
        throw std::runtime_error(parseError(reader.Error(), mPath));

    for (tinyobj::shape_t const& shape : reader.GetShapes())
        onPart(triangleList(reader.GetAttrib(), shape, mPath));
}

} // namespace Render
