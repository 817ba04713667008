#include "math/pointpicking.h"
#include "math/trianglemesh.h"
#include "math/trianglemeshshell.h"

#include "core/taskflow.h"
#include "core/taskflowexecutor.h"
#include "support/tempfolder.h"
#include "support/thrownmessage.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

using Mesh = Math::TriangleMesh<float>;
using Point = Mesh::PointType;
using Shell = Math::TriangleMeshShell<float>;
using Vec3 = Eigen::Vector3f;
using Matrix4 = Eigen::Matrix4f;
using TestSupport::thrownMessage;
constexpr float kFloatMax = std::numeric_limits<float>::max();

// Twelve outward-facing triangles of the unit cube.
Mesh unitCube()
{
    std::vector<Point> corners;
    for (int corner = 0; corner < 8; ++corner)
        corners.emplace_back(float(corner & 1), float(corner >> 1 & 1), float(corner >> 2 & 1));
    // Corner index bits: 1 = x, 2 = y, 4 = z; each face counter-clockwise seen from outside.
    return Mesh(std::move(corners), {0, 2, 3, 0, 3, 1, 4, 5, 7, 4, 7, 6, 0, 1, 5, 0, 5, 4,
                                     2, 6, 7, 2, 7, 3, 0, 4, 6, 0, 6, 2, 1, 3, 7, 1, 7, 5});
}

// A closed, outward-facing latitude/longitude sphere.
Mesh sphereMesh(Point const& center, float radius, int stacks, int slices)
{
    std::vector<Point> positions{center + Point(0, 0, radius)};
    for (int stack = 1; stack < stacks; ++stack) {
        float const polar = float(std::numbers::pi) * float(stack) / float(stacks);
        for (int slice = 0; slice < slices; ++slice) {
            float const azimuth = 2.0f * float(std::numbers::pi) * float(slice) / float(slices);
            positions.push_back(center + radius * Point(std::sin(polar) * std::cos(azimuth),
                                                        std::sin(polar) * std::sin(azimuth), std::cos(polar)));
        }
    }
    positions.push_back(center + Point(0, 0, -radius));
    auto const ring = [&](int stack, int slice) { return 1 + (stack - 1) * slices + (slice % slices); };
    std::int32_t const south = std::int32_t(positions.size() - 1);
    std::vector<std::int32_t> indices;
    for (int slice = 0; slice < slices; ++slice) {
        indices.insert(indices.end(), {0, ring(1, slice), ring(1, slice + 1)});
        for (int stack = 1; stack + 1 < stacks; ++stack) {
            indices.insert(indices.end(), {ring(stack, slice), ring(stack + 1, slice), ring(stack + 1, slice + 1)});
            indices.insert(indices.end(), {ring(stack, slice), ring(stack + 1, slice + 1), ring(stack, slice + 1)});
        }
        indices.insert(indices.end(), {ring(stacks - 1, slice), south, ring(stacks - 1, slice + 1)});
    }
    return Mesh(std::move(positions), std::move(indices));
}

// Small triangles scattered through a 20-unit cube.
Mesh randomTriangleSoup(std::mt19937& random, int triangleCount)
{
    std::uniform_real_distribution<float> center(-10.0f, 10.0f);
    std::uniform_real_distribution<float> offset(-1.0f, 1.0f);
    std::vector<Point> positions;
    std::vector<std::int32_t> indices;
    for (int triangle = 0; triangle < triangleCount; ++triangle) {
        Point const middle(center(random), center(random), center(random));
        for (int corner = 0; corner < 3; ++corner) {
            indices.push_back(std::int32_t(positions.size()));
            positions.push_back(middle + Point(offset(random), offset(random), offset(random)));
        }
    }
    return Mesh(std::move(positions), std::move(indices));
}

Mesh triangleMesh(Point const& a, Point const& b, Point const& c) { return Mesh({a, b, c}, {0, 1, 2}); }

// Reference point-triangle distance by another route than the mesh's, in doubles: projection onto
// the plane when it falls inside, else the nearest of the three edges.
using Vector = Eigen::Vector3d;

double segmentSquaredDistance(Vector const& q, Vector const& a, Vector const& b)
{
    Vector const edge = b - a;
    double const lengthSquared = edge.squaredNorm();
    double const t = lengthSquared > 0 ? std::clamp((q - a).dot(edge) / lengthSquared, 0.0, 1.0) : 0.0;
    return (a + edge * t - q).squaredNorm();
}

