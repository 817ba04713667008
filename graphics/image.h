#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Graphics {

// A 2D image of 4-byte pixels in rows of `stride` bytes, the layout that GPU readbacks
// copy row by row. Movable, not copyable: images are large and copies should be explicit.
template <class Pixel>
class Image {
    static_assert(sizeof(Pixel) == 4, "images hold 4-byte pixels");

public:
    static constexpr std::size_t kBytesPerPixel = sizeof(Pixel);

    Image() = default;
    Image(std::size_t width, std::size_t height) { resize(width, height, width * kBytesPerPixel); }
    Image(Image&& other) noexcept { *this = std::move(other); }
    Image& operator=(Image&& other) noexcept
    {
        width = std::exchange(other.width, 0);
        height = std::exchange(other.height, 0);
        stride = std::exchange(other.stride, 0);
        mBytes = std::move(other.mBytes);
        other.mBytes.clear();
        return *this;
    }
    Image(Image const&) = delete;
    Image& operator=(Image const&) = delete;
    ~Image() = default;

    // Stride is in bytes and must hold a row; the content after a resize is zero.
    void resize(std::size_t newWidth, std::size_t newHeight, std::size_t newStride)
    {
        if (newStride < newWidth * kBytesPerPixel || newStride % kBytesPerPixel != 0)
            throw std::invalid_argument("image stride must be a multiple of 4 bytes holding a whole row");
        mBytes.assign(newStride * newHeight, 0);
        width = newWidth;
        height = newHeight;
        stride = newStride;
    }

    std::size_t sizeInBytes() const { return stride * height; }
    std::uint8_t* data() { return mBytes.data(); }
    std::uint8_t const* data() const { return mBytes.data(); }

    Pixel pixel(std::size_t x, std::size_t y) const
    {
        Pixel value;
        std::memcpy(&value, mBytes.data() + offset(x, y), kBytesPerPixel);
        return value;
    }

    void setPixel(std::size_t x, std::size_t y, Pixel const& value)
    {
        std::memcpy(mBytes.data() + offset(x, y), &value, kBytesPerPixel);
    }

    // Sets every pixel; the padding at the end of the rows stays as it is.
    void fill(Pixel const& value)
    {
        for (std::size_t y = 0; y < height; ++y)
            for (std::size_t x = 0; x < width; ++x)
                setPixel(x, y, value);
    }

    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t stride = 0;

private:
    std::size_t offset(std::size_t x, std::size_t y) const
    {
        if (x >= width || y >= height)
            throw std::out_of_range("pixel outside the image");
        return y * stride + x * kBytesPerPixel;
    }

    std::vector<std::uint8_t> mBytes;
};

} // namespace Graphics
