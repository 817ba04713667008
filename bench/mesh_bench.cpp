// The mesh's box tree against CGAL's AABB_tree on the same meshes of about 100,000 triangles and
// the same query points: closest points on a terrain-like height field, signed distances to a
// closed torus (CGAL: closest point plus Side_of_triangle_mesh), and the build of the tree.
// CGAL is used here only, as the peer to measure against; the library never links it.

#include "benchsupport.h"

#include "math/trianglemesh.h"

#include <CGAL/AABB_face_graph_triangle_primitive.h>
#include <CGAL/AABB_traits.h>
#include <CGAL/AABB_tree.h>
#include <CGAL/Side_of_triangle_mesh.h>
#include <CGAL/Simple_cartesian.h>
#include <CGAL/Surface_mesh.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <random>
#include <vector>

namespace {

using Mesh = Math::TriangleMesh<float>;
using Point = Mesh::PointType;

using Kernel = CGAL::Simple_cartesian<double>;
using CgalMesh = CGAL::Surface_mesh<Kernel::Point_3>;
using CgalTree = CGAL::AABB_tree<CGAL::AABB_traits<Kernel, CGAL::AABB_face_graph_triangle_primitive<CgalMesh>>>;
using CgalInside = CGAL::Side_of_triangle_mesh<CgalMesh, Kernel>;

constexpr int kRepetitions = 7;
constexpr std::size_t kQueryCount = 20'000;
constexpr int kHeightFieldSize = 224; // 2 * 223 * 223 = 99,458 triangles
constexpr float kHeightFieldSpacing = 0.5f;
constexpr int kTorusAround = 320;      // 2 * 320 * 160 = 102,400 triangles
constexpr int kTorusTube = 160;
constexpr float kTorusRadius = 40.0f;
constexpr float kTubeRadius = 12.0f;
// Closest points of float and double arithmetic agree to this relative squared distance.
constexpr double kDistanceTolerance = 1e-3;

struct MeshData {
    std::vector<Point> positions;
    std::vector<std::int32_t> indices;
};

MeshData heightField()
{
    MeshData mesh;
    for (int row = 0; row < kHeightFieldSize; ++row) {
        for (int column = 0; column < kHeightFieldSize; ++column) {
            float const x = kHeightFieldSpacing * float(column);
            float const y = kHeightFieldSpacing * float(row);
            mesh.positions.emplace_back(x, y, 2.0f * std::sin(0.2f * x) * std::cos(0.15f * y));
        }
    }
    for (int row = 0; row + 1 < kHeightFieldSize; ++row) {
        for (int column = 0; column + 1 < kHeightFieldSize; ++column) {
            std::int32_t const corner = row * kHeightFieldSize + column;
            mesh.indices.insert(mesh.indices.end(), {corner, corner + 1, corner + kHeightFieldSize + 1});
            mesh.indices.insert(mesh.indices.end(), {corner, corner + kHeightFieldSize + 1, corner + kHeightFieldSize});
        }
    }
    return mesh;
}

// A closed torus with a rippled tube, faces counter-clockwise seen from outside.
MeshData torus()
{
    MeshData mesh;
    for (int i = 0; i < kTorusAround; ++i) {
        float const u = 2.0f * std::numbers::pi_v<float> * float(i) / float(kTorusAround);
        for (int j = 0; j < kTorusTube; ++j) {
            float const v = 2.0f * std::numbers::pi_v<float> * float(j) / float(kTorusTube);
            float const tube = kTubeRadius * (1.0f + 0.08f * std::sin(7.0f * u) * std::cos(5.0f * v));
            float const ring = kTorusRadius + tube * std::cos(v);
            mesh.positions.emplace_back(ring * std::cos(u), ring * std::sin(u), tube * std::sin(v));
        }
    }
    auto const vertex = [](int i, int j) { return (i % kTorusAround) * kTorusTube + (j % kTorusTube); };
    for (int i = 0; i < kTorusAround; ++i) {
        for (int j = 0; j < kTorusTube; ++j) {
            mesh.indices.insert(mesh.indices.end(), {vertex(i, j), vertex(i + 1, j), vertex(i + 1, j + 1)});
            mesh.indices.insert(mesh.indices.end(), {vertex(i, j), vertex(i + 1, j + 1), vertex(i, j + 1)});
        }
    }
    return mesh;
}

CgalMesh toCgal(MeshData const& data)
{
    CgalMesh mesh;
    std::vector<CgalMesh::Vertex_index> vertices;
    for (Point const& p : data.positions)
        vertices.push_back(mesh.add_vertex(Kernel::Point_3(p.x(), p.y(), p.z())));
    for (std::size_t i = 0; i < data.indices.size(); i += 3)
        mesh.add_face(vertices[data.indices[i]], vertices[data.indices[i + 1]], vertices[data.indices[i + 2]]);
    return mesh;
}

// Points in and around the mesh's bounds, `margin` beyond them on every side.
std::vector<Point> queriesAround(Mesh const& mesh, float margin)
{
    auto const& bounds = mesh.boundingBox();
    std::mt19937 random(42);
    std::vector<Point> points;
    for (std::size_t i = 0; i < kQueryCount; ++i) {
        Point p;
        for (int axis = 0; axis < 3; ++axis)
            p[axis] = std::uniform_real_distribution<float>(bounds.min()[axis] - margin, bounds.max()[axis] + margin)(random);
        points.push_back(p);
    }
    return points;
}

Kernel::Point_3 toCgal(Point const& p)
{
    return {p.x(), p.y(), p.z()};
}

bool sameDistance(double ours, double theirs)
{
    return std::abs(ours - theirs) <= kDistanceTolerance * std::max(1.0, std::abs(theirs));
}

struct Peers {
    Mesh ours;
    CgalMesh cgalMesh;
    std::optional<CgalTree> cgalTree;