double referenceSquaredDistance(Mesh const& mesh, std::size_t triangle, Point const& query)
{
    auto const corner = [&](int i) {
        return mesh.positions()[std::size_t(mesh.triangleIndices()[3 * triangle + i])].cast<double>().eval();
    };
    Vector const q = query.cast<double>(), a = corner(0), b = corner(1), c = corner(2);
    Vector const normal = (b - a).cross(c - a);
    if (normal.squaredNorm() > 0) {
        Vector const projected = q - normal * (normal.dot(q - a) / normal.squaredNorm());
        bool const inside = (b - a).cross(projected - a).dot(normal) >= 0 &&
                            (c - b).cross(projected - b).dot(normal) >= 0 &&
                            (a - c).cross(projected - c).dot(normal) >= 0;
        if (inside)
            return (projected - q).squaredNorm();
    }
    return std::min(
        {segmentSquaredDistance(q, a, b), segmentSquaredDistance(q, b, c), segmentSquaredDistance(q, c, a)});
}

double bruteForceSquaredDistance(Mesh const& mesh, Point const& q)
{
    double best = std::numeric_limits<double>::max();
    for (std::size_t triangle = 0; triangle < mesh.triangleCount(); ++triangle)
        best = std::min(best, referenceSquaredDistance(mesh, triangle, q));
    return best;
}

Matrix4 similarity(float scale, float angle, Vec3 const& axis, Vec3 const& translation)
{
    Eigen::Affine3f transform = Eigen::Translation3f(translation) * Eigen::AngleAxisf(angle, axis.normalized()) *
                                Eigen::Scaling(scale);
    return transform.matrix();
}

