#pragma once

#include "math/boundingbox.h"
#include "math/point.h"

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <Eigen/LU>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <queue>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Math {

namespace Detail {
// Runs body(0) ... body(count - 1) on the shared task executor and waits for all of them. Kept out
// of line so that users of the mesh do not pull in the task library's headers.
void forEachIndexInParallel(std::size_t count, std::function<void(std::size_t)> const& body);
// Runs `first` and `second` on the shared task executor and waits for both.
void runBothInParallel(std::function<void()> const& first, std::function<void()> const& second);
} // namespace Detail

// A triangle mesh with an axis-aligned bounding box tree over its triangles, answering
// closest-point, signed-distance and ray-crossing queries. Queries only read and may run
// concurrently; building the tree and transforming need exclusive access.
template <class T>
class TriangleMesh {
public:
    using PointType = Point<T, 3>;
    using Vector3 = Eigen::Matrix<T, 3, 1>;
    using BoxType = NBoundingBox<T, 3>;

    static constexpr std::uint64_t NO_TRIANGLE = 0x7fffffffffffffffull;

    // Where on its triangle the closest point lies, from its barycentric weights (u, v, w) of
    // the first, second and third vertex.
    enum Feature : std::int32_t {
        FACE = 0,
        EDGE_AB = 1, // w = 0
        EDGE_BC = 2, // u = 0
        EDGE_CA = 3, // v = 0
        VERTEX_A = 4,
        VERTEX_B = 5,
        VERTEX_C = 6,
    };

    struct ClosestPoint {
        T squaredDistance;
        PointType point;
        std::int32_t feature;
        std::uint64_t triangle;
    };

    struct TreeStatistics {
        std::size_t splitNodeCount = 0;
        std::size_t leafNodeCount = 0;
        std::size_t triangleCount = 0;
        // Triangles per leaf, leaves in depth-first order, left before right.
        std::vector<std::size_t> leafTriangleCounts;
    };

    TriangleMesh() = default;

    // Vertex positions and three vertex indices per triangle. Computes the triangle normals
    // (counter-clockwise faces point towards the viewer) and builds the tree.
    TriangleMesh(std::vector<PointType> positions, std::vector<std::int32_t> triangleIndices)
        : mTriangleVertexIndices(std::move(triangleIndices))
        , mVertexPositions(std::move(positions))
    {
        if (mTriangleVertexIndices.size() % 3 != 0)
            throw std::invalid_argument("triangle index count is not a multiple of 3");
        if (triangleCount() > std::numeric_limits<std::uint32_t>::max())
            throw std::invalid_argument("too many triangles");
        for (auto const index : mTriangleVertexIndices) {
            if (index < 0 || static_cast<std::size_t>(index) >= mVertexPositions.size())
                throw std::invalid_argument("triangle vertex index out of range");
        }
        for (auto const& position : mVertexPositions) {
            if (!position.allFinite())
                throw std::invalid_argument("vertex position is not finite");
        }
        computeTriangleNormals();
        buildTree();
    }

    // Copies the arrays but not the tree: a copy is meant to be transformed, which builds it.
    TriangleMesh(TriangleMesh const& other)
        : mBounds(other.mBounds)
        , mTriangleVertexIndices(other.mTriangleVertexIndices)
        , mTriangleBounds(other.mTriangleBounds)
        , mTriangleRefPoints(other.mTriangleRefPoints)
        , mVertexPositions(other.mVertexPositions)
        , mTriangleNormals(other.mTriangleNormals)
        , mTreeTriangles(other.mTreeTriangles)
    {
    }
    TriangleMesh& operator=(TriangleMesh const& other)
    {
        if (this != &other) {
            TriangleMesh copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    TriangleMesh(TriangleMesh&&) noexcept = default;
    TriangleMesh& operator=(TriangleMesh&&) noexcept = default;
    ~TriangleMesh() = default;

    // Moves every vertex by `matrix` (with division by w) and the normals by the inverse
    // transpose of its 3x3 block, then rebuilds the tree. Throws std::invalid_argument, leaving
    // the mesh as it was, when the matrix cannot be inverted or moves a vertex to infinity.
    TriangleMesh& transformBy(Eigen::Matrix<T, 4, 4> const& matrix)
    {
        Eigen::Matrix<T, 3, 3> const linear = matrix.template topLeftCorner<3, 3>();
        T const determinant = linear.determinant();
        if (!(determinant != T(0)) || !std::isfinite(determinant))
            throw std::invalid_argument("mesh transformation matrix is singular");
        Eigen::Matrix<T, 3, 3> const normalMatrix = linear.inverse().transpose();
        if (!normalMatrix.allFinite())
            throw std::invalid_argument("mesh transformation matrix is singular");

        std::vector<PointType> positions(mVertexPositions.size());
        Detail::forEachIndexInParallel(positions.size(), [&](std::size_t i) {
            positions[i] = (matrix * mVertexPositions[i].homogeneous()).hnormalized();
        });
        for (auto const& position : positions) {
            if (!position.allFinite())
                throw std::invalid_argument("mesh transformation moves a vertex to infinity");
        }

        mVertexPositions = std::move(positions);
        Detail::forEachIndexInParallel(mTriangleNormals.size(), [&](std::size_t i) {
            mTriangleNormals[i] = safeNormalized(normalMatrix * mTriangleNormals[i]);
        });
        buildTree();
        return *this;
    }

    // Recomputes the bounds, the triangle boxes and centroids, and builds the tree.
    void buildTree()
    {
        mNodes.clear();
        computeBounds();
        std::size_t const count = triangleCount();
        mTriangleBounds.resize(count);
        mTriangleRefPoints.resize(count);
        Detail::forEachIndexInParallel(count, [this](std::size_t triangle) {
            auto const corners = triangleCorners(triangle);
            mTriangleRefPoints[triangle] = (corners[0] + corners[1] + corners[2]) / T(3);
            BoxType box;
            for (auto const& corner : corners)
                box.extend(corner);
            PointType const padding = PointType::Constant(kTriangleBoxPadding);
            mTriangleBounds[triangle] = BoxType(box.min() - padding, box.max() + padding);
        });
        // The build reorders small copies of each triangle's reference point, so that the median
        // splits move 16 bytes an item and read the splitting coordinate in place.
        std::vector<BuildItem> items(count);
        for (std::size_t triangle = 0; triangle < count; ++triangle)
            items[triangle] = {mTriangleRefPoints[triangle], static_cast<std::uint32_t>(triangle)};
        mNodes.resize(nodeCountFor(count));
        if (count > 0)
            buildNode(items, 0, count, 0);
        mTreeTriangles.resize(count);
        for (std::size_t i = 0; i < count; ++i)
            mTreeTriangles[i] = items[i].triangle;
    }

    bool hasTree() const { return !mNodes.empty(); }

    // The point of the mesh nearest to q. Without triangles: squared distance max(), no
    // triangle. Throws std::runtime_error for a mesh with triangles whose tree was not built.
    ClosestPoint closestPoint(PointType const& q) const
    {
        ClosestPoint best{std::numeric_limits<T>::max(), PointType::Zero(), FACE, NO_TRIANGLE};
        if (!hasTree()) {
            requireTreeUnlessEmpty();
            return best;
        }
        using Entry = std::pair<T, std::uint32_t>;
        std::vector<Entry> storage;
        storage.reserve(kSearchQueueReserve);
        std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue(std::greater<>(), std::move(storage));
        queue.emplace(squaredDistanceToBox(q, mNodes.front().box), 0u);
        while (!queue.empty()) {
            auto const [key, index] = queue.top();
            queue.pop();
            if (key > best.squaredDistance)
                break;
            TreeNode const& node = mNodes[index];
            if (node.isLeaf()) {
                for (std::uint32_t i = node.index; i < node.index + node.triangleCount; ++i) {
                    ClosestPoint const candidate = closestPointOnTriangle(q, mTreeTriangles[i]);
                    if (candidate.squaredDistance < best.squaredDistance)
                        best = candidate;
                }
                continue;
            }
            for (std::uint32_t const child : {index + 1, node.index}) {
                T const distance = squaredDistanceToBox(q, mNodes[child].box);
                if (distance <= best.squaredDistance)
                    queue.emplace(distance, child);
            }
        }
        return best;
    }

    // Distance to the mesh, negative inside. Outside the mesh bounds a point is always outside
    // (so open meshes work there); a point on the surface has distance +0.
    T signedDistance(PointType const& q) const
    {
        ClosestPoint const closest = closestPoint(q);
        T const distance = std::sqrt(closest.squaredDistance);
        if (closest.triangle == NO_TRIANGLE || distance == T(0) || isOutsideBounds(q))
            return distance;
        if (closest.feature == FACE)
            return mTriangleNormals[closest.triangle].dot(q - closest.point) < T(0) ? -distance : distance;
        return hasOddCrossingCount(q, Vector3(q - closest.point)) ? -distance : distance;
    }

    // Number of triangles that the ray origin + t * direction crosses with tMin <= t < tMax.
    std::size_t rayCrossingCount(PointType const& origin, Vector3 const& direction, T tMin, T tMax) const
    {
        return rayCrossings(origin, direction, tMin, tMax).count;
    }

    // True when a ray from `point` crosses the mesh an odd number of times: inside, for a closed mesh.
    bool hasOddCrossingCount(PointType const& point) const { return hasOddCrossingCount(point, Vector3::Zero()); }

    // Writes the arrays and the tree as text to "{label}_{counter}.txt" in `folder` (the working
    // directory when empty), for diagnosing distance results. Throws std::runtime_error naming
    // the file when it cannot be written.
    void dump(std::string_view label, std::size_t counter, std::filesystem::path const& folder = {}) const
    {
        std::filesystem::path const path = folder / fmt::format("{}_{}.txt", label, counter);
        std::ofstream file(path, std::ios::binary);
        if (!file)
            throw std::runtime_error(fmt::format("cannot write mesh dump \"{}\"", path.string()));
        file << dumpText();
        file.flush();
        if (!file)
            throw std::runtime_error(fmt::format("cannot write mesh dump \"{}\"", path.string()));
    }

    // The text that dump() writes.
    std::string dumpText() const
    {
        std::string text = "triangles: \n";
        for (auto const triangle : mTreeTriangles) {
            std::size_t const first = 3 * triangle;
            text += fmt::format("triangle {}:  bounds {} v0 {} v1 {} v2 {} ref {}\n", triangle,
                                formatBox(mTriangleBounds[triangle]), mTriangleVertexIndices[first],
                                mTriangleVertexIndices[first + 1], mTriangleVertexIndices[first + 2],
                                formatPoint(mTriangleRefPoints[triangle]));
        }
        text += "vertex positions: \n";
        for (auto const& position : mVertexPositions)
            text += formatPoint(position) + "\n";
        text += fmt::format("triangle vertex indices: {}\n", fmt::join(mTriangleVertexIndices, " "));
        text += "triangle bounds\n";
        for (auto const& box : mTriangleBounds)
            text += formatBox(box) + "\n";
        text += "triangle ref points\n";
        for (auto const& point : mTriangleRefPoints)
            text += formatPoint(point) + "\n";
        text += "aabb tree: \n";
        TreeStatistics statistics;
        for (TreeNode const& node : mNodes) {
            if (!node.isLeaf()) {
                text += fmt::format("split node {}: {}\n", statistics.splitNodeCount++, formatBox(node.box));
                continue;
            }
            auto const first = mTreeTriangles.begin() + static_cast<std::ptrdiff_t>(node.index);
            text += fmt::format("leaf node {}: {}\n", statistics.leafNodeCount++, formatBox(node.box));
            text += fmt::format("triangles: {}\n", fmt::join(first, first + node.triangleCount, " "));
            statistics.triangleCount += node.triangleCount;
        }
        text += fmt::format("number of triangles in tree: {}\n", statistics.triangleCount);
        text += fmt::format("number of leaf nodes: {}\n", statistics.leafNodeCount);
        text += fmt::format("number of split nodes: {}\n", statistics.splitNodeCount);
        return text;
    }

    TreeStatistics treeStatistics() const
    {
        TreeStatistics statistics;
        for (TreeNode const& node : mNodes) {
            if (!node.isLeaf()) {
                ++statistics.splitNodeCount;
                continue;
            }
            ++statistics.leafNodeCount;
            statistics.leafTriangleCounts.push_back(node.triangleCount);
            statistics.triangleCount += node.triangleCount;
        }
        return statistics;
    }

    // Bounds of the vertex positions; empty for a mesh without vertices.
    BoxType const& boundingBox() const { return mBounds; }
    std::size_t triangleCount() const { return mTriangleVertexIndices.size() / 3; }
    std::size_t vertexCount() const { return mVertexPositions.size(); }
    std::vector<PointType> const& positions() const { return mVertexPositions; }
    std::vector<std::int32_t> const& triangleIndices() const { return mTriangleVertexIndices; }
    // Unit normal per triangle; zero for a triangle without area.
    std::vector<Vector3> const& triangleNormals() const { return mTriangleNormals; }

    // The closest point of one triangle to q, by the region method of Eberly's point-triangle
    // distance; triangles without area fall back to their edges.
    ClosestPoint closestPointOnTriangle(PointType const& q, std::uint64_t triangle) const
    {
        auto const corners = triangleCorners(triangle);
        Weights const weights = closestWeights(q, corners[0], corners[1], corners[2]);
        PointType const point = corners[0] + weights.s * (corners[1] - corners[0]) + weights.t * (corners[2] - corners[0]);
        return {(point - q).squaredNorm(), point, featureOf(weights), triangle};
    }

private:
    // A node of the box tree. The nodes lie depth-first in one array, so a split node's left child
    // is the next node and only its right child's index is kept.
    struct TreeNode {
        BoxType box;
        // Leaf: the place of its first triangle in mTreeTriangles. Split node: its right child.
        std::uint32_t index;
        // Zero for a split node.
        std::uint32_t triangleCount;

        bool isLeaf() const { return triangleCount != 0; }
    };

    // Closest point A + s (B - A) + t (C - A); the weights of A, B, C are (1 - s - t, s, t).
    // onEdgeBC records s + t = 1 exactly, which rounding in 1 - s - t could hide.
    struct Weights {
        T s;
        T t;
        bool onEdgeBC;
    };

    struct Crossings {
        std::size_t count = 0;
        // The ray passes so near an edge or vertex that the count may be off by rounding.
        bool grazing = false;
    };

    static constexpr std::size_t kMaxTrianglesPerLeaf = 4;
    // Below this many triangles a subtree builds faster than a task is handed over.
    static constexpr std::size_t kMinParallelBuildCount = 4096;
    static constexpr T kTriangleBoxPadding = T(0.0001);
    static constexpr std::size_t kSearchQueueReserve = 64;
    static constexpr T kParallelDeterminantLimit = T(1e-6);
    static constexpr T kParityRayStart = T(1e-6);
    // Barycentric margin within which a ray hit counts as touching an edge.
    static constexpr T kGrazingMargin = T(1e-5);
    // Ray directions are offset by small irrational-looking amounts so that they rarely run
    // exactly through edges or vertices of meshes built on grids; the later ones are tried
    // when a ray grazes one anyway.
    static constexpr std::array<std::array<T, 3>, 4> kRayJitters{{
        {T(0.0314159), T(-0.014142135), T(0.027182817)},
        {T(-0.022360679), T(0.031622776), T(0.017320508)},
        {T(0.016180339), T(0.026457513), T(-0.033166247)},
        {T(-0.028284271), T(-0.019364917), T(0.012247449)},
    }};

    static Vector3 safeNormalized(Vector3 const& vector)
    {
        T const length = vector.norm();
        return length > T(0) && std::isfinite(length) ? Vector3(vector / length) : Vector3::Zero();
    }

    std::array<PointType, 3> triangleCorners(std::uint64_t triangle) const
    {
        std::size_t const first = 3 * static_cast<std::size_t>(triangle);
        return {mVertexPositions[static_cast<std::size_t>(mTriangleVertexIndices[first])],
                mVertexPositions[static_cast<std::size_t>(mTriangleVertexIndices[first + 1])],
                mVertexPositions[static_cast<std::size_t>(mTriangleVertexIndices[first + 2])]};
    }

    void computeTriangleNormals()
    {
        mTriangleNormals.resize(triangleCount());
        for (std::size_t triangle = 0; triangle < mTriangleNormals.size(); ++triangle) {
            auto const corners = triangleCorners(triangle);
            mTriangleNormals[triangle] = safeNormalized(Vector3(corners[1] - corners[0]).cross(Vector3(corners[2] - corners[0])));
        }
    }

    void computeBounds()
    {
        mBounds = BoxType();
        for (auto const& position : mVertexPositions)
            mBounds.extend(position);
    }

    struct BuildItem {
        PointType refPoint;
        std::uint32_t triangle;
    };

    // Nodes of the tree over `count` triangles. Halving gives the nodes of one level triangle
    // counts that differ by one at most, so the leaves are the nodes of the first level whose
    // smaller count fits a leaf, plus one more for each there that holds one triangle too many.
    static std::size_t nodeCountFor(std::size_t count)
    {
        if (count == 0)
            return 0;
        std::size_t levelNodes = 1;
        while (count / levelNodes > kMaxTrianglesPerLeaf)
            levelNodes *= 2;
        bool const someSplitOnceMore = count / levelNodes == kMaxTrianglesPerLeaf;
        std::size_t const leaves = levelNodes + (someSplitOnceMore ? count % levelNodes : 0);
        return 2 * leaves - 1;
    }

    // Builds the subtree over items [first, last), which is not empty, into the nodes from
    // `index` on, depth-first: halves at the median reference point along the axis where the
    // reference points spread most. The boxes are joined bottom-up, so each triangle box is read
    // once. As a subtree's place follows from the triangle counts, large halves build at once.
    void buildNode(std::vector<BuildItem>& items, std::size_t first, std::size_t last, std::size_t index)
    {
        std::size_t const count = last - first;
        TreeNode& node = mNodes[index];
        if (count <= kMaxTrianglesPerLeaf) {
            BoxType box;
            for (std::size_t i = first; i < last; ++i)
                box.extend(mTriangleBounds[items[i].triangle]);
            node = {box, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(count)};
            return;
        }
        BoxType spread;
        for (std::size_t i = first; i < last; ++i)
            spread.extend(items[i].refPoint);
        PointType const size = spread.size();
        int axis = size[1] > size[0] ? 1 : 0;
        if (size[2] > size[axis])
            axis = 2;
        std::size_t const mid = first + count / 2;
        auto const begin = items.begin();
        std::nth_element(begin + static_cast<std::ptrdiff_t>(first), begin + static_cast<std::ptrdiff_t>(mid),
                         begin + static_cast<std::ptrdiff_t>(last), [axis](BuildItem const& a, BuildItem const& b) {
                             return a.refPoint[axis] < b.refPoint[axis];
                         });
        std::size_t const left = index + 1;
        std::size_t const right = left + nodeCountFor(mid - first);
        auto const buildLeft = [&] { buildNode(items, first, mid, left); };
        auto const buildRight = [&] { buildNode(items, mid, last, right); };
        if (count >= kMinParallelBuildCount) {
            Detail::runBothInParallel(buildLeft, buildRight);
        } else {
            buildLeft();
            buildRight();
        }
        node = {mNodes[left].box, static_cast<std::uint32_t>(right), 0};
        node.box.extend(mNodes[right].box);
    }

    void requireTreeUnlessEmpty() const
    {
        if (triangleCount() > 0)
            throw std::runtime_error("acceleration structure for distance computation was not built");
    }

    static T squaredDistanceToBox(PointType const& q, BoxType const& box)
    {
        PointType const clamped = q.cwiseMax(box.min()).cwiseMin(box.max());
        return (clamped - q).squaredNorm();
    }

    bool isOutsideBounds(PointType const& q) const
    {
        return (q.array() < mBounds.min().array()).any() || (q.array() > mBounds.max().array()).any();
    }

    static std::int32_t featureOf(Weights const& weights)
    {
        bool const uZero = weights.onEdgeBC || T(1) - weights.s - weights.t == T(0);
        bool const vZero = weights.s == T(0);
        bool const wZero = weights.t == T(0);
        if (uZero && vZero)
            return VERTEX_C;
        if (uZero)
            return wZero ? VERTEX_B : EDGE_BC;
        if (vZero)
            return wZero ? VERTEX_A : EDGE_CA;
        return wZero ? EDGE_AB : FACE;
    }

    // Parameter in [0, 1] of the point of segment from + x (to - from) nearest to q.
    static T closestSegmentParameter(PointType const& q, PointType const& from, PointType const& to)
    {
        Vector3 const edge = to - from;
        T const lengthSquared = edge.squaredNorm();
        if (!(lengthSquared > T(0)))
            return T(0);
        return std::clamp(Vector3(q - from).dot(edge) / lengthSquared, T(0), T(1));
    }

    // For a triangle without area the region method would divide by zero: the nearest of the
    // nearest points on its three edges is taken instead.
    static Weights closestWeightsOnEdges(PointType const& q, PointType const& a, PointType const& b, PointType const& c)
    {
        T const alongAB = closestSegmentParameter(q, a, b);
        T const alongAC = closestSegmentParameter(q, a, c);
        T const alongBC = closestSegmentParameter(q, b, c);
        std::array<Weights, 3> const candidates{
            Weights{alongAB, T(0), false}, Weights{T(0), alongAC, false}, Weights{T(1) - alongBC, alongBC, true}};
        std::array<PointType, 3> const points{PointType(a + alongAB * (b - a)), PointType(a + alongAC * (c - a)),
                                              PointType(b + alongBC * (c - b))};
        std::size_t nearest = 0;
        for (std::size_t i = 1; i < candidates.size(); ++i) {
            if ((points[i] - q).squaredNorm() < (points[nearest] - q).squaredNorm())
                nearest = i;
        }
        return candidates[nearest];
    }

    static Weights closestWeights(PointType const& q, PointType const& a, PointType const& b, PointType const& c)
    {
        Vector3 const diff = a - q;
        Vector3 const edge0 = b - a;
        Vector3 const edge1 = c - a;
        T const a00 = edge0.dot(edge0);
        T const a01 = edge0.dot(edge1);
        T const a11 = edge1.dot(edge1);
        T const b0 = diff.dot(edge0);
        T const b1 = diff.dot(edge1);
        T const det = a00 * a11 - a01 * a01;
        if (!(det > T(0)))
            return closestWeightsOnEdges(q, a, b, c);

        T s = a01 * b1 - a11 * b0;
        T t = a01 * b0 - a00 * b1;
        if (s + t <= det) {
            if (s < T(0)) {
                if (t < T(0)) { // region 4: vertex A or edges next to it
                    if (b0 < T(0))
                        return {-b0 >= a00 ? T(1) : -b0 / a00, T(0), false};
                    return {T(0), b1 >= T(0) ? T(0) : (-b1 >= a11 ? T(1) : -b1 / a11), false};
                }
                // region 3: edge CA
                return {T(0), b1 >= T(0) ? T(0) : (-b1 >= a11 ? T(1) : -b1 / a11), false};
            }
            if (t < T(0)) // region 5: edge AB
                return {b0 >= T(0) ? T(0) : (-b0 >= a00 ? T(1) : -b0 / a00), T(0), false};
            return {s / det, t / det, false}; // region 0: the face
        }
        T const denominatorBC = a00 - T(2) * a01 + a11;
        if (s < T(0)) { // region 2: vertex C or edges next to it
            T const tmp0 = a01 + b0;
            T const tmp1 = a11 + b1;
            if (tmp1 > tmp0) {
                T const numerator = tmp1 - tmp0;
                if (numerator >= denominatorBC)
                    return {T(1), T(0), true};
                s = numerator / denominatorBC;
                return {s, T(1) - s, true};
            }
            if (tmp1 <= T(0))
                return {T(0), T(1), true};
            return {T(0), b1 >= T(0) ? T(0) : -b1 / a11, false};
        }
        if (t < T(0)) { // region 6: vertex B or edges next to it
            T const tmp0 = a01 + b1;
            T const tmp1 = a00 + b0;
            if (tmp1 > tmp0) {
                T const numerator = tmp1 - tmp0;
                if (numerator >= denominatorBC)
                    return {T(0), T(1), true};
                t = numerator / denominatorBC;
                return {T(1) - t, t, true};
            }
            if (tmp1 <= T(0))
                return {T(1), T(0), true};
            return {b0 >= T(0) ? T(0) : -b0 / a00, T(0), false};
        }
        // region 1: edge BC
        T const numerator = a11 + b1 - a01 - b0;
        if (numerator <= T(0))
            return {T(0), T(1), true};
        if (numerator >= denominatorBC)
            return {T(1), T(0), true};
        s = numerator / denominatorBC;
        return {s, T(1) - s, true};
    }

    // Slab test: whether the ray's parameter interval inside the box meets [tMin, tMax].
    static bool rayMeetsBox(PointType const& origin, Vector3 const& direction, Vector3 const& inverseDirection,
                            BoxType const& box, T tMin, T tMax)
    {
        T entry = tMin;
        T exit = tMax;
        for (int axis = 0; axis < 3; ++axis) {
            if (direction[axis] == T(0)) {
                if (origin[axis] < box.min()[axis] || origin[axis] > box.max()[axis])
                    return false;
                continue;
            }
            // Named apart from the near/far macros of the Windows headers.
            T slabEntry = (box.min()[axis] - origin[axis]) * inverseDirection[axis];
            T slabExit = (box.max()[axis] - origin[axis]) * inverseDirection[axis];
            if (slabEntry > slabExit)
                std::swap(slabEntry, slabExit);
            entry = std::max(entry, slabEntry);
            exit = std::min(exit, slabExit);
            if (entry > exit)
                return false;
        }
        return true;
    }

    // Möller-Trumbore; adds a hit with tMin <= t < tMax to `crossings`. Rounding can put a ray that
    // runs through an edge or vertex into both neighbouring triangles or into neither, so hits and
    // misses within a small margin of an edge mark the count as unreliable.
    void crossTriangle(std::uint64_t triangle, PointType const& origin, Vector3 const& direction, T tMin, T tMax,
                       Crossings& crossings) const
    {
        auto const corners = triangleCorners(triangle);
        Vector3 const edge1 = corners[1] - corners[0];
        Vector3 const edge2 = corners[2] - corners[0];
        Vector3 const p = direction.cross(edge2);
        T const det = edge1.dot(p);
        if (std::abs(det) < kParallelDeterminantLimit)
            return;
        T const inverseDet = T(1) / det;
        Vector3 const s = origin - corners[0];
        T const u = s.dot(p) * inverseDet;
        if (u < -kGrazingMargin || u > T(1) + kGrazingMargin)
            return;
        Vector3 const qVector = s.cross(edge1);
        T const v = direction.dot(qVector) * inverseDet;
        if (v < -kGrazingMargin || u + v > T(1) + kGrazingMargin)
            return;
        T const t = edge2.dot(qVector) * inverseDet;
        if (t < tMin || t >= tMax)
            return;
        if (u >= T(0) && u <= T(1) && v >= T(0) && u + v <= T(1))
            ++crossings.count;
        if (u < kGrazingMargin || v < kGrazingMargin || T(1) - u - v < kGrazingMargin)
            crossings.grazing = true;
    }

    Crossings rayCrossings(PointType const& origin, Vector3 const& direction, T tMin, T tMax) const
    {
        Crossings crossings;
        if (!hasTree()) {
            requireTreeUnlessEmpty();
            return crossings;
        }
        Vector3 const inverseDirection = direction.cwiseInverse();
        std::vector<std::uint32_t> stack{0u};
        while (!stack.empty()) {
            std::uint32_t const index = stack.back();
            stack.pop_back();
            TreeNode const& node = mNodes[index];
            if (!rayMeetsBox(origin, direction, inverseDirection, node.box, tMin, tMax))
                continue;
            if (!node.isLeaf()) {
                stack.push_back(index + 1);
                stack.push_back(node.index);
                continue;
            }
            for (std::uint32_t i = node.index; i < node.index + node.triangleCount; ++i)
                crossTriangle(mTreeTriangles[i], origin, direction, tMin, tMax, crossings);
        }
        return crossings;
    }

    // Parity of the crossings of a ray from `origin` along `offset` plus a jitter. A ray that grazes
    // an edge or vertex may count one crossing twice, so further jitters are tried before the
    // last count is taken as it is.
    bool hasOddCrossingCount(PointType const& origin, Vector3 const& offset) const
    {
        Crossings crossings;
        for (auto const& jitterValues : kRayJitters) {
            Vector3 const jitter(jitterValues[0], jitterValues[1], jitterValues[2]);
            Vector3 direction = offset + jitter;
            if (!(direction.norm() > T(0)))
                direction = Vector3::UnitX() + jitter;
            crossings = rayCrossings(origin, direction.normalized(), kParityRayStart, std::numeric_limits<T>::max());
            if (!crossings.grazing)
                break;
        }
        return crossings.count % 2 == 1;
    }

    static std::string formatPoint(PointType const& point) { return fmt::format("({}, {}, {})", point[0], point[1], point[2]); }
    static std::string formatBox(BoxType const& box)
    {
        return fmt::format("[{}, {}]", formatPoint(box.min()), formatPoint(box.max()));
    }

    std::vector<TreeNode> mNodes;
    BoxType mBounds;
    std::vector<std::int32_t> mTriangleVertexIndices;
    std::vector<BoxType> mTriangleBounds;
    std::vector<PointType> mTriangleRefPoints;
    std::vector<PointType> mVertexPositions;
    std::vector<Vector3> mTriangleNormals;
    // The triangles in the order of the leaves.
    std::vector<std::uint32_t> mTreeTriangles;
};

} // namespace Math
