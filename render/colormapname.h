#pragma once

#include "render/colormap.h"
#include "render/export.h"

#include "math/colorscales.h"

namespace Render {

// The spectrum of the library's CPU coloring that matches the shader's color map; Turbo for any
// value outside the map list.
MORVID_RENDER_API Math::Spectrum::SpectrumNames spectrumName(ColorMap const& colorMap);

} // namespace Render
