#include "render/pointcloudrenderable.h"

#include "core/backgroundthread.h"
#include "core/hashing.h"
#include "core/log.h"
#include "math/trianglemesh.h"
#include "octree/nodevertexloader.h"
#include "octree/potreehierarchy.h"
#include "render/buffersize.h"
#include "render/camera.h"
#include "render/lodpointcloud.h"
#include "render/pointcloudquery.h"

#include <Eigen/LU>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <queue>
#include <shared_mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>

namespace Render {

namespace {

constexpr PointCloudRenderable::Duration kDefaultUpdateInterval{5'000'000};
constexpr float kDefaultPriorityThreshold = 15.0f;
constexpr float kDefaultPointSizeFactor = 5.1f;
constexpr float kDefaultFrustumScale = 2.0f;
constexpr float kDefaultMaxPointSize = 5.0f;
constexpr float kDefaultTomographicContrast = 0.01f;
constexpr float kDefaultIntensityBlendFactor = 0.5f;
constexpr std::size_t kDefaultMaxLevelToKeep = 23;
constexpr ColorMap kDefaultDistanceColorMap = static_cast<ColorMap>(0);
constexpr ColorMap kDefaultIntensityColorMap = static_cast<ColorMap>(5);
constexpr std::uint64_t kVertexCacheCapacity = 30'000'000;
constexpr std::size_t kVertexCacheReserve = 4000;
constexpr std::uint64_t kMeshDistanceCacheCapacity = 3000;
constexpr std::uint64_t kClippingCacheCapacity = 3000;
// Distances and clip values are stored under one group; a new mesh or region clears the caches.
constexpr int kCacheGroup = 0;
constexpr std::uint8_t kClipPassed = 255;
constexpr std::uint8_t kClipHidden = 0;
constexpr char const* kDiagnoseLabel = "diagnose";
constexpr char const* kDiagnoseModelCsLabel = "diagnoseModelCS";
constexpr float kMaxIntensity = 65535.0f;
constexpr std::chrono::seconds kRetryDelay{2};
constexpr std::chrono::milliseconds kStopPollInterval{20};
// Render modes 1 and 2: tomographic.
constexpr std::int32_t kFirstTomographicMode = 1;
constexpr std::int32_t kLastTomographicMode = 2;
// brightnessAndContrast and intensityRange look at the coarse levels only.
constexpr unsigned kHistogramMaxLevel = 4;
constexpr std::size_t kHistogramBins = 256;
// Below this spread of gray values (one bin) there is no contrast to stretch.
constexpr float kMinGraySpread = 1.0f / 255.0f;
// Default colors: HSLuv hue at this saturation and lightness.
constexpr double kDefaultColorSaturation = 1.0;
constexpr double kDefaultColorLightness = 0.6;

// The first bin at which the running count reaches `quantile` of all counts (0 when empty).
std::size_t histogramQuantile(std::vector<std::uint64_t> const& histogram, double quantile)
{
    std::uint64_t total = 0;
    for (std::uint64_t const count : histogram)
        total += count;
    if (total == 0)
        return 0;
    double const wanted = quantile * static_cast<double>(total);
    std::uint64_t cumulative = 0;
    for (std::size_t bin = 0; bin < histogram.size(); ++bin) {
        cumulative += histogram[bin];
        if (static_cast<double>(cumulative) >= wanted)
            return bin;
    }
    return histogram.size() - 1;
}

static_assert(PointCloudRenderable::kMaxPointBudget == kMaxBufferBytes / sizeof(VertexContainer::Vertex));

// What cached node values depend on: the data set, the unit scale and the external attribute sources.
struct NodeCacheKey {
    Octree::CacheIdentifier identifier;
    std::vector<std::string> externalAttributes;

    bool operator==(NodeCacheKey const& other) const = default;
};

struct NodeCacheKeyHash {
    std::size_t operator()(NodeCacheKey const& key) const
    {
        std::size_t seed = 0;
        Core::hashCombine(seed, Octree::LocationPtrHash{}(key.identifier.location));
        // 0.0 and -0.0 must hash alike.
        double const unitScale = key.identifier.unitScale;
        Core::hashCombine(seed, std::hash<double>{}(unitScale == 0.0 ? 0.0 : unitScale));
        for (std::string const& attributes : key.externalAttributes)
            Core::hashCombine(seed, std::hash<std::string>{}(attributes));
        return seed;
    }
};

NodeCacheKey cacheKeyOf(Octree::Octree const& octree)
{
    NodeCacheKey key{{octree.location(), octree.unitScale()}, {}};
    for (auto const& hierarchy : octree.externalAttributeHierarchies())
        key.externalAttributes.push_back(hierarchy->location().identity());
    return key;
}

using VertexCacheRegistry =
    Core::SharedResources<NodeCacheKey, PointCloudRenderable::VertexContainerCache, NodeCacheKeyHash>;

VertexCacheRegistry& sharedVertexContainerCaches()
{
    static VertexCacheRegistry registry;
    return registry;
}

using MeshDistanceCacheRegistry =
    Core::SharedResources<NodeCacheKey, PointCloudRenderable::MeshDistanceCache, NodeCacheKeyHash>;
using ClippingCacheRegistry = Core::SharedResources<NodeCacheKey, PointCloudRenderable::ClippingCache, NodeCacheKeyHash>;

MeshDistanceCacheRegistry& sharedMeshDistanceCaches()
{
    static MeshDistanceCacheRegistry registry;
    return registry;
}

ClippingCacheRegistry& sharedClippingCaches()
{
    static ClippingCacheRegistry registry;
    return registry;
}

// Whether some point within `radius` of a point at `signedDistance` has a distance in [min, max]. The
// shader compares |d| when distances are unsigned, which folds the interval at 0.
bool reachesRange(float signedDistance, float radius, float min, float max, bool useSignedDistance)
{
    if (useSignedDistance)
        return signedDistance + radius >= min && max >= signedDistance - radius;
    float const distance = std::abs(signedDistance);
    return distance + radius >= min && max >= std::max(0.0f, distance - radius);
}

// Counts the diagnose() calls of the process, so that every dump gets files of its own.
std::atomic<std::size_t> diagnoseCounter{0};

// Every data set gets its own color: hues are handed out by halving the intervals left. Keyed by the
// location's identity rather than the location object, which would keep the data set's files open for
// the life of the process.
class DefaultColors {
public:
    Math::Color colorOf(Octree::Location const& location)
    {
        std::string const identity = location.identity();
        std::lock_guard lock(mMutex);
        if (auto const found = mColors.find(identity); found != mColors.end())
            return found->second;
        double hue = 0.0;
        if (mHueIntervals.empty()) {
            mHueIntervals.push_back({0.0, 360.0});
        } else {
            auto const [low, high] = mHueIntervals.front();
            mHueIntervals.pop_front();
            hue = (low + high) * 0.5;
            mHueIntervals.push_back({low, hue});
            mHueIntervals.push_back({hue, high});
        }
        Math::Color const color = Math::Color::fromHslUv(hue, kDefaultColorSaturation, kDefaultColorLightness, 1.0);
        mColors.emplace(identity, color);
        return color;
    }

