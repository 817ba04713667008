#pragma once

#include "math/point.h"

#include <Eigen/Core>

namespace Math {

// A hyperplane normal · p + d = 0; the signed distance is a true distance only while the
// normal has unit length (see normalized()).
template <class T, int N>
class NPlane {
public:
    using PointType = Point<T, N>;

    NPlane() : mNormal(PointType::Zero()), mD(T(0)) {}
    NPlane(PointType const& normal, T d) : mNormal(normal), mD(d) {}
    // The plane through `point` with the given normal.
    static NPlane throughPoint(PointType const& normal, PointType const& point) { return {normal, -normal.dot(point)}; }

    PointType const& normal() const { return mNormal; }
    T d() const { return mD; }
    Eigen::Matrix<T, N + 1, 1> coefficients() const
    {
        Eigen::Matrix<T, N + 1, 1> result;
        result << mNormal, mD;
        return result;
    }

    T signedDistance(PointType const& point) const { return mNormal.dot(point) + mD; }

    // Scaled to a unit normal; a plane with a zero normal is returned unchanged.
    NPlane normalized() const
    {
        T const length = mNormal.norm();
        if (length == T(0))
            return *this;
        return {mNormal / length, mD / length};
    }

    bool operator==(NPlane const& other) const { return mNormal == other.mNormal && mD == other.mD; }
    bool operator!=(NPlane const& other) const { return !(*this == other); }

private:
    PointType mNormal;
    T mD;
};

} // namespace Math
