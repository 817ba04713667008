#include "render/thumbnail.h"

#include "graphics/colorimage.h"
#include "octree/location.h"
#include "octree/octreenodeid.h"
#include "octree/potreelocation.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"

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
// The eye rises above the top corner by this fraction of the largest extent...
constexpr float kRiseFraction = 0.3f;
// ...and steps back from the centre through that point by this factor.
constexpr float kStepBackFactor = 1.1f;
constexpr float kFieldOfViewDegrees = 20.0f;
constexpr float kZNear = 0.01f;
constexpr float kZFar = 1000.0f;
// A side of no length is widened to this fraction of the largest extent (or to one unit when
// all are 0), so that the eye never coincides with the centre nor lies straight above it.
constexpr float kMinSideFraction = 0.01f;
constexpr float kMinSideForAPoint = 1.0f;

Math::NBoundingBox<float, 3> withoutFlatSides(Math::NBoundingBox<float, 3> const& box)
{
    Eigen::Vector3f const sides = (box.max() - box.min()).cwiseMax(0.0f);
    float const largest = sides.maxCoeff();
    float const minSide = largest > 0.0f ? largest * kMinSideFraction : kMinSideForAPoint;
    Eigen::Vector3f const widening = (minSide - sides.array()).cwiseMax(0.0f).matrix() * 0.5f;
    return {box.min() - widening, box.max() + widening};
}

void viewObliquelyFromAbove(Renderer& renderer, Math::NBoundingBox<float, 3> const& cloudBox)
{
    Math::NBoundingBox<float, 3> const box = withoutFlatSides(cloudBox);
    Math::Point<float, 3> const center = box.center();
    float const largestExtent = (box.max() - box.min()).cwiseMax(0.0f).maxCoeff();
    Math::Point<float, 3> const aboveCorner(box.max().x(), box.max().y(), box.max().z() + kRiseFraction * largestExtent);
    Math::Point<float, 3> const eye = aboveCorner + kStepBackFactor * (aboveCorner - center);
    renderer.setCameraPose(eye, Eigen::Vector3f(center - eye), Eigen::Vector3f::UnitZ());
    renderer.setPerspective(kFieldOfViewDegrees, kZNear, kZFar);
    renderer.setZNearAndFarViaBoundingBox(box);
}

} // namespace

void createThumbnail(std::filesystem::path const& folder, std::size_t width, std::size_t height,
                     Math::Color const& background, std::size_t maxLevel)
{
    createThumbnail(std::make_shared<PoTree::FileSystemLocation>(folder), folder / kThumbnailFileName, width, height,
                    background, maxLevel);
}

void createThumbnail(std::shared_ptr<Octree::Location> const& location, std::filesystem::path const& output,
                     std::size_t width, std::size_t height, Math::Color const& background, std::size_t maxLevel)
{
    if (!location || !location->exists())
        throw std::invalid_argument("createThumbnail: locationPotree does not exist");

    auto cloud = PointCloudRenderable::create(location, std::string(), kPointBudget, kUnitScale);
    Renderer renderer(true);
    renderer.setScene(cloud);
    renderer.setViewport(width, height);
    Math::NBoundingBox<float, 3> const box = cloud->boundingBoxWorld();
    bool const hasPoints = !box.isEmpty();
    if (hasPoints)
        viewObliquelyFromAbove(renderer, box);
    renderer.setBackgroundColor(background);
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
