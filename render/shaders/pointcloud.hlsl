// Point cloud program: a screen-aligned disc per point, sized by the local octree level of detail,
// drawn as the triangle around it and cut to the disc in the pixel shader. What does not depend on
// the camera (a point's level of detail, whether the filters keep it, its color in the render mode)
// is found once per point by the compute pass `cs_main` whenever the drawn nodes or the settings
// change, so that the vertex shader, which runs for each corner of every frame, only reads that
// result and transforms. The points are one plain triangle list without vertex input, one triangle
// a point: a rasterizer that runs its vertex pipeline once per instance would pay that setup for
// every point drawn as an instance, and one whose cost is mostly per triangle pays half of it for
// a triangle instead of a square's two. The disc decides which pixels are drawn either way.
#include "shaders/colorprocessing.hlsl"

cbuffer cbPerFrame : register(b0)
{
    float4x4 model;
    float4x4 inv_model;
    float4x4 view;
    float4x4 proj;
    float4x4 model_view_proj;
    float4x4 inv_model_view_proj;
    float4x4 inv_view_proj;
    float4 clipping_planes[8];
    float4 uniformColor;
    float4 tomographicColor;
    float4 distance_plane;
    float near;
    float far;
    float width;
    float height;
    float aspect;
    float point_size;
    float root_node_size;
    float max_point_size;
    float tomo_contrast;
    float model_scale;
    float min_distance;
    float max_distance;
    float min_distance_pass_fail;
    float max_distance_pass_fail;
    float min_distance_warn;
    float max_distance_warn;
    int color_map;
    int point_render_mode;
    int use_signed_distance;
    int selected;
    int use_cloud_colors_in_tomographic_render_modes;
    int mesh_clipping_active;
    int class_visibility_active;
    int region_clipping_active;
    float intensity_blend_factor;
    float min_intensity;
    float max_intensity;
    int color_map_intensity;
};

// The per-point pass over the points of the drawn nodes.
cbuffer cbPointLevels : register(b1)
{
    uint point_count;
    uint node_count;
    // Threads of one row of thread groups: the pass spreads large clouds over a second dimension.
    uint threads_per_row;
};

// One texel per visible node: red = child mask, green/blue = high/low byte of the offset to the
// texel of the first visible child.
Texture1D<float4> visibleNodes : register(t0);
// Per class: color, and alpha 0 for a hidden class.
Texture1D<float4> classificationColors : register(t1);
// Two texels per drawn node, in buffer order: (minimum corner as float bits, texel in visibleNodes)
// and (octree depth, first point, point count, 0).
Buffer<uint4> nodeRecords : register(t2);
// The point records as 32-bit words, in the order of the vertex record: position x, y, z; color
// (bytes blue, green, red, alpha); intensity | scan index << 16; distance; class index in the low byte.
// The vertex shader reads the positions.
Buffer<uint> pointWords : register(t3);
// Per point, written by the compute pass and read by the vertex shader: x = the point's color as
// bytes blue, green, red, alpha; y = its octree level of detail, or kDroppedPoint when a filter
// removes it.
Buffer<uint2> pointLooks : register(t4);
RWBuffer<uint2> pointLooksOut : register(u0);

static const int kModeDefault = 0;
static const int kModeTomographicDarkContours = 1;
static const int kModeColorizeByNormal = 3;
static const int kModeColorizeByPlaneDistance = 4;
static const int kModeColorizeByIntensity = 5;
static const int kModeUniformColor = 6;
static const int kModeColorizeByMeshDistance = 7;
static const int kModeColorizeByClassIndex = 8;

static const uint kMaxLodSteps = 22;
static const uint kClippingPlaneCount = 8;
static const float kIntensityScale = 65535.0;
static const uint kPointRecordWords = 7;
static const uint kDroppedPoint = 0xFFFFFFFFu;
static const uint kPointVertices = 3;
static const float kSqrt3 = 1.7320508;

