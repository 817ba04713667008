#pragma once

#include "math/color.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Math {

// Per classification class a color and a visibility, as the point shader reads them from
// a 256-texel RGBA texture: class i at texel i, alpha 0 for a hidden class.
class ClassificationInfo {
public:
    static constexpr std::size_t kMaxClassCount = 256;
    static constexpr std::size_t kBytesPerTexel = 4;

    struct ClassStyle {
        Color color;
        bool visible = true;

        bool operator==(ClassStyle const& other) const = default;
    };

    // No classes: every texel is transparent black, so every class is hidden.
    ClassificationInfo() = default;
    // Throws std::invalid_argument for more than kMaxClassCount classes.
    explicit ClassificationInfo(std::vector<ClassStyle> classes);

    // `count` visible classes with opaque colors from a fixed seed, so that every renderer
    // starts with the same table.
    static ClassificationInfo randomColoredClasses(std::size_t count);

    std::size_t classCount() const { return mClasses.size(); }
    // Accessors throw std::out_of_range for a class beyond classCount().
    Color color(std::size_t classIndex) const;
    bool isVisible(std::size_t classIndex) const;
    void setColor(std::size_t classIndex, Color color);
    void setVisible(std::size_t classIndex, bool visible);

    // kMaxClassCount texels of red, green, blue, alpha bytes; alpha is 255 for a visible class
    // and 0 for a hidden one or one beyond classCount().
    std::vector<std::uint8_t> toRawTextureData() const;

    bool operator==(ClassificationInfo const& other) const = default;

private:
    std::vector<ClassStyle> mClasses;
};

} // namespace Math