TEST(TriangleMeshConstruction, RejectsBadInputAnswersEmptyMeshesAndCopiesHaveNoTreeUntilBuilt)
{
    std::vector<Point> const positions{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    EXPECT_THROW(Mesh(positions, {0, 1}), std::invalid_argument);
    EXPECT_THROW(Mesh(positions, {0, 1, 3}), std::invalid_argument);
    EXPECT_THROW(Mesh(positions, {0, -1, 2}), std::invalid_argument);
    EXPECT_THROW(Mesh({{0, 0, 0}, {1, 0, 0}, {0, std::nanf(""), 0}}, {0, 1, 2}), std::invalid_argument);
    EXPECT_EQ(Mesh(positions, {0, 1, 2}).triangleNormals()[0], Vec3(0, 0, 1));

    Mesh const empty;
    Mesh::ClosestPoint const result = empty.closestPoint(Point(1, 2, 3));
    EXPECT_EQ(result.squaredDistance, kFloatMax);
    EXPECT_EQ(result.triangle, Mesh::NO_TRIANGLE);
    EXPECT_EQ(empty.signedDistance(Point(1, 2, 3)), std::sqrt(kFloatMax));
    EXPECT_EQ(empty.rayCrossingCount(Point(0, 0, 0), Vec3::UnitX(), 0.0f, kFloatMax), 0u);
    EXPECT_EQ(Mesh({{0, 0, 0}}, {}).closestPoint(Point(0, 0, 0)).triangle, Mesh::NO_TRIANGLE);

    // Copies have no tree until built.
    Mesh const original = unitCube();
    Mesh copy(original);
    EXPECT_FALSE(copy.hasTree());
    EXPECT_EQ(thrownMessage<std::runtime_error>([&] { copy.closestPoint(Point(2, 2, 2)); }),
              "acceleration structure for distance computation was not built");
    copy.buildTree();
    EXPECT_FLOAT_EQ(copy.signedDistance(Point(2, 0.5f, 0.5f)), 1.0f);
    Mesh assigned;
    assigned = original;
    EXPECT_FALSE(assigned.hasTree());
    EXPECT_TRUE(Mesh(std::move(copy)).hasTree());
}

TEST(TriangleMeshTree, LeavesHoldAtMostFourAndEveryTriangleOnce)
{
    // Nine triangles on one spot: equal centroids must still halve the range.
    std::vector<std::int32_t> stackedIndices;
    for (int triangle = 0; triangle < 9; ++triangle)
        stackedIndices.insert(stackedIndices.end(), {0, 1, 2});
    Mesh const stacked({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, stackedIndices);
    EXPECT_EQ(stacked.treeStatistics().leafTriangleCounts, (std::vector<std::size_t>{4, 2, 3}));
    EXPECT_NEAR(stacked.closestPoint(Point(0.25f, 0.25f, 2)).squaredDistance, 4.0f, 1e-6f);

    std::mt19937 random(3);
    // Counts on both sides of the halvings that leave some leaves one triangle too many, and large
    // enough for the halves to build at once.
    for (int const triangleCount : {1, 8, 9, 16, 17, 1001, 5000, 9999}) {
        Mesh::TreeStatistics const statistics = randomTriangleSoup(random, triangleCount).treeStatistics();
        EXPECT_EQ(statistics.triangleCount, std::size_t(triangleCount));
        EXPECT_EQ(statistics.leafNodeCount, statistics.splitNodeCount + 1) << triangleCount << " triangles";
        for (auto const count : statistics.leafTriangleCounts)
            EXPECT_TRUE(count >= 1 && count <= 4) << triangleCount << " triangles";
    }
}

TEST(TriangleMeshClosestPoint, FeatureCodesOfOneTriangle)
{
    Mesh const triangle = triangleMesh(Point(0, 0, 0), Point(1, 0, 0), Point(0, 1, 0));
    struct Case {
        Point query;
        std::int32_t feature;
        Point closest;
    };
    std::vector<Case> const cases{
        {{0.25f, 0.25f, 1}, Mesh::FACE, {0.25f, 0.25f, 0}},       {{0.5f, -1, 0.5f}, Mesh::EDGE_AB, {0.5f, 0, 0}},
        {{1, 1, 0}, Mesh::EDGE_BC, {0.5f, 0.5f, 0}},              {{-1, 0.5f, -2}, Mesh::EDGE_CA, {0, 0.5f, 0}},
        {{-1, -1, 0}, Mesh::VERTEX_A, {0, 0, 0}},                 {{2, -0.5f, 0}, Mesh::VERTEX_B, {1, 0, 0}},
        {{-0.5f, 2, 1}, Mesh::VERTEX_C, {0, 1, 0}},               {{3, 0.5f, 0}, Mesh::VERTEX_B, {1, 0, 0}},
        {{0.5f, 3, 0}, Mesh::VERTEX_C, {0, 1, 0}},
    };
    for (auto const& testCase : cases) {
        Mesh::ClosestPoint const result = triangle.closestPoint(testCase.query);
        EXPECT_EQ(result.feature, testCase.feature) << "query " << testCase.query.transpose();
        EXPECT_LT((result.point - testCase.closest).norm(), 1e-6f) << "query " << testCase.query.transpose();
    }

    // Triangles without area still give finite answers.
    Mesh::ClosestPoint const onLine =
        triangleMesh(Point(0, 0, 0), Point(1, 0, 0), Point(2, 0, 0)).closestPoint(Point(1.5f, 1, 0));
    EXPECT_FLOAT_EQ(onLine.squaredDistance, 1.0f);
    EXPECT_LT((onLine.point - Point(1.5f, 0, 0)).norm(), 1e-6f);
    Mesh const collapsed = triangleMesh(Point(1, 1, 1), Point(1, 1, 1), Point(1, 1, 1));
    EXPECT_FLOAT_EQ(collapsed.closestPoint(Point(1, 1, 3)).squaredDistance, 4.0f);
    EXPECT_TRUE(std::isfinite(collapsed.signedDistance(Point(1, 1, 1.5f))));
}

TEST(TriangleMeshClosestPoint, TreeAgreesWithBruteForceOnRandomMeshes)
{
    std::mt19937 random(20261207);
    std::uniform_real_distribution<float> coordinate(-14.0f, 14.0f);
    for (int triangleCount : {5, 60, 700}) {
        Mesh const mesh = randomTriangleSoup(random, triangleCount);
        for (int query = 0; query < 100; ++query) {
            Point const q(coordinate(random), coordinate(random), coordinate(random));
            Mesh::ClosestPoint const result = mesh.closestPoint(q);
            double const expected = std::sqrt(bruteForceSquaredDistance(mesh, q));
            // Float rounding grows with the coordinates and the distance.
            double const tolerance = 1e-5 * (1.0 + q.cwiseAbs().maxCoeff() + expected);
            ASSERT_LT(result.triangle, mesh.triangleCount());
            EXPECT_NEAR(std::sqrt(result.squaredDistance), expected, tolerance) << "query " << q.transpose();
            EXPECT_NEAR((result.point - q).norm(), expected, tolerance) << "query " << q.transpose();
            EXPECT_NEAR(std::sqrt(referenceSquaredDistance(mesh, result.triangle, result.point)), 0.0, tolerance);
        }
    }
}

TEST(TriangleMeshSignedDistance, NegativeInsideAClosedMeshOnlyAndZeroOnItsSurface)
{
    Mesh const cube = unitCube();
    struct Case {
        Point query;
        float distance;
    };
    // Closest to an edge or a corner, the sign comes from the ray parity.
    for (Case const& testCase : std::vector<Case>{{{0.5f, 0.5f, 0.5f}, -0.5f}, {{0.2f, 0.7f, 0.6f}, -0.2f},
                                                  {{1.5f, 0.5f, 0.5f}, 0.5f},  {{1.3f, 1.4f, 0.5f}, 0.5f},
                                                  {{-2, -2, -1}, 3.0f},        {{0.5f, 0.5f, 1}, 0.0f},
                                                  {{1, 1, 0.5f}, 0.0f},        {{0, 0, 0}, 0.0f},
                                                  {{0.3f, 0, 0.3f}, 0.0f}}) {
        float const distance = cube.signedDistance(testCase.query);
        EXPECT_FLOAT_EQ(distance, testCase.distance) << testCase.query.transpose();
        EXPECT_EQ(std::signbit(distance), testCase.distance < 0) << testCase.query.transpose();
    }
    Mesh const openSquare({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 0, 2, 3});
    EXPECT_FLOAT_EQ(openSquare.signedDistance(Point(0.5f, 0.5f, -2)), 2.0f);
    EXPECT_FLOAT_EQ(openSquare.signedDistance(Point(0.5f, 0.5f, 2)), 2.0f);

    Point const center(3, -2, 1);
    Mesh const sphere = sphereMesh(center, 2.0f, 16, 32);
    std::mt19937 random(11);
    std::uniform_real_distribution<float> coordinate(-2.0f, 2.0f);
    int inside = 0;
    for (int query = 0; query < 200; ++query) {
        Point const q = center + Point(coordinate(random), coordinate(random), coordinate(random));
        float const radial = (q - center).norm();
        // The facets lie inside the true sphere by up to about 2 % of the radius.
        if (std::abs(radial - 2.0f) < 0.05f)
            continue;
        float const distance = sphere.signedDistance(q);
        EXPECT_EQ(distance < 0, radial < 2.0f) << "query " << q.transpose() << " distance " << distance;
        EXPECT_NEAR(std::abs(distance), float(std::sqrt(bruteForceSquaredDistance(sphere, q))), 1e-4f);
        inside += distance < 0;
    }
    EXPECT_GT(inside, 25);
}

TEST(TriangleMeshRays, CrossingCountsThroughACube)
{
    struct Case {
        Point origin;
        Vec3 direction;
        float tMin, tMax;
        unsigned crossings;
    };
    std::vector<Case> const cases{
        {{0.5f, 0.3f, 0.6f}, Vec3::UnitX(), 0, kFloatMax, 1},   {{0.5f, 0.3f, 0.6f}, -Vec3::UnitZ(), 0, kFloatMax, 1},
        {{-1, 0.3f, 0.6f}, Vec3::UnitX(), 0, kFloatMax, 2},     {{-1, 0.3f, 0.6f}, -Vec3::UnitX(), 0, kFloatMax, 0},
        // Half open: the entry at t = 1 counts, the exit at t = 2 does not.
        {{-1, 0.3f, 0.6f}, Vec3::UnitX(), 1, 2, 1},             {{-1, 0.3f, 0.6f}, Vec3::UnitX(), 0, 1, 0},
        // Along faces it runs in: those are skipped, the two across are counted.
        {{-1, 0.5f, 0}, Vec3::UnitX(), 0, kFloatMax, 2},        {{-1, 2, 0.5f}, Vec3::UnitX(), 0, kFloatMax, 0},
        // Through the diagonals y = z of the faces x = 0 and x = 1: counted in both triangles.
        {{-1, 0.5f, 0.5f}, Vec3::UnitX(), 0, kFloatMax, 4},
    };
    Mesh const cube = unitCube();
    for (Case const& c : cases)
        EXPECT_EQ(cube.rayCrossingCount(c.origin, c.direction, c.tMin, c.tMax), c.crossings)
            << c.origin.transpose() << " towards " << c.direction.transpose() << " in [" << c.tMin << ", " << c.tMax
            << ")";
}

TEST(TriangleMeshShell, ParityIsRightWhenTheFirstRayRunsThroughAVertexAndCopiesStayApart)
{
    // Octahedra about the origin with one vertex on the first ray that the parity test casts:
    // rounding puts that hit into any number of the four triangles around the vertex.
    Vec3 const firstDirection = Vec3(0.0314159f, -0.014142135f, 0.027182817f).normalized();
    Vec3 const side = firstDirection.unitOrthogonal();
    Vec3 const up = firstDirection.cross(side);
    std::vector<std::int32_t> const faces{0, 2, 4, 0, 4, 3, 0, 3, 5, 0, 5, 2, 1, 4, 2, 1, 3, 4, 1, 5, 3, 1, 2, 5};
    int unreliableCounts = 0;
    for (int step = 0; step < 8; ++step) {
        float const size = 1.0f + 0.37f * float(step);
        Mesh const octahedron({Point(size * firstDirection), Point(-size * firstDirection), Point(size * side),
                               Point(-size * side), Point(size * up), Point(-size * up)},
                              faces);
        unreliableCounts += octahedron.rayCrossingCount(Point(0, 0, 0), firstDirection, 1e-6f, kFloatMax) != 1;
        EXPECT_TRUE(Shell(octahedron).isInside(Point(0, 0, 0))) << "size " << size;
    }
    EXPECT_GT(unreliableCounts, 0);

    // Shells: inside by parity, and copies stay apart.
    Shell const sphere(sphereMesh(Point(1, 1, 1), 1.0f, 16, 32));
    EXPECT_TRUE(sphere.isInside(Point(1.5f, 1.2f, 0.7f)));
    EXPECT_FALSE(sphere.isInside(Point(1.9f, 1.9f, 1.0f))); // inside the bounds, outside the sphere
    EXPECT_FALSE(sphere.isInside(Point(3, 1, 1)));

    Shell shell{Mesh(unitCube())}; // a copy without tree: the shell builds it
    Shell const original = shell;
    shell.transformBy(similarity(1.0f, 0.0f, Vec3::UnitZ(), Vec3(5, 0, 0)));
    EXPECT_TRUE(shell.isInside(Point(5.5f, 0.5f, 0.5f)));
    EXPECT_FALSE(shell.isInside(Point(0.5f, 0.5f, 0.5f)));
    EXPECT_TRUE(original.isInside(Point(0.5f, 0.5f, 0.5f)));
    EXPECT_FLOAT_EQ(shell.boundingBox().min().x(), 5.0f);
}

TEST(TriangleMeshTransform, SimilarityScalesDistancesMirrorKeepsInsideNegativeAndSingularMatricesThrow)
{
    Mesh const sphere = sphereMesh(Point(0, 0, 0), 1.0f, 12, 24);
    Matrix4 const transform = similarity(2.5f, 0.7f, Vec3(1, 2, 3), Vec3(10, -4, 2));
    Mesh moved(sphere);
    moved.transformBy(transform);
    ASSERT_TRUE(moved.hasTree());
    for (Point const& q :
         {Point(0.1f, 0.2f, 0.3f), Point(0.9f, 0.9f, 0.2f), Point(-1.5f, 0.3f, 0), Point(0, 0, 0.99f)}) {
        Point const movedQuery = (transform * q.homogeneous()).hnormalized();
        EXPECT_NEAR(moved.signedDistance(movedQuery), 2.5f * sphere.signedDistance(q), 1e-4f) << q.transpose();
    }
    Vec3 const expectedNormal = transform.topLeftCorner<3, 3>() * sphere.triangleNormals()[5] / 2.5f;
    EXPECT_LT((moved.triangleNormals()[5] - expectedNormal).norm(), 1e-5f);

    Mesh mirrored = unitCube();
    mirrored.transformBy(Eigen::Vector4f(-1, 1, 1, 1).asDiagonal().toDenseMatrix());
    EXPECT_FLOAT_EQ(mirrored.signedDistance(Point(-0.5f, 0.5f, 0.9f)), -0.1f);
    EXPECT_FLOAT_EQ(mirrored.signedDistance(Point(-0.5f, 0.5f, 1.2f)), 0.2f);

    // A singular, degenerate or NaN matrix throws and keeps the mesh.
    auto const mirroredPositions = mirrored.positions();
    Matrix4 flatten = Matrix4::Identity();
    flatten(2, 2) = 0;
    Matrix4 toInfinity = Matrix4::Identity();
    toInfinity(3, 3) = 0; // w = 0 for the corner at the origin
    Matrix4 withNan = Matrix4::Identity();
    withNan(0, 1) = std::nanf("");
    for (Matrix4 const& matrix : {flatten, toInfinity, withNan})
        EXPECT_THROW(mirrored.transformBy(matrix), std::invalid_argument);
    EXPECT_EQ(mirrored.positions(), mirroredPositions);
    EXPECT_FLOAT_EQ(mirrored.signedDistance(Point(-0.5f, 0.5f, 0.9f)), -0.1f);
}

TEST(TriangleMeshTransform, LargeMeshesTransformInParallelInsideTasksOfTheSharedExecutor)
{
    // More tasks than workers, each transforming a mesh large enough to fan out: a worker that
    // blocked on its nested loop would starve the others of threads.
    tf::Executor& executor = Core::TaskFlowExecutor::instance();
    std::mt19937 random(6);
    Mesh const soup = randomTriangleSoup(random, 3000);
    std::vector<Mesh> meshes(2 * executor.num_workers(), soup);
    tf::Taskflow taskflow;
    for (auto& mesh : meshes)
        taskflow.emplace([&mesh] { mesh.transformBy(similarity(2.0f, 0.0f, Vec3::UnitZ(), Vec3(1, 2, 3))); });
    executor.run(taskflow).wait();
    for (auto const& mesh : meshes) {
        EXPECT_EQ(mesh.treeStatistics().triangleCount, 3000u);
        for (std::size_t vertex = 0; vertex < soup.vertexCount(); ++vertex)
            ASSERT_EQ(mesh.positions()[vertex], Point(2.0f * soup.positions()[vertex] + Point(1, 2, 3)));
    }
}

TEST(TriangleMeshDump, EndsWithTheSizesOfTheTreeAndNamesTheFileItCannotWrite)
{
    std::mt19937 random(9);
    EXPECT_TRUE(randomTriangleSoup(random, 9).dumpText().ends_with(
        "\nnumber of triangles in tree: 9\nnumber of leaf nodes: 3\nnumber of split nodes: 2\n"));
    TestSupport::TempFolder const folder("trianglemesh");
    EXPECT_NE(thrownMessage<std::runtime_error>([&] { unitCube().dump("cube", 1, folder.path() / "missing"); })
                  .find("cube_1.txt"),
              std::string::npos);
}

TEST(DistanceToMesh, IsUnsignedOrSignedAndSearchesAMeshWithoutTreeWithoutChangingIt)
{
    Mesh const cube = unitCube();
    EXPECT_FLOAT_EQ(*Math::distanceToMesh(cube, Point(0.5f, 0.5f, 3.0f), true), 2.0f);
    EXPECT_FLOAT_EQ(*Math::distanceToMesh(cube, Point(0.5f, 0.5f, 0.75f), false), 0.25f);
    EXPECT_FLOAT_EQ(*Math::distanceToMesh(cube, Point(0.5f, 0.5f, 0.75f), true), -0.25f);
    Mesh const copy(cube);
    ASSERT_FALSE(copy.hasTree()) << "copies drop the tree";
    EXPECT_FLOAT_EQ(*Math::distanceToMesh(copy, Point(0.5f, 0.5f, 0.75f), true), -0.25f);
    EXPECT_FLOAT_EQ(*Math::distanceToMesh(copy, Point(2.0f, 0.5f, 0.5f), false), 1.0f);
    EXPECT_FALSE(copy.hasTree());
    EXPECT_FALSE(Math::distanceToMesh(Mesh(), Point(0, 0, 0), false));
    EXPECT_FALSE(Math::distanceToMesh(Mesh(), Point(0, 0, 0), true));
}

} // namespace