// As few interpolants as the rasterizer must set up for each point's triangle, which covers a few
// pixels. The point's center and color are the same at the three corners: flat, so that the exact
// position arrives unrounded. The triangle is screen aligned at one clip-space w, so its corner
// coordinates interpolate linearly in screen space; the world position of a pixel of the disc
// follows from them and the disc's radius.
struct VS_OUTPUT
{
    float4 position : SV_POSITION;
    // Center in world coordinates as float bits, and the color as bytes blue, green, red, alpha.
    nointerpolation uint4 center : CENTER;
    // Coordinates in disc radii from the center, and the clip-space radius of the disc.
    noperspective float3 corner : CORNER;
};

struct PS_OUTPUT
{
    float4 color : SV_TARGET0;
    float4 worldPosition : SV_TARGET1;
    float4 exactWorldPosition : SV_TARGET2;
};

// Number of set bits of the 8-bit mask below bit `bit` (a parallel bit count on one byte).
uint countBitsBelow(uint mask, uint bit)
{
    uint bits = mask & ((1u << bit) - 1u);
    bits = bits - ((bits >> 1) & 0x55u);
    bits = (bits & 0x33u) + ((bits >> 2) & 0x33u);
    return (bits + (bits >> 4)) & 0x0Fu;
}

// Octree depth of the deepest visible node that contains `position`, starting at its own node: the
// texel `index` at octree depth `depth` whose cube starts at `corner`.
uint getLodLevel(float3 position, uint index, uint depth, float3 corner)
{
    [loop]
    for (uint level = 0; level < kMaxLodSteps; ++level) {
        float size = root_node_size / exp2((float)depth);
        float3 upperHalf = step(0.5, (position - corner) / size);
        uint3 upper = (uint3)upperHalf;
        uint child = 4 * upper.x + 2 * upper.y + upper.z;
        // The channels hold bytes; rounding undoes the 1/255 scale of the UNORM read exactly.
        uint4 texel = (uint4)(visibleNodes.Load(int2(index, 0)) * 255.0 + 0.5);
        uint childMask = texel.r;
        if ((childMask & (1u << child)) == 0)
            return depth;
        index += ((texel.g << 8) | texel.b) + countBitsBelow(childMask, child);
        depth += 1;
        corner += 0.5 * size * upperHalf;
    }
    return depth;
}

float4 blendWithPointBrightness(float4 color, float brightness)
{
    return lerp(color, float4(brightness, brightness, brightness, 1.0) * color, intensity_blend_factor);
}

float4 unpackBGRA(uint bits)
{
    return float4((bits >> 16) & 0xFFu, (bits >> 8) & 0xFFu, bits & 0xFFu, bits >> 24) / 255.0;
}

// Rounded to the nearest byte, as the 8-bit color target would round the color itself.
uint packBGRABits(float4 color)
{
    uint4 channels = (uint4)round(saturate(color) * 255.0);
    return channels.b | (channels.g << 8) | (channels.r << 16) | (channels.a << 24);
}

float4 loadPosition(uint pointIndex)
{
    uint word = kPointRecordWords * pointIndex;
    return float4(asfloat(pointWords.Load(word)), asfloat(pointWords.Load(word + 1)), asfloat(pointWords.Load(word + 2)),
                  1.0);
}

// Corner v % 3 of point v / 3. The triangle's sides touch the unit circle: its corners lie two
// radii from the center, one straight above it.
VS_OUTPUT vs_main(uint vertexId : SV_VertexID)
{
    uint pointIndex = vertexId / kPointVertices;
    uint corner = vertexId - pointIndex * kPointVertices;
    uint2 look = pointLooks.Load(pointIndex);
    if (look.y == kDroppedPoint)
        return (VS_OUTPUT)0;

    VS_OUTPUT output;
    float4 position = loadPosition(pointIndex);
    float4 clipPosition = mul(model_view_proj, position);
    float w = clipPosition.w;
    float pointRadius = model_scale * point_size / exp2((float)look.y) * abs(proj._22);
    pointRadius = clamp(pointRadius, w / height, max_point_size * w / height);

    float2 uv = corner == 2 ? float2(0.0, 2.0) : float2(corner == 0 ? -kSqrt3 : kSqrt3, -1.0);
    output.position = clipPosition + float4(uv.x * pointRadius / aspect, uv.y * pointRadius, 0.0, 0.0);
    output.center = uint4(asuint(mul(model, position).xyz), look.x);
    output.corner = float3(uv, pointRadius);
    return output;
}

