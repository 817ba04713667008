#include "render/pointcloudrenderable.h"

#include "core/backgroundthread.h"
#include "core/hashing.h"
#include "octree/potreehierarchy.h"
#include "render/buffersize.h"
#include "render/camera.h"
#include "render/lodpointcloud.h"
#include "render/pointcloudquery.h"

#include <Eigen/LU>

#include <fmt/format.h>

#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
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
constexpr float kMaxIntensity = 65535.0f;
// Render modes 1 and 2: tomographic.
constexpr std::int32_t kFirstTomographicMode = 1;
constexpr std::int32_t kLastTomographicMode = 2;
// Default colors: HSLuv hue at this saturation and lightness.
constexpr double kDefaultColorSaturation = 1.0;
constexpr double kDefaultColorLightness = 0.6;

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

void PointCloudRenderable::addExternalAttributeLocation(std::shared_ptr<Octree::Location> location)
{
    std::shared_ptr<Octree::Octree> const octree = mOctree->withUnitScale(mOctree->unitScale());
    // Refused sources throw here, before anything changed.
    octree->addExternalAttributeLocation(std::move(location));
    replaceOctree(octree);
    setNeedsRedraw(true);
}

} // namespace Render
