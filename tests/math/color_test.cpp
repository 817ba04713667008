#include "math/color.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using Math::Color;

TEST(Color, StoresChannelsInBlueGreenRedAlphaOrder)
{
    Color const color(1, 2, 3, 4);
    unsigned char bytes[4];
    std::memcpy(bytes, &color, sizeof(bytes));
    EXPECT_EQ(bytes[0], 3);
    EXPECT_EQ(bytes[1], 2);
    EXPECT_EQ(bytes[2], 1);
    EXPECT_EQ(bytes[3], 4);
}

TEST(Color, PackedValueIsAlphaRedGreenBlue)
{
    Color const color(0x11, 0x22, 0x33, 0x44);
    EXPECT_EQ(color.packed(), 0x44112233u);
    EXPECT_EQ(Color(0x44112233u), color);
    EXPECT_EQ(Color(0x80FF0000u).r(), 255);
    EXPECT_EQ(Color(0x80FF0000u).a(), 128);
    EXPECT_EQ(Color(1, 2, 3).a(), 255) << "opaque unless told otherwise";
}

TEST(Color, GrayscaleUsesLumaWeights)
{
    EXPECT_EQ(Color(255, 255, 255).grayscale(), 255);
    EXPECT_EQ(Color(255, 0, 0).grayscale(), 76);
    EXPECT_EQ(Color(0, 255, 0).grayscale(), 150);
    EXPECT_EQ(Color(0, 0, 255).grayscale(), 29);
    EXPECT_EQ(Color::gray(77).grayscale(), 77);
}

TEST(Color, ToVector4fScalesToUnitRange)
{
    Eigen::Vector4f const v = Color(255, 0, 51, 102).toVector4f();
    EXPECT_FLOAT_EQ(v.x(), 1.0f);
    EXPECT_FLOAT_EQ(v.y(), 0.0f);
    EXPECT_FLOAT_EQ(v.z(), 0.2f);
    EXPECT_FLOAT_EQ(v.w(), 0.4f);
}

// Reference HSLuv coordinates of the sRGB primaries and secondaries.
struct HslUvReference {
    double hue;
    double lightness;
    Color expected;
};

TEST(ColorHslUv, PrimariesAtFullSaturationMatchReference)
{
    HslUvReference const references[] = {
        {12.177050630061776, 0.5323711559542933, Color(255, 0, 0)},
        {127.71501294924047, 0.8773551910965973, Color(0, 255, 0)},
        {265.87432021817473, 0.3230087290398002, Color(0, 0, 255)},
        {85.87432021817473, 0.9713855934179674, Color(255, 255, 0)},
    };
    for (auto const& reference : references)
        EXPECT_EQ(Color::fromHslUv(reference.hue, 1.0, reference.lightness, 1.0), reference.expected)
            << "hue " << reference.hue;
}

TEST(ColorHslUv, LightnessExtremesAreWhiteAndBlack)
{
    EXPECT_EQ(Color::fromHslUv(200.0, 1.0, 1.0, 1.0), Color(255, 255, 255));
    EXPECT_EQ(Color::fromHslUv(200.0, 1.0, 0.0, 1.0), Color(0, 0, 0));
}

TEST(ColorHslUv, ZeroSaturationIsNeutralGray)
{
    Color const gray = Color::fromHslUv(33.0, 0.0, 0.5, 1.0);
    EXPECT_EQ(gray.r(), gray.g());
    EXPECT_EQ(gray.g(), gray.b());
    // L* = 50 is a relative luminance of 0.1842, sRGB 119.
    EXPECT_EQ(gray.r(), 119);
}

TEST(ColorHslUv, EqualLightnessGivesEqualPerceivedLuminanceAcrossHues)
{
    // The point of HSLuv over HSL: hue changes keep the CIE lightness.
    for (double hue = 0.0; hue < 360.0; hue += 30.0) {
        Eigen::Vector4f const c = Color::fromHslUv(hue, 1.0, 0.6, 1.0).toVector4f();
        auto linear = [](float v) { return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f); };
        float const luminance = 0.2126f * linear(c.x()) + 0.7152f * linear(c.y()) + 0.0722f * linear(c.z());
        EXPECT_NEAR(luminance, 0.2812f, 0.01f) << "hue " << hue;
    }
}

TEST(ColorHslUv, HueWrapsAndAlphaScales)
{
    EXPECT_EQ(Color::fromHslUv(370.0, 1.0, 0.6, 1.0), Color::fromHslUv(10.0, 1.0, 0.6, 1.0));
    EXPECT_EQ(Color::fromHslUv(-90.0, 1.0, 0.6, 1.0), Color::fromHslUv(270.0, 1.0, 0.6, 1.0));
    EXPECT_EQ(Color::fromHslUv(0.0, 1.0, 0.6, 0.5).a(), 128);
    EXPECT_EQ(Color::fromHslUv(0.0, 1.0, 0.6, 2.0).a(), 255);
}

} // namespace