    void clear()
    {
        std::lock_guard lock(mMutex);
        mColors.clear();
        mHueIntervals.clear();
    }

private:
    std::mutex mMutex;
    std::unordered_map<std::string, Math::Color> mColors;
    std::deque<std::pair<double, double>> mHueIntervals;
};

DefaultColors& defaultColors()
{
    static DefaultColors colors;
    return colors;
}

ShaderFloat4 toShaderColor(Math::Color const& color)
{
    return {color.r() / 255.0f, color.g() / 255.0f, color.b() / 255.0f, color.a() / 255.0f};
}

float largestEdge(Math::NBoundingBox<float, 3> const& box)
{
    return box.isEmpty() ? 0.0f : (box.max() - box.min()).maxCoeff();
}

// Sleeps up to `duration`, returning early once a stop is requested.
void sleepUnlessStopped(std::chrono::steady_clock::duration duration, std::stop_token const& stopToken)
{
    auto const deadline = std::chrono::steady_clock::now() + duration;
    while (!stopToken.stop_requested() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kStopPollInterval);
}

} // namespace

std::shared_ptr<PointCloudRenderable::VertexContainerCache> PointCloudRenderable::createOrGetSharedVertexContainerCache(
    std::shared_ptr<Octree::Location> const& location, double unitScale, std::uint64_t capacity,
    std::size_t reserveEntries)
{
    return sharedVertexContainerCaches().createOrGet(NodeCacheKey{{location, unitScale}, {}}, capacity,
                                                     reserveEntries);
}

std::shared_ptr<PointCloudRenderable::MeshDistanceCache> PointCloudRenderable::createOrGetSharedMeshDistanceCache(
    std::shared_ptr<Octree::Location> const& location, double unitScale, std::uint64_t capacity)
{
    return sharedMeshDistanceCaches().createOrGet(NodeCacheKey{{location, unitScale}, {}}, capacity);
}

std::shared_ptr<PointCloudRenderable::ClippingCache> PointCloudRenderable::createOrGetSharedClippingCache(
    std::shared_ptr<Octree::Location> const& location, double unitScale, std::uint64_t capacity)
{
    return sharedClippingCaches().createOrGet(NodeCacheKey{{location, unitScale}, {}}, capacity);
}

void PointCloudRenderable::destroySharedResources()
{
    sharedVertexContainerCaches().clear();
    sharedMeshDistanceCaches().clear();
    PointCloudQuery::clearSharedCaches();
    defaultColors().clear();
}

std::shared_ptr<PointCloudRenderable> PointCloudRenderable::create(std::shared_ptr<Octree::Location> location,
                                                                   std::string const& name, std::size_t pointBudget,
                                                                   double unitScale)
{
    return std::make_shared<PointCloudRenderable>(Private{}, std::move(location), name, pointBudget, unitScale);
}

std::shared_ptr<PointCloudRenderable> PointCloudRenderable::create(std::shared_ptr<Octree::Octree> octree,
                                                                   std::string const& name, std::size_t pointBudget)
{
    return std::make_shared<PointCloudRenderable>(Private{}, std::move(octree), name, pointBudget);
}

PointCloudRenderable::PointCloudRenderable(Private tag, std::shared_ptr<Octree::Location> location,
                                           std::string const& name, std::size_t pointBudget, double unitScale)
    : PointCloudRenderable(tag, std::make_shared<Octree::Octree>(std::move(location), unitScale), name, pointBudget)
{
}

PointCloudRenderable::PointCloudRenderable(Private, std::shared_ptr<Octree::Octree> octree, std::string const& name,
                                           std::size_t pointBudget)
    : Renderable(name), mUpdateInterval(kDefaultUpdateInterval.count()), mOctree(std::move(octree)),
      mPointBudget(pointBudget), mOctreeNodePriorityThreshold(kDefaultPriorityThreshold),
      mPointSizeFactor(kDefaultPointSizeFactor), mFrustumScale(kDefaultFrustumScale),
      mMaxPointSize(kDefaultMaxPointSize), mPointSize(mOctree->spacing() * kDefaultPointSizeFactor),
      mTomographicContrast(kDefaultTomographicContrast), mTomographicColor(Math::Color::black(255)),
      mIntensityBlendFactor(kDefaultIntensityBlendFactor), mMaxLevelToKeep(kDefaultMaxLevelToKeep),
      mUniformColor(defaultColors().colorOf(*mOctree->location())), mDistanceColorMap(kDefaultDistanceColorMap),
      mIntensityColorMap(kDefaultIntensityColorMap)
{
    if (pointBudget > kMaxPointBudget)
        throw std::invalid_argument(fmt::format("Error: point budget {} exceeds the limit of {} points per cloud",
                                                pointBudget, kMaxPointBudget));
    replaceOctree(mOctree);
    mViewState.threshold = mOctreeNodePriorityThreshold;
    mViewState.maxLevelToKeep = mMaxLevelToKeep;
}

PointCloudRenderable::~PointCloudRenderable()
{
    // The loader uses everything below; it goes first.
    mLoaderThread.reset();
    mLodPointCloud.reset();
}

void PointCloudRenderable::init(std::size_t rendererId, std::shared_ptr<Camera> camera,
                                ATL::CComPtr<ID3D11Device> device, ATL::CComPtr<ID3D11DeviceContext> context)
{
    if (mLodPointCloud)
        throw std::runtime_error("Error init was called on an already initialized PointCloudRenderable");
    mCamera = std::move(camera);
    mLodPointCloud = std::make_shared<LoDPointCloud>(std::move(device), std::move(context), rendererId, id(),
                                                     mPointBudget);
    writeSettings();
    updateClippingPolytope();
    writeMatrices();
    onUpdateViewport(mCamera);
    updateMeshForDistanceColorizationModelCs();
    startLoader();
}

void PointCloudRenderable::writeSettings()
{
    cbPerFrame& constants = mLodPointCloud->modifyFrameConstants();
    constants.uniformColor = toShaderColor(mUniformColor);
    constants.tomographicColor = toShaderColor(mTomographicColor);
    constants.distance_plane = toShaderVector(mDistancePlane.coefficients());
    constants.point_size = mPointSize;
    constants.root_node_size = largestEdge(boundingCube());
    constants.max_point_size = mMaxPointSize;
    constants.tomo_contrast = mTomographicContrast;
    constants.min_distance = mDistanceRangeMin;
    constants.max_distance = mDistanceRangeMax;
    constants.min_distance_pass_fail = mPassFailMin;
    constants.max_distance_pass_fail = mPassFailMax;
    constants.min_distance_warn = mWarnMin;
    constants.max_distance_warn = mWarnMax;
    constants.color_map = static_cast<std::int32_t>(mDistanceColorMap);
    constants.point_render_mode = static_cast<std::int32_t>(mRenderMode);
    constants.use_signed_distance = mUseSignedDistance ? 1 : 0;
    constants.selected = selected() ? 1 : 0;
    constants.use_cloud_colors_in_tomographic_render_modes = mUseCloudColorsInTomographicRenderModes ? 1 : 0;
    constants.mesh_clipping_active = mMeshClippingActive ? 1 : 0;
    constants.class_visibility_active = mClassVisibilityActive ? 1 : 0;
    constants.region_clipping_active = mRegionClippingActive ? 1 : 0;
    constants.intensity_blend_factor = mIntensityBlendFactor;
    constants.min_intensity = mIntensityRangeMin / kMaxIntensity;
    constants.max_intensity = mIntensityRangeMax / kMaxIntensity;
    constants.color_map_intensity = static_cast<std::int32_t>(mIntensityColorMap);
    mLodPointCloud->setClassificationColors(mClassificationColors);
}

void PointCloudRenderable::deinit()
{
    mLoaderThread.reset();
    mCamera.reset();
    mLodPointCloud.reset();
    std::unique_lock lock(mMeshLock);
    mMeshForDistanceColorizationModelCs = {};
}

void PointCloudRenderable::writeMatrices()
{
    if (!isInitialized())
        return;
    mLodPointCloud->setMatrices(worldMatrix(), mCamera->viewMatrix(), mCamera->projectionMatrix());
    cbPerFrame& constants = mLodPointCloud->modifyFrameConstants();
    constants.near_plane = mCamera->zNear();
    constants.far_plane = mCamera->zFar();
    updateViewState();
}

void PointCloudRenderable::updateViewState()
{
    if (!mCamera)
        return;
    Eigen::Matrix4f const world = worldMatrix();
    ViewState view;
    view.world = world;
    view.projection = mCamera->projectionMatrix();
    view.priorityFrustum = mCamera->scaledFrustum(mFrustumScale, mFrustumScale, 1.0f, world);
    view.eyeModel = (world.inverse() * mCamera->eye().homogeneous()).hnormalized();
    view.viewport = mCamera->viewport();
    view.fieldOfViewY = mCamera->fovYRad();
    view.modelScale = world.col(0).head<3>().norm();
    view.threshold = mOctreeNodePriorityThreshold;
    view.minLevelToKeep = mMinLevelToKeep;
    view.maxLevelToKeep = mMaxLevelToKeep;
    view.renderMode = mRenderMode;
    view.meshClippingActive = mMeshClippingActive;
    view.regionClippingActive = mRegionClippingActive;
    view.clippingPolytope = mClippingPolytope;
    view.distancePlane = mDistancePlane;
    view.distanceRangeMin = mDistanceRangeMin;
    view.distanceRangeMax = mDistanceRangeMax;
    view.useSignedDistance = mUseSignedDistance;
    Math::Frustum<float> const frustum = mCamera->frustum(world);
    std::lock_guard lock(mViewStateMutex);
    mFrustumModelCs = frustum;
    mViewState = std::move(view);
}

PointCloudRenderable::ViewState PointCloudRenderable::viewState() const
{
    std::lock_guard lock(mViewStateMutex);
    return mViewState;
}

Math::Frustum<float> PointCloudRenderable::frustumModelCs() const
{
    std::lock_guard lock(mViewStateMutex);
    return mFrustumModelCs;
}

NodePriority PointCloudRenderable::boundingBoxPriority(unsigned level, Math::NBoundingBox<float, 3> const& cube) const
{
    return priorityFor(viewState(), level, cube);
}

NodePriority PointCloudRenderable::priorityFor(ViewState const& view, unsigned level,
                                               Math::NBoundingBox<float, 3> const& cube) const
{
    if (level > view.maxLevelToKeep || isClippedAway(view, cube))
        return NodePriority::discard();
    if (level < view.minLevelToKeep)
        return NodePriority::keep();
    if (view.projection(3, 3) == 0.0f)
        return NodePriority::perspective(cube, view.priorityFrustum, view.clippingPolytope, view.eyeModel,
                                         view.modelScale, view.viewport, view.fieldOfViewY, view.threshold);
    return NodePriority::orthographic(cube, view.priorityFrustum, view.clippingPolytope, view.eyeModel,
                                      view.modelScale, view.projection, view.viewport, view.threshold);
}

bool PointCloudRenderable::isClippedAway(ViewState const& view, Math::NBoundingBox<float, 3> const& cube) const
{
    Math::NBoundingBox<float, 3> const worldBox = cube.transformed(view.world);
    if (view.regionClippingActive && isOutsideClippingRegion(worldBox))
        return true;
    if (view.renderMode == RenderMode::ColorizeByPlaneDistance && !needsPlaneDistanceColorization(view, worldBox))
        return true;
    return view.meshClippingActive && !needsMeshDistanceColorization(view, cube);
}

bool PointCloudRenderable::isOutsideClippingRegion(Math::NBoundingBox<float, 3> const& worldBox) const
{
    std::shared_ptr<Math::ClippingRegion<float> const> const region = currentClippingRegion();
    return !region || region->isOutside(worldBox);
}

bool PointCloudRenderable::needsPlaneDistanceColorization(ViewState const& view,
                                                          Math::NBoundingBox<float, 3> const& worldBox) const
{
    return reachesRange(view.distancePlane.signedDistance(worldBox.center()), worldBox.boundingSphereRadius(),
                        view.distanceRangeMin, view.distanceRangeMax, view.useSignedDistance);
}

bool PointCloudRenderable::needsMeshDistanceColorization(ViewState const& view,
                                                         Math::NBoundingBox<float, 3> const& modelBox) const
{
    std::shared_ptr<Math::TriangleMesh<float> const> const mesh = meshForDistanceColorizationModelCs();
    if (!mesh)
        return false;
    return reachesRange(mesh->signedDistance(modelBox.center()), modelBox.boundingSphereRadius(),
                        view.distanceRangeMin, view.distanceRangeMax, view.useSignedDistance);
}

std::shared_ptr<Math::TriangleMesh<float> const> PointCloudRenderable::meshForDistanceColorizationModelCs() const
{
    return modelCsMesh().mesh;
}

PointCloudRenderable::ModelCsMesh PointCloudRenderable::modelCsMesh() const
{
    std::shared_lock lock(mMeshLock);
    return mMeshForDistanceColorizationModelCs;
}

std::shared_ptr<Math::ClippingRegion<float> const> PointCloudRenderable::currentClippingRegion() const
{
    std::shared_lock lock(mClippingRegionLock);
    return mClippingRegion;
}

void PointCloudRenderable::triggerReload()
{
    if (mLoaderThread && visible())
        restartLoader();
}

void PointCloudRenderable::restartLoader()
{
    mLoaderThread->restart();
    // After the restart: a loader that sets the flag from now on sees the stop and clears it again.
    mAwaitingNodeRetry = false;
}

void PointCloudRenderable::onUpdateProjectionMatrix(std::shared_ptr<Camera> const&)
{
    writeMatrices();
    triggerReload();
}

void PointCloudRenderable::onUpdateViewMatrix(std::shared_ptr<Camera> const&)
{
    writeMatrices();
    if (mRestartLoadingAfterCameraChange)
        triggerReload();
}

void PointCloudRenderable::onUpdateZRange(std::shared_ptr<Camera> const&)
{
    writeMatrices();
}

void PointCloudRenderable::onUpdateViewport(std::shared_ptr<Camera> const& camera)
{
    if (!isInitialized() || !camera)
        return;
    cbPerFrame& constants = mLodPointCloud->modifyFrameConstants();
    constants.width = static_cast<float>(camera->viewport().width());
    constants.height = static_cast<float>(camera->viewport().height());
    constants.aspect = constants.height > 0.0f ? constants.width / constants.height : 1.0f;
    updateViewState();
}

void PointCloudRenderable::onUpdateRenderMode(RenderMode mode)
{
    if (mode != mRenderMode) {
        mRenderMode = mode;
        updateViewState();
    }
    if (!isInitialized())
        return;
    auto const value = static_cast<std::int32_t>(mode);
    if (mLodPointCloud->frameConstants().point_render_mode == value)
        return;
    mLodPointCloud->modifyFrameConstants().point_render_mode = value;
    triggerReload();
}

void PointCloudRenderable::onUpdateMeshClippingActive(bool active)
{
    if (active == mMeshClippingActive)
        return;
    mMeshClippingActive = active;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().mesh_clipping_active = active ? 1 : 0;
    updateViewState();
    triggerReload();
}

void PointCloudRenderable::onUpdateRegionClippingActive(bool active)
{
    if (active == mRegionClippingActive)
        return;
    mRegionClippingActive = active;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().region_clipping_active = active ? 1 : 0;
    updateViewState();
    triggerReload();
}

void PointCloudRenderable::onUpdateIntensityBlendFactor(float factor)
{
    if (factor == mIntensityBlendFactor)
        return;
    mIntensityBlendFactor = factor;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().intensity_blend_factor = factor;
    setNeedsRedraw(true);
}

void PointCloudRenderable::onUpdateClassVisibilityActive(bool active)
{
    mClassVisibilityActive = active;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().class_visibility_active = active ? 1 : 0;
}

void PointCloudRenderable::onUpdatePlaneForDistanceColorization(Math::NPlane<float, 3> const& plane)
{
    if (plane == mDistancePlane)
        return;
    mDistancePlane = plane;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().distance_plane = toShaderVector(plane.coefficients());
    updateViewState();
    triggerReload();
}

void PointCloudRenderable::onUpdateDistanceColorMap(ColorMap colorMap)
{
    if (colorMap == mDistanceColorMap)
        return;
    mDistanceColorMap = colorMap;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().color_map = static_cast<std::int32_t>(colorMap);
    triggerReload();
}

void PointCloudRenderable::onUpdateIntensityColorMap(ColorMap colorMap)
{
    if (colorMap == mIntensityColorMap)
        return;
    mIntensityColorMap = colorMap;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().color_map_intensity = static_cast<std::int32_t>(colorMap);
    triggerReload();
}

void PointCloudRenderable::onUpdateClassificationColorTexture(
    std::shared_ptr<ClassificationColorTexture> const& texture)
{
    mClassificationColors = texture;
    if (isInitialized())
        mLodPointCloud->setClassificationColors(texture);
}

void PointCloudRenderable::onUpdateUseSignedDistance(bool useSignedDistance)
{
    if (useSignedDistance == mUseSignedDistance)
        return;
    mUseSignedDistance = useSignedDistance;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().use_signed_distance = useSignedDistance ? 1 : 0;
    updateViewState();
    triggerReload();
}

void PointCloudRenderable::onUpdateDistanceColorMapRange(float min, float max)
{
    if (min == mDistanceRangeMin && max == mDistanceRangeMax)
        return;
    mDistanceRangeMin = min;
    mDistanceRangeMax = max;
    if (isInitialized()) {
        cbPerFrame& constants = mLodPointCloud->modifyFrameConstants();
        constants.min_distance = min;
        constants.max_distance = max;
    }
    updateViewState();
    triggerReload();
}

void PointCloudRenderable::onUpdateIntensityColorMapRange(std::uint16_t min, std::uint16_t max)
{
    if (min == mIntensityRangeMin && max == mIntensityRangeMax)
        return;
    mIntensityRangeMin = min;
    mIntensityRangeMax = max;
    if (!isInitialized())
        return;
    cbPerFrame& constants = mLodPointCloud->modifyFrameConstants();
    constants.min_intensity = min / kMaxIntensity;
    constants.max_intensity = max / kMaxIntensity;
    setNeedsRedraw(true);
}

void PointCloudRenderable::onUpdatePassFailDistanceRange(float min, float max)
{
    if (min == mPassFailMin && max == mPassFailMax)
        return;
    mPassFailMin = min;
    mPassFailMax = max;
    if (isInitialized()) {
        cbPerFrame& constants = mLodPointCloud->modifyFrameConstants();
        constants.min_distance_pass_fail = min;
        constants.max_distance_pass_fail = max;
    }
    triggerReload();
}

void PointCloudRenderable::onUpdateWarnDistanceRange(float min, float max)
{
    if (min == mWarnMin && max == mWarnMax)
        return;
    mWarnMin = min;
    mWarnMax = max;
    if (isInitialized()) {
        cbPerFrame& constants = mLodPointCloud->modifyFrameConstants();
        constants.min_distance_warn = min;
        constants.max_distance_warn = max;
    }
    triggerReload();
}

void PointCloudRenderable::onUpdateTomographicColor(Math::Color const& color)
{
    if (color == mTomographicColor)
        return;
    mTomographicColor = color;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().tomographicColor = toShaderColor(color);
    setNeedsRedraw(true);
}

void PointCloudRenderable::onUpdateUseCloudColorsInTomographicRenderModes(bool useCloudColors)
{
    if (useCloudColors == mUseCloudColorsInTomographicRenderModes)
        return;
    mUseCloudColorsInTomographicRenderModes = useCloudColors;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().use_cloud_colors_in_tomographic_render_modes = useCloudColors ? 1 : 0;
    setNeedsRedraw(true);
}

void PointCloudRenderable::render()
{
    setNeedsRedraw(false);
    if (!isInitialized() || !visible())
        return;
    Core::TripleBuffer<Buffer>& buffers = mLodPointCloud->buffers();
    bool const newData = buffers.update();
    mLodPointCloud->draw(buffers.readBuffer(), newData);
}

std::optional<Math::Color> PointCloudRenderable::backgroundColor() const
{
    if (isTransparent())
        return Math::Color(0, 0, 0, 0);
    return std::nullopt;
}

bool PointCloudRenderable::isTransparent() const
{
    if (!isInitialized())
        return false;
    std::int32_t const mode = mLodPointCloud->frameConstants().point_render_mode;
    return mode >= kFirstTomographicMode && mode <= kLastTomographicMode;
}

void PointCloudRenderable::visitCoarseVertices(std::function<void(VertexContainer::Vertex const&)> const& visit)
{
    std::deque<Octree::OctreeNodeId> queue{mOctree->root()};
    VertexContainer vertices;
    std::shared_ptr<NodeSource const> const source = nodeSource();
    while (!queue.empty()) {
        Octree::OctreeNodeId const id = queue.front();
        queue.pop_front();
        std::string error;
        try {
            if (!getVertexData(*source, id, vertices, {}, error))
                break;
        } catch (std::exception const&) {
            break;
        }
        for (VertexContainer::Vertex const& vertex : vertices.vertices)
            visit(vertex);
        if (id.level() < kHistogramMaxLevel) {
            for (Octree::OctreeNodeId const child : mOctree->children(id))
                queue.push_back(child);
        }
    }
}

void PointCloudRenderable::brightnessAndContrast(float fraction, float scale, float& brightness, float& contrast)
{
    std::vector<std::uint64_t> histogram(kHistogramBins);
    visitCoarseVertices([&](VertexContainer::Vertex const& vertex) { ++histogram[vertex.color.grayscale()]; });
    float const low = static_cast<float>(histogramQuantile(histogram, fraction)) / 255.0f;
    float const high = static_cast<float>(histogramQuantile(histogram, 1.0 - fraction)) / 255.0f;
    // One gray value (or no points) has no spread to stretch: a finite answer beats NaN pixels.
    if (high - low < kMinGraySpread) {
        brightness = 0.0f;
        contrast = 1.0f;
        return;
    }
    brightness = 0.5f - (low + high) * 0.5f;
    contrast = scale / (high - low);
}

std::optional<std::pair<std::uint16_t, std::uint16_t>> PointCloudRenderable::intensityRange(double lowerQuantile,
                                                                                            double upperQuantile)
{
    if (!mOctree->hasIntensities())
        return std::nullopt;
    std::vector<std::uint64_t> histogram(std::size_t{std::numeric_limits<std::uint16_t>::max()} + 1);
    visitCoarseVertices([&](VertexContainer::Vertex const& vertex) { ++histogram[vertex.intensity]; });
    auto const low = static_cast<std::uint16_t>(histogramQuantile(histogram, lowerQuantile));
    auto const high = static_cast<std::uint16_t>(histogramQuantile(histogram, upperQuantile));
    if (high <= low)
        return std::nullopt;
    return std::pair{low, high};
}

std::vector<Eigen::Vector3f> PointCloudRenderable::coarsePoints()
{
    Eigen::Matrix4f const world = worldMatrix();
    std::vector<Eigen::Vector3f> points;
    visitCoarseVertices([&](VertexContainer::Vertex const& vertex) {
        points.push_back((world * Eigen::Vector4f(vertex.x, vertex.y, vertex.z, 1.0f)).head<3>());
    });
    return points;
}

Math::NBoundingBox<float, 3> PointCloudRenderable::boundingBox() const
{
    return mOctree->boundingBox();
}

void PointCloudRenderable::setMatrix(Eigen::Matrix4f const& matrix)
{
    if (matrix == this->matrix())
        return;
    // The distance mesh is moved into the new model frame before anything changes, so that a matrix it
    // cannot follow (a singular one) throws here and leaves the cloud as it was.
    if (isInitialized()) {
        std::shared_ptr<Renderable> const parentNode = parent();
        Eigen::Matrix4f const world = parentNode ? Eigen::Matrix4f(parentNode->worldMatrix() * matrix) : matrix;
        mPreparedModelCsMesh = distanceMeshInModelCs(world);
    }
    // The base operation calls invalidateWorldMatrix, which brings the constants up to date.
    Renderable::setMatrix(matrix);
}

void PointCloudRenderable::invalidateWorldMatrix()
{
    Renderable::invalidateWorldMatrix();
    if (!isInitialized())
        return;
    updateClippingPolytope();
    // The loader takes the world matrix from the view state: it is replaced before the clip values
    // derived from the old one are dropped.
    writeMatrices();
    updateMeshForDistanceColorizationModelCs();
    mClippingCache->clear();
    clearVisibleOctreeNodes();
}

void PointCloudRenderable::setVisible(bool visible)
{
    if (visible == this->visible())
        return;
    Renderable::setVisible(visible);
    mShown = visible;
    if (!visible)
        clearVisibleOctreeNodes();
    else
        triggerReload();
}

void PointCloudRenderable::setSelected(bool selected)
{
    if (selected == this->selected())
        return;
    Renderable::setSelected(selected);
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().selected = selected ? 1 : 0;
    setNeedsRedraw(true);
}

void PointCloudRenderable::startAsyncReload(std::function<void()> callback, std::size_t maxLevel)
{
    if (mLoaderRequest)
        return;
    mLoaderRequest = LoaderRequest{std::move(callback), maxLevel};
    startLoader();
    setNeedsRedraw(true);
}

void PointCloudRenderable::startLoader()
{
    // Before init the loader would race init for the drawing state: it starts there instead.
    if (!mLoaderRequest || mLoaderThread || !isInitialized())
        return;
    mLoaderThread = std::make_unique<Core::BackgroundThread>(
        [this, callback = mLoaderRequest->callback, maxLevel = mLoaderRequest->maxLevel](std::stop_token stopToken) {
            reloadJob(callback, maxLevel, stopToken);
        });
    if (visible())
        restartLoader();
}

void PointCloudRenderable::startAsyncReload(void (*callback)(), std::size_t maxLevel)
{
    startAsyncReload(callback ? std::function<void()>(callback) : std::function<void()>(), maxLevel);
}

void PointCloudRenderable::stopAsyncReload()
{
    mLoaderThread.reset();
    mLoaderRequest.reset();
}

bool PointCloudRenderable::isAsyncReloadActive() const
{
    return mLoaderRequest.has_value();
}

bool PointCloudRenderable::isLoading() const
{
    return mLoaderThread && mLoaderThread->isBusy() && !mAwaitingNodeRetry;
}

void PointCloudRenderable::setReloadError(std::exception_ptr error)
{
    std::lock_guard lock(mReloadErrorMutex);
    mReloadError = std::move(error);
}

bool PointCloudRenderable::isAsyncReloadHealthy(bool rethrow) const
{
    if (!mLoaderThread)
        return true;
    std::exception_ptr error;
    {
        std::lock_guard lock(mReloadErrorMutex);
        error = mReloadError;
    }
    if (std::optional<std::string> const failure = mBrokenNodes.firstFailure(); failure && !error)
        error = std::make_exception_ptr(std::runtime_error("Error loading point data: " + *failure));
    if (error && rethrow)
        std::rethrow_exception(error);
    return !error;
}

void PointCloudRenderable::reloadJob(std::function<void()> const& callback, std::size_t maxLevel,
                                     std::stop_token stopToken)
{
    while (!stopToken.stop_requested()) {
        try {
            if (mShown)
                reloadPoints(callback, maxLevel, stopToken);
            else if (callback)
                callback();
            // A reload cut short by a stop has not shown that loading works again.
            if (!stopToken.stop_requested())
                setReloadError(nullptr);
            if (mShown && waitForBrokenNodeRetry(stopToken))
                continue;
            return;
        } catch (std::exception const& error) {
            Core::Log::error(error.what());
            setReloadError(std::current_exception());
        } catch (...) {
            setReloadError(std::current_exception());
        }
        // What was loaded before the failure is shown meanwhile.
        mLodPointCloud->prioritizer().updateBuffers(id(), false, mLodPointCloud->buffers());
        setNeedsRedraw(true);
        sleepUnlessStopped(kRetryDelay, stopToken);
    }
}

bool PointCloudRenderable::waitForBrokenNodeRetry(std::stop_token const& stopToken)
{
    std::optional<BrokenNodes::Clock::time_point> const retry = mBrokenNodes.nextRetry();
    if (!retry)
        return false;
    // Set before the stop is checked: a restart requested meanwhile finds the flag set and clears it.
    mAwaitingNodeRetry = true;
    sleepUnlessStopped(*retry - BrokenNodes::Clock::now(), stopToken);
    mAwaitingNodeRetry = false;
    return !stopToken.stop_requested();
}

void PointCloudRenderable::publishAndNotify(std::function<void()> const& callback)
{
    mLodPointCloud->prioritizer().updateBuffers(id(), false, mLodPointCloud->buffers());
    setNeedsRedraw(true);
    if (callback)
        callback();
}

void PointCloudRenderable::reloadPoints(std::function<void()> const& callback, std::size_t maxLevel,
                                        std::stop_token stopToken)
{
    if (!mLodPointCloud)
        throw std::runtime_error("reloadingPoints is not allowed if PointCloudRenderable is not initialized");
    NodePrioritizer& prioritizer = mLodPointCloud->prioritizer();
    ViewState const view = viewState();
    std::shared_ptr<NodeSource const> const source = nodeSource();
    Octree::Octree const& octree = *source->octree;
    prioritizer.refreshPriorities(
        id(), [&](unsigned level, Math::NBoundingBox<float, 3> const& cube) { return priorityFor(view, level, cube); },
        stopToken);
    if (stopToken.stop_requested())
        return;

    struct Candidate {
        Octree::OctreeNodeId id;
        NodePriority priority;
    };
    auto const lessImportant = [](Candidate const& a, Candidate const& b) { return a.priority < b.priority; };
    std::priority_queue<Candidate, std::vector<Candidate>, decltype(lessImportant)> candidates(lessImportant);
    // The root is loaded wherever the camera looks, but not when clipping hides all of it: region
    // clipping without a region, for one, must show nothing.
    if (!isClippedAway(view, octree.boundingCube(octree.root())))
        candidates.push({octree.root(), NodePriority::keep()});
    auto lastPublication = std::chrono::steady_clock::now();
    bool changed = true;
    NodePriority const discard = NodePriority::discard();

    while (!candidates.empty()) {
        auto const now = std::chrono::steady_clock::now();
        if (changed && now - lastPublication > updateInterval()) {
            lastPublication = now;
            publishAndNotify(callback);
            changed = false;
        }
        Candidate const candidate = candidates.top();
        candidates.pop();
        bool accepted = false;
        if (offerNode(prioritizer, *source, candidate.id, candidate.priority, accepted, stopToken))
            changed = true;
        if (stopToken.stop_requested())
            return;
        if (!accepted || candidate.id.level() >= maxLevel)
            continue;
        for (Octree::OctreeNodeId const child : octree.children(candidate.id)) {
            if (octree.nodeVisibility(child) == Octree::NodeVisibilityType::Hidden)
                continue;
            NodePriority const priority = priorityFor(view, child.level(), octree.boundingCube(child));
            if (priority > discard)
                candidates.push({child, priority});
        }
    }
    if (changed)
        publishAndNotify(callback);
}

void PointCloudRenderable::reloadPoints(void (*callback)(), std::size_t maxLevel, std::stop_token stopToken)
{
    reloadPoints(callback ? std::function<void()>(callback) : std::function<void()>(), maxLevel, stopToken);
}

bool PointCloudRenderable::offerNode(NodePrioritizer& prioritizer, NodeSource const& source,
                                     Octree::OctreeNodeId nodeId, NodePriority priority, bool& accepted,
                                     std::stop_token const& stopToken)
{
    accepted = false;
    auto const now = BrokenNodes::Clock::now();
    if (mBrokenNodes.isWaiting(nodeId, now))
        return false;
    std::string failure;
    auto const loader = [&](VertexContainer& out, std::stop_token token) {
        try {
            if (getVertexData(source, nodeId, out, token, failure)) {
                mBrokenNodes.recordSuccess(nodeId);
                return true;
            }
        } catch (std::exception const& error) {
            failure = error.what();
        }
        if (token.stop_requested())
            return false;
        if (failure.empty())
            failure = fmt::format("node {} of {} cannot be read", nodeId.name(), source.octree->location()->identity());
        // Without points the node does not enter, and its subtree is not visited.
        out.resize(0);
        return true;
    };
    bool const changed = prioritizer.addNode({id(), nodeId}, source.octree->boundingCube(nodeId), priority, loader,
                                             accepted, stopToken);
    if (!failure.empty() && mBrokenNodes.recordFailure(nodeId, failure, now))
        Core::Log::error(failure);
    return changed;
}

bool PointCloudRenderable::getVertexData(NodeSource const& source, Octree::OctreeNodeId nodeId,
                                         VertexContainer& out, std::stop_token stopToken, std::string& error)
{
    bool const loaded = source.vertices->getOrLoad(
        nodeId, out,
        [&](VertexContainer& vertices) {
            return Octree::loadNodeVertices(*source.octree, nodeId, vertices, stopToken, &error);
        },
        stopToken);
    if (!loaded)
        return false;
    return updateMeshDistances(source, nodeId, out, stopToken) &&
           updateRegionClipping(source, nodeId, out, stopToken);
}

bool PointCloudRenderable::updateMeshDistances(NodeSource const& source, Octree::OctreeNodeId nodeId,
                                               VertexContainer& vertices, std::stop_token const& stopToken)
{
    if (!meshForDistanceColorizationModelCs())
        return true;
    std::vector<float> distances;
    if (source.distances->tryGet(modelCsMesh().keyOf(nodeId), distances)) {
        vertices.setDistances(distances);
        return true;
    }
    if (stopToken.stop_requested())
        return false;
    // The version comes before the mesh: distances of a mesh replaced meanwhile are refused by put.
    MeshDistanceCache::Version const version = source.distances->version(kCacheGroup);
    ModelCsMesh const mesh = modelCsMesh();
    if (!mesh.mesh)
        return true;
    distances.resize(vertices.size());
    Math::Detail::forEachIndexInParallel(
        vertices.size(), [&](std::size_t i) { distances[i] = mesh.mesh->signedDistance(vertices.position(i)); });
    if (stopToken.stop_requested())
        return false;
    vertices.setDistances(distances);
    source.distances->put(mesh.keyOf(nodeId), std::move(distances), kCacheGroup, version);
    return true;
}

bool PointCloudRenderable::updateRegionClipping(NodeSource const& source, Octree::OctreeNodeId nodeId,
                                                VertexContainer& vertices, std::stop_token const& stopToken)
{
    std::shared_ptr<Math::ClippingRegion<float> const> const cachedRegion = currentClippingRegion();
    if (!cachedRegion)
        return true;
    std::vector<std::uint8_t> clipValues;
    if (source.clipValues->tryGet(NodeValueKey{nodeId, cachedRegion.get(), viewState().world}, clipValues)) {
        vertices.setClipValues(clipValues);
        return true;
    }
    if (stopToken.stop_requested())
        return false;
    // The version comes before the region and the world matrix, as for the distances.
    ClippingCache::Version const version = source.clipValues->version(kCacheGroup);
    std::shared_ptr<Math::ClippingRegion<float> const> const region = currentClippingRegion();
    if (!region)
        return true;
    Eigen::Matrix4f const world = viewState().world;
    Math::NBoundingBox<float, 3> const worldBox = source.octree->boundingCube(nodeId).transformed(world);
    if (region->isInside(worldBox)) {
        clipValues.assign(vertices.size(), kClipPassed);
    } else {
        clipValues.resize(vertices.size());
        Math::Detail::forEachIndexInParallel(vertices.size(), [&](std::size_t i) {
            Math::Point<float, 3> const position = (world * vertices.position(i).homogeneous()).hnormalized();
            clipValues[i] = region->contains(position) ? kClipPassed : kClipHidden;
        });
    }
    if (stopToken.stop_requested())
        return false;
    vertices.setClipValues(clipValues);
    source.clipValues->put(NodeValueKey{nodeId, region.get(), world}, std::move(clipValues), kCacheGroup, version);
    return true;
}

void PointCloudRenderable::updateMeshForDistanceColorizationModelCs()
{
    ModelCsMesh modelCs;
    if (mMeshForDistanceColorization && isInitialized()) {
        // Built outside the lock: the loader keeps reading the old copy meanwhile.
        modelCs.world = worldMatrix();
        modelCs.source = mMeshForDistanceColorization.get();
        modelCs.mesh = mPreparedModelCsMesh ? *mPreparedModelCsMesh : distanceMeshInModelCs(modelCs.world);
    }
    mPreparedModelCsMesh.reset();
    bool hadMesh = false;
    {
        std::unique_lock lock(mMeshLock);
        hadMesh = mMeshForDistanceColorizationModelCs.mesh != nullptr;
        mMeshForDistanceColorizationModelCs = std::move(modelCs);
    }
    // After the swap, so that no distance of the old mesh can be stored after the clear. Without a
    // mesh before or after, the cached distances of the other clouds stay valid.
    if (hadMesh || mMeshForDistanceColorization)
        mMeshDistanceCache->clear();
}

std::shared_ptr<Math::TriangleMesh<float> const> PointCloudRenderable::distanceMeshInModelCs(
    Eigen::Matrix4f const& world) const
{
    if (!mMeshForDistanceColorization)
        return nullptr;
    auto modelCs = std::make_shared<Math::TriangleMesh<float>>(*mMeshForDistanceColorization);
    modelCs->transformBy(world.inverse());
    return modelCs;
}

void PointCloudRenderable::onUpdateMeshForDistanceColorization(std::shared_ptr<Math::TriangleMesh<float>> const& mesh)
{
    if (mesh == mMeshForDistanceColorization)
        return;
    mMeshForDistanceColorization = mesh;
    updateMeshForDistanceColorizationModelCs();
    clearVisibleOctreeNodes();
}

void PointCloudRenderable::onUpdateClippingRegion(std::shared_ptr<Math::ClippingRegion<float>> const& region)
{
    {
        std::unique_lock lock(mClippingRegionLock);
        if (region == mClippingRegion)
            return;
        mClippingRegion = region;
    }
    updateClippingRegion();
}

void PointCloudRenderable::updateClippingRegion()
{
    // Also when the region is removed: loaded nodes must not keep the clip values of the old one.
    mClippingCache->clear();
    clearVisibleOctreeNodes();
}

void PointCloudRenderable::updateClippingPolytope()
{
    mClippingPolytope = Math::ConvexPolytope<float, 3>(mClippingVolume).transformed(invWorldMatrix());
    if (isInitialized()) {
        std::vector<Math::HalfSpace<float, 3>> const& planes = mClippingPolytope.halfSpaces();
        cbPerFrame& constants = mLodPointCloud->modifyFrameConstants();
        for (std::size_t i = 0; i < constants.clipping_planes.size(); ++i) {
            // (0, 0, 0, 0) passes every point.
            constants.clipping_planes[i] =
                i < planes.size() ? toShaderVector(planes[i].coefficients()) : ShaderFloat4{};
        }
    }
    updateViewState();
}

void PointCloudRenderable::setClippingVolume(std::vector<Math::HalfSpace<float, 3>> const& volume)
{
    if (volume == mClippingVolume)
        return;
    // Checked before anything is stored, so that a refused volume changes nothing.
    if (volume.size() > kMaxClippingPlanes)
        throw std::runtime_error(
            fmt::format("Error: volume contains too many clipping planes, plane count = {}", volume.size()));
    mClippingVolume = volume;
    updateClippingPolytope();
    triggerReload();
}

void PointCloudRenderable::updateMeshDistancesInVisibleOctreeNodes()
{
    if (isInitialized() && meshForDistanceColorizationModelCs())
        updateVisibleOctreeNodes(&PointCloudRenderable::updateMeshDistances);
}

void PointCloudRenderable::updateClippingInVisibleOctreeNodes()
{
    if (isInitialized() && currentClippingRegion())
        updateVisibleOctreeNodes(&PointCloudRenderable::updateRegionClipping);
}

void PointCloudRenderable::updateVisibleOctreeNodes(
    bool (PointCloudRenderable::*update)(NodeSource const&, Octree::OctreeNodeId, VertexContainer&, std::stop_token const&))
{
    NodePrioritizer& prioritizer = mLodPointCloud->prioritizer();
    ViewState const view = viewState();
    std::shared_ptr<NodeSource const> const source = nodeSource();
    prioritizer.updateNodes(id(), [&](Octree::OctreeNodeId nodeId, Math::NBoundingBox<float, 3> const& cube,
                                      NodePriority& priority, VertexContainer& vertices) {
        priority = priorityFor(view, nodeId.level(), cube);
        // A discarded node is about to leave; its old values stay.
        if (priority != NodePriority::discard())
            (this->*update)(*source, nodeId, vertices, {});
    });
    prioritizer.updateBuffers(id(), false, mLodPointCloud->buffers());
    triggerReload();
    setNeedsRedraw(true);
}

void PointCloudRenderable::diagnose() const
{
    std::shared_ptr<Math::TriangleMesh<float> const> const modelCs = meshForDistanceColorizationModelCs();
    std::size_t const counter = diagnoseCounter++;
    if (mMeshForDistanceColorization)
        mMeshForDistanceColorization->dump(kDiagnoseLabel, counter);
    if (modelCs)
        modelCs->dump(kDiagnoseModelCsLabel, counter);
}

void PointCloudRenderable::clearVisibleOctreeNodes()
{
    if (!isInitialized())
        return;
    // The running reload is asked to stop but not waited for (a host whose callback waits on this
    // thread would deadlock). Its stop is requested before the clear, so the prioritizer refuses
    // whatever it still offers; the next reload is scheduled after the clear, so it loses nothing.
    if (mLoaderThread)
        mLoaderThread->cancel();
    NodePrioritizer& prioritizer = mLodPointCloud->prioritizer();
    prioritizer.clear(id());
    prioritizer.updateBuffers(id(), false, mLodPointCloud->buffers());
    if (mLoaderThread)
        restartLoader();
    setNeedsRedraw(true);
}

PointCloudRenderable::Duration PointCloudRenderable::updateInterval() const
{
    return Duration(mUpdateInterval.load());
}

void PointCloudRenderable::setUpdateInterval(Duration interval)
{
    if (interval <= Duration::zero())
        throw std::invalid_argument("updateInterval must be larger than 0!");
    mUpdateInterval = interval.count();
}

void PointCloudRenderable::setPointSize(float pointSize)
{
    if (pointSize == mPointSize)
        return;
    mPointSize = pointSize;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().point_size = pointSize;
    setNeedsRedraw(true);
}

void PointCloudRenderable::setMaxPointSize(float maxPointSize)
{
    if (maxPointSize == mMaxPointSize)
        return;
    mMaxPointSize = maxPointSize;
    if (!isInitialized())
        return;
    mLodPointCloud->modifyFrameConstants().max_point_size = maxPointSize;
    setNeedsRedraw(true);
}

float PointCloudRenderable::defaultPointSize() const
{
    return mOctree->spacing(0) * mPointSizeFactor;
}

void PointCloudRenderable::setTomographicContrast(float contrast)
{
    if (contrast == mTomographicContrast)
        return;
    mTomographicContrast = contrast;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().tomo_contrast = contrast;
    setNeedsRedraw(true);
}

void PointCloudRenderable::setUniformColor(Math::Color const& color)
{
    if (color == mUniformColor)
        return;
    mUniformColor = color;
    if (isInitialized())
        mLodPointCloud->modifyFrameConstants().uniformColor = toShaderColor(color);
    setNeedsRedraw(true);
}

void PointCloudRenderable::setOctreeNodePriorityThreshold(float threshold)
{
    mOctreeNodePriorityThreshold = threshold;
    updateViewState();
    clearVisibleOctreeNodes();
    triggerReload();
}

void PointCloudRenderable::setMinLevelToKeep(std::size_t level)
{
    if (level == mMinLevelToKeep)
        return;
    mMinLevelToKeep = level;
    updateViewState();
    triggerReload();
}

void PointCloudRenderable::setMaxLevelToKeep(std::size_t level)
{
    if (level == mMaxLevelToKeep)
        return;
    mMaxLevelToKeep = level;
    updateViewState();
    triggerReload();
}

double PointCloudRenderable::unitScale() const
{
    return mOctree->unitScale();
}

void PointCloudRenderable::setUnitScale(double unitScale)
{
    if (unitScale == mOctree->unitScale())
        return;
    replaceOctree(mOctree->withUnitScale(unitScale));
    float const pointSize = mOctree->spacing() * mPointSizeFactor;
    if (pointSize != mPointSize) {
        mPointSize = pointSize;
        if (isInitialized())
            mLodPointCloud->modifyFrameConstants().point_size = pointSize;
    }
    setNeedsRedraw(true);
}

void PointCloudRenderable::replaceOctree(std::shared_ptr<Octree::Octree> octree)
{
    NodeCacheKey const key = cacheKeyOf(*octree);
    mVertexContainerCache = sharedVertexContainerCaches().createOrGet(key, kVertexCacheCapacity, kVertexCacheReserve);
    mMeshDistanceCache = sharedMeshDistanceCaches().createOrGet(key, kMeshDistanceCacheCapacity);
    mClippingCache = sharedClippingCaches().createOrGet(key, kClippingCacheCapacity);
    mOctree = std::move(octree);
    {
        std::lock_guard lock(mNodeSourceMutex);
        mNodeSource = std::make_shared<NodeSource const>(
            NodeSource{mOctree, mVertexContainerCache, mMeshDistanceCache, mClippingCache});
    }
    mBrokenNodes.clear();
    if (!isInitialized())
        return;
    mLodPointCloud->modifyFrameConstants().root_node_size = largestEdge(boundingCube());
    updateViewState();
    clearVisibleOctreeNodes();
}

std::shared_ptr<PointCloudRenderable::NodeSource const> PointCloudRenderable::nodeSource() const
{
    std::lock_guard lock(mNodeSourceMutex);
    return mNodeSource;
}

Math::NBoundingBox<float, 3> PointCloudRenderable::boundingCube() const
{
    return mOctree->boundingCube(mOctree->root());
}

Math::NBoundingBox<float, 3> PointCloudRenderable::boundingCube(Octree::OctreeNodeId nodeId) const
{
    return mOctree->boundingCube(nodeId);
}

Math::Point<double, 3> PointCloudRenderable::referencePosition() const
{
    return mOctree->position();
}

float PointCloudRenderable::spacing(std::size_t level) const
{
    return mOctree->spacing(level);
}

bool PointCloudRenderable::hasNormals() const
{
    return mOctree && mOctree->hasNormals();
}

std::size_t PointCloudRenderable::numVisiblePoints() const
{
    return isInitialized() ? mLodPointCloud->numVisiblePoints() : 0;
}

std::size_t PointCloudRenderable::numVisibleOctreeNodes() const
{
    return isInitialized() ? mLodPointCloud->numVisibleOctreeNodes() : 0;
}

std::size_t PointCloudRenderable::loadedPointCount() const
{
    return isInitialized() ? mLodPointCloud->prioritizer().usedPointCount(id()) : 0;
}

std::size_t PointCloudRenderable::loadedNodeCount() const
{
    return isInitialized() ? mLodPointCloud->prioritizer().nodeCount(id()) : 0;
}

std::vector<Octree::OctreeNodeId> PointCloudRenderable::loadedNodeIds() const
{
    return isInitialized() ? mLodPointCloud->prioritizer().nodeIds(id()) : std::vector<Octree::OctreeNodeId>{};
}

void PointCloudRenderable::addExternalAttributeLocation(std::shared_ptr<Octree::Location> location)
{
    std::shared_ptr<Octree::Octree> const octree = mOctree->withUnitScale(mOctree->unitScale());
    // Refused sources throw here, before anything changed.
    octree->addExternalAttributeLocation(std::move(location));
    replaceOctree(octree);
    setNeedsRedraw(true);
}

} // namespace Render
