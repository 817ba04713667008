#pragma once

#include "math/nplane.h"
#include "math/point.h"

#include <Eigen/Core>

namespace Tools {

// The data set's own coordinates (georeferenced, kept in double) against the scene's (float,
// relative to the data set's reference position, where the library draws). Every position a user
// types or reads is in the data set's coordinates; the scene's are the library's business.
class DataFrame {
public:
    DataFrame() = default;
    explicit DataFrame(Math::Point<double, 3> const& origin) : mOrigin(origin) {}

    Math::Point<double, 3> const& origin() const { return mOrigin; }

    Math::Point<float, 3> toScene(Math::Point<double, 3> const& data) const
    {
        return Math::Point<float, 3>((data - mOrigin).cast<float>());
    }
    Math::Point<double, 3> toData(Math::Point<float, 3> const& scene) const
    {
        return Math::Point<double, 3>(mOrigin + scene.cast<double>());
    }
    // The plane n.p + d = 0 of data coordinates in the scene, with a unit normal.
    Math::NPlane<float, 3> planeToScene(Eigen::Vector3d const& normal, double d) const
    {
        double const length = normal.norm();
        Eigen::Vector3d const unit = normal / length;
        return {Math::Point<float, 3>(unit.cast<float>()), static_cast<float>(d / length + unit.dot(mOrigin))};
    }
    // The offset d of a scene plane in data coordinates (its normal is the same in both).
    double planeOffsetToData(Math::NPlane<float, 3> const& plane) const
    {
        return static_cast<double>(plane.d()) - plane.normal().cast<double>().dot(mOrigin);
    }

private:
    Math::Point<double, 3> mOrigin = Math::Point<double, 3>(0.0, 0.0, 0.0);
};

} // namespace Tools
