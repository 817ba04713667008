#pragma once

#include "math/color.h"
#include "math/nplane.h"
#include "render/renderable.h"

#include <memory>
#include <string>
#include <vector>

namespace Render {

// A scene node holding other nodes in order. It passes every operation on to its
// children and keeps the renderer's context and the settings it has been told,
// so that a child added later is initialised and brought up to date at once.
class MORVID_RENDER_API GroupRenderable : public Renderable, public std::enable_shared_from_this<GroupRenderable> {
    struct Private {};

public:
    using Children = std::vector<std::shared_ptr<Renderable>>;

    static std::shared_ptr<GroupRenderable> create(std::string name);
    GroupRenderable(Private, std::string const& name);
    GroupRenderable(GroupRenderable const& other);
    GroupRenderable(GroupRenderable&& other) noexcept;
    GroupRenderable& operator=(GroupRenderable const& other);
    GroupRenderable& operator=(GroupRenderable&& other) noexcept;
    ~GroupRenderable() override;

    void add(std::shared_ptr<Renderable> child);
    void add(std::string const& name, std::shared_ptr<Renderable> child);
    void remove(Children::const_iterator position);
    // Removes every node of that name below this group.
    void removeByName(std::string const& name);
    void removeAll();
    // The first node of that name below this group, depth first in child order.
    std::shared_ptr<Renderable> findByName(std::string const& name) const;

    Children::iterator begin() { return mChildren.begin(); }
    Children::iterator end() { return mChildren.end(); }
    Children::const_iterator begin() const { return mChildren.begin(); }
    Children::const_iterator end() const { return mChildren.end(); }
    Children::const_iterator cbegin() const { return mChildren.cbegin(); }
    Children::const_iterator cend() const { return mChildren.cend(); }
    std::shared_ptr<Renderable> front() const;
    std::shared_ptr<Renderable> back() const;
    std::size_t size() const { return mChildren.size(); }
    bool empty() const { return mChildren.empty(); }

    void init(std::size_t rendererId, std::shared_ptr<Camera> camera, ATL::CComPtr<ID3D11Device> device,
              ATL::CComPtr<ID3D11DeviceContext> context) override;
    void deinit() override;

    void onUpdateProjectionMatrix(std::shared_ptr<Camera> const& camera) override;
    void onUpdateViewMatrix(std::shared_ptr<Camera> const& camera) override;
    void onUpdateZRange(std::shared_ptr<Camera> const& camera) override;
    void onUpdateViewport(std::shared_ptr<Camera> const& camera) override;
    void onUpdateRenderMode(RenderMode mode) override;
    void onUpdateMeshClippingActive(bool active) override;
    void onUpdateRegionClippingActive(bool active) override;
    void onUpdateIntensityBlendFactor(float factor) override;
    void onUpdateClassVisibilityActive(bool active) override;
    void onUpdateMeshForDistanceColorization(std::shared_ptr<Math::TriangleMesh<float>> const& mesh) override;
    void onUpdatePlaneForDistanceColorization(Math::NPlane<float, 3> const& plane) override;
    void onUpdateDistanceColorMap(ColorMap colorMap) override;
    void onUpdateIntensityColorMap(ColorMap colorMap) override;
    void onUpdateClassificationColorTexture(std::shared_ptr<ClassificationColorTexture> const& texture) override;
    void onUpdateClippingRegion(std::shared_ptr<Math::ClippingRegion<float>> const& region) override;
    void onUpdateUseSignedDistance(bool useSignedDistance) override;
    void onUpdateDistanceColorMapRange(float min, float max) override;
    void onUpdateIntensityColorMapRange(std::uint16_t min, std::uint16_t max) override;
    void onUpdatePassFailDistanceRange(float min, float max) override;
    void onUpdateWarnDistanceRange(float min, float max) override;
    void onUpdateTomographicColor(Math::Color const& color) override;
    void onUpdateUseCloudColorsInTomographicRenderModes(bool useCloudColors) override;

    void render() override;
    std::optional<Math::Color> backgroundColor() const override;
    bool isTransparent() const override;
    void brightnessAndContrast(float lowerQuantile, float upperQuantile, float& brightness, float& contrast) override;
    Math::NBoundingBox<float, 3> boundingBox() const override;
    void invalidateWorldMatrix() override;
    bool needsRedraw() const override;
    void setSelected(bool selected) override;
    void diagnose() const override;

private:
    bool isInitialized() const { return mCamera && mDevice && mDeviceContext; }
    void sendCachedSettings(Renderable& child) const;
    template <class Operation>
    void forEachChild(Operation&& operation) const;
    // Removes the direct children named `name`; true when there was one.
    bool removeChildrenNamed(std::string const& name);

    std::size_t mRendererId = 0;
    std::shared_ptr<Camera> mCamera;
    ATL::CComPtr<ID3D11Device> mDevice;
    ATL::CComPtr<ID3D11DeviceContext> mDeviceContext;

    RenderMode mRenderMode = RenderMode::Default;
    std::shared_ptr<Math::TriangleMesh<float>> mColorizationMesh;
    Math::NPlane<float, 3> mColorizationPlane{Eigen::Vector3f(0.0f, 1.0f, 0.0f), 0.0f};
    ColorMap mDistanceColorMap = ColorMap::Turbo;
    std::shared_ptr<ClassificationColorTexture> mClassificationColorTexture;
    std::shared_ptr<Math::ClippingRegion<float>> mClippingRegion;
    bool mRegionClippingActive = false;
    float mMinDistance = 0.0f;
    float mMaxDistance = 1.0f;
    float mMinDistancePassFail = -0.5f;
    float mMaxDistancePassFail = 0.5f;
    float mMinDistanceWarn = -0.25f;
    float mMaxDistanceWarn = 0.25f;
    bool mUseSignedDistance = true;

    Children mChildren;

    Math::Color mTomographicColor = Math::Color::black(255);
    bool mUseCloudColorsInTomographicRenderModes = false;
    bool mMeshClippingActive = false;
    bool mClassVisibilityActive = false;
    float mIntensityBlendFactor = 0.5f;
    ColorMap mIntensityColorMap = ColorMap::Gray;
    std::uint16_t mMinIntensity = 0;
    std::uint16_t mMaxIntensity = 65535;
};

} // namespace Render
