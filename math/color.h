#pragma once

#include <Eigen/Core>

#include <cstdint>

namespace Math {

// An 8-bit RGBA color stored in the memory order blue, green, red, alpha, the order of
// B8G8R8A8 textures, so that vertices and readbacks copy it raw.
class Color {
public:
    // Transparent black: all four bytes 0.
    Color() = default;
    // Defined here, like the other byte accessors, because decoders build one for every point.
    Color(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a = 255) : mB(b), mG(g), mR(r), mA(a) {}
    // 0xAARRGGBB: on a little-endian machine the same bytes as the memory order.
    explicit Color(std::uint32_t packed)
        : mB(static_cast<std::uint8_t>(packed))
        , mG(static_cast<std::uint8_t>(packed >> 8))
        , mR(static_cast<std::uint8_t>(packed >> 16))
        , mA(static_cast<std::uint8_t>(packed >> 24))
    {
    }

    void set(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a = 255)
    {
        mR = r;
        mG = g;
        mB = b;
        mA = a;
    }

    std::uint8_t r() const { return mR; }
    std::uint8_t g() const { return mG; }
    std::uint8_t b() const { return mB; }
    std::uint8_t a() const { return mA; }
    std::uint32_t packed() const
    {
        return std::uint32_t(mB) | std::uint32_t(mG) << 8 | std::uint32_t(mR) << 16 | std::uint32_t(mA) << 24;
    }

    static Color black(std::uint8_t alpha = 255) { return {0, 0, 0, alpha}; }
    static Color gray(std::uint8_t value, std::uint8_t alpha = 255) { return {value, value, value, alpha}; }

    // Luma of the sRGB channels with the Rec. 601 weights, rounded.
    std::uint8_t grayscale() const;
    // (r, g, b, a) scaled to [0, 1].
    Eigen::Vector4f toVector4f() const;

    // HSLuv, the perceptually uniform variant of HSL: hue in degrees, saturation,
    // lightness and alpha in [0, 1] (values outside are clamped).
    static Color fromHslUv(double hueDegrees, double saturation, double lightness, double alpha);

    bool operator==(Color const& other) const = default;

private:
    std::uint8_t mB = 0;
    std::uint8_t mG = 0;
    std::uint8_t mR = 0;
    std::uint8_t mA = 0;
};

static_assert(sizeof(Color) == 4, "Color is copied raw into 4-byte texels");

} // namespace Math
