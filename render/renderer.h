#pragma once

#include "core/instanceid.h"
#include "core/noncopyable.h"
#include "math/boundingbox.h"
#include "math/classificationinfo.h"
#include "math/color.h"
#include "math/nplane.h"
#include "math/point.h"
#include "math/vertexformats.h"
#include "render/blendstate.h"
#include "render/colormap.h"
#include "render/comptr.h"
#include "render/depthstencilstate.h"
#include "render/export.h"
#include "render/postprocess.h"
#include "render/rasterizerstate.h"
#include "render/rendermode.h"
#include "render/renderpass.h"
#include "render/texture2d.h"
#include "render/viewport.h"

#include <Eigen/Core>

#include <d3d11.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

namespace Graphics {
class ColorImage;
class DepthImage;
} // namespace Graphics

namespace Math {
template <class T>
class TriangleMesh;
template <class T>
class ClippingRegion;
} // namespace Math

namespace Render {

class Camera;
class ClassificationColorTexture;
class Renderable;

// One view: owns the Direct3D 11 device, the camera, the scene root and every
// global render setting, and draws frames offscreen. Every effective change of
// the camera or a setting reaches the scene through the matching onUpdate...
// operation and raises the redraw flag.
class MORVID_RENDER_API Renderer : private Core::NonCopyable, public Core::InstanceId<Renderer> {
public:
    explicit Renderer(bool zBufferReversed = true);
    ~Renderer() override;

    ATL::CComPtr<ID3D11Device> const& device() const { return mDevice; }
    ATL::CComPtr<ID3D11DeviceContext> const& deviceContext() const { return mDeviceContext; }
    std::shared_ptr<Camera> const& camera() const { return mCamera; }
    std::shared_ptr<Camera>& camera() { return mCamera; }
    std::shared_ptr<Renderable> const& scene() const { return mScene; }
    std::shared_ptr<Renderable>& scene() { return mScene; }
    Viewport const& viewport() const;

    void setScene(std::shared_ptr<Renderable> scene);
    // Throws std::invalid_argument, changing nothing, unless both sides are in 1..16384.
    void setViewport(std::size_t width, std::size_t height);

    void setPerspective(float fovYDeg, float zNear, float zFar, float centerOffsetX = 0.0f,
                        float centerOffsetY = 0.0f);
    void setPerspectiveOffCenter(float left, float right, float bottom, float top, float zNear, float zFar,
                                 bool zBufferReversed);
    void setOrthographic(float width, float height, float zNear, float zFar);
    void setOrthographic(float height, float zNear, float zFar);
    void setProjection(Eigen::Matrix4f const& projection, float minDepth, float maxDepth, bool zBufferReversed);
    void setViewMatrix(Eigen::Matrix4f const& viewMatrix);
    void setCameraPose(Math::Point<float, 3> const& eye, Eigen::Vector3f const& direction, Eigen::Vector3f const& up);
    // The camera at `eye` looking at `target`.
    void setCameraPose(Math::Point<float, 3> const& eye, Math::Point<float, 3> const& target,
                       Eigen::Vector3f const& up);
    void setZNearAndFarViaBoundingBox(Math::NBoundingBox<float, 3> const& box);
    void setModelMatrix(Eigen::Matrix4f const& modelMatrix);

    Eigen::Matrix4f const& viewMatrix() const;
    Eigen::Matrix4f const& projectionMatrix() const;
    Eigen::Matrix4f const& viewProjectionMatrix() const;
    Eigen::Matrix4f modelViewProjectionMatrix() const;
    float ndcZNear() const;
    float ndcZFar() const;
    bool isOrthographic() const;
    bool isPerspective() const;
    Math::Point<float, 3> eye() const;
    Eigen::Vector3f rightDirection() const;
    Eigen::Vector3f upDirection() const;
    Eigen::Vector3f viewDirection() const;
    void getZRange(float& zNear, float& zFar) const;
    double aspectRatio() const;

