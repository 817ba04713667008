// Color maps and color helpers shared by the point cloud and the post-processing shaders.
#ifndef COLORPROCESSING_HLSL
#define COLORPROCESSING_HLSL

static const int kColorMapTurbo = 0;
static const int kColorMapInferno = 1;
static const int kColorMapMagma = 2;
static const int kColorMapViridis = 3;
static const int kColorMapPlasma = 4;
static const int kColorMapGray = 5;
static const int kColorMapBone = 6;
static const int kColorMapRedWhiteBlue = 7;
static const int kColorMapLevelOfAccuracy = 8;
static const int kColorMapPassFail = 9;
static const int kColorMapTrafficLight = 10;
static const int kColorMapCoolWarm = 11;
static const int kColorMapLevelOfAccuracyImperial = 12;

static const float4 kFail = float4(1.0, 0.0, 0.0, 1.0);
static const float4 kWarn = float4(1.0, 1.0, 0.0, 1.0);
static const float4 kPass = float4(0.0, 0.5, 0.0, 1.0);

// Polynomial approximation of the Turbo map.
float4 turbo(float x)
{
    x = saturate(x);
    const float4 redA = float4(0.13572138, 4.61539260, -42.66032258, 132.13108234);
    const float4 greenA = float4(0.09140261, 2.19418839, 4.84296658, -14.18503333);
    const float4 blueA = float4(0.10667330, 12.64194608, -60.58204836, 110.36276771);
    const float2 redB = float2(-152.94239396, 59.28637943);
    const float2 greenB = float2(4.27729857, 2.82956604);
    const float2 blueB = float2(-89.90310912, 27.34824973);
    float4 p = float4(1.0, x, x * x, x * x * x);
    float2 q = p.zw * p.z;
    return float4(dot(p, redA) + dot(q, redB), dot(p, greenA) + dot(q, greenB), dot(p, blueA) + dot(q, blueB), 1.0);
}

// Degree-6 polynomial fit of a perceptual map, evaluated per channel (Horner scheme).
float4 polynomialMap(float x, float3 c0, float3 c1, float3 c2, float3 c3, float3 c4, float3 c5, float3 c6)
{
    x = saturate(x);
    return float4(c0 + x * (c1 + x * (c2 + x * (c3 + x * (c4 + x * (c5 + x * c6))))), 1.0);
}

float4 inferno(float x)
{
    return polynomialMap(x,
        float3(0.0002189403691192265, 0.001651004631001012, -0.01948089843709184),
        float3(0.1065134194856116, 0.5639564367884091, 3.932712388889277),
        float3(11.60249308247187, -3.972853965665698, -15.9423941062914),
        float3(-41.70399613139459, 17.43639888205313, 44.35414519872813),
        float3(77.162935699427, -33.40235894210092, -81.80730925738993),
        float3(-71.31942824499214, 32.62606426397723, 73.20951985803202),
        float3(25.13112622477341, -12.24266895238567, -23.07032500287172));
}

float4 magma(float x)
{
    return polynomialMap(x,
        float3(-0.002136485053939582, -0.000749655052795221, -0.005386127855323933),
        float3(0.2516605407371642, 0.6775232436837668, 2.494026599312351),
        float3(8.353717279216625, -3.577719514958484, 0.3144679030132573),
        float3(-27.66873308576866, 14.26473078096533, -13.64921318813922),
        float3(52.17613981234068, -27.94360607168351, 12.94416944238394),
        float3(-50.76852536473588, 29.04658282127291, 4.23415299384598),
        float3(18.65570506591883, -11.48977351997711, -5.601961508734096));
}

float4 viridis(float x)
{
    return polynomialMap(x,
        float3(0.2777273272234177, 0.005407344544966578, 0.3340998053353061),
        float3(0.1050930431085774, 1.404613529898575, 1.384590162594685),
        float3(-0.3308618287255563, 0.214847559468213, 0.09509516302823659),
        float3(-4.634230498983486, -5.799100973351585, -19.33244095627987),
        float3(6.228269936347081, 14.17993336680509, 56.69055260068105),
        float3(4.776384997670288, -13.74514537774601, -65.35303263337234),
        float3(-5.435455855934631, 4.645852612178535, 26.3124352495832));
}

