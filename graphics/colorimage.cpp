#include "graphics/colorimage.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include <fmt/format.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace Graphics {

namespace {

constexpr int kRgbaChannels = 4;

void appendBytes(void* context, void* bytes, int size)
{
    auto* out = static_cast<std::string*>(context);
    out->append(static_cast<char const*>(bytes), static_cast<std::size_t>(size));
}

} // namespace

void ColorImage::writePng(std::filesystem::path const& path) const
{
    if (width == 0 || height == 0)
        throw std::invalid_argument(fmt::format("cannot write an empty image to \"{}\"", path.generic_string()));

    // Memory holds B, G, R, A; PNG wants R, G, B, A.
    std::vector<std::uint8_t> rgba(width * height * kRgbaChannels);
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            Math::Color const color = pixel(x, y);
            std::uint8_t* out = rgba.data() + (y * width + x) * kRgbaChannels;
            out[0] = color.r();
            out[1] = color.g();
            out[2] = color.b();
            out[3] = color.a();
        }
    }

    // Encoding into memory and writing through a stream handles wide paths on Windows.
    std::string encoded;
    int const rowBytes = static_cast<int>(width * kRgbaChannels);
    if (stbi_write_png_to_func(&appendBytes, &encoded, static_cast<int>(width), static_cast<int>(height), kRgbaChannels,
            rgba.data(), rowBytes) == 0)
        throw std::runtime_error(fmt::format("cannot encode the PNG image for \"{}\"", path.generic_string()));

    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(encoded.data(), static_cast<std::streamsize>(encoded.size()));
    file.close();
    if (!file)
        throw std::runtime_error(fmt::format("cannot write the PNG file \"{}\"", path.generic_string()));
}

} // namespace Graphics
