#pragma once

#include "render/export.h"
#include "render/meshloader.h"

#include <filesystem>

namespace Render {

// Reads a Wavefront OBJ file (with its MTL files) into one part per shape. Polygons are split into
// triangles; corners without a normal get the flat normal of their face, and the color of a vertex
// comes from the file's per-vertex colors (white where there are none). Materials are not used.
class MORVID_RENDER_API ObjMeshLoader : public MeshLoader {
public:
    explicit ObjMeshLoader(std::filesystem::path path);

    // Throws std::runtime_error "TinyObjReader: ..." when the file cannot be read or parsed, and a
    // message naming the file for an index that points past the file's data or a position that is
    // not a finite number. Reader warnings go to the log.
    void load(PartCallback const& onPart) override;

    std::filesystem::path const& path() const { return mPath; }

private:
    std::filesystem::path mPath;
};

} // namespace Render
