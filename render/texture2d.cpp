#include "render/texture2d.h"

#include "render/comexception.h"

#include "graphics/colorimage.h"
#include "graphics/depthimage.h"
#include "math/color.h"

#include <utility>

namespace Render {
namespace {

constexpr std::size_t kBytesPerImagePixel = 4;

bool hasArea(D3D11_TEXTURE2D_DESC const& desc)
{
    return desc.Width != 0 && desc.Height != 0 && desc.ArraySize != 0;
}

D3D11_TEXTURE2D_DESC withSize(D3D11_TEXTURE2D_DESC desc, unsigned int width, unsigned int height,
                              unsigned int arraySize)
{
    desc.Width = width;
    desc.Height = height;
    desc.ArraySize = arraySize;
    return desc;
}

template <class Image>
void checkEqualLayout(std::vector<Image> const& images, char const* message)
{
    for (Image const& image : images) {
        if (image.width != images.front().width || image.height != images.front().height ||
            image.stride != images.front().stride)
            throw std::runtime_error(message);
    }
}

template <class Image>
std::vector<char const*> slicePointers(std::vector<Image> const& images)
{
    std::vector<char const*> slices;
    slices.reserve(images.size());
    for (Image const& image : images)
        slices.push_back(reinterpret_cast<char const*>(image.data()));
    return slices;
}

} // namespace

Texture2d::Texture2d(ID3D11Device* device, D3D11_TEXTURE2D_DESC const& desc) : mDesc(desc)
{
    if (hasArea(mDesc))
        create(device, nullptr);
}

Texture2d::Texture2d(ID3D11Device* device, D3D11_TEXTURE2D_DESC const& desc, unsigned int width,
                     unsigned int height, unsigned int arraySize)
    : Texture2d(device, withSize(desc, width, height, arraySize))
{
}

Texture2d::Texture2d(ID3D11Device* device, D3D11_TEXTURE2D_DESC const& desc, unsigned int width,
                     unsigned int height, float value, unsigned int arraySize)
    : mDesc(withSize(desc, width, height, arraySize))
{
    if (!hasArea(mDesc))
        return;
    Graphics::DepthImage image(width, height);
    image.fill(value);
    createFilled(device, image.data(), static_cast<unsigned int>(image.stride));
}

Texture2d::Texture2d(ID3D11Device* device, D3D11_TEXTURE2D_DESC const& desc, unsigned int width,
                     unsigned int height, Math::Color const& color, unsigned int arraySize)
    : mDesc(withSize(desc, width, height, arraySize))
{
    if (!hasArea(mDesc))
        return;
    Graphics::ColorImage image(width, height);
    image.fill(color);
    createFilled(device, image.data(), static_cast<unsigned int>(image.stride));
}

Texture2d::Texture2d(Texture2d&& other) noexcept
    : mDesc(std::exchange(other.mDesc, D3D11_TEXTURE2D_DESC{})), mTexture(std::move(other.mTexture))
{
}

Texture2d& Texture2d::operator=(Texture2d&& other) noexcept
{
    if (this != &other) {
        mDesc = std::exchange(other.mDesc, D3D11_TEXTURE2D_DESC{});
        mTexture = std::move(other.mTexture);
    }
    return *this;
}

void Texture2d::create(ID3D11Device* device, D3D11_SUBRESOURCE_DATA const* initialData)
{
    throwIfFailed(device->CreateTexture2D(&mDesc, initialData, &mTexture));
}

void Texture2d::createFilled(ID3D11Device* device, void const* pixels, unsigned int stride)
{
    std::vector<D3D11_SUBRESOURCE_DATA> slices(mDesc.ArraySize, D3D11_SUBRESOURCE_DATA{pixels, stride, 0});
    create(device, slices.data());
}

void Texture2d::resize(ID3D11Device* device, unsigned int width, unsigned int height, unsigned int arraySize)
{
    mDesc = withSize(mDesc, width, height, arraySize);
    mTexture.Release();
    create(device, nullptr);
}

void Texture2d::load(ID3D11Device* device, unsigned int width, unsigned int height, unsigned int stride,
                     char const* data)
{
    load(device, width, height, stride, std::vector<char const*>{data});
}

void Texture2d::load(ID3D11Device* device, unsigned int width, unsigned int height, unsigned int stride,
                     std::vector<char const*> const& slices)
{
    mDesc = withSize(mDesc, width, height, static_cast<unsigned int>(slices.size()));
    std::vector<D3D11_SUBRESOURCE_DATA> initialData;
    initialData.reserve(slices.size());
    for (char const* slice : slices)
        initialData.push_back(D3D11_SUBRESOURCE_DATA{slice, stride, 0});
    mTexture.Release();
    create(device, initialData.data());
}

void Texture2d::load(ID3D11Device* device, Graphics::ColorImage const& image)
{
    load(device, static_cast<unsigned int>(image.width), static_cast<unsigned int>(image.height),
         static_cast<unsigned int>(image.stride), reinterpret_cast<char const*>(image.data()));
}

void Texture2d::load(ID3D11Device* device, Graphics::DepthImage const& image)
{
    load(device, static_cast<unsigned int>(image.width), static_cast<unsigned int>(image.height),
         static_cast<unsigned int>(image.stride), reinterpret_cast<char const*>(image.data()));
}

void Texture2d::load(ID3D11Device* device, std::vector<Graphics::ColorImage> const& images)
{
    if (images.empty())
        return;
    checkEqualLayout(images, "All color images must have the same width, height and stride");
    load(device, static_cast<unsigned int>(images.front().width), static_cast<unsigned int>(images.front().height),
         static_cast<unsigned int>(images.front().stride), slicePointers(images));
}

void Texture2d::load(ID3D11Device* device, std::vector<Graphics::DepthImage> const& images)
{
    if (images.empty())
        return;
    checkEqualLayout(images, "All depth images must have the same width, height and stride");
    load(device, static_cast<unsigned int>(images.front().width), static_cast<unsigned int>(images.front().height),
         static_cast<unsigned int>(images.front().stride), slicePointers(images));
}

void Texture2d::copy(ID3D11DeviceContext* context, Texture2d const& source) const
{
    // Direct3D ignores a copy between resources of different sizes without any report, which
    // would leave stale pixels behind for the reader.
    if (source.width() != width() || source.height() != height())
        throw std::invalid_argument("texture size does not match");
    context->CopyResource(mTexture, source.mTexture);
}

void Texture2d::copySubRegion(ID3D11DeviceContext* context, Texture2d const& source, unsigned int x, unsigned int y,
                              unsigned int z, unsigned int destinationSubresource,
                              unsigned int sourceSubresource) const
{
    context->CopySubresourceRegion(mTexture, destinationSubresource, x, y, z, source.mTexture, sourceSubresource,
                                   nullptr);
}

D3D11_MAPPED_SUBRESOURCE Texture2d::map(ID3D11DeviceContext* context, D3D11_MAP mapType) const
{
    D3D11_MAPPED_SUBRESOURCE mapped{};
    throwIfFailed(context->Map(mTexture, 0, mapType, 0, &mapped));
    return mapped;
}

void Texture2d::unMap(ID3D11DeviceContext* context) const
{
    context->Unmap(mTexture, 0);
}

void Texture2d::drawImageTile(ID3D11DeviceContext* context, Graphics::ColorImage const& image,
                              D3D11_MAP mapType) const
{
    if (image.width > width() || image.height > height())
        throw std::runtime_error("Color tile does not fit into texture.");
    writeRows(context, 0, 0, image.width, image.height, image.stride, image.data(), mapType);
}

void Texture2d::drawImageTile(ID3D11DeviceContext* context, Graphics::DepthImage const& image,
                              D3D11_MAP mapType) const
{
    if (image.width > width() || image.height > height())
        throw std::runtime_error("Depth tile does not fit into texture.");
    writeRows(context, 0, 0, image.width, image.height, image.stride, image.data(), mapType);
}

void Texture2d::drawImageTile(ID3D11DeviceContext* context, std::size_t x, std::size_t y,
                              Graphics::ColorImage const& image, D3D11_MAP mapType) const
{
    if (x + image.width > width() || y + image.height > height())
        throw std::runtime_error("Color tile with offset does not fit into texture.");
    writeRows(context, x, y, image.width, image.height, image.stride, image.data(), mapType);
}

void Texture2d::drawImageTile(ID3D11DeviceContext* context, std::size_t x, std::size_t y,
                              Graphics::DepthImage const& image, D3D11_MAP mapType) const
{
    if (x + image.width > width() || y + image.height > height())
        throw std::runtime_error("Depth tile with offset does not fit into texture.");
    writeRows(context, x, y, image.width, image.height, image.stride, image.data(), mapType);
}

void Texture2d::writeRows(ID3D11DeviceContext* context, std::size_t x, std::size_t y, std::size_t tileWidth,
                          std::size_t tileHeight, std::size_t stride, unsigned char const* pixels,
                          D3D11_MAP mapType) const
{
    // Images hold 4-byte pixels; written into texels of another size they would overrun the rows.
    requireTexelSize(kBytesPerImagePixel);
    D3D11_MAPPED_SUBRESOURCE const mapped = map(context, mapType);
    auto* destination = static_cast<unsigned char*>(mapped.pData) + y * mapped.RowPitch + kBytesPerImagePixel * x;
    // Only the pixels of a row are copied: the image's row padding may reach past the texture's edge.
    std::size_t const rowBytes = kBytesPerImagePixel * tileWidth;
    for (std::size_t row = 0; row < tileHeight; ++row) {
        std::memcpy(destination, pixels, rowBytes);
        destination += mapped.RowPitch;
        pixels += stride;
    }
    unMap(context);
}

void Texture2d::requireTexelSize(std::size_t pixelSize) const
{
    if (pixelSize != bytesPerTexel(mDesc.Format))
        throw std::invalid_argument("pixel size does not match the texture format");
}

void Texture2d::readRows(ID3D11DeviceContext* context, void* destination, std::size_t pixelSize) const
{
    requireTexelSize(pixelSize);
    D3D11_MAPPED_SUBRESOURCE const mapped = map(context, D3D11_MAP_READ);
    std::size_t const rowBytes = pixelSize * mDesc.Width;
    auto const* source = static_cast<unsigned char const*>(mapped.pData);
    auto* target = static_cast<unsigned char*>(destination);
    for (unsigned int row = 0; row < mDesc.Height; ++row)
        std::memcpy(target + row * rowBytes, source + std::size_t{row} * mapped.RowPitch, rowBytes);
    unMap(context);
}

std::size_t Texture2d::bytesPerTexel(DXGI_FORMAT format)
{
    switch (format) {
    case DXGI_FORMAT_R32G32B32A32_FLOAT:
    case DXGI_FORMAT_R32G32B32A32_UINT:
        return 16;
    case DXGI_FORMAT_R32G32B32_FLOAT:
        return 12;
    case DXGI_FORMAT_R16G16B16A16_FLOAT:
    case DXGI_FORMAT_R16G16B16A16_UNORM:
    case DXGI_FORMAT_R32G32_FLOAT:
        return 8;
    case DXGI_FORMAT_B8G8R8A8_UNORM:
    case DXGI_FORMAT_R8G8B8A8_UNORM:
    case DXGI_FORMAT_R32_FLOAT:
    case DXGI_FORMAT_R32_UINT:
    case DXGI_FORMAT_R32_TYPELESS:
    case DXGI_FORMAT_D32_FLOAT:
        return 4;
    case DXGI_FORMAT_R16_UNORM:
    case DXGI_FORMAT_R16_UINT:
    case DXGI_FORMAT_R16_FLOAT:
        return 2;
    case DXGI_FORMAT_R8_UNORM:
    case DXGI_FORMAT_R8_UINT:
        return 1;
    default:
        return 0;
    }
}

} // namespace Render