float4 plasma(float x)
{
    return polynomialMap(x,
        float3(0.05873234392399702, 0.02333670892565664, 0.5433401826748754),
        float3(2.176514634195958, 0.2383834171260182, 0.7539604599784036),
        float3(-2.689460476458034, -7.455851135738909, 3.110799939717086),
        float3(6.130348345893603, 42.3461881477227, -28.51885465332158),
        float3(-11.10743619062271, -82.66631109428045, 60.13984767418263),
        float3(10.02306557647065, 71.41361770095349, -54.07218655560067),
        float3(-3.658713842777788, -22.93153465461149, 18.19190778539828));
}

float4 gray(float x)
{
    return float4(x, x, x, 1.0);
}

float4 bone(float x)
{
    x = saturate(x);
    float r = x < 0.75 ? 7.0 / 8.0 * x : 11.0 / 8.0 * x - 3.0 / 8.0;
    float g = x < 0.375 ? 7.0 / 8.0 * x : (x < 0.75 ? 29.0 / 24.0 * x - 1.0 / 8.0 : 7.0 / 8.0 * x + 1.0 / 8.0);
    float b = x < 0.375 ? 29.0 / 24.0 * x : 7.0 / 8.0 * x + 1.0 / 8.0;
    return float4(r, g, b, 1.0);
}

float4 redwhiteblue(float x)
{
    x = saturate(x);
    if (x < 0.5)
        return float4(1.0, 2.0 * x, 2.0 * x, 1.0);
    return float4(2.0 - 2.0 * x, 2.0 - 2.0 * x, 1.0, 1.0);
}

// Accuracy bands: the four thresholds split the range into five colors from green to red.
float4 accuracyBands(float x, float4 thresholds)
{
    x = saturate(x);
    if (x < thresholds.x)
        return float4(0.0, 0.5, 0.0, 1.0);
    if (x < thresholds.y)
        return float4(0.0, 1.0, 0.0, 1.0);
    if (x < thresholds.z)
        return float4(1.0, 1.0, 0.0, 1.0);
    if (x < thresholds.w)
        return float4(1.0, 0.5, 0.0, 1.0);
    return float4(1.0, 0.0, 0.0, 1.0);
}

// With a range of 0 to 150 mm these are the level-of-accuracy bands LOA 50 to LOA 10.
float4 levelofaccuracy(float x)
{
    return accuracyBands(x, float4(1.0, 5.0, 15.0, 50.0) / 150.0);
}

// The same bands for a range of 0 to 6 inches: 1/16", 1/4", 5/8", 2".
float4 levelofaccuracy_imperial(float x)
{
    return accuracyBands(x, float4(1.0, 4.0, 10.0, 32.0) / 96.0);
}

float4 passfail(float value, float minPassFail, float maxPassFail)
{
    if (value < minPassFail || value > maxPassFail)
        return kFail;
    return kPass;
}

float4 trafficLight(float value, float minPassFail, float maxPassFail, float minWarn, float maxWarn)
{
    if (value < minPassFail || value > maxPassFail)
        return kFail;
    if (value < minWarn || value > maxWarn)
        return kWarn;
    return kPass;
}

