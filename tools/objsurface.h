#pragma once

#include "dataframe.h"

#include "math/trianglemesh.h"

#include <filesystem>

namespace Tools {

// The triangles of an OBJ file as a distance mesh in the scene frame. Vertex positions are read
// in double, times `scale`, and moved by the frame's origin before they become float, so that a
// design surface in georeferenced coordinates keeps its centimetres. Polygons are split into
// fans. Throws std::runtime_error naming the file when it cannot be read, has a malformed vertex
// or face, or holds no face at all (as any file that is not an OBJ mesh does).
Math::TriangleMesh<float> readObjSurface(std::filesystem::path const& path, double scale, DataFrame const& frame);

} // namespace Tools
