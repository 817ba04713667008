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
    Color(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a = 255);
    // 0xAARRGGBB: on a little-endian machine the same bytes as the memory order.
    explicit Color(std::uint32_t packed);

    void set(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a = 255);

    std::uint8_t r() const { return mR; }
    std::uint8_t g() const { return mG; }
    std::uint8_t b() const { return mB; }
    std::uint8_t a() const { return mA; }
    std::uint32_t packed() const;

    static Color black(std::uint8_t alpha = 255);
    static Color gray(std::uint8_t value, std::uint8_t alpha = 255);

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
