#pragma once

#include "math/point.h"
#include "octree/pointiterator.h"

#include <Eigen/Core>

#include <cstddef>
#include <stop_token>
#include <vector>

namespace Octree {

// Positions and normals of many points, index for index.
struct PointCollection {
    std::vector<Math::Point<float, 3>>& positions;
    std::vector<Eigen::Vector3f>& normals;
};

// Appends the points that `points` yields (model frame) to `out`, at most `maxPoints` positions in
// total, and transforms what was appended into the world frame: positions by `worldMatrix`, normals by
// the inverse transpose of its 3x3 block. Without `append` both vectors are cleared first. `out.normals`
// ends as long as `out.positions`: normals the octree does not have are (0, 0, 0).
//
// Returns false when `stopToken` ended the iteration early; what was appended until then is still
// transformed, so the vectors never mix frames. Throws std::invalid_argument, changing nothing, when
// there are more normals than positions to append to.
bool collectPoints(PointIterator& points, bool hasNormals, Eigen::Matrix4f const& worldMatrix,
                   PointCollection const& out, std::size_t maxPoints, bool append, std::stop_token const& stopToken);

} // namespace Octree
