#pragma once

#include "core/instanceid.h"
#include "math/boundingbox.h"
#include "math/color.h"
#include "math/point.h"
#include "render/colormap.h"
#include "render/comptr.h"
#include "render/export.h"
#include "render/rendermode.h"

#include <Eigen/Core>

#include <d3d11.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace Math {
template <class T, int N>
class NPlane;
template <class T>
class TriangleMesh;
template <class T>
class ClippingRegion;
} // namespace Math

namespace Render {

class Camera;
class ClassificationColorTexture;

// Abstract base of every scene node. It holds what all nodes share (name, parent
// link, transform chain, flags) and the interface through which the renderer
// initialises nodes, forwards camera and settings changes, draws and asks for
// bounds. Every base operation is empty or trivial, so a node type overrides only
// what it uses. The order of the virtual operations is part of the interface.
class MORVID_RENDER_API Renderable : public Core::InstanceId<Renderable> {
public:
    explicit Renderable(std::string name);
    Renderable(Renderable const& other);
    Renderable& operator=(Renderable const& other);
    ~Renderable() override;

    virtual void init(std::size_t rendererId, std::shared_ptr<Camera> camera, ATL::CComPtr<ID3D11Device> device,
                      ATL::CComPtr<ID3D11DeviceContext> context);
    virtual void deinit();

    virtual void onUpdateProjectionMatrix(std::shared_ptr<Camera> const& camera);
    virtual void onUpdateViewMatrix(std::shared_ptr<Camera> const& camera);
    virtual void onUpdateZRange(std::shared_ptr<Camera> const& camera);
    virtual void onUpdateViewport(std::shared_ptr<Camera> const& camera);
    virtual void onUpdateRenderMode(RenderMode mode);
    virtual void onUpdateMeshClippingActive(bool active);
    virtual void onUpdateRegionClippingActive(bool active);
    virtual void onUpdateIntensityBlendFactor(float factor);
    virtual void onUpdateClassVisibilityActive(bool active);
    virtual void onUpdateMeshForDistanceColorization(std::shared_ptr<Math::TriangleMesh<float>> const& mesh);
    virtual void onUpdatePlaneForDistanceColorization(Math::NPlane<float, 3> const& plane);
    virtual void onUpdateDistanceColorMap(ColorMap colorMap);
    virtual void onUpdateIntensityColorMap(ColorMap colorMap);
    virtual void onUpdateClassificationColorTexture(std::shared_ptr<ClassificationColorTexture> const& texture);
    virtual void onUpdateClippingRegion(std::shared_ptr<Math::ClippingRegion<float>> const& region);
    virtual void onUpdateUseSignedDistance(bool useSignedDistance);
    virtual void onUpdateDistanceColorMapRange(float min, float max);
    virtual void onUpdateIntensityColorMapRange(std::uint16_t min, std::uint16_t max);
    virtual void onUpdatePassFailDistanceRange(float min, float max);
    virtual void onUpdateWarnDistanceRange(float min, float max);
    virtual void onUpdateTomographicColor(Math::Color const& color);
    virtual void onUpdateUseCloudColorsInTomographicRenderModes(bool useCloudColors);

    virtual void render();
    virtual std::optional<Math::Color> backgroundColor() const;
    virtual bool isTransparent() const;
    virtual void brightnessAndContrast(float lowerQuantile, float upperQuantile, float& brightness, float& contrast);
    // In the node's own coordinates.
    virtual Math::NBoundingBox<float, 3> boundingBox() const = 0;

    virtual void setMatrix(Eigen::Matrix4f const& matrix);
    virtual Eigen::Matrix4f matrix() const;
    virtual Eigen::Matrix4f worldMatrix() const;
    virtual void invalidateWorldMatrix();
    virtual void setVisible(bool visible);
    virtual void setNeedsRedraw(bool needsRedraw);
    virtual bool needsRedraw() const;
    virtual void setSelected(bool selected);
    virtual void diagnose() const;

    std::string name() const { return mName; }
    void setName(std::string const& name) { mName = name; }
    std::shared_ptr<Renderable> parent() const { return mParent.lock(); }
    void setParent(std::weak_ptr<Renderable> parent);
    bool visible() const { return mVisible; }
    bool selected() const { return mSelected; }

    Eigen::Matrix4f invWorldMatrix() const;
    Math::NBoundingBox<float, 3> boundingBoxParent() const;
    Math::NBoundingBox<float, 3> boundingBoxWorld() const;

    // Move the node so that `from` lands on `to`, keeping rotation and scale.
    void setTranslationByCorrespondences(Math::Point<float, 3> const& from, Math::Point<float, 3> const& to);
    // Rotate the node about the vertical axis through `center` so that the
    // direction to `from` turns into the direction to `to`.
    void setZRotationByCorrespondences(Math::Point<float, 3> const& center, Math::Point<float, 3> const& from,
                                       Math::Point<float, 3> const& to);
    // Both at once: `from` lands on `to` and `fromDirection` turns into `toDirection`.
    void setTranslationAndZRotationByCorrespondences(Math::Point<float, 3> const& from,
                                                     Math::Point<float, 3> const& to,
                                                     Eigen::Vector3f const& fromDirection,
                                                     Eigen::Vector3f const& toDirection);

private:
    void moveAndRotateAboutZ(Math::Point<float, 3> const& pivot, Math::Point<float, 3> const& target,
                             Eigen::Vector3f const& fromDirection, Eigen::Vector3f const& toDirection);

    std::string mName;
    std::weak_ptr<Renderable> mParent;
    Eigen::Matrix4f mMatrix = Eigen::Matrix4f::Identity();
    mutable Eigen::Matrix4f mWorldMatrix = Eigen::Matrix4f::Identity();
    bool mVisible = true;
    mutable bool mWorldMatrixInvalid = false;
    std::atomic<bool> mNeedsRedraw = true;
    bool mSelected = false;
};

} // namespace Render
