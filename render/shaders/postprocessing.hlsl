// Full-screen passes from the scene targets into the output targets: render-mode specific shading,
// brightness and contrast, opacity and eye-dome lighting of the color image ("ps_main", every
// frame), and, for the readback of points, the world position with the color before eye-dome
// lighting packed next to it and that color in a target of its own ("ps_point_outputs", only when
// the host reads points, from the same scene targets and constants).
#include "shaders/colorprocessing.hlsl"

cbuffer cbConstant : register(b0)
{
    float width;
    float height;
    float brightness;
    float contrast;
    float4 bg_color;
    float opacity;
    int point_render_mode;
    int eye_dome_lighting;
    float edl_strength;
    float4 edl_depth_plane;
    float edl_radius;
    float edl_orthographic_depth_scale;
};

Texture2D<float4> color : register(t0);
Texture2D<float4> worldPosition : register(t1);
Texture2D<float4> exactWorldPosition : register(t2);

static const int kModeDefault = 0;
static const int kModeTomographicDarkContours = 1;
static const int kModeTomographicBrightContours = 2;
static const int kModeColorizeByNormal = 3;
static const int kModeColorizeByPlaneDistance = 4;
static const int kModeColorizeByClassIndex = 8;
static const float kLuminanceScale = 2.0;
static const int kEdlNeighbours = 8;
// At strength 1 a pixel whose neighbours lie 1 % nearer on average keeps about 18 % of its light.
static const float kEdlResponseScale = 120.0;
static const float kEdlMinPerspectiveDepth = 1e-6;
static const float kTwoPi = 6.28318531;

struct VS_OUTPUT
{
    float4 position : SV_POSITION;
    float2 uv : TEXCOORD0;
};

struct POINT_OUTPUTS
{
    float4 worldPosition : SV_TARGET0;
    float4 unshadedColor : SV_TARGET1;
};

VS_OUTPUT vs_main(uint vertexId : SV_VertexID)
{
    VS_OUTPUT output;
    output.uv = float2((vertexId >> 1) & 1, vertexId & 1);
    output.position = float4(2.0 * output.uv - 1.0, 1.0, 1.0);
    return output;
}

float4 shadeSurface(int2 pixel, float4 sceneColor, float3 position)
{
    float4 col = float4(sceneColor.rgb, 1.0);
    if (point_render_mode == kModeDefault)
        return adjustBrightnessContrast(col, brightness, contrast);
    if (point_render_mode == kModeTomographicDarkContours) {
        float3 t = 1.0 - col.rgb;
        float a = 1.0 - (t.r + t.g + t.b) / 3.0;
        return float4(saturate(1.0 - kLuminanceScale * (1.0 - t)), saturate(kLuminanceScale * a));
    }
    if (point_render_mode == kModeTomographicBrightContours)
        return float4(saturate(kLuminanceScale * col.rgb), saturate(kLuminanceScale * (col.r + col.g + col.b) / 3.0));
    if (point_render_mode == kModeColorizeByNormal) {
        float3 above = worldPosition.Load(int3(pixel.x, pixel.y - 1, 0)).xyz;
        float3 left = worldPosition.Load(int3(pixel.x - 1, pixel.y, 0)).xyz;
        return colorizeByNormal(normalize(cross(position - above, position - left)));
    }
    if (point_render_mode >= kModeColorizeByPlaneDistance && point_render_mode <= kModeColorizeByClassIndex)
        return col;
    return float4(0.0, 0.0, 0.0, 0.0);
}

// Depth of a world position in the measure eye-dome lighting compares (see the constants).
float edlDepth(float3 position)
{
    float depth = dot(edl_depth_plane.xyz, position) + edl_depth_plane.w;
    if (edl_orthographic_depth_scale != 0.0)
        return depth * edl_orthographic_depth_scale;
    return log2(max(depth, kEdlMinPerspectiveDepth));
}

// Eye-dome lighting: 1 where no neighbour on a ring of edl_radius pixels lies in front of this
// pixel, falling off exponentially with their mean depth lead. Pixels where nothing was drawn
// (w = 0) lead nothing. The point centres' positions are used, so that a splat is flat.
float eyeDomeShade(int2 pixel)
{
    float depth = edlDepth(exactWorldPosition.Load(int3(pixel, 0)).xyz);
    float lead = 0.0;
    [unroll] for (int i = 0; i < kEdlNeighbours; ++i) {
        float angle = kTwoPi * i / kEdlNeighbours;
        int2 offset = int2(round(edl_radius * float2(cos(angle), sin(angle))));
        float4 neighbour = exactWorldPosition.Load(int3(pixel + offset, 0));
        if (neighbour.w != 0.0)
            lead += max(0.0, depth - edlDepth(neighbour.xyz));
    }
    return exp(-kEdlResponseScale * edl_strength * lead / kEdlNeighbours);
}

// The pixel's color before eye-dome lighting; `position` is the scene's world position there.
float4 surfaceColor(int2 pixel, float4 position)
{
    float4 sceneColor = color.Load(int3(pixel, 0));
    float4 output;
    if (position.w == 0.0) {
        // Nothing was drawn here: the tomographic modes compose over white or black, the others keep
        // the scene's clear color.
        if (point_render_mode == kModeTomographicDarkContours)
            output = float4(1.0, 1.0, 1.0, 0.0);
        else if (point_render_mode == kModeTomographicBrightContours)
            output = float4(0.0, 0.0, 0.0, 0.0);
        else
            output = sceneColor;
    } else {
        output = shadeSurface(pixel, sceneColor, position.xyz);
    }
    output.a *= opacity;
    return output;
}

float4 ps_main(VS_OUTPUT input) : SV_TARGET0
{
    int2 pixel = int2(input.position.xy);
    float4 position = worldPosition.Load(int3(pixel, 0));
    float4 output = surfaceColor(pixel, position);
    if (position.w != 0.0 && eye_dome_lighting != 0)
        output.rgb *= eyeDomeShade(pixel);
    return output;
}

// Picking and point export keep the colors as drawn, before eye-dome lighting. No surface means no
// world position.
POINT_OUTPUTS ps_point_outputs(VS_OUTPUT input)
{
    int2 pixel = int2(input.position.xy);
    float4 position = worldPosition.Load(int3(pixel, 0));
    POINT_OUTPUTS output;
    output.unshadedColor = surfaceColor(pixel, position);
    if (position.w == 0.0) {
        float largestFloat = asfloat(0x7F7FFFFF);
        output.worldPosition = float4(largestFloat, largestFloat, largestFloat, 0.0);
    } else {
        output.worldPosition = float4(position.xyz, packBGRA(output.unshadedColor));
    }
    return output;
}