// What every pixel of a point writes besides its color; `edge` is 1 at the center and 0 on the rim.
struct PointPixel
{
    float edge;
    float4 worldPosition;
    float4 exactWorldPosition;
};

// Pixels outside the disc are discarded.
PointPixel pointPixel(VS_OUTPUT input)
{
    PointPixel pixel;
    pixel.edge = 1.0 - length(input.corner.xy);
    if (pixel.edge < 0.0)
        discard;
    pixel.exactWorldPosition = float4(asfloat(input.center.xyz), 1.0);
    // The pixel's offset from the center carried back to world space, so that picking sees the
    // drawn disc. Its clip z and w are 0, so only the first two columns of the inverse take part
    // and w stays 1.
    float2 offset = input.corner.xy * input.corner.z * float2(1.0 / aspect, 1.0);
    pixel.worldPosition = pixel.exactWorldPosition + offset.x * inv_view_proj._m00_m10_m20_m30 +
                          offset.y * inv_view_proj._m01_m11_m21_m31;
    return pixel;
}

// Every mode but the tomographic ones: the point's color.
PS_OUTPUT ps_main(VS_OUTPUT input)
{
    PointPixel pixel = pointPixel(input);
    PS_OUTPUT output;
    output.color = unpackBGRA(input.center.w);
    output.worldPosition = pixel.worldPosition;
    output.exactWorldPosition = pixel.exactWorldPosition;
    return output;
}

// The tomographic modes: a tint whose opacity falls off towards the rim, composited by blending.
PS_OUTPUT ps_tomographic(VS_OUTPUT input)
{
    PointPixel pixel = pointPixel(input);
    PS_OUTPUT output;
    float3 tint = use_cloud_colors_in_tomographic_render_modes ? uniformColor.rgb : tomographicColor.rgb;
    float alpha = tomo_contrast * smoothstep(0.0, 1.0, pixel.edge);
    output.color = point_render_mode == kModeTomographicDarkContours ? float4(1.0 - tint, alpha) : float4(tint, alpha);
    output.worldPosition = pixel.worldPosition;
    output.exactWorldPosition = pixel.exactWorldPosition;
    return output;
}

// The drawn node holding point `pointIndex`: the last one that starts at or before it. Nodes lie
// in the point buffer in record order, so a node that starts there and holds no point is followed
// by the one that holds it.
uint containingNode(uint pointIndex)
{
    uint first = 0;
    uint end = node_count;
    [loop]
    while (end - first > 1) {
        uint middle = (first + end) / 2;
        if (nodeRecords.Load(2 * middle + 1).y <= pointIndex)
            first = middle;
        else
            end = middle;
    }
    return first;
}

struct PointRecord
{
    float4 position;
    float4 color;
    float intensity;
    float distance;
    uint classIndex;
};

PointRecord loadPoint(uint pointIndex)
{
    uint word = kPointRecordWords * pointIndex;
    PointRecord point;
    point.position = loadPosition(pointIndex);
    point.color = unpackBGRA(pointWords.Load(word + 3));
    point.intensity = (pointWords.Load(word + 4) & 0xFFFFu) / kIntensityScale;
    point.distance = asfloat(pointWords.Load(word + 5));
    point.classIndex = pointWords.Load(word + 6) & 0xFFu;
    return point;
}

