#pragma once

#include <Eigen/Core>

#include <array>

namespace Render {

// HLSL constant-buffer field types as plain bytes: float4 and a column-major float4x4 (the memory
// order of Eigen's default matrices, so that mul(M, v) in a shader applies M to the column vector v).
using ShaderFloat4 = std::array<float, 4>;
using ShaderFloat4x4 = std::array<float, 16>;

inline ShaderFloat4x4 toShaderMatrix(Eigen::Matrix4f const& matrix)
{
    ShaderFloat4x4 result;
    Eigen::Map<Eigen::Matrix4f>(result.data()) = matrix;
    return result;
}

inline ShaderFloat4 toShaderVector(Eigen::Vector4f const& vector)
{
    return {vector.x(), vector.y(), vector.z(), vector.w()};
}

inline constexpr ShaderFloat4x4 kShaderIdentity{1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f,
                                               0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f};

} // namespace Render
