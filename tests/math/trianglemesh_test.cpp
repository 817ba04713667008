#include "math/trianglemesh.h"
#include "math/trianglemeshshell.h"

#include "core/taskflow.h"
#include "core/taskflowexecutor.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Mesh = Math::TriangleMesh<float>;
using Shell = Math::TriangleMeshShell<float>;
using Point = Mesh::PointType;
using Vec3 = Eigen::Vector3f;
using Matrix4 = Eigen::Matrix4f;
constexpr float kFloatMax = std::numeric_limits<float>::max();

// Twelve outward-facing triangles of the box [min, max].
Mesh boxMesh(Point const& min, Point const& max)
{
    std::vector<Point> corners;
    for (int corner = 0; corner < 8; ++corner)
        corners.emplace_back(corner & 1 ? max.x() : min.x(), corner & 2 ? max.y() : min.y(), corner & 4 ? max.z() : min.z());
    // Corner index bits: 1 = x, 2 = y, 4 = z; each face counter-clockwise seen from outside.
    std::vector<std::int32_t> indices{0, 2, 3, 0, 3, 1, 4, 5, 7, 4, 7, 6, 0, 1, 5, 0, 5, 4,
                                      2, 6, 7, 2, 7, 3, 0, 4, 6, 0, 6, 2, 1, 3, 7, 1, 7, 5};
    return Mesh(std::move(corners), std::move(indices));
}

Mesh unitCube() { return boxMesh(Point(0, 0, 0), Point(1, 1, 1)); }

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

// Reference point-triangle distance by another route than the mesh's: projection onto the
// plane when it falls inside, else the nearest of the three edges; plain doubles, which stay fast
// in unoptimised builds.
struct Vector {
    double x, y, z;
    Vector(Point const& point) : x(point.x()), y(point.y()), z(point.z()) {}
    Vector(double vx, double vy, double vz) : x(vx), y(vy), z(vz) {}
    Vector operator-(Vector const& other) const { return {x - other.x, y - other.y, z - other.z}; }
    Vector operator+(Vector const& other) const { return {x + other.x, y + other.y, z + other.z}; }
    Vector operator*(double factor) const { return {x * factor, y * factor, z * factor}; }
    double dot(Vector const& other) const { return x * other.x + y * other.y + z * other.z; }
    Vector cross(Vector const& other) const
    {
        return {y * other.z - z * other.y, z * other.x - x * other.z, x * other.y - y * other.x};
    }
    double squaredNorm() const { return dot(*this); }
};

double segmentSquaredDistance(Vector const& q, Vector const& a, Vector const& b)
{
    Vector const edge = b - a;
    double const lengthSquared = edge.squaredNorm();
    double const t = lengthSquared > 0 ? std::clamp((q - a).dot(edge) / lengthSquared, 0.0, 1.0) : 0.0;
    return (a + edge * t - q).squaredNorm();
}

double referenceSquaredDistance(Point const& query, std::array<Point, 3> const& corners)
{
    Vector const q(query), a(corners[0]), b(corners[1]), c(corners[2]);
    Vector const normal = (b - a).cross(c - a);
    if (normal.squaredNorm() > 0) {
        Vector const projected = q - normal * (normal.dot(q - a) / normal.squaredNorm());
        bool const inside = (b - a).cross(projected - a).dot(normal) >= 0 && (c - b).cross(projected - b).dot(normal) >= 0 &&
                            (a - c).cross(projected - c).dot(normal) >= 0;
        if (inside)
            return (projected - q).squaredNorm();
    }
    return std::min({segmentSquaredDistance(q, a, b), segmentSquaredDistance(q, b, c), segmentSquaredDistance(q, c, a)});
}

std::array<Point, 3> corners(Mesh const& mesh, std::size_t triangle)
{
    auto const& indices = mesh.triangleIndices();
    auto const& positions = mesh.positions();
    return {positions[std::size_t(indices[3 * triangle])], positions[std::size_t(indices[3 * triangle + 1])],
            positions[std::size_t(indices[3 * triangle + 2])]};
}

