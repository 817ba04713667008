// Axis-aligned boxes as wireframes: one instance per box, 24 vertices forming its 12 edges.
cbuffer cbPerFrame : register(b0)
{
    float4x4 world_view_proj;
};

// Corner c takes x from the maximum when bit 2 is set, y when bit 1 is set, z when bit 0 is set.
static const uint kEdgeCorners[24] = { 0, 4, 4, 5, 5, 1, 1, 0, 2, 6, 6, 7, 7, 3, 3, 2, 0, 2, 4, 6, 5, 7, 1, 3 };

struct VS_INPUT
{
    float3 minimum : POS_MIN;
    float3 maximum : POS_MAX;
    float4 color : COL;
    uint vertexId : SV_VertexID;
};

struct VS_OUTPUT
{
    float4 position : SV_POSITION;
    float4 color : COLOR;
};

struct PS_OUTPUT
{
    float4 color : SV_TARGET0;
    float4 worldPosition : SV_TARGET1;
};

VS_OUTPUT vs_main(VS_INPUT input)
{
    uint corner = kEdgeCorners[input.vertexId];
    float3 position = float3((corner & 4) ? input.maximum.x : input.minimum.x,
                             (corner & 2) ? input.maximum.y : input.minimum.y,
                             (corner & 1) ? input.maximum.z : input.minimum.z);
    VS_OUTPUT output;
    output.position = mul(world_view_proj, float4(position, 1.0));
    output.color = input.color;
    return output;
}

// Boxes carry no world position, so picking passes through them.
PS_OUTPUT ps_main(VS_OUTPUT input)
{
    PS_OUTPUT output;
    output.color = input.color;
    output.worldPosition = float4(0.0, 0.0, 0.0, 0.0);
    return output;
}
