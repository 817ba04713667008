#pragma once

#include "math/color.h"
#include "math/point.h"

#include <cstddef>
#include <cstdint>
#include <limits>

// Vertex layouts copied unchanged into GPU vertex and instance buffers: their byte layout
// is fixed, and the static_asserts below guard it.
namespace Render {

// Position and color: the exchange format of point export and queries.
struct VertexPosColor {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    Math::Color color;

    VertexPosColor() = default;
    VertexPosColor(Math::Point<float, 3> const& position, Math::Color const& c)
        : x(position.x()), y(position.y()), z(position.z()), color(c)
    {
    }
    VertexPosColor(float px, float py, float pz, std::uint32_t packedColor)
        : x(px), y(py), z(pz), color(packedColor)
    {
    }
    VertexPosColor(float px, float py, float pz, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a)
        : x(px), y(py), z(pz), color(r, g, b, a)
    {
    }

    Math::Point<float, 3> position() const { return {x, y, z}; }
    bool isValid() const { return color.a() != 0; }
};

struct VertexPosNormalColor {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float nx = 0.0f;
    float ny = 0.0f;
    float nz = 0.0f;
    Math::Color color;

    VertexPosNormalColor() = default;
    // Without a normal: (0, 0, 0).
    VertexPosNormalColor(Math::Point<float, 3> const& position, Math::Color const& c)
        : x(position.x()), y(position.y()), z(position.z()), color(c)
    {
    }
    VertexPosNormalColor(Math::Point<float, 3> const& position, Eigen::Vector3f const& normal, Math::Color const& c)
        : x(position.x()), y(position.y()), z(position.z()), nx(normal.x()), ny(normal.y()), nz(normal.z()), color(c)
    {
    }
    VertexPosNormalColor(float px, float py, float pz, float pnx, float pny, float pnz, std::uint32_t packedColor)
        : x(px), y(py), z(pz), nx(pnx), ny(pny), nz(pnz), color(packedColor)
    {
    }
    VertexPosNormalColor(float px, float py, float pz, float pnx, float pny, float pnz, std::uint8_t r,
                         std::uint8_t g, std::uint8_t b, std::uint8_t a)
        : x(px), y(py), z(pz), nx(pnx), ny(pny), nz(pnz), color(r, g, b, a)
    {
    }
};

// The mesh vertex.
struct VertexPosNormalTexCoordColor {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float nx = 0.0f;
    float ny = 0.0f;
    float nz = 0.0f;
    float u = 0.0f;
    float v = 0.0f;
    Math::Color color;

    VertexPosNormalTexCoordColor() = default;
    // Without a normal and texture coordinate: both zero.
    VertexPosNormalTexCoordColor(Math::Point<float, 3> const& position, Math::Color const& c)
        : x(position.x()), y(position.y()), z(position.z()), color(c)
    {
    }
    VertexPosNormalTexCoordColor(Math::Point<float, 3> const& position, Eigen::Vector3f const& normal,
                                 Math::Point<float, 2> const& texCoord, Math::Color const& c)
        : x(position.x())
        , y(position.y())
        , z(position.z())
        , nx(normal.x())
        , ny(normal.y())
        , nz(normal.z())
        , u(texCoord.x())
        , v(texCoord.y())
        , color(c)
    {
    }
    VertexPosNormalTexCoordColor(float px, float py, float pz, float pnx, float pny, float pnz, float pu, float pv,
                                 std::uint32_t packedColor)
        : x(px), y(py), z(pz), nx(pnx), ny(pny), nz(pnz), u(pu), v(pv), color(packedColor)
    {
    }
    VertexPosNormalTexCoordColor(float px, float py, float pz, float pnx, float pny, float pnz, float pu, float pv,
                                 std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a)
        : x(px), y(py), z(pz), nx(pnx), ny(pny), nz(pnz), u(pu), v(pv), color(r, g, b, a)
    {
    }
};

struct VertexPosColorIntensityClassIndexScanIndex {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    Math::Color color;
    std::uint8_t intensity = 0;
    std::uint8_t classIndex = 0;
    std::uint16_t scanIndex = 0;

    VertexPosColorIntensityClassIndexScanIndex() = default;
    VertexPosColorIntensityClassIndexScanIndex(Math::Point<float, 3> const& position, Math::Color const& c)
        : x(position.x()), y(position.y()), z(position.z()), color(c)
    {
    }
    VertexPosColorIntensityClassIndexScanIndex(float px, float py, float pz, std::uint32_t packedColor)
        : x(px), y(py), z(pz), color(packedColor)
    {
    }
    VertexPosColorIntensityClassIndexScanIndex(float px, float py, float pz, std::uint8_t r, std::uint8_t g,
                                               std::uint8_t b, std::uint8_t a)
        : x(px), y(py), z(pz), color(r, g, b, a)
    {
    }
};

struct VertexPosNormalColorIntensityClassIndexScanIndex {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float nx = 0.0f;
    float ny = 0.0f;
    float nz = 0.0f;
    Math::Color color;
    std::uint8_t intensity = 0;
    std::uint8_t classIndex = 0;
    std::uint16_t scanIndex = 0;

