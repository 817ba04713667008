#include "math/colorscales.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using Math::Color;

void expectNear(Color actual, Color expected, int tolerance)
{
    EXPECT_NEAR(actual.r(), expected.r(), tolerance);
    EXPECT_NEAR(actual.g(), expected.g(), tolerance);
    EXPECT_NEAR(actual.b(), expected.b(), tolerance);
    EXPECT_EQ(actual.a(), 255);
}

TEST(Spectrum, InfernoFollowsTheTabulatedMap)
{
    // Samples of the tabulated inferno map; the polynomial fit stays within a few steps of it.
    expectNear(Math::Spectrum::Inferno::color(0.0), Color(0, 0, 4), 8);
    expectNear(Math::Spectrum::Inferno::color(0.25), Color(87, 16, 110), 8);
    expectNear(Math::Spectrum::Inferno::color(0.5), Color(188, 55, 84), 8);
    expectNear(Math::Spectrum::Inferno::color(0.75), Color(249, 142, 9), 8);
    expectNear(Math::Spectrum::Inferno::color(1.0), Color(252, 255, 164), 8);
}

TEST(Spectrum, InfernoClampsOutsideUnitRange)
{
    EXPECT_EQ(Math::Spectrum::Inferno::color(-3.0), Math::Spectrum::Inferno::color(0.0));
    EXPECT_EQ(Math::Spectrum::Inferno::color(7.0), Math::Spectrum::Inferno::color(1.0));
}

TEST(Spectrum, ClampToBorderLimitsToUnitRange)
{
    EXPECT_EQ(Math::Boundary::ClampToBorder::apply(-0.5), 0.0);
    EXPECT_EQ(Math::Boundary::ClampToBorder::apply(0.25), 0.25);
    EXPECT_EQ(Math::Boundary::ClampToBorder::apply(1e30), 1.0);
    EXPECT_EQ(Math::Boundary::ClampToBorder::apply(std::numeric_limits<double>::quiet_NaN()), 0.0);
}

TEST(Spectrum, ColorMappingMapsRangeOntoSpectrum)
{
    Math::ColorMapping<Math::Spectrum::Inferno, Math::Boundary::ClampToBorder> const mapping(0.0, 1000.0);
    EXPECT_EQ(mapping(500.0), Math::Spectrum::Inferno::color(0.5));
    EXPECT_EQ(mapping(-10.0), Math::Spectrum::Inferno::color(0.0));
    EXPECT_EQ(mapping(5000.0), Math::Spectrum::Inferno::color(1.0));
}

} // namespace
