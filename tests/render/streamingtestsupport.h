#pragma once

// A renderer streaming real data sets, as a host drives it: the fixture of the streaming tests.
#include "d3dtestsupport.h"

#include "graphics/colorimage.h"
#include "math/trianglemesh.h"
#include "octree/entwinelocation.h"
#include "octree/potreelocation.h"
#include "render/logsink.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace StreamingTest {

using Render::PointCloudRenderable;
using namespace std::chrono_literals;

constexpr std::size_t kViewSize = 128;
// Generous: only there so that a broken loader fails instead of hanging.
constexpr auto kDeadline = 60s;
constexpr PointCloudRenderable::Duration kOneTick{1};

inline std::filesystem::path realWorld(std::string const& relative)
{
    return std::filesystem::path(MORVID_TEST_DATA_DIR) / "realworld" / relative;
}

inline std::shared_ptr<Octree::Location> potree(std::string const& name)
{
    return std::make_shared<PoTree::FileSystemLocation>(realWorld("potree/" + name));
}

inline std::shared_ptr<Octree::Location> ept(std::string const& name)
{
    return std::make_shared<Entwine::FileSystemLocation>(realWorld("ept/" + name));
}

// The matrix that moves by `offset`.
inline Eigen::Matrix4f translation(Eigen::Vector3f const& offset)
{
    Eigen::Matrix4f matrix = Eigen::Matrix4f::Identity();
    matrix.col(3).head<3>() = offset;
    return matrix;
}

// Orders positions by x, then y, then z.
inline bool lexicographicallyLess(Math::Point<float, 3> const& a, Math::Point<float, 3> const& b)
{
    return std::lexicographical_compare(a.data(), a.data() + 3, b.data(), b.data() + 3);
}

// The 12 outward-facing triangles of a closed box (corner index bits are x, y, z).
inline Math::TriangleMesh<float> closedBox(Math::NBoundingBox<float, 3> const& box)
{
    std::vector<Math::Point<float, 3>> corners;
    for (int corner = 0; corner < 8; ++corner)
        corners.emplace_back(corner & 1 ? box.max().x() : box.min().x(), corner & 2 ? box.max().y() : box.min().y(),
                             corner & 4 ? box.max().z() : box.min().z());
    std::vector<std::int32_t> triangles{0, 2, 1, 1, 2, 3, 4, 5, 6, 5, 7, 6, 0, 1, 4, 1, 5, 4,
                                        2, 6, 3, 3, 6, 7, 0, 4, 2, 2, 4, 6, 1, 3, 5, 3, 7, 5};
    return Math::TriangleMesh<float>(std::move(corners), std::move(triangles));
}

// Collects the library's error lines while it lives.
class ErrorLog {
public:
    ErrorLog()
    {
        Render::setLogSink([this](Core::LogLevel level, std::string_view line) {
            std::lock_guard lock(mMutex);
            if (level == Core::LogLevel::Error)
                mLines.emplace_back(line);
        });
    }
    ~ErrorLog() { Render::setLogSink({}); }

    std::size_t count(std::string const& part) const
    {
        std::lock_guard lock(mMutex);
        return static_cast<std::size_t>(
            std::count_if(mLines.begin(), mLines.end(),
                          [&](std::string const& line) { return line.find(part) != std::string::npos; }));
    }

private:
    mutable std::mutex mMutex;
    std::vector<std::string> mLines;
};

// Calls `step` until `done` holds, or until the deadline passes.
inline void repeatUntil(std::function<bool()> const& done, std::function<void()> const& step)
{
    auto const deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        step();
}

// Renders `view` until none of `clouds` is loading, then once more.
inline void renderUntilSettled(Render::Renderer& view,
                               std::vector<std::shared_ptr<PointCloudRenderable>> const& clouds)
{
    auto const loading = [&] { return std::ranges::any_of(clouds, &PointCloudRenderable::isLoading); };
    repeatUntil(
        [&] {
            view.render();
            return !loading();
        },
        [] { std::this_thread::sleep_for(5ms); });
    ASSERT_FALSE(loading()) << "loader did not settle";
    view.render();
}