    // Picking in the last frame, from the world positions the scene wrote per pixel. Pixels are
    // column x and row y of the viewport (y down); a pick searches the pixels within
    // `tolerance` of (x, y), the far bounds exclusive. A miss returns false.
    // The world position under the pixel, written even when nothing was drawn there.
    bool pickPoint(std::uint64_t x, std::uint64_t y, Math::Point<float, 3>& point);
    // The drawn position nearest to the eye.
    bool pickClosestPointWithTolerance(std::uint64_t x, std::uint64_t y, std::uint64_t tolerance,
                                       Math::Point<float, 3>& point);
    // The plane the drawn positions around the pixel form (points within `inlierDistance` of it
    // count), facing the eye, and where the view ray through the pixel meets it. `plane` may be
    // written when only the ray misses.
    bool pickPlane(std::uint64_t x, std::uint64_t y, std::uint64_t tolerance, Math::NPlane<float, 3>& plane,
                   Math::Point<float, 3>& point, double inlierDistance);
    // The nearest position and its distance to the distance-colorization mesh or plane,
    // signed when useSignedDistance() is set.
    bool pickPointWithDistanceToColorizationMesh(std::uint64_t x, std::uint64_t y, std::uint64_t tolerance,
                                                 Math::Point<float, 3>& point, float& distance);
    bool pickPointWithDistanceToColorizationPlane(std::uint64_t x, std::uint64_t y, std::uint64_t tolerance,
                                                  Math::Point<float, 3>& point, float& distance);
    // Every distinct drawn position, sorted by x, then y, then z.
    void getVisiblePoints(std::vector<Math::Point<float, 3>>& points);
    // Pixel x and y with the clip-space depth, and back; NDC through the view-projection matrix.
    Math::Point<float, 3> project(Math::Point<float, 3> const& point) const;
    Math::Point<float, 3> projectNDC(Math::Point<float, 3> const& point) const;
    Math::Point<float, 3> unProject(std::uint64_t x, std::uint64_t y, float depth) const;
    Math::Point<float, 3> unProjectNDC(Math::Point<float, 3> const& ndc) const;

    // Draws one frame into the output targets.
    void render();
    bool needsRedraw() const;
    void diagnose() const;
    Math::NBoundingBox<float, 3> boundingBox() const;
    // Brightness and contrast from the scene's colors between two quantiles.
    void autoAdjustBrightnessAndContrast(float lowerQuantile, float upperQuantile);

    // The last frame's output color (B, G, R, A) and the scene depth buffer.
    void getColorImage(Graphics::ColorImage& image);
    void getDepthImage(Graphics::DepthImage& image);
    // The same into caller memory: `rows` rows of `stride` bytes. Throws
    // std::invalid_argument when `destination` is smaller than that.
    void getColorImage(std::span<std::byte> destination, std::size_t stride, std::size_t rows);
    void getDepthImage(std::span<std::byte> destination, std::size_t stride, std::size_t rows);

    // Export of the last frame. The chunked readers walk the pixels in rows from a chunk
    // position that render() and resetPointChunkPosition() put back to the first pixel; a
    // pixel shows a point when its packed color is not all zero. Null outputs throw
    // std::invalid_argument; files that cannot be written throw std::runtime_error naming them.
    // Renders a frame and writes its color image as PNG.
    void writePngImage(std::filesystem::path const& path);
    // Renders a frame and writes the points it shows as a text file.
    void writePoints(std::filesystem::path const& path);
    // Every pixel, empty ones at FLT_MAX with alpha 0, or with `removeTransparent` those of alpha > 0.
    void getPoints(std::vector<VertexPosColor>& points, bool removeTransparent);
    // The next run of up to maxCount pixels, empty ones included, in one copy when the whole image
    // fits from the first pixel. Returns the number copied, 0 once the last row is done.
    std::size_t getNextPointChunk(VertexPosColor* points, std::size_t maxCount);
    // The next points only: three doubles each and the color as red | green << 8 | blue << 16, the
    // output color before eye-dome lighting (which shades the picture, not the points).
    std::size_t getNextPointChunk(double* xyz, int* colors, std::size_t maxCount);
    // The next points only, with the color that the world position target carries.
    std::size_t getNextPointChunkOld(VertexPosColor* points, std::size_t maxCount);
    // The next points only, with the output color before eye-dome lighting, written to a PLY file at
    // `path` (none for maxCount 0).
    std::size_t getNextPointChunkDebug(std::filesystem::path const& path, std::size_t maxCount);
    void resetPointChunkPosition();

