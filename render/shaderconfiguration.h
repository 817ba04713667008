#pragma once

namespace Render {

// The shader stages a resource is bound to, as a bit mask; 0 means "not bound".
enum class ShaderConfiguration : unsigned int {
    Vertex = 1,
    Geometry = 2,
    Pixel = 4,
    Compute = 8,
};

constexpr ShaderConfiguration operator|(ShaderConfiguration left, ShaderConfiguration right)
{
    return static_cast<ShaderConfiguration>(static_cast<unsigned int>(left) | static_cast<unsigned int>(right));
}

// True when `stages` includes every stage of `stage`.
constexpr bool hasStage(ShaderConfiguration stages, ShaderConfiguration stage)
{
    return (static_cast<unsigned int>(stages) & static_cast<unsigned int>(stage)) == static_cast<unsigned int>(stage);
}

constexpr bool isEmpty(ShaderConfiguration stages)
{
    return static_cast<unsigned int>(stages) == 0;
}

} // namespace Render
