#pragma once

#include "graphics/image.h"
#include "math/color.h"

#include <filesystem>

namespace Graphics {

// An image of Math::Color pixels: bytes blue, green, red, alpha.
class ColorImage : public Image<Math::Color> {
public:
    using Image::Image;

    // Writes the image as an 8-bit RGBA PNG file. Throws std::invalid_argument for an
    // empty image and std::runtime_error naming the path when the file cannot be written.
    void writePng(std::filesystem::path const& path) const;
};

} // namespace Graphics