double bruteForceSquaredDistance(Mesh const& mesh, Point const& q)
{
    double best = std::numeric_limits<double>::max();
    for (std::size_t triangle = 0; triangle < mesh.triangleCount(); ++triangle)
        best = std::min(best, referenceSquaredDistance(q, corners(mesh, triangle)));
    return best;
}

// Checks one tree answer against the reference: the distance is the smallest over all triangles,
// and the reported point lies on the reported triangle at that distance.
void expectMatchesBruteForce(Mesh const& mesh, Point const& q)
{
    Mesh::ClosestPoint const result = mesh.closestPoint(q);
    double const expected = bruteForceSquaredDistance(mesh, q);
    // Float rounding grows with the coordinates and the distance.
    double const scale = 1.0 + q.cwiseAbs().maxCoeff() + std::sqrt(expected);
    double const tolerance = 1e-5 * scale;
    ASSERT_LT(result.triangle, mesh.triangleCount());
    EXPECT_NEAR(std::sqrt(result.squaredDistance), std::sqrt(expected), tolerance) << "query " << q.transpose();
    EXPECT_NEAR((result.point - q).squaredNorm(), result.squaredDistance, tolerance * scale);
    EXPECT_NEAR(std::sqrt(referenceSquaredDistance(result.point, corners(mesh, result.triangle))), 0.0, tolerance);
}

// Loads the v and f lines of an OBJ file; polygons become triangle fans.
Mesh loadObjPositions(std::filesystem::path const& path)
{
    std::ifstream file(path);
    std::vector<Point> positions;
    std::vector<std::int32_t> indices;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "v") {
            Point position;
            fields >> position.x() >> position.y() >> position.z();
            positions.push_back(position);
        } else if (kind == "f") {
            std::vector<std::int32_t> face;
            std::string vertex;
            while (fields >> vertex)
                face.push_back(std::stoi(vertex.substr(0, vertex.find('/'))) - 1);
            for (std::size_t corner = 2; corner < face.size(); ++corner)
                indices.insert(indices.end(), {face[0], face[corner - 1], face[corner]});
        }
    }
    return Mesh(std::move(positions), std::move(indices));
}

