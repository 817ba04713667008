#pragma once

#include <cstdint>

namespace Render {

// How point clouds are colored; the shaders receive the value as `point_render_mode`.
enum class RenderMode : std::int32_t {
    Default = 0,
    TomographicDarkContours = 1,
    TomographicBrightContours = 2,
    ColorizeByNormal = 3,
    ColorizeByPlaneDistance = 4,
    ColorizeByIntensity = 5,
    UniformColor = 6,
    ColorizeByMeshDistance = 7,
    ColorizeByClassIndex = 8,
};

} // namespace Render
