#pragma once

#include "math/viewport.h"
#include "render/export.h"

struct ID3D11DeviceContext;

namespace Render {

// The output rectangle of a renderer; binds itself as the rasterizer viewport.
class MORVID_RENDER_API Viewport : public Math::Viewport<float> {
public:
    using Math::Viewport<float>::Viewport;
    using Math::Viewport<float>::set;

    Viewport() = default;
    Viewport(Math::Viewport<float> const& viewport) : Math::Viewport<float>(viewport) {}

    void set(ID3D11DeviceContext* context) const;
};

} // namespace Render
