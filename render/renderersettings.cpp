#include "render/renderer.h"

#include "core/assignifchanged.h"
#include "render/camera.h"
#include "render/classificationcolortexture.h"
#include "render/renderable.h"

#include <fmt/format.h>

#include <cmath>
#include <stdexcept>

// The renderer's settings: each is stored, passed on to the scene and raises the redraw flag only when
// it changes.
namespace Render {
namespace {

// Beyond this the neighbour ring samples unrelated surfaces rather than edges.
constexpr float kMaxEyeDomeLightingRadius = 64.0f;

} // namespace

void Renderer::setRenderMode(RenderMode mode)
{
    if (!Core::assignIfChanged(mRenderMode, mode))
        return;
    mPostProcess.setRenderMode(mode);
    notifyScene([&](Renderable& scene) { scene.onUpdateRenderMode(mode); });
    raiseRedrawFlag();
}

void Renderer::setMeshClippingActive(bool active)
{
    if (!Core::assignIfChanged(mMeshClippingActive, active))
        return;
    notifyScene([&](Renderable& scene) { scene.onUpdateMeshClippingActive(active); });
    raiseRedrawFlag();
}

void Renderer::setClassVisibilityActive(bool active)
{
    if (!Core::assignIfChanged(mClassVisibilityActive, active))
        return;
    notifyScene([&](Renderable& scene) { scene.onUpdateClassVisibilityActive(active); });
    raiseRedrawFlag();
}

void Renderer::setTomographicColor(Math::Color const& color)
{
    if (!Core::assignIfChanged(mTomographicColor, color))
        return;
    notifyScene([&](Renderable& scene) { scene.onUpdateTomographicColor(color); });
    raiseRedrawFlag();
}

void Renderer::setUseCloudColorsInTomographicRenderModes(bool useCloudColors)
{
    if (!Core::assignIfChanged(mUseCloudColorsInTomographicRenderModes, useCloudColors))
        return;
    notifyScene([&](Renderable& scene) { scene.onUpdateUseCloudColorsInTomographicRenderModes(useCloudColors); });
    raiseRedrawFlag();
}

void Renderer::setIntensityBlendFactor(float factor)
{
    if (!Core::assignIfChanged(mIntensityBlendFactor, factor))
        return;
    notifyScene([&](Renderable& scene) { scene.onUpdateIntensityBlendFactor(factor); });
    raiseRedrawFlag();
}

void Renderer::setPlaneForDistanceColorization(Math::NPlane<float, 3> const& plane)
{
    if (!Core::assignIfChanged(mColorizationPlane, plane))
        return;
    notifyScene([&](Renderable& scene) { scene.onUpdatePlaneForDistanceColorization(plane); });
    raiseRedrawFlag();
}

void Renderer::setMeshForDistanceColorization(std::shared_ptr<Math::TriangleMesh<float>> mesh)
{
    if (!Core::assignIfChanged(mColorizationMesh, mesh))
        return;
    notifyScene([&](Renderable& scene) { scene.onUpdateMeshForDistanceColorization(mColorizationMesh); });
    raiseRedrawFlag();
}

void Renderer::setRegionClippingActive(bool active)
{
    if (!Core::assignIfChanged(mRegionClippingActive, active))
        return;
    notifyScene([&](Renderable& scene) { scene.onUpdateRegionClippingActive(active); });
    raiseRedrawFlag();
}

void Renderer::setClippingRegion(std::shared_ptr<Math::ClippingRegion<float>> region)
{
    if (!Core::assignIfChanged(mClippingRegion, region))
        return;
    notifyScene([&](Renderable& scene) { scene.onUpdateClippingRegion(mClippingRegion); });
    raiseRedrawFlag();
}

void Renderer::setDistanceColorMap(ColorMap colorMap)
{
    if (!Core::assignIfChanged(mDistanceColorMap, colorMap))
        return;
    notifyScene([&](Renderable& scene) { scene.onUpdateDistanceColorMap(colorMap); });
    raiseRedrawFlag();
}

void Renderer::setIntensityColorMap(ColorMap colorMap)
{
    if (!Core::assignIfChanged(mIntensityColorMap, colorMap))
        return;
    notifyScene([&](Renderable& scene) { scene.onUpdateIntensityColorMap(colorMap); });
    raiseRedrawFlag();
}

Math::ClassificationInfo const& Renderer::classificationInfo() const
{
    return mClassificationColorTexture->classificationInfo();
}

void Renderer::setClassificationInfo(Math::ClassificationInfo const& info)
{
    if (info == mClassificationColorTexture->classificationInfo())
        return;
    mClassificationColorTexture->setClassificationInfo(info);
    notifyScene([&](Renderable& scene) { scene.onUpdateClassificationColorTexture(mClassificationColorTexture); });
    raiseRedrawFlag();
}

void Renderer::setUseSignedDistance(bool useSignedDistance)
{
    if (!Core::assignIfChanged(mUseSignedDistance, useSignedDistance))
        return;
    notifyScene([&](Renderable& scene) { scene.onUpdateUseSignedDistance(useSignedDistance); });
    raiseRedrawFlag();
}

void Renderer::setDistanceColorMapRange(float min, float max)
{
    if (min == mMinDistance && max == mMaxDistance)
        return;
    mMinDistance = min;
    mMaxDistance = max;
    notifyScene([&](Renderable& scene) { scene.onUpdateDistanceColorMapRange(min, max); });
    raiseRedrawFlag();
}

void Renderer::setPassFailDistanceRange(float min, float max)
{
    if (min == mMinDistancePassFail && max == mMaxDistancePassFail)
        return;
    mMinDistancePassFail = min;
    mMaxDistancePassFail = max;
    notifyScene([&](Renderable& scene) { scene.onUpdatePassFailDistanceRange(min, max); });
    raiseRedrawFlag();
}

void Renderer::setWarnDistanceRange(float min, float max)
{
    if (min == mMinDistanceWarn && max == mMaxDistanceWarn)
        return;
    mMinDistanceWarn = min;
    mMaxDistanceWarn = max;
    notifyScene([&](Renderable& scene) { scene.onUpdateWarnDistanceRange(min, max); });
    raiseRedrawFlag();
}

void Renderer::setIntensityColorMapRange(std::uint16_t min, std::uint16_t max)
{
    if (min == mMinIntensity && max == mMaxIntensity)
        return;
    mMinIntensity = min;
    mMaxIntensity = max;
    notifyScene([&](Renderable& scene) { scene.onUpdateIntensityColorMapRange(min, max); });
    raiseRedrawFlag();
}

void Renderer::setBrightness(float brightness)
{
    if (brightness == mPostProcess.brightness())
        return;
    mPostProcess.setBrightness(brightness);
    raiseRedrawFlag();
}

void Renderer::setContrast(float contrast)
{
    if (contrast == mPostProcess.contrast())
        return;
    mPostProcess.setContrast(contrast);
    raiseRedrawFlag();
}

void Renderer::setOpacity(float opacity)
{
    if (opacity == mPostProcess.opacity())
        return;
    mPostProcess.setOpacity(opacity);
    raiseRedrawFlag();
}

void Renderer::setEyeDomeLighting(bool enabled)
{
    if (enabled == mPostProcess.eyeDomeLighting())
        return;
    mPostProcess.setEyeDomeLighting(enabled);
    raiseRedrawFlag();
}

void Renderer::setEyeDomeLightingStrength(float strength)
{
    if (!std::isfinite(strength) || strength < 0.0f)
        throw std::invalid_argument(
            fmt::format("eye-dome lighting strength must be a finite number of at least 0, not {}", strength));
    if (strength == mPostProcess.eyeDomeLightingStrength())
        return;
    mPostProcess.setEyeDomeLightingStrength(strength);
    raiseRedrawFlag();
}

void Renderer::setEyeDomeLightingRadius(float pixels)
{
    if (!std::isfinite(pixels) || pixels <= 0.0f || pixels > kMaxEyeDomeLightingRadius)
        throw std::invalid_argument(fmt::format(
            "eye-dome lighting radius must lie above 0 and at most {} pixels, not {}", kMaxEyeDomeLightingRadius, pixels));
    if (pixels == mPostProcess.eyeDomeLightingRadius())
        return;
    mPostProcess.setEyeDomeLightingRadius(pixels);
    raiseRedrawFlag();
}

void Renderer::setEyeDomeLighting(EyeDomeLighting const& lighting)
{
    setEyeDomeLightingStrength(lighting.strength);
    setEyeDomeLightingRadius(lighting.radius);
    setEyeDomeLighting(lighting.enabled);
}

void Renderer::setBackgroundColor(Math::Color const& color)
{
    if (!Core::assignIfChanged(mBackgroundColor, color))
        return;
    mPostProcess.setBackgroundColor(color);
    raiseRedrawFlag();
}

void Renderer::setBackgroundColor(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a)
{
    setBackgroundColor(Math::Color(r, g, b, a));
}

void Renderer::setAutoAdjustZRange(bool enabled)
{
    if (!Core::assignIfChanged(mAutoAdjustZRange, enabled))
        return;
    notifyScene([this](Renderable& scene) { scene.onUpdateProjectionMatrix(mCamera); });
    raiseRedrawFlag();
}

void Renderer::setDistanceColorizationRange(Math::Point<float, 3> const& p0, Math::Point<float, 3> const& p1,
                                            ColorMap colorMap)
{
    Eigen::Vector3f const span = p1 - p0;
    float const length = span.norm();
    Eigen::Vector3f const normal = length != 0.0f ? Eigen::Vector3f(span / length) : Eigen::Vector3f::Zero();
    setPlaneForDistanceColorization(Math::NPlane<float, 3>(normal, -normal.dot(p0)));
    setDistanceColorMapRange(0.0f, length);
    setDistanceColorMap(colorMap);
    raiseRedrawFlag();
}

} // namespace Render
