#pragma once

#include "core/jobstate.h"
#include "graphics/colorimage.h"
#include "graphics/depthimage.h"
#include "graphics/panoramaloader.h"
#include "render/cbconstant.h"
#include "render/export.h"
#include "render/renderable.h"

#include <Eigen/Core>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace Core {
class BackgroundThread;
}

namespace Render {

// Scene node of one spherical panorama with per-pixel depth. A loading thread reads the tiles of the
// panorama's levels, coarse levels first and tiles in the viewing direction first; the render thread
// copies each loaded tile into its level's texture array and draws the panorama as a full-screen
// quad whose pixels write color, world position and depth, so that panoramas mix with the rest of
// the scene in the depth buffer and can be picked.
class MORVID_RENDER_API PanoRenderable : public Renderable, public std::enable_shared_from_this<PanoRenderable> {
    struct Private {};

public:
    using Callback = std::function<void()>;

    static constexpr char const* kShaderName = "shaders/pano.hlsl";
    // Levels of each kind that the shader samples, and tiles per level that its constants can hold.
    static constexpr std::size_t kLevelCount = 4;
    static constexpr std::size_t kMaxTilesPerLevel = cbConstant::kMaxTilesPerLevel;
    // Side of the placeholder textures of levels the panorama does not have.
    static constexpr unsigned int kPlaceholderSide = 8;

    // Throws std::invalid_argument when the loader's panorama has more tiles per level or more levels
    // than the shader can draw; a null loader makes a node that draws nothing and fails to load.
    static std::shared_ptr<PanoRenderable> create(std::shared_ptr<Graphics::PanoramaLoader> loader,
                                                  std::string const& name);

    PanoRenderable(Private, std::shared_ptr<Graphics::PanoramaLoader> loader, std::string const& name);
    ~PanoRenderable() override;
    PanoRenderable(PanoRenderable const&) = delete;
    PanoRenderable& operator=(PanoRenderable const&) = delete;

    void init(std::size_t rendererId, std::shared_ptr<Camera> camera, ATL::CComPtr<ID3D11Device> device,
              ATL::CComPtr<ID3D11DeviceContext> context) override;
    // Stops and joins the loading thread, then releases the GPU resources. A loading asked for with
    // startAsyncPanoramaTilesLoading runs again at the next init, into its new textures.
    void deinit() override;

    void onUpdateProjectionMatrix(std::shared_ptr<Camera> const& camera) override;
    void onUpdateViewMatrix(std::shared_ptr<Camera> const& camera) override;
    void onUpdateZRange(std::shared_ptr<Camera> const& camera) override;
    void onUpdateViewport(std::shared_ptr<Camera> const& camera) override;

    // Uploads the tiles loaded since the last frame, then draws.
    void render() override;
    Math::NBoundingBox<float, 3> boundingBox() const override;
    void setMatrix(Eigen::Matrix4f const& matrix) override;
    void invalidateWorldMatrix() override;

    // Loads every tile on a thread of the node's own, calling `callback` there after each tile. A
    // loading run in progress is stopped first.
    void startAsyncPanoramaTilesLoading(Callback callback = {});
    // Stops and joins the loading thread; the next init does not load again.
    void stopAsyncPanoramaTilesLoading();
    // Loads every tile on the calling thread.
    Core::JobState loadPanoramaTiles();
    // The same, ending early (after the tile in progress) once `stop` is requested. Both throw
    // std::logic_error while another loading of this node runs, which would race it on the loader.
    Core::JobState loadPanoramaTiles(std::stop_token stop, Callback const& callback);

    bool isLoadingComplete() const { return mJobState == Core::JobState::Finished; }
    // Polls every 100 ms until no loading is running or scheduled; returns how the loading ended
    // (Idle when none was started), so that a stopped or failed loading ends the wait too.
    Core::JobState waitForLoadingComplete() const;
    Core::JobState jobState() const { return mJobState; }
    // Why the last loading failed; empty when it did not.
    std::string loadingError() const;

    std::shared_ptr<Graphics::PanoramaLoader> const& loader() const { return mLoader; }
    // The shader constants as the next frame will use them.
    cbConstant const& constants() const { return mConstants; }

private:
    struct GpuResources;
    template <class Image>
    using PendingTiles = std::vector<std::pair<Graphics::PanoramaLoader::TileId, Image>>;

    void updateCameraConstants();
    void updateModelConstants();
    void updateObjectViewDirection();
    Eigen::Vector3f objectViewDirection() const;
    void updatePanoramaTextures();
    void draw();
    void endLoading(Core::JobState state, std::string error);

    std::shared_ptr<Graphics::PanoramaLoader> const mLoader;
    std::shared_ptr<Camera> mCamera;
    std::unique_ptr<GpuResources> mGpu;
    cbConstant mConstants;
    bool mConstantsDirty = true;

    mutable std::mutex mPendingTilesMutex;
    PendingTiles<Graphics::ColorImage> mPendingColorTiles;
    PendingTiles<Graphics::DepthImage> mPendingDepthTiles;
    std::string mLoadingError;
    std::atomic<Core::JobState> mJobState = Core::JobState::Idle;
    std::atomic<bool> mLoadingInProgress = false;

    mutable std::mutex mViewDirectionMutex;
    Eigen::Vector3f mObjectViewDirection{0.0f, 0.0f, -1.0f};
    Eigen::Vector3f mWorldViewDirection{0.0f, 0.0f, -1.0f};

    std::mutex mCallbackMutex;
    Callback mCallback;
    bool mAsyncLoadingRequested = false;
    // Last member: the thread is stopped before anything it uses goes away.
    std::unique_ptr<Core::BackgroundThread> mLoadingThread;
};

} // namespace Render
