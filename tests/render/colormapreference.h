#pragma once

// Color maps on the CPU, written from their definitions, to check the shader's maps against.

#include <algorithm>
#include <array>
#include <cmath>

namespace RenderTest {

using Rgb = std::array<float, 3>;

inline float saturate(float x)
{
    return std::clamp(x, 0.0f, 1.0f);
}

inline Rgb turboReference(float x)
{
    x = saturate(x);
    auto const channel = [x](std::array<float, 4> a, std::array<float, 2> b) {
        return a[0] + a[1] * x + a[2] * x * x + a[3] * x * x * x + b[0] * std::pow(x, 4.0f) + b[1] * std::pow(x, 5.0f);
    };
    return {channel({0.13572138f, 4.61539260f, -42.66032258f, 132.13108234f}, {-152.94239396f, 59.28637943f}),
            channel({0.09140261f, 2.19418839f, 4.84296658f, -14.18503333f}, {4.27729857f, 2.82956604f}),
            channel({0.10667330f, 12.64194608f, -60.58204836f, 110.36276771f}, {-89.90310912f, 27.34824973f})};
}

// Coefficients c0..c6, each (red, green, blue).
using Polynomial = std::array<Rgb, 7>;

inline Rgb polynomialReference(float x, Polynomial const& c)
{
    x = saturate(x);
    Rgb result{};
    for (int channel = 0; channel < 3; ++channel) {
        float value = 0.0f;
        for (int i = 6; i >= 0; --i)
            value = value * x + c[i][channel];
        result[channel] = value;
    }
    return result;
}

inline Polynomial const kInferno{{{0.0002189403691192265f, 0.001651004631001012f, -0.01948089843709184f},
                                  {0.1065134194856116f, 0.5639564367884091f, 3.932712388889277f},
                                  {11.60249308247187f, -3.972853965665698f, -15.9423941062914f},
                                  {-41.70399613139459f, 17.43639888205313f, 44.35414519872813f},
                                  {77.162935699427f, -33.40235894210092f, -81.80730925738993f},
                                  {-71.31942824499214f, 32.62606426397723f, 73.20951985803202f},
                                  {25.13112622477341f, -12.24266895238567f, -23.07032500287172f}}};
inline Polynomial const kMagma{{{-0.002136485053939582f, -0.000749655052795221f, -0.005386127855323933f},
                                {0.2516605407371642f, 0.6775232436837668f, 2.494026599312351f},
                                {8.353717279216625f, -3.577719514958484f, 0.3144679030132573f},
                                {-27.66873308576866f, 14.26473078096533f, -13.64921318813922f},
                                {52.17613981234068f, -27.94360607168351f, 12.94416944238394f},
                                {-50.76852536473588f, 29.04658282127291f, 4.23415299384598f},
                                {18.65570506591883f, -11.48977351997711f, -5.601961508734096f}}};
inline Polynomial const kViridis{{{0.2777273272234177f, 0.005407344544966578f, 0.3340998053353061f},
                                  {0.1050930431085774f, 1.404613529898575f, 1.384590162594685f},
                                  {-0.3308618287255563f, 0.214847559468213f, 0.09509516302823659f},
                                  {-4.634230498983486f, -5.799100973351585f, -19.33244095627987f},
                                  {6.228269936347081f, 14.17993336680509f, 56.69055260068105f},
                                  {4.776384997670288f, -13.74514537774601f, -65.35303263337234f},
                                  {-5.435455855934631f, 4.645852612178535f, 26.3124352495832f}}};
inline Polynomial const kPlasma{{{0.05873234392399702f, 0.02333670892565664f, 0.5433401826748754f},
                                 {2.176514634195958f, 0.2383834171260182f, 0.7539604599784036f},
                                 {-2.689460476458034f, -7.455851135738909f, 3.110799939717086f},
                                 {6.130348345893603f, 42.3461881477227f, -28.51885465332158f},
                                 {-11.10743619062271f, -82.66631109428045f, 60.13984767418263f},
                                 {10.02306557647065f, 71.41361770095349f, -54.07218655560067f},
                                 {-3.658713842777788f, -22.93153465461149f, 18.19190778539828f}}};

inline Rgb boneReference(float x)
{
    x = saturate(x);
    float const r = x < 0.75f ? 7.0f / 8.0f * x : 11.0f / 8.0f * x - 3.0f / 8.0f;
    float const g = x < 0.375f ? 7.0f / 8.0f * x : x < 0.75f ? 29.0f / 24.0f * x - 1.0f / 8.0f : 7.0f / 8.0f * x + 1.0f / 8.0f;
    float const b = x < 0.375f ? 29.0f / 24.0f * x : 7.0f / 8.0f * x + 1.0f / 8.0f;
    return {r, g, b};
}

inline Rgb redWhiteBlueReference(float x)
{
    x = saturate(x);
    if (x < 0.5f)
        return {1.0f, 2.0f * x, 2.0f * x};
    return {2.0f - 2.0f * x, 2.0f - 2.0f * x, 1.0f};
}

inline Rgb accuracyReference(float x, std::array<float, 4> const& thresholds)
{
    x = saturate(x);
    if (x < thresholds[0])
        return {0.0f, 0.5f, 0.0f};
    if (x < thresholds[1])
        return {0.0f, 1.0f, 0.0f};
    if (x < thresholds[2])
        return {1.0f, 1.0f, 0.0f};
    if (x < thresholds[3])
        return {1.0f, 0.5f, 0.0f};
    return {1.0f, 0.0f, 0.0f};
}

inline Rgb coolWarmReference(float x)
{
    static constexpr std::array<Rgb, 34> kTable{{
        {0.2314f, 0.2980f, 0.7529f}, {0.2667f, 0.3529f, 0.8000f}, {0.3020f, 0.4078f, 0.8431f},
        {0.3412f, 0.4588f, 0.8824f}, {0.3843f, 0.5098f, 0.9176f}, {0.4235f, 0.5569f, 0.9451f},
        {0.4667f, 0.6039f, 0.9686f}, {0.5098f, 0.6471f, 0.9843f}, {0.5529f, 0.6902f, 0.9961f},
        {0.5961f, 0.7255f, 1.0000f}, {0.6392f, 0.7608f, 1.0000f}, {0.6824f, 0.7882f, 0.9922f},
        {0.7216f, 0.8157f, 0.9765f}, {0.7608f, 0.8353f, 0.9569f}, {0.8000f, 0.8510f, 0.9333f},
        {0.8353f, 0.8588f, 0.9020f}, {0.8667f, 0.8667f, 0.8667f}, {0.8980f, 0.8471f, 0.8196f},
        {0.9255f, 0.8275f, 0.7725f}, {0.9451f, 0.8000f, 0.7255f}, {0.9608f, 0.7686f, 0.6784f},
        {0.9686f, 0.7333f, 0.6275f}, {0.9686f, 0.6941f, 0.5804f}, {0.9686f, 0.6510f, 0.5294f},
        {0.9569f, 0.6039f, 0.4824f}, {0.9451f, 0.5529f, 0.4353f}, {0.9255f, 0.4980f, 0.3882f},
        {0.8980f, 0.4392f, 0.3451f}, {0.8706f, 0.3765f, 0.3020f}, {0.8353f, 0.3137f, 0.2588f},
        {0.7961f, 0.2431f, 0.2196f}, {0.7529f, 0.1569f, 0.1882f}, {0.7059f, 0.0000f, 0.1490f},
        {0.7059f, 0.0000f, 0.1490f},
    }};
    float const t = 32.0f * saturate(x);
    auto const i = static_cast<std::size_t>(std::floor(t));
    float const f = t - static_cast<float>(i);
    Rgb result{};
    for (int c = 0; c < 3; ++c)
        result[c] = kTable[i][c] + (kTable[i + 1][c] - kTable[i][c]) * f;
    return result;
}

// The map `map` at the normalised value n (maps 9 and 10 judge raw values and are not covered here).
inline Rgb colorMapReference(int map, float n)
{
    switch (map) {
    case 1: return polynomialReference(n, kInferno);
    case 2: return polynomialReference(n, kMagma);
    case 3: return polynomialReference(n, kViridis);
    case 4: return polynomialReference(n, kPlasma);
    case 5: return {n, n, n};
    case 6: return boneReference(n);
    case 7: return redWhiteBlueReference(n);
    case 8: return accuracyReference(n, {1.0f / 150.0f, 5.0f / 150.0f, 15.0f / 150.0f, 50.0f / 150.0f});
    case 11: return coolWarmReference(n);
    case 12: return accuracyReference(n, {1.0f / 96.0f, 4.0f / 96.0f, 10.0f / 96.0f, 32.0f / 96.0f});
    default: return turboReference(n);
    }
}

} // namespace RenderTest
