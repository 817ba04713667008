#pragma once

#include "math/boundingbox.h"
#include "math/point.h"
#include "render/export.h"

#include <Eigen/Core>

#include <array>
#include <vector>

namespace Render {

class PointCloudRenderable;

// Where a perspective camera stands and looks to show a box.
struct CameraPlacement {
    Math::Point<float, 3> eye;
    Math::Point<float, 3> target;
};

// The first look at a data set: down onto it from above one corner, +z up.
MORVID_RENDER_API Eigen::Vector3f obliqueViewDirection();
// The same look from above each of the four corners, obliqueViewDirection() first, turning by
// quarter turns about +z.
MORVID_RENDER_API std::array<Eigen::Vector3f, 4> obliqueViewDirections();

// The camera looking along `direction` (not vertical; +z up) from as close as it can while every
// corner of `box` stays inside `fill` of the frame's half-width and half-height, with the box's
// projection centred. A box flat or empty along a side is first widened a little along it, so
// that the eye never coincides with what it looks at. `box` must not be empty.
MORVID_RENDER_API CameraPlacement frameBox(Math::NBoundingBox<float, 3> const& box, Eigen::Vector3f const& direction,
                                           float fieldOfViewYDegrees, double aspectRatio, float fill = 0.95f);

// The same for points: every point but `strayFraction` at each side of the frame (and of the
// depth the fit needs) lies within `fill` of it. Throws std::invalid_argument without points.
MORVID_RENDER_API CameraPlacement framePoints(std::vector<Eigen::Vector3f> const& points,
                                              Eigen::Vector3f const& direction, float fieldOfViewYDegrees,
                                              double aspectRatio, float fill, double strayFraction);

// The fraction of the frame that `points` cover seen from `placement` (+z up), measured on a grid
// of cells a few points each would fill, so that it estimates the area the data's shape covers
// rather than the pixels of the points themselves.
MORVID_RENDER_API double framedCoverage(std::vector<Eigen::Vector3f> const& points, CameraPlacement const& placement,
                                        float fieldOfViewYDegrees, double aspectRatio);

// The cloud's first view: its coarse levels' points framed, but for a few strays, so that the data
// rather than its box fills the frame, from the oblique corner whose view they cover most of (an
// elongated or one-sided scan fills the frame from one corner far better than from another); the
// box from the first corner when no point can be read. Reads the coarse levels (an initialised
// cloud). The box must not be empty.
MORVID_RENDER_API CameraPlacement frameCloud(PointCloudRenderable& cloud, float fieldOfViewYDegrees,
                                             double aspectRatio, float fill = 0.95f);

} // namespace Render
