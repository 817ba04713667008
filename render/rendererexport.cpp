// Export of the finished frame: PNG and point files, and the pixels that show a point.
#include "render/renderer.h"

#include "graphics/colorimage.h"
#include "graphics/plypointwriter.h"
#include "graphics/textpointwriter.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace Render {
namespace {

constexpr std::size_t kPixelBytes = sizeof(VertexPosColor);

// A target copied into its staging texture and mapped for reading while this object lives.
class MappedReadback {
public:
    MappedReadback(ID3D11DeviceContext* context, Texture2d const& source, Texture2d const& staging)
        : mContext(context)
        , mStaging(staging)
    {
        staging.copy(context, source);
        mMapped = staging.map(context, D3D11_MAP_READ);
    }
    MappedReadback(MappedReadback const&) = delete;
    MappedReadback& operator=(MappedReadback const&) = delete;
    ~MappedReadback() { mStaging.unMap(mContext); }

    std::size_t width() const { return mStaging.width(); }
    std::size_t height() const { return mStaging.height(); }
    std::size_t rowPitch() const { return mMapped.RowPitch; }
    std::byte const* pixel(std::size_t x, std::size_t y, std::size_t pixelBytes) const
    {
        return static_cast<std::byte const*>(mMapped.pData) + y * mMapped.RowPitch + x * pixelBytes;
    }

private:
    ID3D11DeviceContext* mContext;
    Texture2d const& mStaging;
    D3D11_MAPPED_SUBRESOURCE mMapped{};
};

VertexPosColor worldPositionPixel(MappedReadback const& worldPositions, std::size_t x, std::size_t y)
{
    VertexPosColor pixel;
    std::memcpy(&pixel, worldPositions.pixel(x, y, kPixelBytes), kPixelBytes);
    return pixel;
}

Math::Color colorPixel(MappedReadback const& colors, std::size_t x, std::size_t y)
{
    Math::Color color;
    std::memcpy(&color, colors.pixel(x, y, sizeof(Math::Color)), sizeof(Math::Color));
    return color;
}

// Empty pixels hold w = 0. The packed color is compared bit for bit: black with alpha 128
// packs to the bits of -0.0, which a float comparison would take for an empty pixel.
bool showsPoint(VertexPosColor const& pixel)
{
    return pixel.color != Math::Color();
}

// A position left past the end of a row (the image shrank since) continues on the next row,
// so that a run never starts outside the image.
void normalizeChunkPosition(std::size_t width, std::size_t& column, std::size_t& row)
{
    if (column >= width) {
        column = 0;
        ++row;
    }
}

// Visits pixels from the chunk position in row-major order, advancing after each, until
// `visit` has accepted maxCount of them or the image ends. Returns the number accepted.
template <class Visit>
std::size_t walkPixels(std::size_t width, std::size_t height, std::size_t& column, std::size_t& row,
                       std::size_t maxCount, Visit&& visit)
{
    normalizeChunkPosition(width, column, row);
    std::size_t accepted = 0;
    while (accepted < maxCount && row < height) {
        if (visit(column, row, accepted))
            ++accepted;
        if (++column == width) {
            column = 0;
            ++row;
        }
    }
    return accepted;
}

template <class Pointer>
void requireOutput(Pointer* pointer, char const* message)
{
    if (pointer == nullptr)
        throw std::invalid_argument(message);
}

} // namespace

void Renderer::writePngImage(std::filesystem::path const& path)
{
    render();
    Graphics::ColorImage image;
    getColorImage(image);
    image.writePng(path);
}

void Renderer::writePoints(std::filesystem::path const& path)
{
    render();
    std::vector<VertexPosColor> points;
    getPoints(points, true);
    Graphics::TextPointWriter writer(path);
    writer.append(points);
    writer.close();
}

void Renderer::getPoints(std::vector<VertexPosColor>& points, bool removeTransparent)
{
    resetPointChunkPosition();
    points.resize(std::size_t{viewport().width()} * viewport().height());
    points.resize(getNextPointChunk(points.data(), points.size()));
    if (removeTransparent)
        std::erase_if(points, [](VertexPosColor const& point) { return !point.isValid(); });
}