std::filesystem::path testFolder()
{
    auto const* test = testing::UnitTest::GetInstance()->current_test_info();
    std::filesystem::path const folder =
        std::filesystem::temp_directory_path() / (std::string("morvid-") + test->test_suite_name() + "-" + test->name());
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

std::string readText(std::filesystem::path const& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

Matrix4 similarity(float scale, float angle, Vec3 const& axis, Vec3 const& translation)
{
    Eigen::Affine3f transform = Eigen::Translation3f(translation) * Eigen::AngleAxisf(angle, axis.normalized()) *
                                Eigen::Scaling(scale);
    return transform.matrix();
}

TEST(TriangleMeshConstruction, RejectsBadIndicesAndPositions)
{
    std::vector<Point> const positions{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    EXPECT_THROW(Mesh(positions, {0, 1}), std::invalid_argument);
    EXPECT_THROW(Mesh(positions, {0, 1, 3}), std::invalid_argument);
    EXPECT_THROW(Mesh(positions, {0, -1, 2}), std::invalid_argument);
    EXPECT_THROW(Mesh({{0, 0, 0}, {1, 0, 0}, {0, std::nanf(""), 0}}, {0, 1, 2}), std::invalid_argument);
    Mesh const mesh(positions, {0, 1, 2});
    EXPECT_EQ(mesh.triangleCount(), 1u);
    EXPECT_EQ(mesh.vertexCount(), 3u);
    EXPECT_TRUE(mesh.hasTree());
    EXPECT_EQ(mesh.boundingBox(), (Math::NBoundingBox<float, 3>(Point(0, 0, 0), Point(1, 1, 0))));
    EXPECT_EQ(mesh.triangleNormals()[0], Vec3(0, 0, 1));
}

TEST(TriangleMeshConstruction, CopyHasNoTreeUntilBuilt)
{
    Mesh const original = unitCube();
    Mesh copy(original);
    EXPECT_FALSE(copy.hasTree());
    EXPECT_EQ(copy.positions(), original.positions());
    EXPECT_EQ(copy.triangleIndices(), original.triangleIndices());
    try {
        copy.closestPoint(Point(2, 2, 2));
        FAIL() << "querying a tree-less mesh must throw";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "acceleration structure for distance computation was not built");
    }
    EXPECT_THROW(copy.rayCrossingCount(Point(0.5f, 0.5f, 0.5f), Vec3::UnitX(), 0.0f, kFloatMax), std::runtime_error);
    copy.buildTree();
    EXPECT_FLOAT_EQ(copy.signedDistance(Point(2, 0.5f, 0.5f)), 1.0f);

    Mesh assigned;
    assigned = original;
    EXPECT_FALSE(assigned.hasTree());
    Mesh moved(std::move(copy));
    EXPECT_TRUE(moved.hasTree());
}

TEST(TriangleMeshConstruction, EmptyMeshAnswersWithMaximumDistance)
{
    Mesh const empty;
    Mesh::ClosestPoint const result = empty.closestPoint(Point(1, 2, 3));
    EXPECT_EQ(result.squaredDistance, kFloatMax);
    EXPECT_EQ(result.point, Point(0, 0, 0));
    EXPECT_EQ(result.feature, 0);
    EXPECT_EQ(result.triangle, Mesh::NO_TRIANGLE);
    EXPECT_EQ(empty.signedDistance(Point(1, 2, 3)), std::sqrt(kFloatMax));
    EXPECT_EQ(empty.rayCrossingCount(Point(0, 0, 0), Vec3::UnitX(), 0.0f, kFloatMax), 0u);
    EXPECT_TRUE(empty.boundingBox().isEmpty());

    Mesh const verticesOnly({{0, 0, 0}}, {});
    EXPECT_FALSE(verticesOnly.hasTree());
    EXPECT_EQ(verticesOnly.closestPoint(Point(0, 0, 0)).triangle, Mesh::NO_TRIANGLE);
}

TEST(TriangleMeshTree, FourTrianglesMakeOneLeaf)
{
    std::mt19937 random(1);
    Mesh::TreeStatistics const statistics = randomTriangleSoup(random, 4).treeStatistics();
    EXPECT_EQ(statistics.splitNodeCount, 0u);
    EXPECT_EQ(statistics.leafTriangleCounts, (std::vector<std::size_t>{4}));
}

TEST(TriangleMeshTree, FiveTrianglesSplitIntoTwoAndThree)
{
    std::mt19937 random(2);
    Mesh::TreeStatistics const statistics = randomTriangleSoup(random, 5).treeStatistics();
    EXPECT_EQ(statistics.splitNodeCount, 1u);
    EXPECT_EQ(statistics.leafTriangleCounts, (std::vector<std::size_t>{2, 3}));
    EXPECT_EQ(statistics.triangleCount, 5u);
}

TEST(TriangleMeshTree, EqualCentroidsStillHalveTheRange)
{
    std::vector<std::int32_t> indices;
    for (int triangle = 0; triangle < 9; ++triangle)
        indices.insert(indices.end(), {0, 1, 2});
    Mesh const stacked({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, indices);
    Mesh::TreeStatistics const statistics = stacked.treeStatistics();
    EXPECT_EQ(statistics.leafTriangleCounts, (std::vector<std::size_t>{4, 2, 3}));
    EXPECT_EQ(statistics.splitNodeCount, 2u);
    EXPECT_NEAR(stacked.closestPoint(Point(0.25f, 0.25f, 2)).squaredDistance, 4.0f, 1e-6f);
}

// Counts on both sides of the halvings that leave some leaves one triangle too many, and large
// enough for the halves to build at once.
TEST(TriangleMeshTree, LeavesHoldAtMostFourAndEveryTriangleOnce)
{
    std::mt19937 random(3);
    for (int const triangleCount : {1, 8, 9, 16, 17, 1001, 5000, 9999}) {
        Mesh::TreeStatistics const statistics = randomTriangleSoup(random, triangleCount).treeStatistics();
        EXPECT_EQ(statistics.triangleCount, std::size_t(triangleCount));
        EXPECT_EQ(statistics.leafNodeCount, statistics.splitNodeCount + 1) << triangleCount << " triangles";
        for (auto const count : statistics.leafTriangleCounts) {
            EXPECT_GE(count, 1u);
            EXPECT_LE(count, 4u);
        }
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
        EXPECT_EQ(result.triangle, 0u);
    }
}

TEST(TriangleMeshClosestPoint, TrianglesWithoutAreaGiveFiniteAnswers)
{
    Mesh const collinear = triangleMesh(Point(0, 0, 0), Point(1, 0, 0), Point(2, 0, 0));
    Mesh::ClosestPoint const onLine = collinear.closestPoint(Point(1.5f, 1, 0));
    EXPECT_FLOAT_EQ(onLine.squaredDistance, 1.0f);
    EXPECT_LT((onLine.point - Point(1.5f, 0, 0)).norm(), 1e-6f);
    EXPECT_NE(onLine.feature, Mesh::FACE);
    EXPECT_EQ(collinear.triangleNormals()[0], Vec3::Zero());

    Mesh const collapsed = triangleMesh(Point(1, 1, 1), Point(1, 1, 1), Point(1, 1, 1));
    Mesh::ClosestPoint const atPoint = collapsed.closestPoint(Point(1, 1, 3));
    EXPECT_FLOAT_EQ(atPoint.squaredDistance, 4.0f);
    EXPECT_EQ(atPoint.point, Point(1, 1, 1));
    EXPECT_TRUE(std::isfinite(collapsed.signedDistance(Point(1, 1, 1.5f))));
}

TEST(TriangleMeshClosestPoint, TreeAgreesWithBruteForceOnRandomMeshes)
{
    std::mt19937 random(20261207);
    std::uniform_real_distribution<float> coordinate(-14.0f, 14.0f);
    for (int triangleCount : {5, 60, 700}) {
        Mesh const mesh = randomTriangleSoup(random, triangleCount);
        for (int query = 0; query < 100; ++query)
            expectMatchesBruteForce(mesh, Point(coordinate(random), coordinate(random), coordinate(random)));
    }
}

TEST(TriangleMeshClosestPoint, TreeAgreesWithBruteForceOnRealMesh)
{
    Mesh const building = loadObjPositions(std::filesystem::path(MORVID_TEST_DATA_DIR) / "realworld/obj/regr01/regr01.obj");
    ASSERT_EQ(building.triangleCount(), 2710u);
    auto const& bounds = building.boundingBox();
    std::mt19937 random(7);
    std::uniform_real_distribution<float> fraction(-0.1f, 1.1f);
    for (int query = 0; query < 60; ++query) {
        Point const q = bounds.min() + Point(bounds.size().cwiseProduct(Point(fraction(random), fraction(random), fraction(random))));
        expectMatchesBruteForce(building, q);
    }
}

TEST(TriangleMeshSignedDistance, CubeIsNegativeInsideAndPositiveOutside)
{
    Mesh const cube = unitCube();
    EXPECT_FLOAT_EQ(cube.signedDistance(Point(0.5f, 0.5f, 0.5f)), -0.5f);
    EXPECT_FLOAT_EQ(cube.signedDistance(Point(0.5f, 0.5f, 0.9f)), -0.1f);
    EXPECT_FLOAT_EQ(cube.signedDistance(Point(0.2f, 0.7f, 0.6f)), -0.2f);
    EXPECT_FLOAT_EQ(cube.signedDistance(Point(1.5f, 0.5f, 0.5f)), 0.5f);
    // Closest to an edge and to a corner: signed by the ray parity.
    EXPECT_FLOAT_EQ(cube.signedDistance(Point(1.3f, 1.4f, 0.5f)), 0.5f);
    EXPECT_FLOAT_EQ(cube.signedDistance(Point(-2, -2, -1)), 3.0f);
}

TEST(TriangleMeshSignedDistance, PointsOnTheSurfaceHaveDistanceZero)
{
    Mesh const cube = unitCube();
    for (Point const& onSurface : {Point(0.5f, 0.5f, 1), Point(1, 1, 0.5f), Point(0, 0, 0), Point(0.3f, 0, 0.3f)}) {
        float const distance = cube.signedDistance(onSurface);
        EXPECT_EQ(distance, 0.0f) << onSurface.transpose();
        EXPECT_FALSE(std::signbit(distance)) << onSurface.transpose();
    }
}

TEST(TriangleMeshSignedDistance, SphereMatchesRadiusDifference)
{
    Point const center(3, -2, 1);
    float const radius = 2.0f;
    Mesh const sphere = sphereMesh(center, radius, 16, 32);
    std::mt19937 random(11);
    std::uniform_real_distribution<float> coordinate(-2.0f, 2.0f);
    int inside = 0;
    for (int query = 0; query < 200; ++query) {
        Point const q = center + Point(coordinate(random), coordinate(random), coordinate(random));
        float const radial = (q - center).norm();
        // The facets lie inside the true sphere by up to about 2 % of the radius.
        if (std::abs(radial - radius) < 0.05f)
            continue;
        float const distance = sphere.signedDistance(q);
        EXPECT_EQ(distance < 0, radial < radius) << "query " << q.transpose() << " distance " << distance;
        EXPECT_NEAR(std::abs(distance), float(std::sqrt(bruteForceSquaredDistance(sphere, q))), 1e-4f);
        inside += distance < 0;
    }
    EXPECT_GT(inside, 25);
}

TEST(TriangleMeshSignedDistance, OpenMeshIsPositiveOutsideItsBounds)
{
    Mesh const square({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 0, 2, 3});
    EXPECT_FLOAT_EQ(square.signedDistance(Point(0.5f, 0.5f, -2)), 2.0f);
    EXPECT_FLOAT_EQ(square.signedDistance(Point(0.5f, 0.5f, 2)), 2.0f);
    EXPECT_FLOAT_EQ(square.signedDistance(Point(0.5f, 0.5f, 0)), 0.0f);
}

TEST(TriangleMeshRays, CrossingCountsThroughACube)
{
    Mesh const cube = unitCube();
    Point const inside(0.5f, 0.3f, 0.6f);
    EXPECT_EQ(cube.rayCrossingCount(inside, Vec3::UnitX(), 0.0f, kFloatMax), 1u);
    EXPECT_EQ(cube.rayCrossingCount(inside, -Vec3::UnitZ(), 0.0f, kFloatMax), 1u);
    Point const outside(-1, 0.3f, 0.6f);
    EXPECT_EQ(cube.rayCrossingCount(outside, Vec3::UnitX(), 0.0f, kFloatMax), 2u);
    EXPECT_EQ(cube.rayCrossingCount(outside, -Vec3::UnitX(), 0.0f, kFloatMax), 0u);
    // The interval is half open: the entry at t = 1 counts, the exit at t = 2 does not.
    EXPECT_EQ(cube.rayCrossingCount(outside, Vec3::UnitX(), 1.0f, 2.0f), 1u);
    EXPECT_EQ(cube.rayCrossingCount(outside, Vec3::UnitX(), 0.0f, 1.0f), 0u);
    // Parallel to the faces it runs along: those are skipped, the two across are counted.
    EXPECT_EQ(cube.rayCrossingCount(Point(-1, 0.5f, 0), Vec3::UnitX(), 0.0f, kFloatMax), 2u);
    EXPECT_EQ(cube.rayCrossingCount(Point(-1, 2, 0.5f), Vec3::UnitX(), 0.0f, kFloatMax), 0u);
}

TEST(TriangleMeshRays, ExactEdgeHitsCountInBothTriangles)
{
    // Entering and leaving through the diagonals y = z of the faces x = 0 and x = 1.
    EXPECT_EQ(unitCube().rayCrossingCount(Point(-1, 0.5f, 0.5f), Vec3::UnitX(), 0.0f, kFloatMax), 4u);
}

TEST(TriangleMeshRays, ParityIsRightWhenTheFirstRayRunsThroughAVertex)
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
}

TEST(TriangleMeshTransform, SimilarityScalesDistances)
{
    Mesh const sphere = sphereMesh(Point(0, 0, 0), 1.0f, 12, 24);
    Matrix4 const transform = similarity(2.5f, 0.7f, Vec3(1, 2, 3), Vec3(10, -4, 2));
    Mesh moved(sphere);
    moved.transformBy(transform);
    ASSERT_TRUE(moved.hasTree());
    for (Point const& q : {Point(0.1f, 0.2f, 0.3f), Point(0.9f, 0.9f, 0.2f), Point(-1.5f, 0.3f, 0), Point(0, 0, 0.99f)}) {
        Point const movedQuery = (transform * q.homogeneous()).hnormalized();
        EXPECT_NEAR(moved.signedDistance(movedQuery), 2.5f * sphere.signedDistance(q), 1e-4f) << q.transpose();
    }
    Vec3 const expectedNormal = transform.topLeftCorner<3, 3>() * sphere.triangleNormals()[5] / 2.5f;
    EXPECT_LT((moved.triangleNormals()[5] - expectedNormal).norm(), 1e-5f);
}

TEST(TriangleMeshTransform, MirrorKeepsInsideNegative)
{
    Mesh mirrored = unitCube();
    mirrored.transformBy(Eigen::Vector4f(-1, 1, 1, 1).asDiagonal().toDenseMatrix());
    EXPECT_FLOAT_EQ(mirrored.signedDistance(Point(-0.5f, 0.5f, 0.9f)), -0.1f);
    EXPECT_FLOAT_EQ(mirrored.signedDistance(Point(-0.5f, 0.5f, 1.2f)), 0.2f);
}

TEST(TriangleMeshTransform, SingularOrDegenerateMatrixThrowsAndKeepsTheMesh)
{
    Mesh cube = unitCube();
    Matrix4 flatten = Matrix4::Identity();
    flatten(2, 2) = 0;
    EXPECT_THROW(cube.transformBy(flatten), std::invalid_argument);
    Matrix4 toInfinity = Matrix4::Identity();
    toInfinity(3, 3) = 0; // w = 0 for the corner at the origin
    EXPECT_THROW(cube.transformBy(toInfinity), std::invalid_argument);
    Matrix4 withNan = Matrix4::Identity();
    withNan(0, 1) = std::nanf("");
    EXPECT_THROW(cube.transformBy(withNan), std::invalid_argument);
    EXPECT_EQ(cube.positions(), unitCube().positions());
    EXPECT_FLOAT_EQ(cube.signedDistance(Point(0.5f, 0.5f, 0.5f)), -0.5f);
}

TEST(TriangleMeshTransform, LargeMeshTransformsInParallel)
{
    std::mt19937 random(5);
    Mesh const soup = randomTriangleSoup(random, 3000);
    Mesh moved(soup);
    moved.transformBy(similarity(1.0f, 0.0f, Vec3::UnitZ(), Vec3(1, 2, 3)));
    for (std::size_t vertex = 0; vertex < soup.vertexCount(); ++vertex)
        ASSERT_EQ(moved.positions()[vertex], Point(soup.positions()[vertex] + Point(1, 2, 3)));
    EXPECT_EQ(moved.treeStatistics().triangleCount, 3000u);
}

TEST(TriangleMeshTransform, RunsInsideTasksOfTheSharedExecutor)
{
    // More tasks than workers, each transforming a mesh large enough to fan out: a worker that
    // blocked on its nested loop would starve the others of threads.
    tf::Executor& executor = Core::TaskFlowExecutor::instance();
    std::size_t const taskCount = 2 * executor.num_workers();
    std::mt19937 random(6);
    Mesh const soup = randomTriangleSoup(random, 2000);
    std::vector<Mesh> meshes(taskCount, soup);
    tf::Taskflow taskflow;
    for (auto& mesh : meshes)
        taskflow.emplace([&mesh] { mesh.transformBy(similarity(2.0f, 0.0f, Vec3::UnitZ(), Vec3::Zero())); });
    executor.run(taskflow).wait();
    for (auto const& mesh : meshes) {
        ASSERT_TRUE(mesh.hasTree());
        EXPECT_EQ(mesh.positions().back(), Point(2.0f * soup.positions().back()));
    }
}

TEST(TriangleMeshDump, WritesArraysAndTree)
{
    std::filesystem::path const folder = testFolder();
    triangleMesh(Point(0, 0, 0), Point(1, 0, 0), Point(0, 1, 0)).dump("mesh", 7, folder);
    EXPECT_EQ(readText(folder / "mesh_7.txt"),
              "triangles: \n"
              "triangle 0:  bounds [(-0.0001, -0.0001, -0.0001), (1.0001, 1.0001, 0.0001)] v0 0 v1 1 v2 2 "
              "ref (0.33333334, 0.33333334, 0)\n"
              "vertex positions: \n"
              "(0, 0, 0)\n"
              "(1, 0, 0)\n"
              "(0, 1, 0)\n"
              "triangle vertex indices: 0 1 2\n"
              "triangle bounds\n"
              "[(-0.0001, -0.0001, -0.0001), (1.0001, 1.0001, 0.0001)]\n"
              "triangle ref points\n"
              "(0.33333334, 0.33333334, 0)\n"
              "aabb tree: \n"
              "leaf node 0: [(-0.0001, -0.0001, -0.0001), (1.0001, 1.0001, 0.0001)]\n"
              "triangles: 0\n"
              "number of triangles in tree: 1\n"
              "number of leaf nodes: 1\n"
              "number of split nodes: 0\n");
    std::filesystem::remove_all(folder);
}

TEST(TriangleMeshDump, NumbersNodesPerKind)
{
    std::mt19937 random(9);
    std::string const text = randomTriangleSoup(random, 9).dumpText();
    for (char const* line : {"\nsplit node 0: [", "\nleaf node 0: [", "\nsplit node 1: [", "\nleaf node 2: [",
                             "\nnumber of triangles in tree: 9\nnumber of leaf nodes: 3\nnumber of split nodes: 2\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("leaf node 3"), std::string::npos);
}

TEST(TriangleMeshDump, UnwritableFolderThrowsNamingTheFile)
{
    std::filesystem::path const folder = testFolder() / "missing";
    try {
        unitCube().dump("cube", 1, folder);
        FAIL() << "dumping into a missing folder must throw";
    } catch (std::runtime_error const& error) {
        EXPECT_NE(std::string(error.what()).find("cube_1.txt"), std::string::npos) << error.what();
    }
}

TEST(TriangleMeshShell, InsideByParity)
{
    Shell const shell(sphereMesh(Point(1, 1, 1), 1.0f, 16, 32));
    EXPECT_TRUE(shell.isInside(Point(1, 1, 1)));
    EXPECT_TRUE(shell.isInside(Point(1.5f, 1.2f, 0.7f)));
    EXPECT_FALSE(shell.isInside(Point(1.9f, 1.9f, 1.0f))); // inside the bounds, outside the sphere
    EXPECT_FALSE(shell.isInside(Point(3, 1, 1)));
    EXPECT_EQ(shell.boundingBox(), shell.mesh().boundingBox());
}

TEST(TriangleMeshShell, BuildsAMissingTreeAndCopiesStayApart)
{
    Mesh const cube = unitCube();
    Shell shell{Mesh(cube)};
    EXPECT_TRUE(shell.mesh().hasTree());
    Shell const original = shell;
    shell.transformBy(similarity(1.0f, 0.0f, Vec3::UnitZ(), Vec3(5, 0, 0)));
    EXPECT_TRUE(shell.isInside(Point(5.5f, 0.5f, 0.5f)));
    EXPECT_FALSE(shell.isInside(Point(0.5f, 0.5f, 0.5f)));
    EXPECT_TRUE(original.isInside(Point(0.5f, 0.5f, 0.5f)));
    EXPECT_FLOAT_EQ(shell.boundingBox().min().x(), 5.0f);
}

} // namespace
