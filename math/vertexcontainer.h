#pragma once

#include "math/vertexformats.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <vector>

namespace Render {

// The points of one octree node in the layout of the GPU instance buffer, with one
// visibility byte per point that complete() uses to drop hidden points.
class VertexContainer {
public:
    using Vertex = VertexPosColorIntensityClassIndexScanIndexDistance;

    VertexContainer() = default;
    VertexContainer(std::initializer_list<Vertex> points) : vertices(points), visibility(points.size(), 0) {}

    std::size_t size() const { return vertices.size(); }
    Vertex* data() { return vertices.data(); }
    Vertex const* data() const { return vertices.data(); }
    Math::Point<float, 3> position(std::size_t i) const { return vertices[i].position(); }

    void resize(std::size_t n)
    {
        vertices.resize(n);
        visibility.resize(n, 0);
    }

    void setPosition(std::size_t i, double x, double y, double z)
    {
        vertices[i].x = static_cast<float>(x);
        vertices[i].y = static_cast<float>(y);
        vertices[i].z = static_cast<float>(z);
    }
    void setColor(std::size_t i, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a)
    {
        vertices[i].color.set(r, g, b, a);
    }
    void setIntensity(std::size_t i, std::uint16_t intensity) { vertices[i].intensity = intensity; }
    void setClassIndex(std::size_t i, std::uint8_t classIndex) { vertices[i].classIndex = classIndex; }
    void setScanIndex(std::size_t i, std::uint16_t scanIndex) { vertices[i].scanIndex = scanIndex; }
    void setDistance(std::size_t i, float distance) { vertices[i].distance = distance; }
    void setVisibility(std::size_t i, std::uint8_t value)
    {
        visibility[i] = value;
        visibilityChanged = true;
    }

    void setDistances(std::vector<float> const& distances)
    {
        if (distances.size() != size())
            throw std::runtime_error("Error VertexContainer::setDistances: size mismatch");
        for (std::size_t i = 0; i < distances.size(); ++i)
            vertices[i].distance = distances[i];
    }

    // The alpha byte carries the clip value: the shader drops alpha 0 while clipping is on.
    void setClipValues(std::vector<std::uint8_t> const& clipValues)
    {
        if (clipValues.size() != size())
            throw std::runtime_error("Error VertexContainer::setClipValues: size mismatch");
        for (std::size_t i = 0; i < clipValues.size(); ++i) {
            Math::Color& color = vertices[i].color;
            color.set(color.r(), color.g(), color.b(), clipValues[i]);
        }
    }

    // Drops the points whose visibility byte is set, keeping the order of the others.
    void complete()
    {
        if (!visibilityChanged || visibility.size() != vertices.size())
            return;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < vertices.size(); ++i) {
            if (visibility[i] == 0)
                vertices[kept++] = vertices[i];
        }
        vertices.resize(kept);
        vertices.shrink_to_fit();
        visibility = {};
    }

    void clearFullyTransparentPoints()
    {
        std::erase_if(vertices, [](Vertex const& vertex) { return vertex.color.a() == 0; });
    }

    std::vector<Vertex> vertices;
    std::vector<std::uint8_t> visibility;
    bool visibilityChanged = false;
};

} // namespace Render
