#pragma once

// A renderer streaming one data set, for the benchmarks that time the library's loading
// pipeline from its start until it settled.

#include "benchsupport.h"

#include "octree/nodevertexloader.h"
#include "octree/potreelocation.h"
#include "render/comexception.h"
#include "render/grouprenderable.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace Bench {

constexpr unsigned kWidth = 1280;
constexpr unsigned kHeight = 720;
constexpr float kFieldOfView = 50.0f;
constexpr auto kPollInterval = std::chrono::milliseconds(5);
constexpr double kMegabyte = 1024.0 * 1024.0;

// Resident bytes of this process: what the point data, the caches and the buffers take (Wine
// reports no private byte count).
inline double privateBytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return static_cast<double>(counters.WorkingSetSize);
}

// Blocks until the GPU has executed everything submitted so far.
inline void waitForGpu(ID3D11Device* device, ID3D11DeviceContext* context)
{
    D3D11_QUERY_DESC const desc{D3D11_QUERY_EVENT, 0};
    ATL::CComPtr<ID3D11Query> query;
    Render::throwIfFailed(device->CreateQuery(&desc, &query));
    context->End(query);
    BOOL done = FALSE;
    while (context->GetData(query, &done, sizeof(done), 0) != S_OK)
        std::this_thread::yield();
}

struct CameraPose {
    Math::Point<float, 3> eye;
    Math::Point<float, 3> target;
    Eigen::Vector3f up;
};

// The whole data set from above one corner, as a user first sees a scan.
inline CameraPose overview(Math::NBoundingBox<float, 3> const& box)
{
    Math::Point<float, 3> const target(box.center().x(), box.center().y(), box.min().z() + 0.25f * box.size().z());
    float const distance = 0.5f * box.size().norm() / std::tan(0.5f * kFieldOfView * 3.14159265f / 180.0f);
    return {target + distance * Eigen::Vector3f(0.55f, -0.65f, 0.52f).normalized(), target, Eigen::Vector3f::UnitZ()};
}

// Straight down onto (x, y) from `height` above the ground.
inline CameraPose lookingDown(float x, float y, float height)
{
    return {{x, y, height}, {x, y, 0.0f}, Eigen::Vector3f::UnitY()};
}

// What streaming one view until it settled took.
struct Settled {
    double secondsToFirstFrame = 0.0;
    double secondsToSettled = 0.0;
    double peakBytes = 0.0;
    std::size_t points = 0;
};

// A renderer showing one data set at one budget.
class View {
public:
    View(std::shared_ptr<Octree::Location> location, std::string const& name, std::size_t budget)
        : mMemoryBefore(privateBytes()), mScene(Render::GroupRenderable::create("scene"))
    {
        mRenderer.setViewport(kWidth, kHeight);
        mCloud = Render::PointCloudRenderable::create(std::move(location), name, budget, 1.0);
        mScene->add(mCloud);
        mRenderer.setScene(mScene);
        place(overview(mRenderer.boundingBox()));
    }
    View(std::filesystem::path const& folder, std::size_t budget)
        : View(std::make_shared<PoTree::FileSystemLocation>(folder), folder.filename().string(), budget)
    {
    }
    ~View() { mCloud->stopAsyncReload(); }
    View(View const&) = delete;
    View& operator=(View const&) = delete;

    Render::Renderer& renderer() { return mRenderer; }
    Render::PointCloudRenderable& cloud() { return *mCloud; }

    void place(CameraPose const& pose)
    {
        mRenderer.setPerspective(kFieldOfView, 0.1f, 10000.0f);
        mRenderer.setAutoAdjustZRange(true);
        mRenderer.setCameraPose(pose.eye, pose.target, pose.up);
    }

    // Streams from the first reload until the loader is idle and its last buffer published. With
    // `untilFirstFrame`, published buffers are drawn until one shows points; otherwise only the
    // loading pipeline runs (decode, cache, budget, buffer, publication). The final buffer is drawn
    // after the clock stops.
    Settled settle(bool untilFirstFrame)
    {
        Settled result;
        double peak = privateBytes();
        auto const start = Bench::Clock::now();
        auto const elapsed = [&] { return std::chrono::duration<double>(Bench::Clock::now() - start).count(); };
        mCloud->startAsyncReload(std::function<void()>(), std::numeric_limits<std::size_t>::max());
        auto const drawing = [&] { return untilFirstFrame && result.secondsToFirstFrame == 0.0; };
        while (mCloud->isLoading() || (drawing() && mRenderer.needsRedraw())) {
            if (drawing() && mRenderer.needsRedraw()) {
                mRenderer.render();
                if (result.secondsToFirstFrame == 0.0 && mCloud->numVisiblePoints() > 0)
                    result.secondsToFirstFrame = elapsed();
            }
            peak = std::max(peak, privateBytes());
            std::this_thread::sleep_for(kPollInterval);
        }
        result.secondsToSettled = elapsed();
        mCloud->isAsyncReloadHealthy(true);
        mRenderer.render();
        waitForGpu(mRenderer.device(), mRenderer.deviceContext());
        result.peakBytes = std::max(peak, privateBytes()) - mMemoryBefore;
        result.points = mCloud->numVisiblePoints();
        Bench::requireSameWork(result.points == mCloud->loadedPointCount(), "points drawn and points loaded");
        return result;
    }

    // The loaded nodes decoded again, one after another, without cache, budget or buffer.
    std::size_t decodeLoadedNodes(std::vector<Render::VertexContainer::Vertex>* vertices = nullptr) const
    {
        std::size_t points = 0;
        Render::VertexContainer container;
        for (Octree::OctreeNodeId const id : mCloud->loadedNodeIds()) {
            std::string error;
            if (!Octree::loadNodeVertices(*mCloud->octree(), id, container, {}, &error))
                throw std::runtime_error("node " + id.name() + ": " + error);
            points += container.size();
            if (vertices)
                vertices->insert(vertices->end(), container.vertices.begin(), container.vertices.end());
        }
        return points;
    }

private:
    double const mMemoryBefore;
    Render::Renderer mRenderer;
    std::shared_ptr<Render::GroupRenderable> mScene;
    std::shared_ptr<Render::PointCloudRenderable> mCloud;
};

} // namespace Bench
