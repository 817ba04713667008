#include "objsurface.h"

#include "core/filereading.h"

#include <fmt/format.h>

#include <charconv>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Tools {
namespace {

std::runtime_error objError(std::filesystem::path const& path, std::size_t line, std::string_view problem)
{
    return std::runtime_error(fmt::format("\"{}\" line {}: {}", path.string(), line, problem));
}

// A face corner "v", "v/vt", "v//vn" or "v/vt/vn": the vertex index, negative ones counting back
// from the last vertex read.
std::int32_t cornerIndex(std::string_view corner, std::size_t vertexCount)
{
    std::string_view const index = corner.substr(0, corner.find('/'));
    long long value = 0;
    auto const [end, error] = std::from_chars(index.data(), index.data() + index.size(), value);
    if (error != std::errc() || end != index.data() + index.size() || value == 0)
        return -1;
    long long const zeroBased = value > 0 ? value - 1 : static_cast<long long>(vertexCount) + value;
    return zeroBased >= 0 && zeroBased < static_cast<long long>(vertexCount) ? static_cast<std::int32_t>(zeroBased)
                                                                             : -1;
}

} // namespace

Math::TriangleMesh<float> readObjSurface(std::filesystem::path const& path, double scale, DataFrame const& frame)
{
    std::istringstream text(Core::readLocalFile(path));
    std::vector<Math::Point<float, 3>> positions;
    std::vector<std::int32_t> triangles;
    std::string line;
    for (std::size_t number = 1; std::getline(text, line); ++number) {
        std::istringstream fields(line);
        std::string keyword;
        fields >> keyword;
        if (keyword == "v") {
            Math::Point<double, 3> position;
            if (!(fields >> position.x() >> position.y() >> position.z()))
                throw objError(path, number, "a vertex needs three numbers");
            positions.push_back(frame.toScene(Math::Point<double, 3>(scale * position)));
        } else if (keyword == "f") {
            std::vector<std::int32_t> corners;
            for (std::string corner; fields >> corner;) {
                std::int32_t const index = cornerIndex(corner, positions.size());
                if (index < 0)
                    throw objError(path, number, fmt::format("face corner '{}' names no vertex read so far", corner));
                corners.push_back(index);
            }
            if (corners.size() < 3)
                throw objError(path, number, "a face needs three corners");
            for (std::size_t i = 1; i + 1 < corners.size(); ++i)
                triangles.insert(triangles.end(), {corners[0], corners[i], corners[i + 1]});
        }
    }
    if (triangles.empty())
        throw std::runtime_error(fmt::format("\"{}\" is not an OBJ mesh: it has no faces", path.string()));
    return Math::TriangleMesh<float>(std::move(positions), std::move(triangles));
}

} // namespace Tools
