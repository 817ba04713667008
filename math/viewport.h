#pragma once

#include "math/point.h"

#include <cstddef>
#include <cstdint>

namespace Math {

// An output rectangle in pixels (origin top-left, y down) with its depth range, and the
// conversions between its pixels and normalized device coordinates (y up).
template <class T>
class Viewport {
public:
    using Point2 = Point<T, 2>;

    static constexpr std::size_t kDefaultWidth = 640;
    static constexpr std::size_t kDefaultHeight = 480;

    Viewport() = default;
    Viewport(std::size_t width, std::size_t height) : mWidth(width), mHeight(height) {}
    Viewport(int x, int y, std::size_t width, std::size_t height) : mX(x), mY(y), mWidth(width), mHeight(height) {}

    void set(std::size_t width, std::size_t height) { set(0, 0, width, height); }
    void set(int x, int y, std::size_t width, std::size_t height)
    {
        mX = x;
        mY = y;
        mWidth = width;
        mHeight = height;
    }
    void setX(int x) { mX = x; }
    void setY(int y) { mY = y; }
    void setTopLeft(int x, int y)
    {
        mX = x;
        mY = y;
    }
    void setWidth(std::size_t width) { mWidth = width; }
    void setHeight(std::size_t height) { mHeight = height; }
    void setDepthRange(T minDepth, T maxDepth)
    {
        mMinDepth = minDepth;
        mMaxDepth = maxDepth;
    }

    int x() const { return mX; }
    int y() const { return mY; }
    std::size_t width() const { return mWidth; }
    std::size_t height() const { return mHeight; }
    T minDepth() const { return mMinDepth; }
    T maxDepth() const { return mMaxDepth; }

    double aspectRatio() const { return double(mWidth) / double(mHeight); }

    Point2 ndcToPixel(Point2 const& ndc) const
    {
        return {T(mX) + (ndc.x() + T(1)) * T(mWidth) / T(2), T(mY) + (T(1) - ndc.y()) * T(mHeight) / T(2)};
    }

    Point2 pixelToNdc(Point2 const& pixel) const
    {
        return {T(2) * (pixel.x() - T(mX)) / T(mWidth) - T(1), T(1) - T(2) * (pixel.y() - T(mY)) / T(mHeight)};
    }

    bool operator==(Viewport const& other) const
    {
        return mX == other.mX && mY == other.mY && mWidth == other.mWidth && mHeight == other.mHeight
            && mMinDepth == other.mMinDepth && mMaxDepth == other.mMaxDepth;
    }
    bool operator!=(Viewport const& other) const { return !(*this == other); }

private:
    std::int32_t mX = 0;
    std::int32_t mY = 0;
    std::size_t mWidth = kDefaultWidth;
    std::size_t mHeight = kDefaultHeight;
    T mMinDepth = T(0);
    T mMaxDepth = T(1);
};

} // namespace Math
