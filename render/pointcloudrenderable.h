#pragma once

#include "core/cacheentrysizecount.h"
#include "core/groupedlrucache.h"
#include "core/lrucache.h"
#include "core/sharedresources.h"
#include "math/clippingregion.h"
#include "math/convexpolytope.h"
#include "math/frustum.h"
#include "math/halfspace.h"
#include "math/nplane.h"
#include "math/vertexcontainer.h"
#include "octree/location.h"
#include "octree/octree.h"
#include "render/brokennodes.h"
#include "render/export.h"
#include "render/nodepriority.h"
#include "render/nodevaluekey.h"
#include "render/renderable.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ratio>
#include <shared_mutex>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace Core {
class BackgroundThread;
}

namespace Math {
template <class T>
class TriangleMeshShell;
}

namespace Octree {
class OctreeNodeCache;
}

namespace Render {

class IFilter;
class LoDPointCloud;
class NodePrioritizer;
class PointCloudQuery;

// Scene node of one octree point cloud. A loader thread walks the octree from the root in priority
// order and offers nodes to the point budget shared by all clouds of the renderer; the render thread
// draws the newest set of loaded nodes that the loader published.
class MORVID_RENDER_API PointCloudRenderable : public Renderable,
                                               public std::enable_shared_from_this<PointCloudRenderable> {
    struct Private {};

public:
    // 100-nanosecond ticks.
    using Duration = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
    using VertexContainerCache = Core::LruCache<Octree::OctreeNodeId, VertexContainer>;
    // Per-point mesh distances and clip values (255 passes, 0 clipped) of the nodes of one data set.
    using MeshDistanceCache = Core::GroupedLruCache<NodeValueKey, std::vector<float>, int, NodeValueKeyHash>;
    using ClippingCache = Core::GroupedLruCache<NodeValueKey, std::vector<std::uint8_t>, int, NodeValueKeyHash>;
    // The most half-spaces that a clipping volume may have.
    static constexpr std::size_t kMaxClippingPlanes = 8;
    // The largest point budget: the points of one cloud fill one GPU buffer, which holds at most 2 GiB
    // of 28-byte vertices on any Direct3D 11 device.
    static constexpr std::size_t kMaxPointBudget = 76'695'844;

    // Throw std::invalid_argument for a point budget above kMaxPointBudget.
    static std::shared_ptr<PointCloudRenderable> create(std::shared_ptr<Octree::Location> location,
                                                        std::string const& name, std::size_t pointBudget,
                                                        double unitScale);
    static std::shared_ptr<PointCloudRenderable> create(std::shared_ptr<Octree::Octree> octree,
                                                        std::string const& name, std::size_t pointBudget);

    PointCloudRenderable(Private, std::shared_ptr<Octree::Location> location, std::string const& name,
                         std::size_t pointBudget, double unitScale);
    PointCloudRenderable(Private, std::shared_ptr<Octree::Octree> octree, std::string const& name,
                         std::size_t pointBudget);
    ~PointCloudRenderable() override;

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
    void brightnessAndContrast(float fraction, float scale, float& brightness, float& contrast) override;
    // The intensities at two quantiles of the coarse levels' points, as a range for the intensity
    // color map; nothing when the data set has no intensities or they do not spread.
    std::optional<std::pair<std::uint16_t, std::uint16_t>> intensityRange(double lowerQuantile = 0.01,
                                                                          double upperQuantile = 0.99);
    // The world positions of the coarse levels' points, a sample of the whole cloud.
    std::vector<Eigen::Vector3f> coarsePoints();
    Math::NBoundingBox<float, 3> boundingBox() const override;

    void setMatrix(Eigen::Matrix4f const& matrix) override;
    void invalidateWorldMatrix() override;
    void setVisible(bool visible) override;
    void setSelected(bool selected) override;
    // Writes the distance mesh and its model-frame copy as text files into the working folder.
    void diagnose() const override;

    // Cuts the cloud by up to kMaxClippingPlanes half-spaces in world coordinates. More throw
    // std::runtime_error and leave the volume as it was.
    void setClippingVolume(std::vector<Math::HalfSpace<float, 3>> const& volume);
    std::vector<Math::HalfSpace<float, 3>> const& clippingVolume() const { return mClippingVolume; }
    // The clipping volume in the model frame.
    Math::ConvexPolytope<float, 3> const& clippingPolytope() const { return mClippingPolytope; }
    // Recompute the distances (clip values) of the loaded nodes at once, instead of reloading them.
    void updateMeshDistancesInVisibleOctreeNodes();
    void updateClippingInVisibleOctreeNodes();

    // Loader control. The callback runs on the loader thread after each publication. The loader runs
    // while the cloud is initialised: requested before init, it starts at init, and a cloud taken out
    // of a scene and initialised again goes on loading, until stopAsyncReload.
    void startAsyncReload(std::function<void()> callback, std::size_t maxLevel);
    void startAsyncReload(void (*callback)(), std::size_t maxLevel);
    void stopAsyncReload();
    bool isAsyncReloadActive() const;
    // True when no loader runs, its last reload succeeded and every node could be read; with `rethrow`,
    // the failure is thrown (a node that cannot be read as "Error loading point data: " and the reason,
    // which names its file).
    bool isAsyncReloadHealthy(bool rethrow) const;
    // True while the loader thread has a reload scheduled or running, including the wait before retrying
    // a failed reload, but not the wait before retrying nodes that could not be read: the rest of the
    // cloud is loaded then.
    bool isLoading() const;
    void reloadPoints(std::function<void()> const& callback, std::size_t maxLevel, std::stop_token stopToken);
    void reloadPoints(void (*callback)(), std::size_t maxLevel, std::stop_token stopToken);
    // Drops this cloud's loaded nodes, publishes the empty set and loads again.
    void clearVisibleOctreeNodes();
    Duration updateInterval() const;
    // Throws std::invalid_argument "updateInterval must be larger than 0!" for a value <= 0.
    void setUpdateInterval(Duration interval);
    bool restartLoadingAfterCameraChange() const { return mRestartLoadingAfterCameraChange; }
    void setRestartLoadingAfterCameraChange(bool restart) { mRestartLoadingAfterCameraChange = restart; }

    float pointSize() const { return mPointSize; }
    void setPointSize(float pointSize);
    float maxPointSize() const { return mMaxPointSize; }
    void setMaxPointSize(float maxPointSize);
    float defaultPointSize() const;
    float tomographicContrast() const { return mTomographicContrast; }
    void setTomographicContrast(float contrast);
    Math::Color uniformColor() const { return mUniformColor; }
    void setUniformColor(Math::Color const& color);
    float octreeNodePriorityThreshold() const { return mOctreeNodePriorityThreshold; }
    void setOctreeNodePriorityThreshold(float threshold);
    std::size_t minLevelToKeep() const { return mMinLevelToKeep; }
    void setMinLevelToKeep(std::size_t level);
    std::size_t maxLevelToKeep() const { return mMaxLevelToKeep; }
    void setMaxLevelToKeep(std::size_t level);
    double unitScale() const;
    // Decodes the nodes again at the new scale, through the caches of that scale, with an octree of
    // its own: clouds sharing the old octree keep decoding at their scale.
    void setUnitScale(double unitScale);

    std::shared_ptr<Octree::Octree> const& octree() const { return mOctree; }
    std::size_t pointBudget() const { return mPointBudget; }
    Math::NBoundingBox<float, 3> boundingCube() const;
    Math::NBoundingBox<float, 3> boundingCube(Octree::OctreeNodeId id) const;
    Math::Point<double, 3> referencePosition() const;
    float spacing(std::size_t level) const;
    bool hasNormals() const;
    Math::Frustum<float> frustumModelCs() const;
    // Points and nodes of the buffer drawn last; 0 before init.
    std::size_t numVisiblePoints() const;
    std::size_t numVisibleOctreeNodes() const;
    // Points and nodes of this cloud currently held in the shared budget; 0 before init.
    std::size_t loadedPointCount() const;
    std::size_t loadedNodeCount() const;
    std::vector<Octree::OctreeNodeId> loadedNodeIds() const;
    // Decodes the nodes again with the attributes of `location`, through caches of their own; other
    // clouds of the data set, and those sharing this cloud's octree, keep their attributes.
    void addExternalAttributeLocation(std::shared_ptr<Octree::Location> location);
    NodePriority boundingBoxPriority(unsigned level, Math::NBoundingBox<float, 3> const& cube) const;

    // A query over this cloud's octree and its shared node point cache, in the model frame (identity
    // world matrix), with the time limit `duration` from now. `filter` is not owned; null keeps every point.
    std::shared_ptr<PointCloudQuery> createPointCloudQuery(IFilter const* filter, std::size_t maxLevel,
                                                           float minSpacing, std::chrono::nanoseconds duration) const;
    // Positions (world frame) and normals of the points down to the level whose spacing reaches `spacing`,
    // at most `maxPoints` positions in total; without `append` both vectors are cleared first. Normals the
    // cloud does not have are (0, 0, 0). Returns false when `stopToken` ended the walk early; the points
    // collected until then are kept, transformed like the others.
    bool getAllPoints(Octree::OctreeNodeCache& cache, std::vector<Math::Point<float, 3>>& positions,
                      std::vector<Eigen::Vector3f>& normals, std::size_t maxPoints, float spacing, bool append,
                      std::stop_token stopToken) const;
    // The same, for the points inside a closed mesh given in world coordinates.
    bool getAllPointsInsideShell(Octree::OctreeNodeCache& cache, std::vector<Math::Point<float, 3>>& positions,
                                 std::vector<Eigen::Vector3f>& normals, Math::TriangleMeshShell<float> shell,
                                 std::size_t maxPoints, float spacing, bool append, std::stop_token stopToken) const;

    std::shared_ptr<VertexContainerCache> const& vertexContainerCache() const { return mVertexContainerCache; }
    static std::shared_ptr<VertexContainerCache> createOrGetSharedVertexContainerCache(
        std::shared_ptr<Octree::Location> const& location, double unitScale, std::uint64_t capacity,
        std::size_t reserveEntries);
    std::shared_ptr<MeshDistanceCache> const& meshDistanceCache() const { return mMeshDistanceCache; }
    static std::shared_ptr<MeshDistanceCache> createOrGetSharedMeshDistanceCache(
        std::shared_ptr<Octree::Location> const& location, double unitScale, std::uint64_t capacity);
    std::shared_ptr<ClippingCache> const& clippingCache() const { return mClippingCache; }
    static std::shared_ptr<ClippingCache> createOrGetSharedClippingCache(
        std::shared_ptr<Octree::Location> const& location, double unitScale, std::uint64_t capacity);
    // For library shutdown: empties the registries of shared vertex, mesh-distance and point query caches
    // and the table of default colors. Caches in use stay alive with the clouds and queries holding them.
    static void destroySharedResources();

private:
    // What decoding a node depends on: the octree and the caches keyed by its configuration. Replaced
    // whole, never changed, so that a reload goes on with the one it took while the host moves on.
    struct NodeSource {
        std::shared_ptr<Octree::Octree> octree;
        std::shared_ptr<VertexContainerCache> vertices;
        std::shared_ptr<MeshDistanceCache> distances;
        std::shared_ptr<ClippingCache> clipValues;
    };

    // What the loader needs of the view, copied at the start of each reload.
    struct ViewState {
        Eigen::Matrix4f world = Eigen::Matrix4f::Identity();
        Eigen::Matrix4f projection = Eigen::Matrix4f::Identity();
        Math::Frustum<float> priorityFrustum;
        Math::Point<float, 3> eyeModel = Math::Point<float, 3>::Zero();
        Math::Viewport<float> viewport;
        float fieldOfViewY = 1.0f;
        float modelScale = 1.0f;
        float threshold = 15.0f;
        std::size_t minLevelToKeep = 0;
        std::size_t maxLevelToKeep = 23;
        RenderMode renderMode = RenderMode::Default;
        bool meshClippingActive = false;
        bool regionClippingActive = false;
        Math::ConvexPolytope<float, 3> clippingPolytope;
        Math::NPlane<float, 3> distancePlane;
        float distanceRangeMin = 0.0f;
        float distanceRangeMax = 1.0f;
        bool useSignedDistance = true;
    };

    NodePriority priorityFor(ViewState const& view, unsigned level, Math::NBoundingBox<float, 3> const& cube) const;
    // The priority a node is offered and kept with: priorityFor, except that the root, loaded wherever
    // the camera looks unless clipping hides it, keeps NodePriority::keep().
    NodePriority loadingPriority(ViewState const& view, unsigned level, Math::NBoundingBox<float, 3> const& cube) const;
    // Whether region clipping, plane-distance coloring or mesh clipping hides every point of the node.
    bool isClippedAway(ViewState const& view, Math::NBoundingBox<float, 3> const& cube) const;
    bool isOutsideClippingRegion(Math::NBoundingBox<float, 3> const& worldBox) const;
    bool needsPlaneDistanceColorization(ViewState const& view, Math::NBoundingBox<float, 3> const& worldBox) const;
    bool needsMeshDistanceColorization(ViewState const& view, Math::NBoundingBox<float, 3> const& modelBox) const;
    // Loader steps after decoding: the node's mesh distances and clip values, from the shared caches
    // or computed. False when stopped.
    bool updateMeshDistances(NodeSource const& source, Octree::OctreeNodeId id, VertexContainer& vertices,
                             std::stop_token const& stopToken);
    bool updateRegionClipping(NodeSource const& source, Octree::OctreeNodeId id, VertexContainer& vertices,
                              std::stop_token const& stopToken);
    void updateMeshForDistanceColorizationModelCs();
    // The distance mesh moved into the model frame of a cloud at `world`, with its tree; null without a
    // mesh. Throws std::invalid_argument when `world` cannot be inverted.
    std::shared_ptr<Math::TriangleMesh<float> const> distanceMeshInModelCs(Eigen::Matrix4f const& world) const;
    void updateClippingRegion();
    // Brings the clipping volume into the model frame and into the shader constants.
    void updateClippingPolytope();
    // The model-frame mesh and the key of the distances computed from it.
    struct ModelCsMesh {
        std::shared_ptr<Math::TriangleMesh<float> const> mesh;
        void const* source = nullptr;
        Eigen::Matrix4f world = Eigen::Matrix4f::Identity();

        NodeValueKey keyOf(Octree::OctreeNodeId node) const { return {node, source, world}; }
    };
    std::shared_ptr<Math::TriangleMesh<float> const> meshForDistanceColorizationModelCs() const;
    ModelCsMesh modelCsMesh() const;
    std::shared_ptr<Math::ClippingRegion<float> const> currentClippingRegion() const;
    ViewState viewState() const;
    void updateViewState();
    // Writes every setting held here into the shader constants of a new LoDPointCloud.
    void writeSettings();
    void writeMatrices();
    void triggerReload();
    // Starts the requested loader once the cloud is initialised.
    void startLoader();
    void restartLoader();
    void reloadJob(std::function<void()> const& callback, std::size_t maxLevel, std::stop_token stopToken);
    // False when stopped or when the node cannot be read; `error` then tells why.
    bool getVertexData(NodeSource const& source, Octree::OctreeNodeId id, VertexContainer& out,
                       std::stop_token stopToken, std::string& error);
    // Offers one node to the shared budget; a node that cannot be read is recorded as broken.
    bool offerNode(NodePrioritizer& prioritizer, NodeSource const& source, Octree::OctreeNodeId nodeId,
                   NodePriority priority, bool& accepted, std::stop_token const& stopToken);
    std::shared_ptr<NodeSource const> nodeSource() const;
    // Makes `octree` the cloud's octree, with the caches of its configuration, and loads again.
    void replaceOctree(std::shared_ptr<Octree::Octree> octree);
    // After a reload: waits until the next broken node is due again. False when nothing is due.
    bool waitForBrokenNodeRetry(std::stop_token const& stopToken);
    // The vertices of the coarse levels, level by level, until a node cannot be read.
    void visitCoarseVertices(std::function<void(VertexContainer::Vertex const&)> const& visit);
    void publishAndNotify(std::function<void()> const& callback);
    // Recomputes `update` on every loaded node of this cloud that is not about to leave, in place,
    // then publishes the result and restarts loading.
    void updateVisibleOctreeNodes(bool (PointCloudRenderable::*update)(NodeSource const&, Octree::OctreeNodeId,
                                                                        VertexContainer&, std::stop_token const&));
    bool isInitialized() const { return mLodPointCloud != nullptr; }
    void setReloadError(std::exception_ptr error);

    // Ticks; set by the host, read by the loader.
    std::atomic<Duration::rep> mUpdateInterval;
    bool mRestartLoadingAfterCameraChange = true;
    std::shared_ptr<Octree::Octree> mOctree;
    struct LoaderRequest {
        std::function<void()> callback;
        std::size_t maxLevel = 0;
    };
    // From startAsyncReload to stopAsyncReload; host thread only.
    std::optional<LoaderRequest> mLoaderRequest;
    std::unique_ptr<Core::BackgroundThread> mLoaderThread;
    std::shared_ptr<LoDPointCloud> mLodPointCloud;
    std::shared_ptr<Camera> mCamera;
    std::shared_ptr<VertexContainerCache> mVertexContainerCache;
    std::shared_ptr<MeshDistanceCache> mMeshDistanceCache;
    std::shared_ptr<ClippingCache> mClippingCache;
    // The octree and caches above as the loader reads them.
    mutable std::mutex mNodeSourceMutex;
    std::shared_ptr<NodeSource const> mNodeSource;
    std::vector<Math::HalfSpace<float, 3>> mClippingVolume;
    Math::ConvexPolytope<float, 3> mClippingPolytope;
    std::size_t mPointBudget;
    Math::Frustum<float> mFrustumModelCs;
    float mOctreeNodePriorityThreshold;
    float mPointSizeFactor;
    float mFrustumScale;
    float mMaxPointSize;
    float mPointSize;
    float mTomographicContrast;
    Math::Color mTomographicColor;
    bool mUseCloudColorsInTomographicRenderModes = false;
    float mIntensityBlendFactor;
    std::size_t mMinLevelToKeep = 0;
    std::size_t mMaxLevelToKeep;
    Math::Color mUniformColor;
    bool mMeshClippingActive = false;
    bool mRegionClippingActive = false;
    bool mClassVisibilityActive = false;
    std::shared_ptr<ClassificationColorTexture> mClassificationColors;
    RenderMode mRenderMode = RenderMode::Default;
    // The distance mesh as the host gave it, in world coordinates; host thread only.
    std::shared_ptr<Math::TriangleMesh<float>> mMeshForDistanceColorization;
    // Its copy in the model frame with its tree, read by the loader. Replaced whole under the lock,
    // never changed in place, so a reader keeps computing with the copy it took.
    mutable std::shared_mutex mMeshLock;
    ModelCsMesh mMeshForDistanceColorizationModelCs;
    // Made by setMatrix before the matrix changes, and taken by the rebuild that the change runs.
    std::optional<std::shared_ptr<Math::TriangleMesh<float> const>> mPreparedModelCsMesh;
    mutable std::shared_mutex mClippingRegionLock;
    std::shared_ptr<Math::ClippingRegion<float> const> mClippingRegion;
    // Visibility as the loader thread reads it.
    std::atomic<bool> mShown{true};
    // Written by the loader thread, read by the host's thread.
    mutable std::mutex mReloadErrorMutex;
    std::exception_ptr mReloadError;
    BrokenNodes mBrokenNodes;
    // Set by the loader while it only waits to retry broken nodes.
    std::atomic<bool> mAwaitingNodeRetry{false};
    // Guards the copy of the view that the loader reads.
    mutable std::mutex mViewStateMutex;
    ViewState mViewState;
    // The renderer's default: the plane y = 0.
    Math::NPlane<float, 3> mDistancePlane{Math::Point<float, 3>(0.0f, 1.0f, 0.0f), 0.0f};
    ColorMap mDistanceColorMap;
    float mDistanceRangeMin = 0.0f;
    float mDistanceRangeMax = 1.0f;
    float mPassFailMin = -0.5f;
    float mPassFailMax = 0.5f;
    float mWarnMin = -0.25f;
    float mWarnMax = 0.25f;
    bool mUseSignedDistance = true;
    ColorMap mIntensityColorMap;
    std::uint16_t mIntensityRangeMin = 0;
    std::uint16_t mIntensityRangeMax = 65535;
};

} // namespace Render
