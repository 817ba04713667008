#include "render/camera.h"

#include <fmt/format.h>

#include <Eigen/Geometry>
#include <Eigen/LU>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace Render {

namespace {

constexpr float kDefaultFovYDeg = 60.0f;
constexpr float kMinPerspectiveNear = 0.01f;
// Near and far must stay apart or the projection's depth terms divide by zero. An absolute
// gap alone vanishes in float rounding once near exceeds about 2048; the relative one also
// keeps the depth terms small enough (about 1 / gap) for float depths to stay within 0 to 1.
constexpr float kMinDepthGap = 0.0001f;
constexpr float kMinRelativeDepthGap = 1e-3f;

float farBeyondNear(float zNear, float zFar)
{
    float const gap = std::max(kMinDepthGap, std::abs(zNear) * kMinRelativeDepthGap);
    return std::max(zNear + gap, zFar);
}

void requireValid(bool valid, char const* message)
{
    if (!valid)
        throw std::invalid_argument(message);
}

bool allFinite(std::initializer_list<float> values)
{
    return std::all_of(values.begin(), values.end(), [](float value) { return std::isfinite(value); });
}

void requirePerspectiveDepths(float zNear, float zFar)
{
    requireValid(allFinite({zNear, zFar}) && zNear > 0.0f && zFar > zNear,
                 "Error: a perspective projection needs 0 < zNear < zFar");
}

// Up vectors to fall back on when the given one is parallel to the view direction: looking
// straight down with z up is a plan view, shown with +y (north) pointing up.
std::array<Eigen::Vector3f, 2> const kFallbackUps{Eigen::Vector3f::UnitY(), Eigen::Vector3f::UnitZ()};
// Below this sine of the angle between up and the view direction, up is taken as parallel.
constexpr float kMinUpSine = 1e-4f;

double degreesToRadians(double degrees) { return degrees * std::numbers::pi / 180.0; }

Math::Point<float, 3> transformPoint(Eigen::Matrix4f const& matrix, Math::Point<float, 3> const& point)
{
    return (matrix * point.homogeneous()).hnormalized();
}

} // namespace

Camera::Camera(bool zBufferReversed) : mZBufferReversed(zBufferReversed)
{
    setPerspective(kDefaultFovYDeg, mZNear, mZFar, 0.0f, 0.0f);
}

float Camera::fovYDeg() const { return static_cast<float>(mFovY * 180.0 / std::numbers::pi); }

float Camera::clearDepthValue() const { return mZBufferReversed ? mViewport.minDepth() : mViewport.maxDepth(); }

Math::Point<float, 3> Camera::eye() const
{
    Eigen::Matrix3f const rotation = mViewMatrix.topLeftCorner<3, 3>();
    return -rotation.transpose() * mViewMatrix.topRightCorner<3, 1>();
}

Eigen::Vector3f Camera::rightDirection() const { return mViewMatrix.block<1, 3>(0, 0).transpose(); }

Eigen::Vector3f Camera::upDirection() const { return mViewMatrix.block<1, 3>(1, 0).transpose(); }

Eigen::Vector3f Camera::viewDirection() const { return -mViewMatrix.block<1, 3>(2, 0).transpose(); }

void Camera::setViewport(std::size_t width, std::size_t height)
{
    if (width == 0 || height == 0 || width > kMaxViewportSize || height > kMaxViewportSize)
        throw std::invalid_argument(fmt::format(
            "Error: viewport size {} x {} is outside 1 to {} pixels per side", width, height, kMaxViewportSize));

    double const oldAspect = mViewport.aspectRatio();
    mViewport.set(width, height);
    double const newAspect = mViewport.aspectRatio();
    if (oldAspect == newAspect)
        return;

    // Keep the vertical view and let the horizontal one follow. The horizontal extent and
    // centre offset follow P, so that a later refit of the z range rebuilds the same image.
    float const factor = static_cast<float>(oldAspect / newAspect);
    mProjectionMatrix.row(0) *= factor;
    mHorizontalExtent = static_cast<float>(mHorizontalExtent * (newAspect / oldAspect));
    mCenterOffsetX = mProjectionMatrix(0, 2);
    updateViewProjection();
}

void Camera::setViewMatrix(Eigen::Matrix4f const& viewMatrix)
{
    if (viewMatrix == mViewMatrix)
        return;
    mViewMatrix = viewMatrix;
    updateViewProjection();
}

