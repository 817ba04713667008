#pragma once

#include "math/point.h"

#include <limits>

namespace Math {

// Axis-aligned box. An empty box has minimum +infinity and maximum -infinity, so
// that extending it by anything yields exactly that thing.
template <class T, int N>
class NBoundingBox {
public:
    using PointType = Point<T, N>;

    NBoundingBox()
        : mMin(PointType::Constant(std::numeric_limits<T>::infinity()))
        , mMax(PointType::Constant(-std::numeric_limits<T>::infinity()))
    {
    }
    NBoundingBox(PointType const& min, PointType const& max) : mMin(min), mMax(max) {}

    PointType const& min() const { return mMin; }
    PointType const& max() const { return mMax; }

    bool isEmpty() const { return (mMin.array() > mMax.array()).any(); }

    void extend(PointType const& point)
    {
        mMin = mMin.cwiseMin(point);
        mMax = mMax.cwiseMax(point);
    }

    void extend(NBoundingBox const& other)
    {
        mMin = mMin.cwiseMin(other.mMin);
        mMax = mMax.cwiseMax(other.mMax);
    }

    PointType center() const { return (mMin + mMax) / T(2); }
    PointType size() const { return mMax - mMin; }

    bool contains(PointType const& point) const
    {
        return (point.array() >= mMin.array()).all() && (point.array() <= mMax.array()).all();
    }

    bool intersects(NBoundingBox const& other) const
    {
        return (mMin.array() <= other.mMax.array()).all() && (other.mMin.array() <= mMax.array()).all();
    }

    template <class U>
    NBoundingBox<U, N> cast() const
    {
        return {mMin.template cast<U>(), mMax.template cast<U>()};
    }

    bool operator==(NBoundingBox const& other) const { return mMin == other.mMin && mMax == other.mMax; }
    bool operator!=(NBoundingBox const& other) const { return !(*this == other); }

private:
    PointType mMin;
    PointType mMax;
};

} // namespace Math