    RenderMode renderMode() const { return mRenderMode; }
    void setRenderMode(RenderMode mode);
    bool meshClippingActive() const { return mMeshClippingActive; }
    void setMeshClippingActive(bool active);
    bool classVisibilityActive() const { return mClassVisibilityActive; }
    void setClassVisibilityActive(bool active);
    Math::Color tomographicColor() const { return mTomographicColor; }
    void setTomographicColor(Math::Color const& color);
    bool useCloudColorsInTomographicRenderModes() const { return mUseCloudColorsInTomographicRenderModes; }
    void setUseCloudColorsInTomographicRenderModes(bool useCloudColors);
    float intensityBlendFactor() const { return mIntensityBlendFactor; }
    void setIntensityBlendFactor(float factor);
    void setPlaneForDistanceColorization(Math::NPlane<float, 3> const& plane);
    bool hasMeshForDistanceColorization() const { return mColorizationMesh != nullptr; }
    void setMeshForDistanceColorization(std::shared_ptr<Math::TriangleMesh<float>> mesh);
    bool regionClippingActive() const { return mRegionClippingActive; }
    void setRegionClippingActive(bool active);
    bool hasClippingRegion() const { return mClippingRegion != nullptr; }
    void setClippingRegion(std::shared_ptr<Math::ClippingRegion<float>> region);
    ColorMap distanceColorMap() const { return mDistanceColorMap; }
    void setDistanceColorMap(ColorMap colorMap);
    ColorMap intensityColorMap() const { return mIntensityColorMap; }
    void setIntensityColorMap(ColorMap colorMap);
    Math::ClassificationInfo const& classificationInfo() const;
    void setClassificationInfo(Math::ClassificationInfo const& info);
    bool useSignedDistance() const { return mUseSignedDistance; }
    void setUseSignedDistance(bool useSignedDistance);
    float minDistance() const { return mMinDistance; }
    float maxDistance() const { return mMaxDistance; }
    void setDistanceColorMapRange(float min, float max);
    float minDistancePassFail() const { return mMinDistancePassFail; }
    float maxDistancePassFail() const { return mMaxDistancePassFail; }
    void setPassFailDistanceRange(float min, float max);
    float minDistanceWarn() const { return mMinDistanceWarn; }
    float maxDistanceWarn() const { return mMaxDistanceWarn; }
    void setWarnDistanceRange(float min, float max);
    std::uint16_t minIntensity() const { return mMinIntensity; }
    std::uint16_t maxIntensity() const { return mMaxIntensity; }
    void setIntensityColorMapRange(std::uint16_t min, std::uint16_t max);
    float brightness() const { return mPostProcess.brightness(); }
    void setBrightness(float brightness);
    float contrast() const { return mPostProcess.contrast(); }
    void setContrast(float contrast);
    float opacity() const { return mPostProcess.opacity(); }
    void setOpacity(float opacity);
    // Eye-dome lighting of the color image (off by default): each drawn pixel darkens by how far
    // its neighbours on a ring of `radius` pixels lie in front of it, more so with `strength`.
    // Background pixels, picking, depth readback and point export are unaffected. The strength
    // must be finite and not negative, the radius finite in (0, 64]; else std::invalid_argument.
    bool eyeDomeLightingEnabled() const { return mPostProcess.eyeDomeLighting(); }
    void setEyeDomeLighting(bool enabled);
    float eyeDomeLightingStrength() const { return mPostProcess.eyeDomeLightingStrength(); }
    void setEyeDomeLightingStrength(float strength);
    float eyeDomeLightingRadius() const { return mPostProcess.eyeDomeLightingRadius(); }
    void setEyeDomeLightingRadius(float pixels);
    void setEyeDomeLighting(EyeDomeLighting const& lighting);
    Math::Color backgroundColor() const { return mBackgroundColor; }
    void setBackgroundColor(Math::Color const& color);
    void setBackgroundColor(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a);
    bool autoAdjustZRangeEnabled() const { return mAutoAdjustZRange; }
    void setAutoAdjustZRange(bool enabled);
    // Colors by the distance to the plane through p0 facing p1, from 0 at p0 to 1 at p1.
    void setDistanceColorizationRange(Math::Point<float, 3> const& p0, Math::Point<float, 3> const& p1,
                                      ColorMap colorMap);

