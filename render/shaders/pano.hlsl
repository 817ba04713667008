// Spherical panorama with per-pixel depth: a full-screen quad casts one ray per pixel from the
// panorama's centre, looks up color and distance in the best loaded tile level and writes the hit
// point's world position and depth, so that panoramas mix with point clouds and can be picked.
cbuffer cbConstant : register(b0)
{
    float4x4 viewProjection;
    float4x4 inverseModelViewProjection;
    float4x4 model;
    float4x4 inverseModelView;
    float zNear;
    float zFar;
    float scale;
    uint projectionType;
    uint tileRows;
    uint tileColumns;
    uint colorLevels;
    uint depthLevels;
    // Per tile index: the highest level loaded so far.
    uint maxColorLevelPerTile[48];
    uint maxDepthLevelPerTile[48];
};

// One array slice per tile of the level.
Texture2DArray<float4> panoColorL0 : register(t0);
Texture2DArray<float4> panoColorL1 : register(t1);
Texture2DArray<float4> panoColorL2 : register(t2);
Texture2DArray<float4> panoColorL3 : register(t3);
Texture2DArray<float> panoDepthL0 : register(t4);
Texture2DArray<float> panoDepthL1 : register(t5);
Texture2DArray<float> panoDepthL2 : register(t6);
Texture2DArray<float> panoDepthL3 : register(t7);
SamplerState samplerPano : register(s0);

static const uint kMaxTilesPerLevel = 48;
static const uint kLevelCount = 4;
// A color level of this value hides its tile.
static const uint kHiddenTileLevel = 5;
static const uint kProjectionEquirectangular = 0;
static const float kPi = 3.14159265;

struct VS_OUTPUT
{
    float4 position : SV_POSITION;
    // Homogeneous, so that it interpolates linearly across the screen.
    float4 objectPoint : OBJECT_POINT;
};

struct PS_OUTPUT
{
    float4 color : SV_TARGET0;
    float4 worldPosition : SV_TARGET1;
    float4 exactWorldPosition : SV_TARGET2;
    float depth : SV_DEPTH;
};

// Where a direction meets the panorama: face (0 for equirectangular) and uv on that face.
struct FacePoint
{
    uint face;
    float2 uv;
};

// The tile of the shared grid that a face point falls in, and the uv within that tile.
struct TilePoint
{
    uint index;
    float2 uv;
};

VS_OUTPUT vs_main(uint vertexId : SV_VertexID)
{
    float2 uv = float2((vertexId >> 1) & 1, vertexId & 1);
    VS_OUTPUT output;
    output.position = float4(-1.0 + 2.0 * uv.x, -1.0 + 2.0 * uv.y, 1.0, 1.0);
    output.objectPoint = mul(inverseModelViewProjection, output.position);
    return output;
}

FacePoint cubeFacePoint(float3 direction)
{
    float3 magnitude = abs(direction);
    FacePoint result;
    if (magnitude.x >= magnitude.y && magnitude.x >= magnitude.z) {
        result.face = direction.x > 0.0 ? 0 : 1;
        result.uv = 0.5 * float2(direction.y * (direction.x > 0.0 ? -1.0 : 1.0), -direction.z) / magnitude.x + 0.5;
    } else if (magnitude.y >= magnitude.z) {
        result.face = direction.y > 0.0 ? 2 : 3;
        result.uv = 0.5 * float2(direction.x * (direction.y > 0.0 ? 1.0 : -1.0), -direction.z) / magnitude.y + 0.5;
    } else {
        result.face = direction.z > 0.0 ? 4 : 5;
        result.uv = 0.5 * float2(-direction.y, direction.x * (direction.z > 0.0 ? 1.0 : -1.0)) / magnitude.z + 0.5;
    }
    return result;
}

FacePoint equirectangularFacePoint(float3 direction)
{
    FacePoint result;
    result.face = 0;
    result.uv = float2(0.5 - atan2(direction.y, direction.x) / (2.0 * kPi), 0.5 - asin(direction.z) / kPi);
    return result;
}

TilePoint tilePoint(FacePoint facePoint)
{
    float2 grid = float2(tileColumns, tileRows);
    float2 scaled = facePoint.uv * grid;
    // uv = 1 lies on the far edge of the last tile, not in a tile beyond the grid.
    float2 cell = min(floor(scaled), grid - 1.0);
    TilePoint result;
    result.uv = scaled - cell;
    uint column = (uint)cell.x;
    uint row = (uint)cell.y;
    result.index = min(facePoint.face * tileRows * tileColumns + row * tileColumns + column, kMaxTilesPerLevel - 1);
    return result;
}

float4 sampleColor(uint level, TilePoint tile)
{
    float3 location = float3(tile.uv, tile.index);
    switch (level) {
    case 0:
        return panoColorL0.SampleLevel(samplerPano, location, 0.0);
    case 1:
        return panoColorL1.SampleLevel(samplerPano, location, 0.0);
    case 2:
        return panoColorL2.SampleLevel(samplerPano, location, 0.0);
    default:
        return panoColorL3.SampleLevel(samplerPano, location, 0.0);
    }
}

float sampleDepth(uint level, TilePoint tile)
{
    float3 location = float3(tile.uv, tile.index);
    switch (level) {
    case 0:
        return panoDepthL0.SampleLevel(samplerPano, location, 0.0);
    case 1:
        return panoDepthL1.SampleLevel(samplerPano, location, 0.0);
    case 2:
        return panoDepthL2.SampleLevel(samplerPano, location, 0.0);
    default:
        return panoDepthL3.SampleLevel(samplerPano, location, 0.0);
    }
}

PS_OUTPUT ps_main(VS_OUTPUT input)
{
    float3 direction = normalize(input.objectPoint.xyz / input.objectPoint.w);
    FacePoint facePoint;
    if (projectionType == kProjectionEquirectangular)
        facePoint = equirectangularFacePoint(direction);
    else
        facePoint = cubeFacePoint(direction);
    TilePoint tile = tilePoint(facePoint);

    uint colorLevel = maxColorLevelPerTile[tile.index];
    float4 color = colorLevel == kHiddenTileLevel ? float4(0.0, 0.0, 0.0, 0.0)
                                                  : sampleColor(min(colorLevel, kLevelCount - 1), tile);
    float range = sampleDepth(min(maxDepthLevelPerTile[tile.index], kLevelCount - 1), tile);

    // Distances outside the camera's z range (unloaded depth is FLT_MAX) go to the far end of the
    // range, measured along the viewing axis.
    float3 viewDirection = normalize(mul((float3x3)inverseModelView, float3(0.0, 0.0, -1.0)));
    float alongView = dot(direction, viewDirection);
    float maxValue = zFar / scale - 1.0;
    float viewDistance = range * alongView;
    if (!(viewDistance >= zNear / scale && viewDistance <= maxValue))
        viewDistance = maxValue;
    range = viewDistance / alongView;

    float4 worldPosition = mul(model, float4(range * direction, 1.0));
    float4 clipPosition = mul(viewProjection, worldPosition);

    PS_OUTPUT output;
    output.color = color;
    output.worldPosition = worldPosition;
    output.exactWorldPosition = worldPosition;
    output.depth = clipPosition.z / clipPosition.w;
    return output;
}
