#include "math/colorscales.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace Math {

namespace {

constexpr int kPolynomialDegree = 6;
using ChannelCoefficients = std::array<std::array<double, 3>, kPolynomialDegree + 1>;

constexpr ChannelCoefficients kInfernoCoefficients{{
    {0.0002189403691192265, 0.001651004631001012, -0.01948089843709184},
    {0.1065134194856116, 0.5639564367884091, 3.932712388889277},
    {11.60249308247187, -3.972853965665698, -15.9423941062914},
    {-41.70399613139459, 17.43639888205313, 44.35414519872813},
    {77.162935699427, -33.40235894210092, -81.80730925738993},
    {-71.31942824499214, 32.62606426397723, 73.20951985803202},
    {25.13112622477341, -12.24266895238567, -23.07032500287172},
}};

std::uint8_t toByte(double unit)
{
    return static_cast<std::uint8_t>(std::lround(std::clamp(unit, 0.0, 1.0) * 255.0));
}

Color evaluatePolynomial(ChannelCoefficients const& coefficients, double t)
{
    std::array<double, 3> rgb{};
    for (std::size_t channel = 0; channel < 3; ++channel) {
        double value = coefficients[kPolynomialDegree][channel];
        for (int power = kPolynomialDegree - 1; power >= 0; --power)
            value = coefficients[static_cast<std::size_t>(power)][channel] + t * value;
        rgb[channel] = value;
    }
    return {toByte(rgb[0]), toByte(rgb[1]), toByte(rgb[2])};
}

} // namespace

Color Spectrum::Inferno::color(double t)
{
    return evaluatePolynomial(kInfernoCoefficients, std::clamp(t, 0.0, 1.0));
}

double Boundary::ClampToBorder::apply(double t)
{
    // NaN (an empty range) goes to the lower end rather than through the polynomial.
    if (std::isnan(t))
        return 0.0;
    return std::clamp(t, 0.0, 1.0);
}

} // namespace Math