// The share of the pixels in columns [left, right) and rows [top, bottom) of an image that show
// something (are not black), and their mean color.
struct Coverage {
    double fraction = 0.0;
    Eigen::Vector3d meanRgb = Eigen::Vector3d::Zero();
};

inline Coverage coverageOf(Graphics::ColorImage const& image, std::size_t left, std::size_t top,
                           std::size_t right, std::size_t bottom)
{
    Coverage result;
    std::size_t covered = 0;
    for (std::size_t y = top; y < bottom; ++y)
        for (std::size_t x = left; x < right; ++x) {
            Math::Color const pixel = image.pixel(x, y);
            if (pixel.r() == 0 && pixel.g() == 0 && pixel.b() == 0)
                continue;
            ++covered;
            result.meanRgb += Eigen::Vector3d(pixel.r(), pixel.g(), pixel.b());
        }
    result.fraction = static_cast<double>(covered) / static_cast<double>((right - left) * (bottom - top));
    result.meanRgb /= static_cast<double>(std::max<std::size_t>(covered, 1));
    return result;
}

class PointCloudTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        renderer = std::make_unique<Render::Renderer>();
        renderer->setViewport(kViewSize, kViewSize);
        renderer->setBackgroundColor(0, 0, 0, 255);
    }

    std::shared_ptr<PointCloudRenderable> startCloud(std::shared_ptr<Octree::Location> location,
                                                     std::size_t budget)
    {
        auto cloud = PointCloudRenderable::create(std::move(location), "cloud", budget, 1.0);
        cloud->setUpdateInterval(kOneTick);
        return cloud;
    }

    // Looks straight down on `box` (world frame) from high enough to see all of it.
    void viewFromAbove(Math::NBoundingBox<float, 3> const& box, float zoom = 1.0f)
    {
        viewFromAbove(box.center(), (box.max() - box.min()).head<2>().maxCoeff() / zoom);
    }

    void viewFromAbove(Math::Point<float, 3> const& center, float height)
    {
        renderer->setCameraPose(center + Math::Point<float, 3>(0, 0, height), Eigen::Vector3f(0, 0, -1),
                                Eigen::Vector3f(0, 1, 0));
        renderer->setPerspective(60.0f, height * 0.01f, height * 10.0f);
    }

    // Shows `scene` looking down on `cloud`, loads it and renders until its loader is idle.
    void showSettled(std::shared_ptr<Render::Renderable> scene,
                     std::shared_ptr<PointCloudRenderable> const& cloud)
    {
        renderer->setScene(std::move(scene));
        viewFromAbove(cloud->boundingBoxWorld());
        cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
        renderUntilSettled({cloud});
    }

    // Renders until every cloud's loader is idle, then once more.
    void renderUntilSettled(std::vector<std::shared_ptr<PointCloudRenderable>> const& clouds)
    {
        StreamingTest::renderUntilSettled(*renderer, clouds);
    }

    Graphics::ColorImage colorImage()
    {
        Graphics::ColorImage image;
        renderer->getColorImage(image);
        return image;
    }

    Math::Color centerColor()
    {
        Graphics::ColorImage const image = colorImage();
        return image.pixel(image.width / 2, image.height / 2);
    }

    // The scene pass's exact world positions (w = 0 where nothing was drawn), read back independently
    // of the picking and export code.
    std::vector<Eigen::Vector4f> worldPositions()
    {
        return RenderTest::readBack<Eigen::Vector4f>(renderer->device(), renderer->deviceContext(),
                                                     renderer->scenePass().texture("exactWorldPosition"));
    }

    Coverage coverage()
    {
        Graphics::ColorImage const image = colorImage();
        return coverageOf(image, 0, 0, image.width, image.height);
    }

    // The bytes of the color image, for comparing whole pictures.
    std::vector<std::uint8_t> picture()
    {
        Graphics::ColorImage const image = colorImage();
        return {image.data(), image.data() + image.sizeInBytes()};
    }

    std::unique_ptr<Render::Renderer> renderer;
};

} // namespace StreamingTest
