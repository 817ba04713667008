#pragma once

#include "render/shaderconstants.h"

#include <cstddef>
#include <cstdint>

namespace Render {

// CPU copy of the point shader's per-cloud constants (register b0 of "pointcloud.hlsl"), laid out
// in HLSL constant-buffer packing. Defaults are those of a new buffer.
struct cbPerFrame {
    static constexpr std::size_t kClippingPlaneCount = 8;

    ShaderFloat4x4 model = kShaderIdentity;
    ShaderFloat4x4 inv_model = kShaderIdentity;
    ShaderFloat4x4 view = kShaderIdentity;
    ShaderFloat4x4 proj = kShaderIdentity;
    ShaderFloat4x4 model_view_proj = kShaderIdentity;
    ShaderFloat4x4 inv_model_view_proj = kShaderIdentity;
    ShaderFloat4x4 inv_view_proj = kShaderIdentity;
    // (a, b, c, d) in model coordinates; a point passes when a x + b y + c z + d >= 0 for all.
    std::array<ShaderFloat4, kClippingPlaneCount> clipping_planes{};
    ShaderFloat4 uniformColor{};
    ShaderFloat4 tomographicColor{};
    ShaderFloat4 distance_plane{};
    // `near` and `far` in the shader; those two words are macros of the Windows headers.
    float near_plane = 0.1f;
    float far_plane = 20000.0f;
    float width = 640.0f;
    float height = 480.0f;
    float aspect = 640.0f / 480.0f;
    float point_size = 1.0f;
    float root_node_size = 0.0f;
    float max_point_size = 5.0f;
    float tomo_contrast = 0.01f;
    float model_scale = 1.0f;
    float min_distance = 0.0f;
    float max_distance = 1.0f;
    float min_distance_pass_fail = -0.5f;
    float max_distance_pass_fail = 0.5f;
    float min_distance_warn = -0.25f;
    float max_distance_warn = 0.25f;
    std::int32_t color_map = 0;
    std::int32_t point_render_mode = 0;
    std::int32_t use_signed_distance = 1;
    std::int32_t selected = 0;
    std::int32_t use_cloud_colors_in_tomographic_render_modes = 0;
    std::int32_t mesh_clipping_active = 0;
    std::int32_t class_visibility_active = 0;
    std::int32_t region_clipping_active = 0;
    float intensity_blend_factor = 0.5f;
    float min_intensity = 0.0f;
    float max_intensity = 1.0f;
    std::int32_t color_map_intensity = 2;
};

static_assert(sizeof(cbPerFrame) == 736);
static_assert(offsetof(cbPerFrame, inv_model) == 64);
static_assert(offsetof(cbPerFrame, view) == 128);
static_assert(offsetof(cbPerFrame, proj) == 192);
static_assert(offsetof(cbPerFrame, model_view_proj) == 256);
static_assert(offsetof(cbPerFrame, inv_model_view_proj) == 320);
static_assert(offsetof(cbPerFrame, inv_view_proj) == 384);
static_assert(offsetof(cbPerFrame, clipping_planes) == 448);
static_assert(offsetof(cbPerFrame, uniformColor) == 576);
static_assert(offsetof(cbPerFrame, tomographicColor) == 592);
static_assert(offsetof(cbPerFrame, distance_plane) == 608);
static_assert(offsetof(cbPerFrame, near_plane) == 624);
static_assert(offsetof(cbPerFrame, far_plane) == 628);
static_assert(offsetof(cbPerFrame, width) == 632);
static_assert(offsetof(cbPerFrame, height) == 636);
static_assert(offsetof(cbPerFrame, aspect) == 640);
static_assert(offsetof(cbPerFrame, point_size) == 644);
static_assert(offsetof(cbPerFrame, root_node_size) == 648);
static_assert(offsetof(cbPerFrame, max_point_size) == 652);
static_assert(offsetof(cbPerFrame, tomo_contrast) == 656);
static_assert(offsetof(cbPerFrame, model_scale) == 660);
static_assert(offsetof(cbPerFrame, min_distance) == 664);
static_assert(offsetof(cbPerFrame, max_distance) == 668);
static_assert(offsetof(cbPerFrame, min_distance_pass_fail) == 672);
static_assert(offsetof(cbPerFrame, max_distance_pass_fail) == 676);
static_assert(offsetof(cbPerFrame, min_distance_warn) == 680);
static_assert(offsetof(cbPerFrame, max_distance_warn) == 684);
static_assert(offsetof(cbPerFrame, color_map) == 688);
static_assert(offsetof(cbPerFrame, point_render_mode) == 692);
static_assert(offsetof(cbPerFrame, use_signed_distance) == 696);
static_assert(offsetof(cbPerFrame, selected) == 700);
static_assert(offsetof(cbPerFrame, use_cloud_colors_in_tomographic_render_modes) == 704);
static_assert(offsetof(cbPerFrame, mesh_clipping_active) == 708);
static_assert(offsetof(cbPerFrame, class_visibility_active) == 712);
static_assert(offsetof(cbPerFrame, region_clipping_active) == 716);
static_assert(offsetof(cbPerFrame, intensity_blend_factor) == 720);
static_assert(offsetof(cbPerFrame, min_intensity) == 724);
static_assert(offsetof(cbPerFrame, max_intensity) == 728);
static_assert(offsetof(cbPerFrame, color_map_intensity) == 732);

} // namespace Render
