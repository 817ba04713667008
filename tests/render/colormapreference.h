#pragma once

// Color maps on the CPU, written from their published definitions, to check the shader's maps against.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

namespace RenderTest {

using Rgb = std::array<float, 3>;

inline float saturate(float x)
{
    return std::clamp(x, 0.0f, 1.0f);
}

// Red, green and blue each a polynomial in x, coefficients from the constant term up.
template <std::size_t N>
using Polynomial = std::array<std::array<float, N>, 3>;

template <std::size_t N>
Rgb polynomialReference(float x, Polynomial<N> const& channels)
{
    x = saturate(x);
    Rgb result{};
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t i = N; i-- > 0;)
            result[c] = result[c] * x + channels[c][i];
    return result;
}

inline Polynomial<6> const kTurbo{{
    {0.1357214f, 4.615393f, -42.66032f, 132.1311f, -152.9424f, 59.28638f},
    {0.09140261f, 2.194188f, 4.842967f, -14.18503f, 4.277299f, 2.829566f},
    {0.1066733f, 12.64195f, -60.58205f, 110.3628f, -89.90311f, 27.34825f},
}};
// Degree-6 fits of the perceptual maps.
inline Polynomial<7> const kInferno{{
    {0.0002189404f, 0.1065134f, 11.60249f, -41.704f, 77.16294f, -71.31943f, 25.13113f},
    {0.001651005f, 0.5639564f, -3.972854f, 17.4364f, -33.40236f, 32.62606f, -12.24267f},
    {-0.0194809f, 3.932712f, -15.94239f, 44.35415f, -81.80731f, 73.20952f, -23.07033f},
}};
inline Polynomial<7> const kMagma{{
    {-0.002136485f, 0.2516605f, 8.353717f, -27.66873f, 52.17614f, -50.76853f, 18.65571f},
    {-0.0007496551f, 0.6775232f, -3.57772f, 14.26473f, -27.94361f, 29.04658f, -11.48977f},
    {-0.005386128f, 2.494027f, 0.3144679f, -13.64921f, 12.94417f, 4.234153f, -5.601962f},
}};
inline Polynomial<7> const kViridis{{
    {0.2777273f, 0.105093f, -0.3308618f, -4.63423f, 6.22827f, 4.776385f, -5.435456f},
    {0.005407345f, 1.404614f, 0.2148476f, -5.799101f, 14.17993f, -13.74515f, 4.645853f},
    {0.3340998f, 1.38459f, 0.09509516f, -19.33244f, 56.69055f, -65.35303f, 26.31244f},
}};
inline Polynomial<7> const kPlasma{{
    {0.05873234f, 2.176515f, -2.68946f, 6.130348f, -11.10744f, 10.02307f, -3.658714f},
    {0.02333671f, 0.2383834f, -7.455851f, 42.34619f, -82.66631f, 71.41362f, -22.93153f},
    {0.5433402f, 0.7539605f, 3.1108f, -28.51885f, 60.13985f, -54.07219f, 18.19191f},
}};

inline Rgb boneReference(float x)
{
    x = saturate(x);
    float const r = x < 0.75f ? 7.0f / 8.0f * x : 11.0f / 8.0f * x - 3.0f / 8.0f;
    float const g = x < 0.375f ? 7.0f / 8.0f * x
                    : x < 0.75f ? 29.0f / 24.0f * x - 1.0f / 8.0f
                                : 7.0f / 8.0f * x + 1.0f / 8.0f;
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

// Five bands from dark green to red, split at the thresholds.
inline Rgb accuracyReference(float x, std::array<float, 4> const& thresholds)
{
    static constexpr std::array<Rgb, 5> kBands{{{0, 0.5f, 0}, {0, 1, 0}, {1, 1, 0}, {1, 0.5f, 0}, {1, 0, 0}}};
    return kBands[std::upper_bound(thresholds.begin(), thresholds.end(), saturate(x)) - thresholds.begin()];
}

// 33 samples of the diverging cool-warm map in 8-bit channels, interpolated linearly.
inline Rgb coolWarmReference(float x)
{
    static constexpr std::array<std::array<int, 3>, 33> kTable{{
        {59, 76, 192}, {68, 90, 204}, {77, 104, 215}, {87, 117, 225}, {98, 130, 234}, {108, 142, 241},
        {119, 154, 247}, {130, 165, 251}, {141, 176, 254}, {152, 185, 255}, {163, 194, 255}, {174, 201, 253},
        {184, 208, 249}, {194, 213, 244}, {204, 217, 238}, {213, 219, 230}, {221, 221, 221}, {229, 216, 209},
        {236, 211, 197}, {241, 204, 185}, {245, 196, 173}, {247, 187, 160}, {247, 177, 148}, {247, 166, 135},
        {244, 154, 123}, {241, 141, 111}, {236, 127, 99}, {229, 112, 88}, {222, 96, 77}, {213, 80, 66},
        {203, 62, 56}, {192, 40, 48}, {180, 0, 38},
    }};
    float const t = 32.0f * saturate(x);
    auto const i = std::min<std::size_t>(static_cast<std::size_t>(t), 31);
    Rgb result{};
    for (std::size_t c = 0; c < 3; ++c)
        result[c] = (kTable[i][c] + (kTable[i + 1][c] - kTable[i][c]) * (t - static_cast<float>(i))) / 255.0f;
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
    default: return polynomialReference(n, kTurbo);
    }
}

} // namespace RenderTest
