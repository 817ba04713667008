#pragma once

#include "render/shaderconstants.h"

#include <array>
#include <cstddef>

namespace Render {

// CPU copy of the mesh program's constants (register b0 of "mesh.hlsl"), laid out in HLSL
// constant-buffer packing. Defaults are those of a new mesh.
struct cbPerFrameConstants {
    static constexpr std::size_t kClippingPlaneCount = 8;

    ShaderFloat4x4 modelMatrix = kShaderIdentity;
    ShaderFloat4x4 viewProjectionMatrix = kShaderIdentity;
    // (a, b, c, d) in world coordinates; a pixel stays when a x + b y + c z + d >= 0 for all. Unused: zero.
    std::array<ShaderFloat4, kClippingPlaneCount> clipping_planes{};
    // File units to scene units, applied before modelMatrix.
    float unitScale = 1.0f;
    std::array<float, 3> cameraPosition{};
    // Kept for the buffer's layout; the headlight sits at cameraPosition.
    std::array<float, 3> lightPos{0.0f, 0.0f, 20.0f};
    float padding = 0.0f;
};

static_assert(sizeof(cbPerFrameConstants) == 288);
static_assert(offsetof(cbPerFrameConstants, viewProjectionMatrix) == 64);
static_assert(offsetof(cbPerFrameConstants, clipping_planes) == 128);
static_assert(offsetof(cbPerFrameConstants, unitScale) == 256);
static_assert(offsetof(cbPerFrameConstants, cameraPosition) == 260);
static_assert(offsetof(cbPerFrameConstants, lightPos) == 272);

} // namespace Render
