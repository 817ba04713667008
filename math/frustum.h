#pragma once

#include "math/boundingbox.h"
#include "math/halfspace.h"
#include "math/nplane.h"

#include <Eigen/Core>

#include <algorithm>
#include <array>
#include <cstddef>

namespace Math {

// The six planes of a view volume with normals pointing inside, extracted from a
// (view-)projection matrix for Direct3D clip space (x, y in [-w, w], depth in [0, w]).
template <class T>
class Frustum {
public:
    using PlaneType = NPlane<T, 3>;
    using PointType = Point<T, 3>;
    using Matrix = Eigen::Matrix<T, 4, 4>;

    enum PlaneIndex : std::size_t { Left, Right, Bottom, Top, Near, Far, PlaneCount };

    Frustum() = default;
    // With a reversed depth buffer the near plane is at depth 1 and the far plane at 0.
    Frustum(Matrix const& m, bool zBufferReversed)
    {
        using Row = Eigen::Matrix<T, 1, 4>;
        Row const r0 = m.row(0), r1 = m.row(1), r2 = m.row(2), r3 = m.row(3);
        Row const depthAtLeastZero = r2;
        Row const depthAtMostW = r3 - r2;
        Row const rows[PlaneCount] = {
            r3 + r0,
            r3 - r0,
            r3 + r1,
            r3 - r1,
            zBufferReversed ? depthAtMostW : depthAtLeastZero,
            zBufferReversed ? depthAtLeastZero : depthAtMostW,
        };
        for (std::size_t i = 0; i < PlaneCount; ++i)
            mPlanes[i] = PlaneType(rows[i].template head<3>().transpose(), rows[i][3]).normalized();
    }

    std::array<PlaneType, PlaneCount> const& planes() const { return mPlanes; }
    PlaneType const& plane(PlaneIndex index) const { return mPlanes[index]; }

    bool contains(PointType const& point) const
    {
        return std::all_of(mPlanes.begin(), mPlanes.end(), [&](auto const& p) { return p.signedDistance(point) >= T(0); });
    }

    // Conservative: true only when the box lies entirely behind one of the planes.
    bool isOutside(NBoundingBox<T, 3> const& box) const
    {
        return std::any_of(mPlanes.begin(), mPlanes.end(),
            [&](auto const& p) { return HalfSpace<T, 3>(p.normal(), p.d()).isOutside(box); });
    }

    bool operator==(Frustum const& other) const { return mPlanes == other.mPlanes; }
    bool operator!=(Frustum const& other) const { return !(*this == other); }

private:
    std::array<PlaneType, PlaneCount> mPlanes{};
};

} // namespace Math
