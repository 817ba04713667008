#pragma once

#include "math/vertexformats.h"
#include "render/export.h"

#include <functional>
#include <vector>

namespace Render {

// Reads a triangle mesh and hands it over in parts, each a flat triangle list (three consecutive
// vertices per triangle, no index buffer), so that a large mesh never needs one huge allocation.
class MORVID_RENDER_API MeshLoader {
public:
    using PartCallback = std::function<void(std::vector<VertexPosNormalTexCoordColor> const&)>;

    virtual ~MeshLoader() = default;

    // Calls `onPart` once per part, in order; errors of the source are thrown.
    virtual void load(PartCallback const& onPart) = 0;
};

} // namespace Render
