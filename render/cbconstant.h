#pragma once

#include "render/shaderconstants.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace Render {

// One element of an HLSL uint array in a constant buffer: every element takes a whole 16-byte register.
struct ShaderArrayUint {
    std::uint32_t value = 0;
    std::array<std::uint32_t, 3> padding{};
};

// CPU copy of the panorama program's constants (register b0 of "pano.hlsl"), laid out in HLSL
// constant-buffer packing. Defaults are those of a new panorama.
struct cbConstant {
    static constexpr std::size_t kMaxTilesPerLevel = 48;
    // projectionType: this value is equirectangular, any other a cube map.
    static constexpr std::uint32_t kProjectionEquirectangular = 0;
    // A maxColorLevelPerTile entry of this value draws its tile transparent black.
    static constexpr std::uint32_t kHiddenTileLevel = 5;

    ShaderFloat4x4 viewProjection = kShaderIdentity;
    ShaderFloat4x4 inverseModelViewProjection = kShaderIdentity;
    ShaderFloat4x4 model = kShaderIdentity;
    ShaderFloat4x4 inverseModelView = kShaderIdentity;
    float zNear = 0.0f;
    float zFar = 0.0f;
    // Length of the first column of the world matrix.
    float scale = 1.0f;
    std::uint32_t projectionType = kProjectionEquirectangular;
    std::uint32_t tileRows = 0;
    std::uint32_t tileColumns = 0;
    std::uint32_t colorLevels = 0;
    std::uint32_t depthLevels = 0;
    // Per tile index within a level: the highest level loaded so far.
    std::array<ShaderArrayUint, kMaxTilesPerLevel> maxColorLevelPerTile{};
    std::array<ShaderArrayUint, kMaxTilesPerLevel> maxDepthLevelPerTile{};
};

static_assert(sizeof(ShaderArrayUint) == 16);
static_assert(sizeof(cbConstant) == 1824);
static_assert(offsetof(cbConstant, inverseModelViewProjection) == 64);
static_assert(offsetof(cbConstant, model) == 128);
static_assert(offsetof(cbConstant, inverseModelView) == 192);
static_assert(offsetof(cbConstant, zNear) == 256);
static_assert(offsetof(cbConstant, zFar) == 260);
static_assert(offsetof(cbConstant, scale) == 264);
static_assert(offsetof(cbConstant, projectionType) == 268);
static_assert(offsetof(cbConstant, tileRows) == 272);
static_assert(offsetof(cbConstant, tileColumns) == 276);
static_assert(offsetof(cbConstant, colorLevels) == 280);
static_assert(offsetof(cbConstant, depthLevels) == 284);
static_assert(offsetof(cbConstant, maxColorLevelPerTile) == 288);
static_assert(offsetof(cbConstant, maxDepthLevelPerTile) == 1056);

} // namespace Render
