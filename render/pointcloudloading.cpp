#include "render/pointcloudrenderable.h"

#include "core/backgroundthread.h"
#include "core/log.h"
#include "octree/nodevertexloader.h"
#include "render/lodpointcloud.h"
#include "render/nodeprioritizer.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <limits>
#include <queue>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace Render {

namespace {

constexpr std::chrono::seconds kRetryDelay{2};
// How far down its queue the loader looks for nodes to fetch ahead.
constexpr std::size_t kPrefetchLookahead = 16;
constexpr std::chrono::milliseconds kStopPollInterval{20};
// brightnessAndContrast and intensityRange look at the coarse levels only.
constexpr unsigned kHistogramMaxLevel = 4;
constexpr std::size_t kHistogramBins = 256;
// Below this spread of gray values (one bin) there is no contrast to stretch.
constexpr float kMinGraySpread = 1.0f / 255.0f;

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

// Sleeps up to `duration`, returning early once a stop is requested.
void sleepUnlessStopped(std::chrono::steady_clock::duration duration, std::stop_token const& stopToken)
{
    auto const deadline = std::chrono::steady_clock::now() + duration;
    while (!stopToken.stop_requested() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kStopPollInterval);
}

// A node waiting in the loader's queue.
struct Candidate {
    Octree::OctreeNodeId id;
    NodePriority priority;
};

// A strict order, so that the queue's top nodes found ahead are the ones it gives out next: by
// priority, then nearer first, then by id.
bool lessImportant(Candidate const& a, Candidate const& b)
{
    if (a.priority.priority() != b.priority.priority())
        return a.priority.priority() < b.priority.priority();
    if (a.priority.distanceToEye() != b.priority.distanceToEye())
        return a.priority.distanceToEye() > b.priority.distanceToEye();
    return b.id < a.id;
}

// The `count` most important candidates of the heap `queue`, most important first, found by
// walking the heap from its top without changing it.
std::vector<Candidate> mostImportant(std::vector<Candidate> const& queue, std::size_t count)
{
    auto const lessImportantIndex = [&](std::size_t a, std::size_t b) { return lessImportant(queue[a], queue[b]); };
    std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(lessImportantIndex)> frontier(
        lessImportantIndex);
    std::vector<Candidate> result;
    if (!queue.empty())
        frontier.push(0);
    while (!frontier.empty() && result.size() < count) {
        std::size_t const index = frontier.top();
        frontier.pop();
        result.push_back(queue[index]);
        for (std::size_t const child : {2 * index + 1, 2 * index + 2}) {
            if (child < queue.size())
                frontier.push(child);
        }
    }
    return result;
}

// Where every read costs a round trip, asks for the bytes of nodes before they are loaded, so that
// they arrive while others decode: as many at once as the location has idle request slots for,
// each node once, none that the vertex cache holds. The location lets go of bytes never taken.
class NodeRequests {
public:
    NodeRequests(Octree::Octree const& octree, PointCloudRenderable::VertexContainerCache const& vertices)
        : mOctree(octree), mVertices(vertices)
    {
    }

    bool haveIdleSlot() const { return mOctree.location()->idleRequestSlots() > 0; }

