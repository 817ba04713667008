// Closest-point queries through the mesh's box tree against a scan over every triangle, on a
// terrain-like height field of about 20,000 triangles. After Google Benchmark's table the program
// prints the tree's time over the scan's, measured in the same run.

#include "math/trianglemesh.h"

#include "ratioreporter.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Mesh = Math::TriangleMesh<float>;
using Point = Mesh::PointType;

constexpr std::string_view kTreeSuffix = "/tree";
constexpr std::string_view kBaselineSuffix = "/all-triangles";
constexpr int kGridSize = 100; // 2 * 99 * 99 = 19,602 triangles
constexpr float kGridSpacing = 0.5f;
constexpr std::size_t kQueryCount = 1024;

// Rolling hills over a square grid, two triangles per cell.
Mesh heightField()
{
    std::vector<Point> positions;
    for (int row = 0; row < kGridSize; ++row) {
        for (int column = 0; column < kGridSize; ++column) {
            float const x = kGridSpacing * float(column);
            float const y = kGridSpacing * float(row);
            positions.emplace_back(x, y, 2.0f * std::sin(0.2f * x) * std::cos(0.15f * y));
        }
    }
    std::vector<std::int32_t> indices;
    for (int row = 0; row + 1 < kGridSize; ++row) {
        for (int column = 0; column + 1 < kGridSize; ++column) {
            std::int32_t const corner = row * kGridSize + column;
            indices.insert(indices.end(), {corner, corner + 1, corner + kGridSize + 1});
            indices.insert(indices.end(), {corner, corner + kGridSize + 1, corner + kGridSize});
        }
    }
    return Mesh(std::move(positions), std::move(indices));
}

Mesh const& benchmarkMesh()
{
    static Mesh const mesh = heightField();
    return mesh;
}

// Points in and around the mesh's bounds, up to a few units above and below the surface.
std::vector<Point> const& queries()
{
    static std::vector<Point> const points = [] {
        auto const& bounds = benchmarkMesh().boundingBox();
        std::mt19937 random(42);
        std::uniform_real_distribution<float> x(bounds.min().x() - 2.0f, bounds.max().x() + 2.0f);
        std::uniform_real_distribution<float> y(bounds.min().y() - 2.0f, bounds.max().y() + 2.0f);
        std::uniform_real_distribution<float> z(-5.0f, 5.0f);
        std::vector<Point> result;
        for (std::size_t i = 0; i < kQueryCount; ++i)
            result.emplace_back(x(random), y(random), z(random));
        return result;
    }();
    return points;
}

void closestPointWithTree(benchmark::State& state)
{
    Mesh const& mesh = benchmarkMesh();
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(mesh.closestPoint(queries()[next]));
        next = (next + 1) % kQueryCount;
    }
    state.SetItemsProcessed(state.iterations());
}

void closestPointOverAllTriangles(benchmark::State& state)
{
    Mesh const& mesh = benchmarkMesh();
    std::size_t next = 0;
    for (auto _ : state) {
        Point const& q = queries()[next];
        Mesh::ClosestPoint best{std::numeric_limits<float>::max(), Point::Zero(), 0, Mesh::NO_TRIANGLE};
        for (std::uint64_t triangle = 0; triangle < mesh.triangleCount(); ++triangle) {
            Mesh::ClosestPoint const candidate = mesh.closestPointOnTriangle(q, triangle);
            if (candidate.squaredDistance < best.squaredDistance)
                best = candidate;
        }
        benchmark::DoNotOptimize(best);
        next = (next + 1) % kQueryCount;
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::RegisterBenchmark((std::string("ClosestPoint") + std::string(kTreeSuffix)).c_str(), closestPointWithTree);
    benchmark::RegisterBenchmark((std::string("ClosestPoint") + std::string(kBaselineSuffix)).c_str(),
                                 closestPointOverAllTriangles);
    Bench::RatioReporter reporter(kTreeSuffix, kBaselineSuffix,
                                  "Tree time / all-triangles time (below 1: the tree is faster)");
    return Bench::runWithRatios(argc, argv, reporter);
}
