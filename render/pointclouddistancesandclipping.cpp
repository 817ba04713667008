#include "render/pointcloudrenderable.h"

#include "math/trianglemesh.h"
#include "render/lodpointcloud.h"

#include <Eigen/LU>

#include <fmt/format.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <vector>

namespace Render {

namespace {

// Distances and clip values are stored under one group; a new mesh or region clears the caches.
constexpr int kCacheGroup = 0;
constexpr std::uint8_t kClipPassed = 255;
constexpr std::uint8_t kClipHidden = 0;
constexpr char const* kDiagnoseLabel = "diagnose";
constexpr char const* kDiagnoseModelCsLabel = "diagnoseModelCS";
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

} // namespace

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
        priority = loadingPriority(view, nodeId.level(), cube);
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

} // namespace Render
