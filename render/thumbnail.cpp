#include "render/thumbnail.h"

#include "graphics/colorimage.h"
#include "octree/location.h"
#include "octree/octreenodeid.h"
#include "octree/potreelocation.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"
#include "render/viewframing.h"

#include <Eigen/Core>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace Render {
namespace {

constexpr std::size_t kPointBudget = 10'000'000;
constexpr double kUnitScale = 1.0;
constexpr float kFieldOfViewDegrees = 50.0f;

// The whole cloud, seen as the host's first view of a data set shows it.
void frameObliquely(Renderer& renderer, PointCloudRenderable& cloud, Math::NBoundingBox<float, 3> const& box)
{
    CameraPlacement const placement =
        frameCloud(cloud, kFieldOfViewDegrees, renderer.aspectRatio());
    renderer.setCameraPose(placement.eye, placement.target, Eigen::Vector3f::UnitZ());
    renderer.setPerspective(kFieldOfViewDegrees, 0.01f, 1.0f);
    renderer.setZNearAndFarViaBoundingBox(box);
}

// Points without colors of their own show their intensities through the range the data spans,
// whichever format they came in.
void showIntensitiesWithoutColors(Renderer& renderer, PointCloudRenderable& cloud)
{
    if (cloud.octree()->hasColors())
        return;
    if (auto const range = cloud.intensityRange()) {
        renderer.setRenderMode(RenderMode::ColorizeByIntensity);
        renderer.setIntensityColorMap(ColorMap::Gray);
        renderer.setIntensityColorMapRange(range->first, range->second);
    }
}

} // namespace

void createThumbnail(std::filesystem::path const& folder, std::size_t width, std::size_t height,
                     Math::Color const& background, std::size_t maxLevel)
{
    createThumbnail(std::make_shared<PoTree::FileSystemLocation>(folder), folder / kThumbnailFileName, width, height,
                    background, maxLevel);
}

void createThumbnail(std::shared_ptr<Octree::Location> const& location, std::filesystem::path const& output,
                     std::size_t width, std::size_t height, Math::Color const& background, std::size_t maxLevel,
                     EyeDomeLighting const& lighting)
{
    if (!location || !location->exists())
        throw std::invalid_argument("createThumbnail: locationPotree does not exist");

    auto cloud = PointCloudRenderable::create(location, std::string(), kPointBudget, kUnitScale);
    Renderer renderer(true);
    renderer.setScene(cloud);
    renderer.setViewport(width, height);
    Math::NBoundingBox<float, 3> const box = cloud->boundingBoxWorld();
    bool const hasPoints = !box.isEmpty();
    if (hasPoints) {
        frameObliquely(renderer, *cloud, box);
        showIntensitiesWithoutColors(renderer, *cloud);
    }
    renderer.setBackgroundColor(background);
    renderer.setEyeDomeLighting(lighting);
    if (hasPoints)
        cloud->reloadPoints(std::function<void()>(), std::min<std::size_t>(maxLevel, Octree::OctreeNodeId::kMaxLevel),
                            std::stop_token());

    if (std::filesystem::exists(output))
        std::filesystem::remove(output);
    renderer.render();
    Graphics::ColorImage image;
    renderer.getColorImage(image);
    image.writePng(output);
}

} // namespace Render
