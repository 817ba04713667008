#pragma once

#include "render/camera.h"
#include "render/renderable.h"

#include <optional>
#include <string>
#include <vector>

namespace Testing {

// A scene node that records which operations reached it, in order: a test spy
// for the forwarding rules of renderers and groups.
class RecordingNode : public Render::Renderable {
    using MeshPointer = std::shared_ptr<Math::TriangleMesh<float>>;
    using ClassColors = std::shared_ptr<Render::ClassificationColorTexture>;
    using RegionPointer = std::shared_ptr<Math::ClippingRegion<float>>;

public:
    explicit RecordingNode(std::string name = "recording") : Renderable(std::move(name)) {}

    Math::NBoundingBox<float, 3> boundingBox() const override { return box; }
    std::optional<Math::Color> backgroundColor() const override { return background; }
    void brightnessAndContrast(float, float, float& brightness, float& contrast) override
    {
        brightness = brightnessAndContrastResult.first;
        contrast = brightnessAndContrastResult.second;
    }

    void init(std::size_t rendererId, std::shared_ptr<Render::Camera>, ATL::CComPtr<ID3D11Device>,
              ATL::CComPtr<ID3D11DeviceContext>) override
    {
        initializedWith = rendererId;
        record("init");
    }
    void deinit() override { record("deinit"); }
    void onUpdateProjectionMatrix(std::shared_ptr<Render::Camera> const&) override { record("projection"); }
    void onUpdateViewMatrix(std::shared_ptr<Render::Camera> const&) override { record("view"); }
    void onUpdateZRange(std::shared_ptr<Render::Camera> const&) override { record("zRange"); }
    void onUpdateViewport(std::shared_ptr<Render::Camera> const&) override { record("viewport"); }
    void onUpdateRenderMode(Render::RenderMode) override { record("renderMode"); }
    void onUpdateMeshClippingActive(bool) override { record("meshClipping"); }
    void onUpdateRegionClippingActive(bool) override { record("regionClipping"); }
    void onUpdateIntensityBlendFactor(float) override { record("intensityBlendFactor"); }
    void onUpdateClassVisibilityActive(bool) override { record("classVisibility"); }
    void onUpdateMeshForDistanceColorization(MeshPointer const&) override { record("mesh"); }
    void onUpdatePlaneForDistanceColorization(Math::NPlane<float, 3> const& plane) override
    {
        lastPlane = plane;
        record("plane");
    }
    void onUpdateDistanceColorMap(Render::ColorMap) override { record("distanceColorMap"); }
    void onUpdateIntensityColorMap(Render::ColorMap) override { record("intensityColorMap"); }
    void onUpdateClassificationColorTexture(ClassColors const&) override { record("classification"); }
    void onUpdateClippingRegion(RegionPointer const&) override { record("clippingRegion"); }
    void onUpdateUseSignedDistance(bool) override { record("signedDistance"); }
    void onUpdateDistanceColorMapRange(float min, float max) override
    {
        lastDistanceRange = {min, max};
        record("distanceRange");
    }
    void onUpdateIntensityColorMapRange(std::uint16_t, std::uint16_t) override { record("intensityRange"); }
    void onUpdatePassFailDistanceRange(float, float) override { record("passFailRange"); }
    void onUpdateWarnDistanceRange(float, float) override { record("warnRange"); }
    void onUpdateTomographicColor(Math::Color const&) override { record("tomographicColor"); }
    void onUpdateUseCloudColorsInTomographicRenderModes(bool) override { record("cloudColors"); }
    void setMatrix(Eigen::Matrix4f const& matrix) override
    {
        record("setMatrix");
        Renderable::setMatrix(matrix);
    }
    void render() override
    {
        record("render");
        Renderable::render();
    }

    std::vector<std::string> takeCalls() { return std::exchange(calls, {}); }

    std::vector<std::string> calls;
    std::size_t initializedWith = 0;
    Math::NBoundingBox<float, 3> box;
    std::optional<Math::Color> background;
    std::pair<float, float> brightnessAndContrastResult{0.0f, 1.0f};
    Math::NPlane<float, 3> lastPlane;
    std::pair<float, float> lastDistanceRange{};

private:
    void record(std::string call) { calls.push_back(std::move(call)); }
};

} // namespace Testing