void Camera::setPose(Math::Point<float, 3> const& eye, Eigen::Vector3f const& direction, Eigen::Vector3f const& up)
{
    requireValid(eye.allFinite() && direction.allFinite() && up.allFinite(),
                 "Error: camera pose values must be finite");
    requireValid(direction.norm() > 0.0f, "Error: the view direction must not be zero (eye equals target)");
    requireValid(up.norm() > 0.0f, "Error: the up vector must not be zero");
    Eigen::Vector3f const z = -direction.normalized();
    Eigen::Vector3f x = up.normalized().cross(z);
    for (std::size_t i = 0; x.norm() < kMinUpSine && i < kFallbackUps.size(); ++i)
        x = kFallbackUps[i].cross(z);
    x.normalize();
    Eigen::Vector3f const y = z.cross(x);

    Eigen::Matrix4f view = Eigen::Matrix4f::Identity();
    view.block<1, 3>(0, 0) = x.transpose();
    view.block<1, 3>(1, 0) = y.transpose();
    view.block<1, 3>(2, 0) = z.transpose();
    view(0, 3) = -x.dot(eye);
    view(1, 3) = -y.dot(eye);
    view(2, 3) = -z.dot(eye);
    setViewMatrix(view);
}

void Camera::setPose(Math::Point<float, 3> const& eye, Math::Point<float, 3> const& target, Eigen::Vector3f const& up)
{
    setPose(eye, Eigen::Vector3f(target - eye), up);
}

void Camera::setPerspective(float fovYDeg, float zNear, float zFar, float centerOffsetX, float centerOffsetY)
{
    requireValid(std::isfinite(fovYDeg) && fovYDeg > 0.0f && fovYDeg < 180.0f,
                 "Error: the field of view must lie between 0 and 180 degrees, both excluded");
    requirePerspectiveDepths(zNear, zFar);
    requireValid(allFinite({centerOffsetX, centerOffsetY}), "Error: projection values must be finite");
    mZNear = zNear;
    mZFar = zFar;
    mCenterOffsetX = centerOffsetX;
    mCenterOffsetY = centerOffsetY;
    mFovY = static_cast<float>(degreesToRadians(fovYDeg));

    float const f = std::cos(mFovY / 2.0f) / std::sin(mFovY / 2.0f);
    float const aspect = static_cast<float>(mViewport.aspectRatio());
    float const a = mZBufferReversed ? zNear : zFar;
    float const b = mZBufferReversed ? zFar : zNear;

    Eigen::Matrix4f projection = Eigen::Matrix4f::Zero();
    projection(0, 0) = f / aspect;
    projection(1, 1) = f;
    projection(0, 2) = centerOffsetX;
    projection(1, 2) = centerOffsetY;
    projection(2, 2) = a / (b - a);
    projection(2, 3) = b * a / (b - a);
    projection(3, 2) = -1.0f;
    changeProjection(projection);
}

void Camera::setPerspectiveOffCenter(float left, float right, float bottom, float top, float zNear, float zFar,
    bool zBufferReversed)
{
    requireValid(allFinite({left, right, bottom, top}) && left < right && bottom < top,
                 "Error: a projection needs left < right and bottom < top");
    requirePerspectiveDepths(zNear, zFar);
    mZNear = zNear;
    mZFar = zFar;
    mZBufferReversed = zBufferReversed;

    float const u = zBufferReversed ? zFar : zNear;
    float const v = zBufferReversed ? zNear : zFar;
    Eigen::Matrix4f projection = Eigen::Matrix4f::Zero();
    projection(0, 0) = static_cast<float>(2.0 * zNear * (1.0 / (double(right) - double(left))));
    projection(1, 1) = static_cast<float>(2.0 * zNear * (1.0 / (double(top) - double(bottom))));
    projection(0, 2) = (left + right) / (right - left);
    projection(1, 2) = (bottom + top) / (top - bottom);
    projection(2, 2) = v / (u - v);
    projection(2, 3) = u * v / (u - v);
    projection(3, 2) = -1.0f;
    if (!changeProjection(projection))
        return;
    mFovY = 2.0f * std::atan(1.0f / projection(1, 1));
    mCenterOffsetX = projection(0, 2);
    mCenterOffsetY = projection(1, 2);
}

void Camera::setOrthographic(float width, float height, float zNear, float zFar)
{
    requireValid(allFinite({width, height, zNear, zFar}) && width > 0.0f && height > 0.0f && zNear != zFar,
                 "Error: an orthographic projection needs a positive width and height and zNear != zFar");
    mZNear = zNear;
    mZFar = zFar;
    mHorizontalExtent = width;
    mVerticalExtent = height;

    float const u = mZBufferReversed ? zFar : zNear;
    float const v = mZBufferReversed ? zNear : zFar;
    Eigen::Matrix4f projection = Eigen::Matrix4f::Zero();
    projection(0, 0) = 2.0f / width;
    projection(1, 1) = 2.0f / height;
    projection(2, 2) = 1.0f / (u - v);
    projection(2, 3) = u / (u - v);
    projection(3, 3) = 1.0f;
    changeProjection(projection);
}

void Camera::setOrthographic(float height, float zNear, float zFar)
{
    setOrthographic(static_cast<float>(height * mViewport.aspectRatio()), height, zNear, zFar);
}

