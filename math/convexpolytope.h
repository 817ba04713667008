#pragma once

#include "math/boundingbox.h"
#include "math/halfspace.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace Math {

// The intersection of half-spaces; with none it is the whole space.
template <class T, int N>
class ConvexPolytope {
public:
    using PointType = Point<T, N>;

    ConvexPolytope() = default;
    explicit ConvexPolytope(std::vector<HalfSpace<T, N>> halfSpaces) : mHalfSpaces(std::move(halfSpaces)) {}

    std::vector<HalfSpace<T, N>> const& halfSpaces() const { return mHalfSpaces; }
    bool isEmpty() const { return mHalfSpaces.empty(); }

    bool contains(PointType const& point) const
    {
        return std::all_of(mHalfSpaces.begin(), mHalfSpaces.end(), [&](auto const& h) { return h.contains(point); });
    }

    // Conservative: true only when the box lies entirely outside one of the half-spaces.
    bool isOutside(NBoundingBox<T, N> const& box) const
    {
        return std::any_of(mHalfSpaces.begin(), mHalfSpaces.end(), [&](auto const& h) { return h.isOutside(box); });
    }

    ConvexPolytope transformed(Eigen::Matrix<T, N + 1, N + 1> const& pointTransform) const
    {
        std::vector<HalfSpace<T, N>> result;
        result.reserve(mHalfSpaces.size());
        for (auto const& halfSpace : mHalfSpaces)
            result.push_back(halfSpace.transformed(pointTransform));
        return ConvexPolytope(std::move(result));
    }

    bool operator==(ConvexPolytope const& other) const { return mHalfSpaces == other.mHalfSpaces; }
    bool operator!=(ConvexPolytope const& other) const { return !(*this == other); }

private:
    std::vector<HalfSpace<T, N>> mHalfSpaces;
};

} // namespace Math