    VertexPosNormalColorIntensityClassIndexScanIndex() = default;
    // Without a normal: (0, 0, 0).
    VertexPosNormalColorIntensityClassIndexScanIndex(Math::Point<float, 3> const& position, Math::Color const& c)
        : x(position.x()), y(position.y()), z(position.z()), color(c)
    {
    }
    VertexPosNormalColorIntensityClassIndexScanIndex(Math::Point<float, 3> const& position,
                                                     Eigen::Vector3f const& normal, Math::Color const& c)
        : x(position.x()), y(position.y()), z(position.z()), nx(normal.x()), ny(normal.y()), nz(normal.z()), color(c)
    {
    }
    VertexPosNormalColorIntensityClassIndexScanIndex(float px, float py, float pz, float pnx, float pny, float pnz,
                                                     std::uint32_t packedColor)
        : x(px), y(py), z(pz), nx(pnx), ny(pny), nz(pnz), color(packedColor)
    {
    }
    VertexPosNormalColorIntensityClassIndexScanIndex(float px, float py, float pz, float pnx, float pny, float pnz,
                                                     std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a)
        : x(px), y(py), z(pz), nx(pnx), ny(pny), nz(pnz), color(r, g, b, a)
    {
    }
};

// The point vertex of the renderer: one GPU instance per point.
struct VertexPosColorIntensityClassIndexScanIndexDistance {
    // Stands for "no distance computed".
    static constexpr float kNoDistance = std::numeric_limits<float>::max();

    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    Math::Color color;
    std::uint16_t intensity = 0;
    std::uint16_t scanIndex = 0;
    float distance = kNoDistance;
    std::uint8_t classIndex = 0;
    std::uint8_t padding[3] = {0, 0, 0};

    VertexPosColorIntensityClassIndexScanIndexDistance() = default;
    VertexPosColorIntensityClassIndexScanIndexDistance(Math::Point<float, 3> const& position, Math::Color const& c)
        : x(position.x()), y(position.y()), z(position.z()), color(c)
    {
    }
    VertexPosColorIntensityClassIndexScanIndexDistance(float px, float py, float pz, std::uint32_t packedColor)
        : x(px), y(py), z(pz), color(packedColor)
    {
    }
    VertexPosColorIntensityClassIndexScanIndexDistance(float px, float py, float pz, std::uint8_t r, std::uint8_t g,
                                                       std::uint8_t b, std::uint8_t a)
        : x(px), y(py), z(pz), color(r, g, b, a)
    {
    }

    Math::Point<float, 3> position() const { return {x, y, z}; }
};

static_assert(sizeof(VertexPosColor) == 16 && offsetof(VertexPosColor, color) == 12);
static_assert(sizeof(VertexPosNormalColor) == 28 && offsetof(VertexPosNormalColor, nx) == 12 &&
              offsetof(VertexPosNormalColor, color) == 24);
static_assert(sizeof(VertexPosNormalTexCoordColor) == 36 && offsetof(VertexPosNormalTexCoordColor, u) == 24 &&
              offsetof(VertexPosNormalTexCoordColor, color) == 32);
static_assert(sizeof(VertexPosColorIntensityClassIndexScanIndex) == 20 &&
              offsetof(VertexPosColorIntensityClassIndexScanIndex, color) == 12 &&
              offsetof(VertexPosColorIntensityClassIndexScanIndex, intensity) == 16 &&
              offsetof(VertexPosColorIntensityClassIndexScanIndex, classIndex) == 17 &&
              offsetof(VertexPosColorIntensityClassIndexScanIndex, scanIndex) == 18);
static_assert(sizeof(VertexPosNormalColorIntensityClassIndexScanIndex) == 32 &&
              offsetof(VertexPosNormalColorIntensityClassIndexScanIndex, color) == 24 &&
              offsetof(VertexPosNormalColorIntensityClassIndexScanIndex, intensity) == 28 &&
              offsetof(VertexPosNormalColorIntensityClassIndexScanIndex, classIndex) == 29 &&
              offsetof(VertexPosNormalColorIntensityClassIndexScanIndex, scanIndex) == 30);
static_assert(sizeof(VertexPosColorIntensityClassIndexScanIndexDistance) == 28 &&
              offsetof(VertexPosColorIntensityClassIndexScanIndexDistance, color) == 12 &&
              offsetof(VertexPosColorIntensityClassIndexScanIndexDistance, intensity) == 16 &&
              offsetof(VertexPosColorIntensityClassIndexScanIndexDistance, scanIndex) == 18 &&
              offsetof(VertexPosColorIntensityClassIndexScanIndexDistance, distance) == 20 &&
              offsetof(VertexPosColorIntensityClassIndexScanIndexDistance, classIndex) == 24);

} // namespace Render
