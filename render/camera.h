#pragma once

#include "math/boundingbox.h"
#include "math/frustum.h"
#include "math/point.h"
#include "render/export.h"
#include "render/viewport.h"

#include <Eigen/Core>

#include <atomic>
#include <cstddef>

namespace Render {

// The view of one renderer: viewport, view and projection matrices with their product
// and its inverse, the z range and the renderer's redraw flag. Matrices act on column
// vectors; view space looks along -z; clip space is Direct3D's (depth 0 to 1, reversed
// by default so that near maps to 1 and far to 0).
class MORVID_RENDER_API Camera {
public:
    // Largest viewport side: the largest 2D texture Direct3D 11 guarantees.
    static constexpr std::size_t kMaxViewportSize = 16384;
    static constexpr float kDefaultFovY = 1.04719755f; // 60 degrees

    explicit Camera(bool zBufferReversed = true);
    Camera(Camera const&) = delete;
    Camera& operator=(Camera const&) = delete;

    Viewport const& viewport() const { return mViewport; }
    Viewport& viewport() { return mViewport; }
    Eigen::Matrix4f const& viewMatrix() const { return mViewMatrix; }
    Eigen::Matrix4f const& projectionMatrix() const { return mProjectionMatrix; }
    Eigen::Matrix4f const& viewProjectionMatrix() const { return mViewProjectionMatrix; }
    Eigen::Matrix4f const& invViewProjectionMatrix() const { return mInvViewProjectionMatrix; }

    float fovYRad() const { return mFovY; }
    float fovYDeg() const;
    float horizontalExtent() const { return mHorizontalExtent; }
    float verticalExtent() const { return mVerticalExtent; }
    float zNear() const { return mZNear; }
    float zFar() const { return mZFar; }
    float centerOffsetX() const { return mCenterOffsetX; }
    float centerOffsetY() const { return mCenterOffsetY; }
    // The depth convention the projection matrix was built for; the renderer's depth
    // test and clear value must follow it.
    bool isZBufferReversed() const { return mZBufferReversed; }
    float clearDepthValue() const;
    bool isOrthographic() const { return mProjectionMatrix(3, 3) != 0.0f; }
    bool isPerspective() const { return !isOrthographic(); }

    Math::Point<float, 3> eye() const;
    Eigen::Vector3f rightDirection() const;
    Eigen::Vector3f upDirection() const;
    Eigen::Vector3f viewDirection() const;

    // Throws std::invalid_argument, changing nothing, unless both sides are in 1..kMaxViewportSize.
    // Keeps the vertical field of view (or extent); the horizontal one follows the new shape.
    void setViewport(std::size_t width, std::size_t height);
    void setViewMatrix(Eigen::Matrix4f const& viewMatrix);
    // An `up` parallel to the view direction is replaced by +y (or +z when looking along y), so that
    // looking straight down gives a plan view. Throws std::invalid_argument, changing nothing, for a
    // zero direction (eye equal to target), a zero up vector or values that are not finite.
    void setPose(Math::Point<float, 3> const& eye, Eigen::Vector3f const& direction, Eigen::Vector3f const& up);
    // The camera at `eye` looking at `target`.
    void setPose(Math::Point<float, 3> const& eye, Math::Point<float, 3> const& target, Eigen::Vector3f const& up);
    // The projections throw std::invalid_argument, changing nothing, for values that describe no view:
    // a field of view outside (0, 180) degrees, perspective depths outside 0 < zNear < zFar, empty or
    // negative extents, values that are not finite.
    void setPerspective(float fovYDeg, float zNear, float zFar, float centerOffsetX, float centerOffsetY);
    // Also makes `zBufferReversed` the camera's depth convention.
    void setPerspectiveOffCenter(float left, float right, float bottom, float top, float zNear, float zFar,
        bool zBufferReversed);
    void setOrthographic(float width, float height, float zNear, float zFar);
    void setOrthographic(float height, float zNear, float zFar);
    void setProjection(Eigen::Matrix4f const& projection, float minDepth, float maxDepth, bool zBufferReversed);
    // Fits near and far tightly around the box; an empty box leaves the z range as it is.
    void setZNearAndFarViaBoundingBox(Math::NBoundingBox<float, 3> const& box);

    Math::Point<float, 3> projectNDC(Math::Point<float, 3> const& point) const;
    Math::Point<float, 3> unProjectNDC(Math::Point<float, 3> const& ndc) const;
    // Pixel x and y (origin top-left of the viewport, y down) and the clip-space depth,
    // so that unProject of the result returns the point.
    Math::Point<float, 3> project(Math::Point<float, 3> const& point) const;
    Math::Point<float, 3> unProject(std::size_t pixelX, std::size_t pixelY, float depth) const;

    Math::Frustum<float> frustum() const;
    // The frustum in the coordinates of a model with the given model matrix.
    Math::Frustum<float> frustum(Eigen::Matrix4f const& model) const;
    // As frustum(model), widened by the factors in clip space.
    Math::Frustum<float> scaledFrustum(float scaleX, float scaleY, float scaleZ, Eigen::Matrix4f const& model) const;

    bool needsRedraw() const { return mNeedsRedraw.load(); }
    void setNeedsRedraw(bool needsRedraw) { mNeedsRedraw.exchange(needsRedraw); }

    bool operator==(Camera const& other) const;
    bool operator!=(Camera const& other) const { return !(*this == other); }

private:
    // Stores P and recomputes the products unless P is unchanged; returns whether it changed.
    bool changeProjection(Eigen::Matrix4f const& projection);
    void updateViewProjection();

    float mFovY = kDefaultFovY;
    float mHorizontalExtent = 4.0f;
    float mVerticalExtent = 3.0f;
    float mZNear = 0.01f;
    float mZFar = 20000.0f;
    float mCenterOffsetX = 0.0f;
    float mCenterOffsetY = 0.0f;
    Viewport mViewport;
    Eigen::Matrix4f mViewMatrix = Eigen::Matrix4f::Identity();
    Eigen::Matrix4f mProjectionMatrix = Eigen::Matrix4f::Identity();
    Eigen::Matrix4f mViewProjectionMatrix = Eigen::Matrix4f::Identity();
    Eigen::Matrix4f mInvViewProjectionMatrix = Eigen::Matrix4f::Identity();
    bool mZBufferReversed;
    std::atomic<bool> mNeedsRedraw = true;
};

} // namespace Render
