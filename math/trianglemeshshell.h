#pragma once

#include "math/trianglemesh.h"

#include <memory>

namespace Math {

// A closed triangle mesh used as a volume: a point is inside when a ray from it crosses the
// mesh an odd number of times. Copies share the immutable mesh, so a shell is cheap to pass by
// value into per-point tests.
template <class T>
class TriangleMeshShell {
public:
    explicit TriangleMeshShell(TriangleMesh<T> mesh)
    {
        if (!mesh.hasTree())
            mesh.buildTree();
        mMesh = std::make_shared<TriangleMesh<T> const>(std::move(mesh));
    }

    // Moves the shell; other copies keep the mesh as it was.
    TriangleMeshShell& transformBy(Eigen::Matrix<T, 4, 4> const& matrix)
    {
        TriangleMesh<T> transformed(*mMesh);
        transformed.transformBy(matrix);
        mMesh = std::make_shared<TriangleMesh<T> const>(std::move(transformed));
        return *this;
    }

    NBoundingBox<T, 3> const& boundingBox() const { return mMesh->boundingBox(); }

    bool isInside(Point<T, 3> const& point) const
    {
        return mMesh->boundingBox().contains(point) && mMesh->hasOddCrossingCount(point);
    }

    TriangleMesh<T> const& mesh() const { return *mMesh; }

private:
    std::shared_ptr<TriangleMesh<T> const> mMesh;
};

} // namespace Math
