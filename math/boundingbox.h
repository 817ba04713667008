#pragma once

#include "math/point.h"

#include <Eigen/Core>
#include <Eigen/Geometry>

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

    // Halves are taken before adding so that boxes near the limits of T do not overflow.
    PointType center() const { return mMin * T(0.5) + mMax * T(0.5); }
    PointType size() const { return mMax - mMin; }
    // Half the size per axis; an axis where max < min counts as 0.
    PointType halfExtent() const { return (mMax * T(0.5) - mMin * T(0.5)).cwiseMax(T(0)); }
    // Radius of the sphere about center() through the corners; stableNorm() because the
    // squares of huge extents overflow.
    T boundingSphereRadius() const { return halfExtent().stableNorm(); }

    // The corner that lies farthest along `direction`: max on axes where the direction is
    // positive, min elsewhere. Plane tests use it to decide whether a box is outside.
    PointType farthestCorner(PointType const& direction) const
    {
        return (direction.array() > T(0)).select(mMax, mMin);
    }

    // The axis-aligned box around this box's corners after an affine transformation.
    NBoundingBox transformed(Eigen::Matrix<T, N + 1, N + 1> const& transform) const
    {
        if (isEmpty())
            return {};
        NBoundingBox result;
        for (int corner = 0; corner < (1 << N); ++corner) {
            PointType point;
            for (int axis = 0; axis < N; ++axis)
                point[axis] = (corner >> axis) & 1 ? mMax[axis] : mMin[axis];
            result.extend(PointType((transform * point.homogeneous()).hnormalized()));
        }
        return result;
    }

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
