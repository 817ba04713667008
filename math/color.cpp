#include "math/color.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

namespace Math {

namespace {

// HSLuv constants: sRGB primaries with the D65 white point, CIELUV with Y of white = 1.
using Row = std::array<double, 3>;
constexpr std::array<Row, 3> kXyzToLinearRgb{{
    {3.240969941904521, -1.537383177570093, -0.498610760293},
    {-0.96924363628087, 1.87596750150772, 0.041555057407175},
    {0.055630079696993, -0.20397695888897, 1.056971514242878},
}};
constexpr double kRefU = 0.19783000664283;
constexpr double kRefV = 0.46831999493879;
constexpr double kKappa = 903.2962962;
constexpr double kEpsilon = 0.0088564516;
constexpr double kMaxLightness = 100.0;

struct Line {
    double slope;
    double intercept;
};

// The six lines in the chroma plane of lightness L where one sRGB channel reaches 0 or 1.
std::array<Line, 6> gamutBounds(double lightness)
{
    double const sub1 = std::pow(lightness + 16.0, 3.0) / 1560896.0;
    double const sub2 = sub1 > kEpsilon ? sub1 : lightness / kKappa;
    std::array<Line, 6> lines{};
    for (std::size_t channel = 0; channel < 3; ++channel) {
        auto const [m1, m2, m3] = kXyzToLinearRgb[channel];
        for (int t = 0; t < 2; ++t) {
            double const top1 = (284517.0 * m1 - 94839.0 * m3) * sub2;
            double const top2 = (838422.0 * m3 + 769860.0 * m2 + 731718.0 * m1) * lightness * sub2 - 769860.0 * t * lightness;
            double const bottom = (632260.0 * m3 - 126452.0 * m2) * sub2 + 126452.0 * t;
            lines[channel * 2 + static_cast<std::size_t>(t)] = {top1 / bottom, top2 / bottom};
        }
    }
    return lines;
}

double maxChroma(double lightness, double hueRadians)
{
    double result = std::numeric_limits<double>::max();
    for (Line const& line : gamutBounds(lightness)) {
        double const length = line.intercept / (std::sin(hueRadians) - line.slope * std::cos(hueRadians));
        if (length >= 0.0)
            result = std::min(result, length);
    }
    return result;
}

double lightnessToY(double lightness)
{
    return lightness <= 8.0 ? lightness / kKappa : std::pow((lightness + 16.0) / 116.0, 3.0);
}

double toSrgbGamma(double linear)
{
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
}

std::uint8_t toByte(double unit)
{
    return static_cast<std::uint8_t>(std::lround(std::clamp(unit, 0.0, 1.0) * 255.0));
}

} // namespace

std::uint8_t Color::grayscale() const
{
    return static_cast<std::uint8_t>(std::lround(0.299 * mR + 0.587 * mG + 0.114 * mB));
}

Eigen::Vector4f Color::toVector4f() const
{
    return Eigen::Vector4f(mR, mG, mB, mA) / 255.0f;
}

Color Color::fromHslUv(double hueDegrees, double saturation, double lightness, double alpha)
{
    double const l = std::clamp(lightness, 0.0, 1.0) * kMaxLightness;
    double const hue = std::fmod(std::fmod(hueDegrees, 360.0) + 360.0, 360.0) * std::numbers::pi / 180.0;
    std::uint8_t const alphaByte = toByte(alpha);
    // At the extremes of lightness the gamut shrinks to white or black.
    if (l > kMaxLightness - 1e-7)
        return {255, 255, 255, alphaByte};
    if (l < 1e-8)
        return black(alphaByte);

    double const chroma = maxChroma(l, hue) * std::clamp(saturation, 0.0, 1.0);
    double const u = chroma * std::cos(hue);
    double const v = chroma * std::sin(hue);

    double const varU = u / (13.0 * l) + kRefU;
    double const varV = v / (13.0 * l) + kRefV;
    double const y = lightnessToY(l);
    double const x = -(9.0 * y * varU) / ((varU - 4.0) * varV - varU * varV);
    double const z = (9.0 * y - 15.0 * varV * y - varV * x) / (3.0 * varV);

    std::array<double, 3> rgb{};
    for (std::size_t channel = 0; channel < 3; ++channel) {
        auto const& m = kXyzToLinearRgb[channel];
        rgb[channel] = toSrgbGamma(m[0] * x + m[1] * y + m[2] * z);
    }
    return {toByte(rgb[0]), toByte(rgb[1]), toByte(rgb[2]), alphaByte};
}

} // namespace Math
