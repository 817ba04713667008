#include "math/classificationinfo.h"
#include "math/color.h"
#include "math/colorscales.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>

namespace {

using Math::ClassificationInfo;
using Math::Color;

TEST(Color, StoresBlueGreenRedAlphaPacksAlphaRedGreenBlueIsOpaqueByDefaultAndGraysByLuma)
{
    Color const color(0x11, 0x22, 0x33, 0x44);
    unsigned char bytes[4];
    std::memcpy(bytes, &color, sizeof(bytes));
    EXPECT_EQ((std::vector<int>{bytes[0], bytes[1], bytes[2], bytes[3]}), (std::vector<int>{0x33, 0x22, 0x11, 0x44}));
    EXPECT_EQ(color.packed(), 0x44112233u);
    EXPECT_EQ(Color(0x44112233u), color);
    EXPECT_EQ(Color(1, 2, 3).a(), 255);
    EXPECT_TRUE(Color(255, 0, 51, 102).toVector4f().isApprox(Eigen::Vector4f(1.0f, 0.0f, 0.2f, 0.4f)));
    EXPECT_EQ((std::vector<int>{Color(255, 255, 255).grayscale(), Color(255, 0, 0).grayscale(),
                                Color(0, 0, 255).grayscale(), Color::gray(77).grayscale()}),
              (std::vector<int>{255, 76, 29, 77}));
}

TEST(ColorHslUv, MatchesReferenceColorsAndKeepsLightnessAcrossHues)
{
    struct Reference {
        double hue, saturation, lightness;
        Color expected;
    };
    // HSLuv coordinates of sRGB primaries, a secondary, white, black and L* = 50 gray (luminance 0.1842).
    for (Reference const& reference : {Reference{12.177050630061776, 1, 0.5323711559542933, Color(255, 0, 0)},
                                       Reference{127.71501294924047, 1, 0.8773551910965973, Color(0, 255, 0)},
                                       Reference{265.87432021817473, 1, 0.3230087290398002, Color(0, 0, 255)},
                                       Reference{85.87432021817473, 1, 0.9713855934179674, Color(255, 255, 0)},
                                       Reference{200, 1, 1, Color(255, 255, 255)}, Reference{200, 1, 0, Color(0, 0, 0)},
                                       Reference{33, 0, 0.5, Color(119, 119, 119)}})
        EXPECT_EQ(Color::fromHslUv(reference.hue, reference.saturation, reference.lightness, 1.0), reference.expected)
            << "hue " << reference.hue << " lightness " << reference.lightness;

    // The point of HSLuv over HSL: hue changes keep the CIE lightness.
    auto const linear = [](float v) { return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f); };
    for (double hue = 0.0; hue < 360.0; hue += 30.0) {
        Eigen::Vector4f const c = Color::fromHslUv(hue, 1.0, 0.6, 1.0).toVector4f();
        float const luminance = 0.2126f * linear(c.x()) + 0.7152f * linear(c.y()) + 0.0722f * linear(c.z());
        EXPECT_NEAR(luminance, 0.2812f, 0.01f) << "hue " << hue;
    }
    EXPECT_EQ(Color::fromHslUv(370.0, 1.0, 0.6, 1.0), Color::fromHslUv(10.0, 1.0, 0.6, 1.0));
    EXPECT_EQ(Color::fromHslUv(-90.0, 1.0, 0.6, 1.0), Color::fromHslUv(270.0, 1.0, 0.6, 1.0));
    EXPECT_EQ(Color::fromHslUv(0.0, 1.0, 0.6, 0.5).a(), 128);
    EXPECT_EQ(Color::fromHslUv(0.0, 1.0, 0.6, 2.0).a(), 255);
}

TEST(Spectrum, InfernoFollowsTheTabulatedMapAndMappingsClampToIt)
{
    using Inferno = Math::Spectrum::Inferno;
    // Samples of the tabulated inferno map; the polynomial fit stays within a few steps of it.
    std::pair<double, Color> const samples[] = {{0.0, Color(0, 0, 4)},      {0.25, Color(87, 16, 110)},
                                                {0.5, Color(188, 55, 84)},  {0.75, Color(249, 142, 9)},
                                                {1.0, Color(252, 255, 164)}};
    for (auto const& [value, expected] : samples) {
        Color const actual = Inferno::color(value);
        EXPECT_NEAR(actual.r(), expected.r(), 8) << value;
        EXPECT_NEAR(actual.g(), expected.g(), 8) << value;
        EXPECT_NEAR(actual.b(), expected.b(), 8) << value;
        EXPECT_EQ(actual.a(), 255);
    }
    EXPECT_EQ(Inferno::color(-3.0), Inferno::color(0.0));
    EXPECT_EQ(Inferno::color(7.0), Inferno::color(1.0));
    EXPECT_EQ(Math::Boundary::ClampToBorder::apply(std::numeric_limits<double>::quiet_NaN()), 0.0);
    Math::ColorMapping<Inferno, Math::Boundary::ClampToBorder> const mapping(0.0, 1000.0);
    EXPECT_EQ(mapping(500.0), Inferno::color(0.5));
    EXPECT_EQ(mapping(-10.0), Inferno::color(0.0));
    EXPECT_EQ(mapping(5000.0), Inferno::color(1.0));
}

TEST(ClassificationInfo, RandomClassesAreVisibleOpaqueDistinctAndReproducible)
{
    auto const info = ClassificationInfo::randomColoredClasses(256);
    std::set<std::uint32_t> distinct;
    for (std::size_t i = 0; i < info.classCount(); ++i) {
        EXPECT_TRUE(info.isVisible(i));
        EXPECT_EQ(info.color(i).a(), 255);
        distinct.insert(info.color(i).packed());
    }
    EXPECT_GT(distinct.size(), 200u);
    EXPECT_EQ(info, ClassificationInfo::randomColoredClasses(256));
}

TEST(ClassificationInfo, RawTextureDataIsRgbaWithVisibilityInAlphaAndClassesBeyondCountHidden)
{
    auto info = ClassificationInfo::randomColoredClasses(10);
    info.setColor(2, Color(10, 20, 30));
    info.setVisible(3, false);
    auto const texels = info.toRawTextureData();
    ASSERT_EQ(texels.size(), 1024u);
    EXPECT_EQ((std::vector<int>(texels.begin() + 8, texels.begin() + 12)), (std::vector<int>{10, 20, 30, 255}));
    EXPECT_EQ(texels[15], 0);
    EXPECT_EQ(texels[9 * 4 + 2], info.color(9).b());
    EXPECT_EQ(texels[9 * 4 + 3], 255);
    for (std::size_t i = 10; i < 256; ++i)
        EXPECT_EQ(texels[i * 4 + 3], 0) << "class " << i;
}

TEST(ClassificationInfo, EqualityNoticesOneClassAndMisuseThrowsKeepingTheTable)
{
    auto const original = ClassificationInfo::randomColoredClasses(256);
    auto changed = original;
    changed.setVisible(17, false);
    EXPECT_NE(changed, original);
    changed.setVisible(17, true);
    EXPECT_EQ(changed, original);
    changed.setColor(200, Color(1, 1, 1));
    EXPECT_NE(changed, original);

    EXPECT_THROW(ClassificationInfo::randomColoredClasses(257), std::invalid_argument);
    auto info = ClassificationInfo::randomColoredClasses(4);
    auto const before = info;
    EXPECT_THROW(info.setVisible(4, false), std::out_of_range);
    EXPECT_THROW(info.color(4), std::out_of_range);
    EXPECT_EQ(info, before);
}

} // namespace
