#pragma once

#include "math/boundingbox.h"
#include "math/point.h"

#include <Eigen/Core>
#include <Eigen/LU>

namespace Math {

// The points p with a · p + d >= 0, stored as the N + 1 coefficients (a, d).
template <class T, int N>
class HalfSpace {
public:
    using PointType = Point<T, N>;
    using Coefficients = Eigen::Matrix<T, N + 1, 1>;

    // The whole space: a zero normal with d = 0 passes every point.
    HalfSpace() : mCoefficients(Coefficients::Zero()) {}
    explicit HalfSpace(Coefficients const& coefficients) : mCoefficients(coefficients) {}
    HalfSpace(PointType const& normal, T d) { mCoefficients << normal, d; }
    HalfSpace(T a, T b, T c, T d)
        requires(N == 3)
        : mCoefficients(a, b, c, d)
    {
    }

    Coefficients const& coefficients() const { return mCoefficients; }
    PointType normal() const { return mCoefficients.template head<N>(); }
    T d() const { return mCoefficients[N]; }

    T value(PointType const& point) const { return normal().dot(point) + d(); }
    bool contains(PointType const& point) const { return value(point) >= T(0); }

    // True when no point of the box passes: even the corner farthest along the normal fails.
    bool isOutside(NBoundingBox<T, N> const& box) const
    {
        if (box.isEmpty())
            return true;
        PointType const normalVector = normal();
        PointType const corner = box.farthestCorner(normalVector);
        T sum = d();
        for (int axis = 0; axis < N; ++axis) {
            if (normalVector[axis] != T(0))
                sum += normalVector[axis] * corner[axis];
        }
        return sum < T(0);
    }

    // The same set of points after the points are moved by `pointTransform` (an invertible
    // affine or projective matrix): plane coefficients transform by its inverse transpose.
    HalfSpace transformed(Eigen::Matrix<T, N + 1, N + 1> const& pointTransform) const
    {
        return HalfSpace(Coefficients(pointTransform.inverse().transpose() * mCoefficients));
    }

    bool operator==(HalfSpace const& other) const { return mCoefficients == other.mCoefficients; }
    bool operator!=(HalfSpace const& other) const { return !(*this == other); }

private:
    Coefficients mCoefficients;
};

} // namespace Math
