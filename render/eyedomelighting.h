#pragma once

namespace Render {

// The eye-dome lighting settings of a renderer, as a value a host hands around.
struct EyeDomeLighting {
    static constexpr float kDefaultStrength = 1.0f;
    static constexpr float kDefaultRadius = 1.4f;

    bool enabled = false;
    float strength = kDefaultStrength;
    float radius = kDefaultRadius;
};

} // namespace Render
