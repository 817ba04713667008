#include "render/renderer.h"

#include "math/pointpicking.h"
#include "math/trianglemesh.h"
#include "render/camera.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace Render {
namespace {

using Point3f = Math::Point<float, 3>;

// The world positions of the last frame on the CPU.
struct PositionReadback {
    std::vector<Eigen::Vector4f> pixels;
    std::size_t width = 0;
    std::size_t height = 0;

    Math::PositionImageView view() const { return {pixels, width, height}; }
};

PositionReadback readPositions(ID3D11DeviceContext* context, RenderPass const& scenePass, Texture2d const& staging)
{
    staging.copy(context, scenePass.texture("exactWorldPosition"));
    return {staging.readPixels<Eigen::Vector4f>(context), staging.width(), staging.height()};
}

// The world positions of `window` alone, as an image of the window's size, and `window` moved to
// its origin: a pick looks at a few pixels and need not copy the 16 bytes of every pixel of the frame.
PositionReadback readWindow(ID3D11DeviceContext* context, RenderPass const& scenePass, Texture2d const& staging,
                            Math::PixelWindow& window)
{
    std::size_t const columnEnd = std::min<std::size_t>(window.columnEnd, staging.width());
    std::size_t const rowEnd = std::min<std::size_t>(window.rowEnd, staging.height());
    std::size_t const width = columnEnd > window.columnBegin ? columnEnd - window.columnBegin : 0;
    std::size_t const height = rowEnd > window.rowBegin ? rowEnd - window.rowBegin : 0;
    PositionReadback positions{std::vector<Eigen::Vector4f>(width * height), width, height};
    if (!positions.pixels.empty()) {
        D3D11_BOX const box{static_cast<UINT>(window.columnBegin), static_cast<UINT>(window.rowBegin), 0,
                            static_cast<UINT>(columnEnd), static_cast<UINT>(rowEnd), 1};
        context->CopySubresourceRegion(staging.get(), 0, box.left, box.top, 0,
                                       scenePass.texture("exactWorldPosition").get(), 0, &box);
        D3D11_MAPPED_SUBRESOURCE const mapped = staging.map(context, D3D11_MAP_READ);
        auto const* source = static_cast<unsigned char const*>(mapped.pData);
        std::size_t const pixelBytes = sizeof(Eigen::Vector4f);
        for (std::size_t row = 0; row < height; ++row)
            std::memcpy(positions.pixels.data() + row * width,
                        source + (window.rowBegin + row) * mapped.RowPitch + window.columnBegin * pixelBytes,
                        width * pixelBytes);
        staging.unMap(context);
    }
    window = Math::PixelWindow{0, width, 0, height};
    return positions;
}

// The view ray through the top-left corner of a pixel. Perspective rays start at the eye.
// Orthographic rays run parallel to the view direction from the near plane, which may lie
// behind the eye: what is drawn there can be picked too. (Depth 0 is the near or the far
// plane, as the depth convention has it.)
std::pair<Point3f, Eigen::Vector3f> viewRay(Camera const& camera, std::uint64_t x, std::uint64_t y)
{
    Point3f const throughPixel = camera.unProject(x, y, 0.0f);
    if (camera.isPerspective())
        return {camera.eye(), throughPixel - camera.eye()};
    Eigen::Vector3f const direction = camera.viewDirection();
    Point3f const otherEnd = camera.unProject(x, y, 1.0f);
    bool const nearer = (throughPixel - otherEnd).dot(direction) < 0.0f;
    return {nearer ? throughPixel : otherEnd, direction};
}

} // namespace

bool Renderer::pickPoint(std::uint64_t x, std::uint64_t y, Math::Point<float, 3>& point)
{
    if (x >= viewport().width() || y >= viewport().height())
        return false;
    PositionReadback const positions = readPositions(mDeviceContext, mScenePass, mPickStaging);
    if (x >= positions.width || y >= positions.height)
        return false;
    Eigen::Vector4f const& pixel = positions.view().at(x, y);
    point = pixel.head<3>();
    return Math::isPositionHit(pixel);
}

bool Renderer::pickClosestPointWithTolerance(std::uint64_t x, std::uint64_t y, std::uint64_t tolerance,
                                             Math::Point<float, 3>& point)
{
    auto window = Math::pickWindow(x, y, tolerance, viewport().width(), viewport().height());
    if (!window)
        return false;
    PositionReadback const positions = readWindow(mDeviceContext, mScenePass, mPickStaging, *window);
    auto const closest = Math::closestHit(positions.view(), *window, mCamera->eye());
    if (!closest)
        return false;
    point = *closest;
    return true;
}

bool Renderer::pickPlane(std::uint64_t x, std::uint64_t y, std::uint64_t tolerance, Math::NPlane<float, 3>& plane,
                         Math::Point<float, 3>& point, double inlierDistance)
{
    auto window = Math::pickWindow(x, y, tolerance, viewport().width(), viewport().height());
    if (!window)
        return false;
    PositionReadback const positions = readWindow(mDeviceContext, mScenePass, mPickStaging, *window);
    std::vector<Point3f> hits = Math::hitsInWindow(positions.view(), *window);
    Math::sortUniquePositions(hits);
    auto const fitted = Math::fitPlane(hits, inlierDistance);
    if (!fitted)
        return false;
    plane = Math::facing(*fitted, mCamera->eye());
    auto const [origin, direction] = viewRay(*mCamera, x, y);
    auto const hit = Math::intersectRay(plane, origin, direction);
    if (!hit)
        return false;
    point = *hit;
    return true;
}

bool Renderer::pickPointWithDistanceToColorizationMesh(std::uint64_t x, std::uint64_t y, std::uint64_t tolerance,
                                                       Math::Point<float, 3>& point, float& distance)
{
    if (!mColorizationMesh || mColorizationMesh->triangleCount() == 0)
        return false;
    if (!pickClosestPointWithTolerance(x, y, tolerance, point))
        return false;
    // A mesh copied by the host comes without its tree: built once here, not on every pick.
    if (!mColorizationMesh->hasTree())
        mColorizationMesh->buildTree();
    distance = *Math::distanceToMesh(*mColorizationMesh, point, mUseSignedDistance);
    return true;
}

bool Renderer::pickPointWithDistanceToColorizationPlane(std::uint64_t x, std::uint64_t y, std::uint64_t tolerance,
                                                        Math::Point<float, 3>& point, float& distance)
{
    if (!pickClosestPointWithTolerance(x, y, tolerance, point))
        return false;
    float const signedDistance = mColorizationPlane.signedDistance(point);
    distance = mUseSignedDistance ? signedDistance : std::abs(signedDistance);
    return true;
}

void Renderer::getVisiblePoints(std::vector<Math::Point<float, 3>>& points)
{
    PositionReadback const positions = readPositions(mDeviceContext, mScenePass, mPickStaging);
    points = Math::hitsInWindow(positions.view(), Math::wholeImage(positions.view()));
    Math::sortUniquePositions(points);
}

Math::Point<float, 3> Renderer::project(Math::Point<float, 3> const& point) const { return mCamera->project(point); }

Math::Point<float, 3> Renderer::projectNDC(Math::Point<float, 3> const& point) const
{
    return mCamera->projectNDC(point);
}

Math::Point<float, 3> Renderer::unProject(std::uint64_t x, std::uint64_t y, float depth) const
{
    return mCamera->unProject(x, y, depth);
}

Math::Point<float, 3> Renderer::unProjectNDC(Math::Point<float, 3> const& ndc) const
{
    return mCamera->unProjectNDC(ndc);
}

} // namespace Render