    // The two render passes: the scene is drawn into the first and post-processed into the second.
    // `render` fills only the output "color"; `pointOutputs` brings the output "worldPosition" and
    // "unshadedColor" up to the last frame first, as the point readbacks do.
    RenderPass const& scenePass() const { return mScenePass; }
    RenderPass const& outputPass() const { return mOutputPass; }
    RenderPass const& pointOutputs();

private:
    template <class Change>
    void changeView(Change&& change);
    template <class Change>
    void changeProjection(Change&& change, bool refitZRange = true);
    void updateZRangeIfNeeded();
    void adoptDepthConvention();
    void raiseRedrawFlag();
    template <class Notify>
    void notifyScene(Notify&& notify)
    {
        if (mScene)
            notify(*mScene);
    }
    void resizeTargets(unsigned int width, unsigned int height);
    // One post-process draw from the scene pass into `targetCount` output targets from `firstTarget` on.
    void postProcessInto(std::size_t firstTarget, std::size_t targetCount,
                         void (PostProcess::*draw)(ID3D11DeviceContext*));
    template <class Image>
    void readBack(Texture2d const& source, Texture2d const& staging, Image& image);
    void readBackRows(Texture2d const& source, Texture2d const& staging, std::span<std::byte> destination,
                      std::size_t stride, std::size_t rows);

    std::shared_ptr<Camera> mCamera;
    std::shared_ptr<Renderable> mScene;
    std::size_t mPointChunkColumn = 0;
    std::size_t mPointChunkRow = 0;
    Math::Color mBackgroundColor{255, 255, 255, 255};
    Eigen::Matrix4f mModelMatrix = Eigen::Matrix4f::Identity();
    ATL::CComPtr<ID3D11Device> mDevice;
    ATL::CComPtr<ID3D11DeviceContext> mDeviceContext;
    bool mDepthStatesReversed;
    DepthStencilState mDepthTestState;
    DepthStencilState mNoDepthState;
    BlendState mAlphaBlendState;
    BlendState mOpaqueBlendState;
    RasterizerState mRasterizerState;
    RenderPass mScenePass;
    RenderPass mOutputPass;
    // Whether the output point targets hold the last frame (they are drawn when first read).
    bool mPointOutputsCurrent = true;
    Texture2d mColorStaging;
    Texture2d mDepthStaging;
    Texture2d mPointChunkStaging;
    Texture2d mPickStaging;
    PostProcess mPostProcess;
    bool mAutoAdjustZRange = false;

    RenderMode mRenderMode = RenderMode::Default;
    ColorMap mDistanceColorMap = ColorMap::Turbo;
    std::shared_ptr<Math::TriangleMesh<float>> mColorizationMesh;
    std::shared_ptr<Math::ClippingRegion<float>> mClippingRegion;
    bool mRegionClippingActive = false;
    std::shared_ptr<ClassificationColorTexture> mClassificationColorTexture;
    Math::NPlane<float, 3> mColorizationPlane{Eigen::Vector3f(0.0f, 1.0f, 0.0f), 0.0f};
    float mMinDistance = 0.0f;
    float mMaxDistance = 1.0f;
    float mMinDistancePassFail = -0.5f;
    float mMaxDistancePassFail = 0.5f;
    float mMinDistanceWarn = -0.25f;
    float mMaxDistanceWarn = 0.25f;
    bool mUseSignedDistance = true;
    Math::Color mTomographicColor = Math::Color::black(255);
    bool mUseCloudColorsInTomographicRenderModes = false;
    bool mMeshClippingActive = false;
    bool mClassVisibilityActive = false;
    float mIntensityBlendFactor = 0.5f;
    std::uint16_t mMinIntensity = 0;
    std::uint16_t mMaxIntensity = 65535;
    ColorMap mIntensityColorMap = ColorMap::Gray;
};

} // namespace Render