std::size_t Renderer::getNextPointChunk(VertexPosColor* points, std::size_t maxCount)
{
    requireOutput(points, "getNextPointChunk: points must not be null");
    MappedReadback const image(mDeviceContext, pointOutputs().texture("worldPosition"), mPointChunkStaging);
    std::size_t const width = image.width();
    std::size_t const height = image.height();
    std::size_t const rowBytes = width * kPixelBytes;
    bool const atStart = mPointChunkColumn == 0 && mPointChunkRow == 0;
    if (atStart && width * height <= maxCount) {
        if (image.rowPitch() == rowBytes)
            std::memcpy(points, image.pixel(0, 0, kPixelBytes), rowBytes * height);
        else
            for (std::size_t y = 0; y < height; ++y)
                std::memcpy(points + y * width, image.pixel(0, y, kPixelBytes), rowBytes);
        // Past the last row, so that a host reading until a call returns 0 comes to an end.
        mPointChunkRow = height;
        return width * height;
    }

    normalizeChunkPosition(width, mPointChunkColumn, mPointChunkRow);
    std::size_t copied = 0;
    while (copied < maxCount && mPointChunkRow < height) {
        std::size_t const run = std::min(maxCount - copied, width - mPointChunkColumn);
        std::memcpy(points + copied, image.pixel(mPointChunkColumn, mPointChunkRow, kPixelBytes), run * kPixelBytes);
        copied += run;
        mPointChunkColumn += run;
        if (mPointChunkColumn == width) {
            mPointChunkColumn = 0;
            ++mPointChunkRow;
        }
    }
    return copied;
}

std::size_t Renderer::getNextPointChunk(double* xyz, int* colors, std::size_t maxCount)
{
    requireOutput(xyz, "getNextPointChunk: xyz must not be null");
    requireOutput(colors, "getNextPointChunk: colors must not be null");
    if (maxCount == 0)
        return 0;
    MappedReadback const colorImage(mDeviceContext, pointOutputs().texture("unshadedColor"), mColorStaging);
    MappedReadback const positions(mDeviceContext, pointOutputs().texture("worldPosition"), mPointChunkStaging);
    return walkPixels(positions.width(), positions.height(), mPointChunkColumn, mPointChunkRow, maxCount,
                      [&](std::size_t x, std::size_t y, std::size_t index) {
                          VertexPosColor const pixel = worldPositionPixel(positions, x, y);
                          if (!showsPoint(pixel))
                              return false;
                          xyz[3 * index] = pixel.x;
                          xyz[3 * index + 1] = pixel.y;
                          xyz[3 * index + 2] = pixel.z;
                          Math::Color const color = colorPixel(colorImage, x, y);
                          colors[index] = int{color.r()} | int{color.g()} << 8 | int{color.b()} << 16;
                          return true;
                      });
}

std::size_t Renderer::getNextPointChunkOld(VertexPosColor* points, std::size_t maxCount)
{
    requireOutput(points, "getNextPointChunkOld: points must not be null");
    MappedReadback const positions(mDeviceContext, pointOutputs().texture("worldPosition"), mPointChunkStaging);
    return walkPixels(positions.width(), positions.height(), mPointChunkColumn, mPointChunkRow, maxCount,
                      [&](std::size_t x, std::size_t y, std::size_t index) {
                          VertexPosColor const pixel = worldPositionPixel(positions, x, y);
                          if (!showsPoint(pixel))
                              return false;
                          points[index] = pixel;
                          return true;
                      });
}

std::size_t Renderer::getNextPointChunkDebug(std::filesystem::path const& path, std::size_t maxCount)
{
    if (maxCount == 0)
        return 0;
    std::vector<VertexPosColor> points;
    {
        MappedReadback const colorImage(mDeviceContext, pointOutputs().texture("unshadedColor"), mColorStaging);
        MappedReadback const positions(mDeviceContext, pointOutputs().texture("worldPosition"), mPointChunkStaging);
        points.reserve(std::min(maxCount, positions.width() * positions.height()));
        walkPixels(positions.width(), positions.height(), mPointChunkColumn, mPointChunkRow, maxCount,
                   [&](std::size_t x, std::size_t y, std::size_t) {
                       VertexPosColor pixel = worldPositionPixel(positions, x, y);
                       if (!showsPoint(pixel))
                           return false;
                       pixel.color = colorPixel(colorImage, x, y);
                       points.push_back(pixel);
                       return true;
                   });
    }
    Graphics::PlyPointWriter writer(path);
    writer.append(points);
    writer.close();
    return points.size();
}

void Renderer::resetPointChunkPosition()
{
    mPointChunkColumn = 0;
    mPointChunkRow = 0;
}

} // namespace Render
