// Triangle meshes: lit by a headlight at the camera from either side, cut by up to 8 clipping planes,
// writing the world position for picking like the point program does.
cbuffer cbPerFrameConstants : register(b0)
{
    float4x4 modelMatrix;
    float4x4 viewProjectionMatrix;
    // (a, b, c, d) in world coordinates; a pixel stays when a x + b y + c z + d >= 0 for all. Unused: zero.
    float4 clipping_planes[8];
    float unitScale;
    float3 cameraPosition;
    float3 lightPos;
};

static const uint kClippingPlaneCount = 8;
static const float kAmbient = 0.2;
static const float kDiffuse = 0.8;

struct VS_INPUT
{
    float3 position : POS;
    float3 normal : NML;
    float2 texCoord : UV;
    float4 color : COL;
};

struct VS_OUTPUT
{
    float4 position : SV_POSITION;
    float4 worldPosition : WORLD_POSITION;
    float3 normal : NORMAL;
    float4 color : COLOR;
};

struct PS_OUTPUT
{
    float4 color : SV_TARGET0;
    float4 worldPosition : SV_TARGET1;
    float4 exactWorldPosition : SV_TARGET2;
};

// A zero normal (a degenerate triangle, or a file that says so) stays zero instead of turning into
// NaN, so that such a surface gets the ambient term only.
float3 normalizedOrZero(float3 v)
{
    float lengthSquared = dot(v, v);
    return lengthSquared > 0.0 ? v * rsqrt(lengthSquared) : float3(0.0, 0.0, 0.0);
}

VS_OUTPUT vs_main(VS_INPUT input)
{
    // File units become scene units before the node's own transform.
    float4x4 unitScaleMatrix = float4x4(unitScale, 0.0, 0.0, 0.0,
                                        0.0, unitScale, 0.0, 0.0,
                                        0.0, 0.0, unitScale, 0.0,
                                        0.0, 0.0, 0.0, 1.0);
    float4x4 world = mul(modelMatrix, unitScaleMatrix);

    VS_OUTPUT output;
    output.worldPosition = mul(world, float4(input.position, 1.0));
    output.position = mul(viewProjectionMatrix, output.worldPosition);
    output.normal = normalizedOrZero(mul((float3x3)world, input.normal));
    output.color = input.color;
    return output;
}

PS_OUTPUT ps_main(VS_OUTPUT input)
{
    [unroll]
    for (uint i = 0; i < kClippingPlaneCount; ++i) {
        if (dot(input.worldPosition, clipping_planes[i]) < 0.0)
            discard;
    }

    // Interpolation shortens the normal between vertices; the lighting needs unit length.
    float3 normal = normalizedOrZero(input.normal);
    float3 toCamera = normalize(cameraPosition - input.worldPosition.xyz);
    // Either side of a triangle faces the headlight: the sign of the normal does not matter.
    float diffuse = dot(normal, -toCamera);
    if (diffuse < 0.0)
        diffuse = dot(-normal, -toCamera);
    diffuse = saturate(diffuse);

    PS_OUTPUT output;
    output.color = float4(kAmbient * input.color.rgb + kDiffuse * diffuse * input.color.rgb, 1.0);
    output.worldPosition = input.worldPosition;
    output.exactWorldPosition = input.worldPosition;
    return output;
}