    explicit Peers(MeshData const& data) : ours(data.positions, data.indices), cgalMesh(toCgal(data))
    {
        cgalTree.emplace(faces(cgalMesh).first, faces(cgalMesh).second, cgalMesh);
        cgalTree->accelerate_distance_queries();
    }
};

void closestPoints(Bench::Results& results)
{
    Peers peers(heightField());
    std::vector<Point> const queries = queriesAround(peers.ours, 3.0f);
    std::vector<double> ours(queries.size());
    std::vector<double> theirs(queries.size());
    auto const runOurs = [&] {
        for (std::size_t i = 0; i < queries.size(); ++i)
            ours[i] = peers.ours.closestPoint(queries[i]).squaredDistance;
    };
    auto const runCgal = [&] {
        for (std::size_t i = 0; i < queries.size(); ++i)
            theirs[i] = CGAL::squared_distance(peers.cgalTree->closest_point(toCgal(queries[i])), toCgal(queries[i]));
    };
    runOurs();
    runCgal();
    for (std::size_t i = 0; i < queries.size(); ++i)
        Bench::requireSameWork(sameDistance(ours[i], theirs[i]), "closest point " + std::to_string(i) + ": squared distance " +
                                                                     std::to_string(ours[i]) + " against " +
                                                                     std::to_string(theirs[i]));
    Bench::PairedTimes const times = Bench::timeInTurns(kRepetitions, runOurs, runCgal);
    results.add("closest_point_vs_cgal", times.baseline / times.subject, "x", ">= 1.0",
                std::to_string(peers.ours.triangleCount()) + " triangles, queries per second over CGAL's");
    results.add("closest_point_queries_per_s", double(queries.size()) / times.subject, "queries/s");

    Bench::PairedTimes const builds = Bench::timeInTurns(
        kRepetitions, [&] { peers.ours.buildTree(); },
        [&] {
            peers.cgalTree.emplace(faces(peers.cgalMesh).first, faces(peers.cgalMesh).second, peers.cgalMesh);
            peers.cgalTree->accelerate_distance_queries();
        });
    results.add("tree_build_vs_cgal", builds.baseline / builds.subject, "x", ">= 1.0",
                "CGAL's build time over ours, with its distance query acceleration");
}

void signedDistances(Bench::Results& results)
{
    Peers peers(torus());
    CgalInside const inside(*peers.cgalTree);
    std::vector<Point> const queries = queriesAround(peers.ours, 4.0f);
    std::vector<double> ours(queries.size());
    std::vector<double> theirs(queries.size());
    auto const runOurs = [&] {
        for (std::size_t i = 0; i < queries.size(); ++i)
            ours[i] = peers.ours.signedDistance(queries[i]);
    };
    auto const runCgal = [&] {
        for (std::size_t i = 0; i < queries.size(); ++i) {
            Kernel::Point_3 const q = toCgal(queries[i]);
            double const distance = std::sqrt(CGAL::squared_distance(peers.cgalTree->closest_point(q), q));
            theirs[i] = inside(q) == CGAL::ON_BOUNDED_SIDE ? -distance : distance;
        }
    };
    runOurs();
    runCgal();
    std::size_t insideCount = 0;
    for (std::size_t i = 0; i < queries.size(); ++i) {
        Bench::requireSameWork(sameDistance(ours[i], theirs[i]), "signed distance " + std::to_string(i) + ": " +
                                                                     std::to_string(ours[i]) + " against " +
                                                                     std::to_string(theirs[i]));
        insideCount += theirs[i] < 0.0 ? 1 : 0;
    }
    Bench::PairedTimes const times = Bench::timeInTurns(kRepetitions, runOurs, runCgal);
    results.add("signed_distance_vs_cgal", times.baseline / times.subject, "x", ">= 1.0",
                std::to_string(peers.ours.triangleCount()) + " triangles, " + std::to_string(insideCount) + " of " +
                    std::to_string(queries.size()) + " queries inside");
}

} // namespace

int main()
{
    return Bench::runBenchmark("mesh_bench", [](Bench::Results& results) {
        Bench::progress("closest points and tree build against CGAL");
        closestPoints(results);
        Bench::progress("signed distances against CGAL");
        signedDistances(results);
    });
}
