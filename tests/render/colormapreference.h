#pragma once

// Color maps on the CPU, written from their definitions, to check the shader's maps against.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <map>
#include <optional>

namespace RenderTest {

using Rgb = std::array<float, 3>;

inline float saturate(float x)
{
    return std::clamp(x, 0.0f, 1.0f);
}

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

// The maps given as data (fitted polynomials, a sampled table): their 8-bit colors at n = 0, 0.3, 0.5,
// 0.7 and 1, and beyond the ends their colors at the ends; elsewhere nothing (to be judged).
inline std::optional<Rgb> sampledColorMap(int map, float n)
{
    static constexpr std::array<float, 5> kAt{0.0f, 0.3f, 0.5f, 0.7f, 1.0f};
    using Samples = std::array<std::array<int, 3>, 5>;
    static std::map<int, Samples> const kSamples{
        {0, {{{35, 23, 27}, {39, 215, 195}, {150, 250, 80}, {255, 163, 35}, {144, 13, 0}}}},
        {1, {{{0, 0, 0}, {107, 21, 107}, {186, 54, 82}, {243, 116, 21}, {250, 255, 168}}}},
        {2, {{{0, 0, 0}, {100, 26, 131}, {183, 53, 119}, {246, 111, 95}, {254, 249, 186}}}},
        {3, {{{71, 1, 85}, {54, 95, 142}, {31, 144, 139}, {66, 190, 113}, {252, 231, 33}}}},
        {4, {{{15, 6, 139}, {145, 14, 165}, {205, 71, 124}, {243, 132, 78}, {238, 247, 38}}}},
        {11, {{{59, 76, 192}, {159, 190, 255}, {221, 221, 221}, {247, 173, 143}, {180, 0, 38}}}},
    };
    auto const samples = kSamples.find(map);
    if (samples == kSamples.end())
        return sampledColorMap(0, n); // unknown maps are drawn as the first
    for (std::size_t i = 0; i < kAt.size(); ++i) {
        if (std::abs(saturate(n) - kAt[i]) < 1.6e-4f) {
            auto const& [r, g, b] = samples->second[i];
            return Rgb{r / 255.0f, g / 255.0f, b / 255.0f};
        }
    }
    return std::nullopt;
}

// The map `map` at the normalised value n, where the reference knows it (maps 9 and 10 judge raw values
// and are not covered here).
inline std::optional<Rgb> colorMapReference(int map, float n)
{
    switch (map) {
    case 5: return Rgb{n, n, n};
    case 6: return boneReference(n);
    case 7: return redWhiteBlueReference(n);
    case 8: return accuracyReference(n, {1.0f / 150.0f, 5.0f / 150.0f, 15.0f / 150.0f, 50.0f / 150.0f});
    case 12: return accuracyReference(n, {1.0f / 96.0f, 4.0f / 96.0f, 10.0f / 96.0f, 32.0f / 96.0f});
    default: return sampledColorMap(map, n);
    }
}

} // namespace RenderTest
