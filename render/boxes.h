#pragma once

#include "render/comptr.h"
#include "render/constantbuffer.h"
#include "render/export.h"
#include "render/pixelshader.h"
#include "render/shaderconstants.h"
#include "render/vertexshader.h"

#include "math/boundingbox.h"
#include "math/color.h"

#include <Eigen/Core>
#include <d3d11.h>

#include <array>
#include <cstddef>
#include <vector>

namespace Render {

// One box of a Boxes set, copied unchanged into the GPU instance buffer.
struct BoxWithColor {
    std::array<float, 3> minimum{};
    std::array<float, 3> maximum{};
    Math::Color color;
};
static_assert(sizeof(BoxWithColor) == 28);

// Colored wireframes of axis-aligned boxes, 12 edges each, drawn in one instanced call. The owner
// sets the transform and draws into whatever target it has bound.
class MORVID_RENDER_API Boxes {
public:
    struct Constants {
        ShaderFloat4x4 world_view_proj = kShaderIdentity;
    };

    static constexpr char const* kShaderName = "shaders/box.hlsl";

    // A fixed set (immutable buffer); an empty set cannot be created.
    Boxes(ATL::CComPtr<ID3D11Device> const& device, std::vector<BoxWithColor> const& boxes);
    // Room for `capacity` boxes rewritten by update; nothing is drawn before the first update.
    Boxes(ATL::CComPtr<ID3D11Device> const& device, std::size_t capacity);
    Boxes(ATL::CComPtr<ID3D11Device> const& device, Math::NBoundingBox<float, 3> const& box, Math::Color const& color);
    Boxes(Boxes&&) noexcept = default;
    Boxes& operator=(Boxes&&) noexcept = default;

    // Rewrites the boxes of an updatable set; more boxes than the capacity throw std::length_error and
    // change nothing. A fixed set cannot be mapped and throws ComException.
    void update(ID3D11DeviceContext* context, std::vector<BoxWithColor> const& boxes);
    // The full transform from box coordinates to clip space.
    void setModelViewProjection(Eigen::Matrix<float, 4, 4, 0, 4, 4> const& matrix);
    void draw(ID3D11DeviceContext* context);

    std::size_t capacity() const { return mCapacity; }
    std::size_t size() const { return mDrawCount; }

private:
    Boxes(ATL::CComPtr<ID3D11Device> const& device, std::size_t capacity, BoxWithColor const* initialBoxes);

    VertexShader mVertexShader;
    PixelShader mPixelShader;
    ConstantBuffer<Constants> mConstants;
    std::size_t mCapacity = 0;
    ATL::CComPtr<ID3D11Buffer> mInstanceBuffer;
    std::size_t mDrawCount = 0;
};

} // namespace Render