// The point's color in the render mode; false when a filter removes the point.
bool shadePoint(PointRecord point, out float4 color)
{
    color = float4(0.0, 0.0, 0.0, 0.0);
    float4 pointColor = point.color;
    if (region_clipping_active) {
        if (pointColor.a == 0.0)
            return false;
    } else {
        pointColor.a = 1.0;
    }
    float brightness = (pointColor.r + pointColor.g + pointColor.b) / 3.0;

    float4 classColor = float4(0.0, 0.0, 0.0, 0.0);
    if (class_visibility_active || point_render_mode == kModeColorizeByClassIndex) {
        float4 classTexel = classificationColors.Load(int2(point.classIndex, 0));
        if (classTexel.a == 0.0)
            return false;
        classColor = blendWithPointBrightness(classTexel, brightness);
    }

    float distance = use_signed_distance ? point.distance : abs(point.distance);
    if (mesh_clipping_active && (distance < min_distance || distance > max_distance))
        return false;

    bool outsidePlanes = false;
    [unroll]
    for (uint plane = 0; plane < kClippingPlaneCount; ++plane)
        outsidePlanes = outsidePlanes || dot(point.position, clipping_planes[plane]) < 0.0;
    if (outsidePlanes)
        return false;

    float planeDist = planeDistance(mul(model, point.position).xyz, distance_plane);
    if (!use_signed_distance)
        planeDist = abs(planeDist);
    if (point_render_mode == kModeColorizeByPlaneDistance && (planeDist < min_distance || planeDist > max_distance))
        return false;

    // The three color-mapped modes share one evaluation of the color maps, with their own value,
    // range and map.
    bool byIntensity = point_render_mode == kModeColorizeByIntensity;
    bool byPlaneDistance = point_render_mode == kModeColorizeByPlaneDistance;
    bool byMeshDistance = point_render_mode == kModeColorizeByMeshDistance &&
                          !(distance < min_distance || distance > max_distance);
    if (byIntensity || byPlaneDistance || byMeshDistance) {
        float value = byIntensity ? point.intensity : (byPlaneDistance ? planeDist : distance);
        float2 range = byIntensity ? float2(min_intensity, max_intensity) : float2(min_distance, max_distance);
        // Intensity has no pass/fail or warn limits.
        float4 limits = byIntensity ? float4(0.0, 0.0, 0.0, 0.0)
                                    : float4(min_distance_pass_fail, max_distance_pass_fail, min_distance_warn,
                                             max_distance_warn);
        float4 mapColor = colorizeByDistance(value, range.x, range.y, byIntensity ? color_map_intensity : color_map,
                                             limits.x, limits.y, limits.z, limits.w);
        color = byIntensity ? mapColor : blendWithPointBrightness(mapColor, brightness);
    } else if (point_render_mode == kModeUniformColor || (point_render_mode == kModeDefault && selected)) {
        color = blendWithPointBrightness(uniformColor, brightness);
    } else if (point_render_mode == kModeDefault || point_render_mode == kModeColorizeByNormal ||
               point_render_mode == kModeColorizeByMeshDistance) {
        color = pointColor;
    } else if (point_render_mode == kModeColorizeByClassIndex) {
        color = classColor;
    }
    return true;
}

// Per point of the drawn nodes: its color and level of detail, or that it is dropped.
[numthreads(64, 1, 1)]
void cs_main(uint3 thread : SV_DispatchThreadID)
{
    uint pointIndex = thread.y * threads_per_row + thread.x;
    if (pointIndex >= point_count)
        return;
    PointRecord point = loadPoint(pointIndex);
    float4 color;
    if (!shadePoint(point, color)) {
        pointLooksOut[pointIndex] = uint2(0, kDroppedPoint);
        return;
    }
    uint node = containingNode(pointIndex);
    uint4 place = nodeRecords.Load(2 * node);
    uint depth = nodeRecords.Load(2 * node + 1).x;
    uint level = getLodLevel(point.position.xyz, place.w, depth, asfloat(place.xyz));
    pointLooksOut[pointIndex] = uint2(packBGRABits(color), level);
}
