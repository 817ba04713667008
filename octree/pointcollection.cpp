#include "octree/pointcollection.h"

#include "core/taskflow.h"
#include "core/taskflowexecutor.h"

#include <Eigen/LU>

#include <algorithm>
#include <stdexcept>

namespace Octree {
namespace {

template <class T, class Transform>
void transformInParallel(std::vector<T>& values, std::size_t first, Transform transform)
{
    if (first >= values.size())
        return;
    tf::Taskflow taskflow;
    taskflow.for_each_index(first, values.size(), std::size_t{1},
                            [&](std::size_t i) { values[i] = transform(values[i]); }, tf::GuidedPartitioner());
    Core::TaskFlowExecutor::instance().run(taskflow).wait();
}

} // namespace

bool collectPoints(PointIterator& points, bool hasNormals, Eigen::Matrix4f const& worldMatrix,
                   PointCollection const& out, std::size_t maxPoints, bool append, std::stop_token const& stopToken)
{
    if (!append) {
        out.positions.clear();
        out.normals.clear();
    }
    if (out.normals.size() > out.positions.size())
        throw std::invalid_argument("More normals than positions to append points to");
    std::size_t const firstNew = out.positions.size();
    // Appended normals must line up with their positions.
    out.normals.resize(firstNew, Eigen::Vector3f::Zero());

    while (out.positions.size() < maxPoints && points.next()) {
        NodePointData const& node = points.points();
        std::size_t const count = std::min(node.size(), maxPoints - out.positions.size());
        for (std::size_t i = 0; i < count; ++i)
            out.positions.push_back(node.position(i).cast<float>());
        if (hasNormals) {
            for (std::size_t i = 0; i < count; ++i)
                out.normals.push_back(node.normal(i));
        }
    }
    bool const complete = !stopToken.stop_requested();

    transformInParallel(out.positions, firstNew, [&](Math::Point<float, 3> const& model) {
        return Math::Point<float, 3>((worldMatrix * model.homogeneous()).hnormalized());
    });
    if (hasNormals) {
        Eigen::Matrix3f const normalMatrix = worldMatrix.topLeftCorner<3, 3>().inverse().transpose();
        transformInParallel(out.normals, firstNew, [&](Eigen::Vector3f const& normal) -> Eigen::Vector3f {
            return normalMatrix * normal;
        });
    }
    out.normals.resize(out.positions.size(), Eigen::Vector3f::Zero());
    return complete;
}

} // namespace Octree