void Camera::setProjection(Eigen::Matrix4f const& projection, float minDepth, float maxDepth, bool zBufferReversed)
{
    mProjectionMatrix = projection;
    updateViewProjection();
    mZBufferReversed = zBufferReversed;
    mViewport.setDepthRange(minDepth, maxDepth);

    if (isOrthographic()) {
        mHorizontalExtent = 2.0f / projection(0, 0);
        mVerticalExtent = 2.0f / projection(1, 1);
    } else {
        mFovY = 2.0f * std::atan(1.0f / projection(1, 1));
    }

    // Unprojected through P alone, not the view-projection, so that the results are view-space
    // distances whatever the current view matrix.
    Eigen::Matrix4f const inverseProjection = projection.inverse();
    float const atMinDepth = -transformPoint(inverseProjection, {0.0f, 0.0f, minDepth}).z();
    float const atMaxDepth = -transformPoint(inverseProjection, {0.0f, 0.0f, maxDepth}).z();
    mZNear = zBufferReversed ? atMaxDepth : atMinDepth;
    mZFar = zBufferReversed ? atMinDepth : atMaxDepth;
}

void Camera::setZNearAndFarViaBoundingBox(Math::NBoundingBox<float, 3> const& box)
{
    if (box.isEmpty())
        return;

    Eigen::Vector3f const direction = viewDirection();
    Eigen::Vector3f const halfExtent = box.halfExtent();
    float const halfDepth = direction.cwiseAbs().dot(halfExtent);
    float const centerDistance = direction.dot(box.center() - eye());
    mZNear = centerDistance - halfDepth;
    mZFar = centerDistance + halfDepth;

    if (isPerspective()) {
        float const zNear = std::max(kMinPerspectiveNear, mZNear);
        float const zFar = farBeyondNear(zNear, mZFar);
        setPerspective(fovYDeg(), zNear, zFar, mCenterOffsetX, mCenterOffsetY);
    } else {
        // The volume may start behind the eye: an orthographic near distance may be negative.
        setOrthographic(mHorizontalExtent, mVerticalExtent, mZNear, farBeyondNear(mZNear, mZFar));
    }
}

Math::Point<float, 3> Camera::projectNDC(Math::Point<float, 3> const& point) const
{
    return transformPoint(mViewProjectionMatrix, point);
}

Math::Point<float, 3> Camera::unProjectNDC(Math::Point<float, 3> const& ndc) const
{
    return transformPoint(mInvViewProjectionMatrix, ndc);
}

Math::Point<float, 3> Camera::project(Math::Point<float, 3> const& point) const
{
    Math::Point<float, 3> const ndc = projectNDC(point);
    float const width = static_cast<float>(mViewport.width());
    float const height = static_cast<float>(mViewport.height());
    return {(ndc.x() + 1.0f) * width / 2.0f, height - (ndc.y() + 1.0f) * height / 2.0f, ndc.z()};
}

Math::Point<float, 3> Camera::unProject(std::size_t pixelX, std::size_t pixelY, float depth) const
{
    float const width = static_cast<float>(mViewport.width());
    float const height = static_cast<float>(mViewport.height());
    Math::Point<float, 3> const ndc(
        2.0f * static_cast<float>(pixelX) / width - 1.0f, 2.0f * (height - static_cast<float>(pixelY)) / height - 1.0f, depth);
    return unProjectNDC(ndc);
}

Math::Frustum<float> Camera::frustum() const { return {mViewProjectionMatrix, mZBufferReversed}; }

Math::Frustum<float> Camera::frustum(Eigen::Matrix4f const& model) const
{
    return {mViewProjectionMatrix * model, mZBufferReversed};
}

Math::Frustum<float> Camera::scaledFrustum(float scaleX, float scaleY, float scaleZ, Eigen::Matrix4f const& model) const
{
    Eigen::Matrix4f const widening = Eigen::Vector4f(1.0f / scaleX, 1.0f / scaleY, 1.0f / scaleZ, 1.0f).asDiagonal();
    return {widening * mViewProjectionMatrix * model, mZBufferReversed};
}

bool Camera::operator==(Camera const& other) const
{
    return mViewport == other.mViewport && mProjectionMatrix == other.mProjectionMatrix
        && mViewMatrix == other.mViewMatrix && mZBufferReversed == other.mZBufferReversed;
}

bool Camera::changeProjection(Eigen::Matrix4f const& projection)
{
    if (projection == mProjectionMatrix)
        return false;
    mProjectionMatrix = projection;
    updateViewProjection();
    return true;
}

void Camera::updateViewProjection()
{
    mViewProjectionMatrix = mProjectionMatrix * mViewMatrix;
    mInvViewProjectionMatrix = mViewProjectionMatrix.inverse();
}

} // namespace Render