    // Asks for `nodes` in their order while a request slot is idle.
    void ask(std::vector<Octree::OctreeNodeId> const& nodes)
    {
        for (Octree::OctreeNodeId const id : nodes) {
            if (!haveIdleSlot())
                return;
            if (!mVertices.contains(id) && mAsked.insert(id).second)
                Octree::prefetchNodeVertices(mOctree, id);
        }
    }

private:
    Octree::Octree const& mOctree;
    PointCloudRenderable::VertexContainerCache const& mVertices;
    std::unordered_set<Octree::OctreeNodeId> mAsked;
};

// The nodes at the top of the loader's queue that the budget would take when offered in queue
// order, leaving out broken nodes that wait for their retry.
std::vector<Octree::OctreeNodeId> nodesTheBudgetTakes(std::vector<Candidate> const& queue, Octree::Octree const& octree,
                                                      NodePrioritizer const& prioritizer, std::uint64_t cloudId,
                                                      BrokenNodes const& brokenNodes)
{
    auto const now = BrokenNodes::Clock::now();
    std::vector<NodePrioritizer::Offer> offers;
    for (Candidate const& candidate : mostImportant(queue, kPrefetchLookahead)) {
        if (brokenNodes.isWaiting(candidate.id, now))
            continue;
        std::uint64_t pointCount = 0;
        try {
            pointCount = octree.pointCount(candidate.id);
        } catch (std::exception const&) {
            // Offering the node reports why its hierarchy cannot be read.
            break;
        }
        offers.push_back({candidate.id, candidate.priority, static_cast<std::size_t>(pointCount)});
    }
    return prioritizer.nodesToLoad(cloudId, offers);
}

} // namespace

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

NodePriority PointCloudRenderable::loadingPriority(ViewState const& view, unsigned level,
                                                  Math::NBoundingBox<float, 3> const& cube) const
{
    // A root that changed to its projected size at the next reload would be pushed out by the nodes
    // of other clouds whenever its cloud is small on screen, and push them out again when its loader
    // offers it once more: which nodes stay would depend on which loader ran last.
    if (level == 0)
        return isClippedAway(view, cube) ? NodePriority::discard() : NodePriority::keep();
    return priorityFor(view, level, cube);
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

void PointCloudRenderable::visitCoarseVertices(std::function<void(VertexContainer::Vertex const&)> const& visit)
{
    std::deque<Octree::OctreeNodeId> queue{mOctree->root()};
    VertexContainer vertices;
    std::shared_ptr<NodeSource const> const source = nodeSource();
    NodeRequests requests(*source->octree, *source->vertices);
    while (!queue.empty()) {
        if (requests.haveIdleSlot())
            requests.ask({queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(
                                                              std::min(queue.size(), kPrefetchLookahead))});
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
        id(),
        [&](unsigned level, Math::NBoundingBox<float, 3> const& cube) { return loadingPriority(view, level, cube); },
        stopToken);
    if (stopToken.stop_requested())
        return;

    // A heap, the most important candidate on top.
    std::vector<Candidate> candidates;
    auto const enqueue = [&](Candidate const& candidate) {
        candidates.push_back(candidate);
        std::push_heap(candidates.begin(), candidates.end(), lessImportant);
    };
    // Region clipping without a region, for one, must show nothing, not even the root.
    NodePriority const discard = NodePriority::discard();
    if (NodePriority const root = loadingPriority(view, 0, octree.boundingCube(octree.root())); root > discard)
        enqueue({octree.root(), root});
    NodeRequests requests(octree, *source->vertices);
    auto lastPublication = std::chrono::steady_clock::now();
    bool changed = true;

    while (!candidates.empty()) {
        auto const now = std::chrono::steady_clock::now();
        if (changed && now - lastPublication > updateInterval()) {
            lastPublication = now;
            publishAndNotify(callback);
            changed = false;
        }
        if (requests.haveIdleSlot())
            requests.ask(nodesTheBudgetTakes(candidates, octree, prioritizer, id(), mBrokenNodes));
        std::pop_heap(candidates.begin(), candidates.end(), lessImportant);
        Candidate const candidate = candidates.back();
        candidates.pop_back();
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
            NodePriority const priority = loadingPriority(view, child.level(), octree.boundingCube(child));
            if (priority > discard)
                enqueue({child, priority});
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
    std::size_t expectedPointCount = 0;
    try {
        expectedPointCount = static_cast<std::size_t>(source.octree->pointCount(nodeId));
    } catch (std::exception const&) {
        // Loading the node reports why its hierarchy cannot be read.
    }
    bool const changed = prioritizer.addNode({id(), nodeId}, source.octree->boundingCube(nodeId), priority, loader,
                                             accepted, stopToken, expectedPointCount);
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

} // namespace Render
