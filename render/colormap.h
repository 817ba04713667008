#pragma once

#include <cstdint>

namespace Render {

// Color maps for distances and intensities; the shader's `colorize` switch takes
// the same integers and falls back to Turbo for any other value.
enum class ColorMap : std::int32_t {
    Turbo = 0,
    Inferno = 1,
    Magma = 2,
    Viridis = 3,
    Plasma = 4,
    Gray = 5,
    Bone = 6,
    RedWhiteBlue = 7,
    LevelOfAccuracy = 8,
    PassFail = 9,
    TrafficLight = 10,
    CoolWarm = 11,
    LevelOfAccuracyImperial = 12,
};

} // namespace Render
