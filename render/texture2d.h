#pragma once

#include "render/comptr.h"
#include "render/export.h"

#include <d3d11.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace Math {
class Color;
}
namespace Graphics {
class ColorImage;
class DepthImage;
} // namespace Graphics

namespace Render {

// Owns one 2D texture together with the descriptor it was made from.
class MORVID_RENDER_API Texture2d {
public:
    Texture2d() = default;
    // Creates the texture only when width, height and array size are all non-zero.
    Texture2d(ID3D11Device* device, D3D11_TEXTURE2D_DESC const& desc);
    Texture2d(ID3D11Device* device, D3D11_TEXTURE2D_DESC const& desc, unsigned int width, unsigned int height,
              unsigned int arraySize);
    // Every array slice starts as width x height pixels of `value`; the descriptor must have one mip level.
    Texture2d(ID3D11Device* device, D3D11_TEXTURE2D_DESC const& desc, unsigned int width, unsigned int height,
              float value, unsigned int arraySize);
    Texture2d(ID3D11Device* device, D3D11_TEXTURE2D_DESC const& desc, unsigned int width, unsigned int height,
              Math::Color const& color, unsigned int arraySize);
    Texture2d(Texture2d&& other) noexcept;
    Texture2d& operator=(Texture2d&& other) noexcept;

    // Replace the texture by a new one; the old one is released first.
    void resize(ID3D11Device* device, unsigned int width, unsigned int height, unsigned int arraySize);
    void load(ID3D11Device* device, unsigned int width, unsigned int height, unsigned int stride, char const* data);
    void load(ID3D11Device* device, unsigned int width, unsigned int height, unsigned int stride,
              std::vector<char const*> const& slices);
    void load(ID3D11Device* device, Graphics::ColorImage const& image);
    void load(ID3D11Device* device, Graphics::DepthImage const& image);
    // One array slice per image; all images need the size and stride of the first. Empty: no change.
    void load(ID3D11Device* device, std::vector<Graphics::ColorImage> const& images);
    void load(ID3D11Device* device, std::vector<Graphics::DepthImage> const& images);

    // Whole-resource copy; the source must have this texture's width and height.
    void copy(ID3D11DeviceContext* context, Texture2d const& source) const;
    void copySubRegion(ID3D11DeviceContext* context, Texture2d const& source, unsigned int x, unsigned int y,
                       unsigned int z, unsigned int destinationSubresource, unsigned int sourceSubresource) const;

    D3D11_MAPPED_SUBRESOURCE map(ID3D11DeviceContext* context, D3D11_MAP mapType) const;
    void unMap(ID3D11DeviceContext* context) const;

    // Write the image into subresource 0, at the top left corner or with its corner at (x, y). Throws
    // std::invalid_argument unless the texture's texels have the image's 4 bytes.
    void drawImageTile(ID3D11DeviceContext* context, Graphics::ColorImage const& image, D3D11_MAP mapType) const;
    void drawImageTile(ID3D11DeviceContext* context, Graphics::DepthImage const& image, D3D11_MAP mapType) const;
    void drawImageTile(ID3D11DeviceContext* context, std::size_t x, std::size_t y, Graphics::ColorImage const& image,
                       D3D11_MAP mapType) const;
    void drawImageTile(ID3D11DeviceContext* context, std::size_t x, std::size_t y, Graphics::DepthImage const& image,
                       D3D11_MAP mapType) const;

    // Reads subresource 0 of a CPU-readable texture, row by row through the row pitch, into width x
    // height pixels without padding. Pixel must have the size of one texel of the texture's format.
    template <class Pixel>
    std::vector<Pixel> readPixels(ID3D11DeviceContext* context) const;

    ID3D11Texture2D* get() const { return mTexture; }
    D3D11_TEXTURE2D_DESC const& desc() const { return mDesc; }
    unsigned int width() const { return mDesc.Width; }
    unsigned int height() const { return mDesc.Height; }

    // Bytes of one texel of `format`, 0 for formats without a fixed texel size.
    static std::size_t bytesPerTexel(DXGI_FORMAT format);

private:
    void create(ID3D11Device* device, D3D11_SUBRESOURCE_DATA const* initialData);
    void createFilled(ID3D11Device* device, void const* pixels, unsigned int stride);
    void writeRows(ID3D11DeviceContext* context, std::size_t x, std::size_t y, std::size_t width, std::size_t height,
                   std::size_t stride, unsigned char const* pixels, D3D11_MAP mapType) const;
    void readRows(ID3D11DeviceContext* context, void* destination, std::size_t pixelSize) const;
    // Throws std::invalid_argument unless one texel of the format has `pixelSize` bytes.
    void requireTexelSize(std::size_t pixelSize) const;

    D3D11_TEXTURE2D_DESC mDesc{};
    ATL::CComPtr<ID3D11Texture2D> mTexture;
};

template <class Pixel>
std::vector<Pixel> Texture2d::readPixels(ID3D11DeviceContext* context) const
{
    std::vector<Pixel> pixels(std::size_t{mDesc.Width} * mDesc.Height);
    readRows(context, pixels.data(), sizeof(Pixel));
    return pixels;
}

} // namespace Render
