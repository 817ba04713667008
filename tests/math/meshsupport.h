#pragma once

#include "math/trianglemesh.h"

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace MathTest {

using Mesh = Math::TriangleMesh<float>;
using Point = Mesh::PointType;

// Twelve outward-facing triangles of the box [min, max].
inline Mesh boxMesh(Point const& min, Point const& max)
{
    std::vector<Point> corners;
    for (int corner = 0; corner < 8; ++corner)
        corners.emplace_back(corner & 1 ? max.x() : min.x(), corner & 2 ? max.y() : min.y(),
                             corner & 4 ? max.z() : min.z());
    // Corner index bits: 1 = x, 2 = y, 4 = z; each face counter-clockwise seen from outside.
    std::vector<std::int32_t> indices{0, 2, 3, 0, 3, 1, 4, 5, 7, 4, 7, 6, 0, 1, 5, 0, 5, 4,
                                      2, 6, 7, 2, 7, 3, 0, 4, 6, 0, 6, 2, 1, 3, 7, 1, 7, 5};
    return Mesh(std::move(corners), std::move(indices));
}

inline Mesh unitCube() { return boxMesh(Point(0, 0, 0), Point(1, 1, 1)); }

// A closed, outward-facing latitude/longitude sphere.
inline Mesh sphereMesh(Point const& center, float radius, int stacks, int slices)
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
inline Mesh randomTriangleSoup(std::mt19937& random, int triangleCount)
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

} // namespace MathTest
