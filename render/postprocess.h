#pragma once

#include "render/comptr.h"
#include "render/constantbuffer.h"
#include "render/export.h"
#include "render/eyedomelighting.h"
#include "render/pixelshader.h"
#include "render/rendermode.h"
#include "render/vertexshader.h"
#include "render/viewport.h"

#include <Eigen/Core>

#include <d3d11.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace Math {
class Color;
}

namespace Render {

// The full-screen pass from the scene targets into the output targets ("shaders/postprocessing.hlsl").
class MORVID_RENDER_API PostProcess {
public:
    // The shader's `cbConstant` block.
    struct Constants {
        float width = 640.0f;
        float height = 480.0f;
        float brightness = 0.0f;
        float contrast = 1.0f;
        std::array<float, 4> bg_color{1.0f, 1.0f, 1.0f, 1.0f};
        float opacity = 1.0f;
        std::int32_t point_render_mode = 0;
        std::int32_t eye_dome_lighting = 0;
        float edl_strength = EyeDomeLighting::kDefaultStrength;
        // Distance in front of the eye as a plane over world positions: depth = dot(plane.xyz, p) + plane.w.
        std::array<float, 4> edl_depth_plane{0.0f, 0.0f, 1.0f, 0.0f};
        float edl_radius = EyeDomeLighting::kDefaultRadius;
        // 0 in perspective views, which compare log depths; else the factor that turns an
        // orthographic depth into the same measure (see setEyeDomeLightingView).
        float edl_orthographic_depth_scale = 0.0f;
        std::array<std::int32_t, 2> padding{};
    };

    static constexpr char const* kShaderName = "shaders/postprocessing.hlsl";

    PostProcess() = default;
    explicit PostProcess(ATL::CComPtr<ID3D11Device> const& device);
    PostProcess(PostProcess&&) noexcept = default;
    PostProcess& operator=(PostProcess&&) noexcept = default;

    // The viewport size as float.
    void setViewport(Viewport const& viewport);
    void setBrightness(float brightness) { mConstants.modify().brightness = brightness; }
    void setContrast(float contrast) { mConstants.modify().contrast = contrast; }
    void setOpacity(float opacity) { mConstants.modify().opacity = opacity; }
    void setRenderMode(RenderMode mode) { mConstants.modify().point_render_mode = static_cast<std::int32_t>(mode); }
    void setBackgroundColor(Math::Color const& color);
    // Eye-dome lighting: shades each drawn pixel by how far its neighbours at `radius` pixels lie
    // in front of it. Only the color image changes; positions and packed colors stay as drawn.
    void setEyeDomeLighting(bool enabled) { mConstants.modify().eye_dome_lighting = enabled ? 1 : 0; }
    void setEyeDomeLightingStrength(float strength) { mConstants.modify().edl_strength = strength; }
    void setEyeDomeLightingRadius(float radius) { mConstants.modify().edl_radius = radius; }
    // The view the depths are measured in; called before each frame drawn with eye-dome lighting.
    void setEyeDomeLightingView(Eigen::Matrix4f const& viewMatrix, Eigen::Matrix4f const& projectionMatrix);

    float brightness() const { return mConstants.data().brightness; }
    float contrast() const { return mConstants.data().contrast; }
    float opacity() const { return mConstants.data().opacity; }
    RenderMode renderMode() const { return static_cast<RenderMode>(mConstants.data().point_render_mode); }
    bool eyeDomeLighting() const { return mConstants.data().eye_dome_lighting != 0; }
    float eyeDomeLightingStrength() const { return mConstants.data().edl_strength; }
    float eyeDomeLightingRadius() const { return mConstants.data().edl_radius; }
    Constants const& constants() const { return mConstants.data(); }

    // One full-screen draw of the color image into the bound target. The caller binds the output
    // target, viewport and states, and the scene textures "color", "worldPosition" and
    // "exactWorldPosition" at pixel slots 0, 1 and 2.
    void draw(ID3D11DeviceContext* context);
    // The point readback's targets for the frame of the last `draw`, with the settings it was drawn
    // with: target 0 the world position with the color before eye-dome lighting packed into w,
    // target 1 that color. Bound as for `draw`, with the scene textures as they were drawn.
    void drawPointOutputs(ID3D11DeviceContext* context);

private:
    VertexShader mVertexShader;
    PixelShader mPixelShader;
    PixelShader mPointOutputsShader;
    ConstantBuffer<Constants> mConstants;
    ConstantBuffer<Constants> mDrawnConstants;
    ATL::CComPtr<ID3D11Device> mDevice;
};

static_assert(sizeof(PostProcess::Constants) == 80);
static_assert(offsetof(PostProcess::Constants, bg_color) == 16);
static_assert(offsetof(PostProcess::Constants, opacity) == 32);
static_assert(offsetof(PostProcess::Constants, point_render_mode) == 36);
static_assert(offsetof(PostProcess::Constants, edl_depth_plane) == 48);
static_assert(offsetof(PostProcess::Constants, edl_radius) == 64);

} // namespace Render