// 33 samples of the diverging cool-warm map; the last entry repeats so that x = 1 interpolates in range.
static const float3 kCoolWarmTable[34] = {
    float3(0.2314, 0.2980, 0.7529), float3(0.2667, 0.3529, 0.8000), float3(0.3020, 0.4078, 0.8431),
    float3(0.3412, 0.4588, 0.8824), float3(0.3843, 0.5098, 0.9176), float3(0.4235, 0.5569, 0.9451),
    float3(0.4667, 0.6039, 0.9686), float3(0.5098, 0.6471, 0.9843), float3(0.5529, 0.6902, 0.9961),
    float3(0.5961, 0.7255, 1.0000), float3(0.6392, 0.7608, 1.0000), float3(0.6824, 0.7882, 0.9922),
    float3(0.7216, 0.8157, 0.9765), float3(0.7608, 0.8353, 0.9569), float3(0.8000, 0.8510, 0.9333),
    float3(0.8353, 0.8588, 0.9020), float3(0.8667, 0.8667, 0.8667), float3(0.8980, 0.8471, 0.8196),
    float3(0.9255, 0.8275, 0.7725), float3(0.9451, 0.8000, 0.7255), float3(0.9608, 0.7686, 0.6784),
    float3(0.9686, 0.7333, 0.6275), float3(0.9686, 0.6941, 0.5804), float3(0.9686, 0.6510, 0.5294),
    float3(0.9569, 0.6039, 0.4824), float3(0.9451, 0.5529, 0.4353), float3(0.9255, 0.4980, 0.3882),
    float3(0.8980, 0.4392, 0.3451), float3(0.8706, 0.3765, 0.3020), float3(0.8353, 0.3137, 0.2588),
    float3(0.7961, 0.2431, 0.2196), float3(0.7529, 0.1569, 0.1882), float3(0.7059, 0.0000, 0.1490),
    float3(0.7059, 0.0000, 0.1490)
};

float4 coolwarm(float x)
{
    float t = 32.0 * saturate(x);
    float i = floor(t);
    uint index = (uint)i;
    return float4(lerp(kCoolWarmTable[index], kCoolWarmTable[index + 1], t - i), 1.0);
}

float normalizeInRange(float value, float minValue, float maxValue)
{
    return (value - minValue) / (maxValue - minValue);
}

// Maps a normalised value through the color map `map`; unknown maps fall back to Turbo.
float4 colorize(float n, int map)
{
    switch (map) {
    case kColorMapInferno: return inferno(n);
    case kColorMapMagma: return magma(n);
    case kColorMapViridis: return viridis(n);
    case kColorMapPlasma: return plasma(n);
    case kColorMapGray: return gray(n);
    case kColorMapBone: return bone(n);
    case kColorMapRedWhiteBlue: return redwhiteblue(n);
    case kColorMapLevelOfAccuracy: return levelofaccuracy(n);
    case kColorMapCoolWarm: return coolwarm(n);
    case kColorMapLevelOfAccuracyImperial: return levelofaccuracy_imperial(n);
    default: return turbo(n);
    }
}

// Pass/fail and traffic light judge the raw value against their limits; every other map takes the
// value normalised to [minValue, maxValue].
float4 colorizeByDistance(float value, float minValue, float maxValue, int map, float minPassFail, float maxPassFail,
                          float minWarn, float maxWarn)
{
    if (map == kColorMapPassFail)
        return passfail(value, minPassFail, maxPassFail);
    if (map == kColorMapTrafficLight)
        return trafficLight(value, minPassFail, maxPassFail, minWarn, maxWarn);
    return colorize(normalizeInRange(value, minValue, maxValue), map);
}

float4 colorizeByNormal(float3 n)
{
    return float4(0.5 + 0.5 * n, 1.0);
}

float4 adjustBrightnessContrast(float4 color, float brightness, float contrast)
{
    return float4(clamp(contrast * (color.rgb + brightness - 0.5) + 0.5, 0.0, 1.0), color.a);
}

// The color as 8-bit channels in memory order blue, green, red, alpha, carried in the bits of a float.
float packBGRA(float4 color)
{
    uint4 channels = (uint4)(color * 255.0);
    return asfloat(channels.b | (channels.g << 8) | (channels.r << 16) | (channels.a << 24));
}

float planeDistance(float3 position, float4 plane)
{
    return dot(plane.xyz, position) + plane.w;
}

#endif
