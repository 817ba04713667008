#include "render/renderable.h"

#include <Eigen/Geometry>
#include <Eigen/LU>

#include <array>
#include <cmath>
#include <numbers>
#include <utility>

namespace Render {
namespace {

Math::NBoundingBox<float, 3> transformBox(Math::NBoundingBox<float, 3> const& box, Eigen::Matrix4f const& transform)
{
    if (box.isEmpty())
        return box;
    Math::NBoundingBox<float, 3> result;
    for (int corner = 0; corner < 8; ++corner) {
        Eigen::Vector4f const point((corner & 1) ? box.max().x() : box.min().x(),
                                    (corner & 2) ? box.max().y() : box.min().y(),
                                    (corner & 4) ? box.max().z() : box.min().z(), 1.0f);
        Eigen::Vector4f const transformed = transform * point;
        result.extend(Eigen::Vector3f(transformed.head<3>() / transformed.w()));
    }
    return result;
}

// The heading of a direction in the xy-plane, in radians.
double heading(Eigen::Vector3f const& direction)
{
    Eigen::Vector2d planar = direction.head<2>().cast<double>();
    if (planar.norm() > 0.0)
        planar.normalize();
    return std::atan2(planar.y(), planar.x());
}

} // namespace

Renderable::Renderable(std::string name) : mName(std::move(name)) {}

Renderable::Renderable(Renderable const& other)
    : Core::InstanceId<Renderable>(other)
    , mName(other.mName)
    , mParent(other.mParent)
    , mMatrix(other.mMatrix)
    , mWorldMatrix(other.mWorldMatrix)
    , mVisible(other.mVisible)
    , mWorldMatrixInvalid(other.mWorldMatrixInvalid)
    , mNeedsRedraw(other.mNeedsRedraw.load())
    , mSelected(other.mSelected)
{
}

Renderable& Renderable::operator=(Renderable const& other)
{
    if (this == &other)
        return *this;
    Core::InstanceId<Renderable>::operator=(other);
    mName = other.mName;
    mParent = other.mParent;
    mMatrix = other.mMatrix;
    mWorldMatrix = other.mWorldMatrix;
    mVisible = other.mVisible;
    mWorldMatrixInvalid = other.mWorldMatrixInvalid;
    mNeedsRedraw = other.mNeedsRedraw.load();
    mSelected = other.mSelected;
    return *this;
}

Renderable::~Renderable() = default;

void Renderable::init(std::size_t, std::shared_ptr<Camera>, ATL::CComPtr<ID3D11Device>,
                      ATL::CComPtr<ID3D11DeviceContext>)
{
}
void Renderable::deinit() {}
void Renderable::onUpdateProjectionMatrix(std::shared_ptr<Camera> const&) {}
void Renderable::onUpdateViewMatrix(std::shared_ptr<Camera> const&) {}
void Renderable::onUpdateZRange(std::shared_ptr<Camera> const&) {}
void Renderable::onUpdateViewport(std::shared_ptr<Camera> const&) {}
void Renderable::onUpdateRenderMode(RenderMode) {}
void Renderable::onUpdateMeshClippingActive(bool) {}
void Renderable::onUpdateRegionClippingActive(bool) {}
void Renderable::onUpdateIntensityBlendFactor(float) {}
void Renderable::onUpdateClassVisibilityActive(bool) {}
void Renderable::onUpdateMeshForDistanceColorization(std::shared_ptr<Math::TriangleMesh<float>> const&) {}
void Renderable::onUpdatePlaneForDistanceColorization(Math::NPlane<float, 3> const&) {}
void Renderable::onUpdateDistanceColorMap(ColorMap) {}
void Renderable::onUpdateIntensityColorMap(ColorMap) {}
void Renderable::onUpdateClassificationColorTexture(std::shared_ptr<ClassificationColorTexture> const&) {}
void Renderable::onUpdateClippingRegion(std::shared_ptr<Math::ClippingRegion<float>> const&) {}
void Renderable::onUpdateUseSignedDistance(bool) {}
void Renderable::onUpdateDistanceColorMapRange(float, float) {}
void Renderable::onUpdateIntensityColorMapRange(std::uint16_t, std::uint16_t) {}
void Renderable::onUpdatePassFailDistanceRange(float, float) {}
void Renderable::onUpdateWarnDistanceRange(float, float) {}
void Renderable::onUpdateTomographicColor(Math::Color const&) {}
void Renderable::onUpdateUseCloudColorsInTomographicRenderModes(bool) {}

void Renderable::render()
{
    mNeedsRedraw = false;
}

std::optional<Math::Color> Renderable::backgroundColor() const
{
    return std::nullopt;
}

bool Renderable::isTransparent() const
{
    return false;
}

void Renderable::brightnessAndContrast(float, float, float& brightness, float& contrast)
{
    brightness = 0.0f;
    contrast = 1.0f;
}

void Renderable::setMatrix(Eigen::Matrix4f const& matrix)
{
    if (matrix == mMatrix)
        return;
    mMatrix = matrix;
    invalidateWorldMatrix();
    setNeedsRedraw(true);
}

Eigen::Matrix4f Renderable::matrix() const
{
    return mMatrix;
}

Eigen::Matrix4f Renderable::worldMatrix() const
{
    if (!mWorldMatrixInvalid)
        return mWorldMatrix;
    auto const parentNode = parent();
    mWorldMatrix = parentNode ? Eigen::Matrix4f(parentNode->worldMatrix() * mMatrix) : mMatrix;
    mWorldMatrixInvalid = false;
    return mWorldMatrix;
}

void Renderable::invalidateWorldMatrix()
{
    mWorldMatrixInvalid = true;
    setNeedsRedraw(true);
}

void Renderable::setVisible(bool visible)
{
    if (visible == mVisible)
        return;
    mVisible = visible;
    setNeedsRedraw(true);
}

void Renderable::setNeedsRedraw(bool needsRedraw)
{
    mNeedsRedraw = needsRedraw;
}

bool Renderable::needsRedraw() const
{
    return mNeedsRedraw;
}

void Renderable::setSelected(bool selected)
{
    if (selected == mSelected)
        return;
    mSelected = selected;
    setNeedsRedraw(true);
}

void Renderable::diagnose() const {}

void Renderable::setParent(std::weak_ptr<Renderable> parent)
{
    mParent = std::move(parent);
    invalidateWorldMatrix();
}

Eigen::Matrix4f Renderable::invWorldMatrix() const
{
    return worldMatrix().inverse();
}

Math::NBoundingBox<float, 3> Renderable::boundingBoxParent() const
{
    return transformBox(boundingBox(), matrix());
}

Math::NBoundingBox<float, 3> Renderable::boundingBoxWorld() const
{
    return transformBox(boundingBox(), worldMatrix());
}

void Renderable::setTranslationByCorrespondences(Math::Point<float, 3> const& from, Math::Point<float, 3> const& to)
{
    Eigen::Vector3f const unitX = Eigen::Vector3f::UnitX();
    moveAndRotateAboutZ(from, to, unitX, unitX);
}

void Renderable::setZRotationByCorrespondences(Math::Point<float, 3> const& center, Math::Point<float, 3> const& from,
                                               Math::Point<float, 3> const& to)
{
    moveAndRotateAboutZ(center, center, from - center, to - center);
}

void Renderable::setTranslationAndZRotationByCorrespondences(Math::Point<float, 3> const& from,
                                                             Math::Point<float, 3> const& to,
                                                             Eigen::Vector3f const& fromDirection,
                                                             Eigen::Vector3f const& toDirection)
{
    moveAndRotateAboutZ(from, to, fromDirection, toDirection);
}

// Applies to the current transform: translate by -pivot, rotate about z by the
// angle from `fromDirection` to `toDirection`, translate by +target. Scale and
// the existing rotation are kept by decomposing and recomposing the matrix.
void Renderable::moveAndRotateAboutZ(Math::Point<float, 3> const& pivot, Math::Point<float, 3> const& target,
                                     Eigen::Vector3f const& fromDirection, Eigen::Vector3f const& toDirection)
{
    Eigen::Matrix4f const current = matrix();
    Eigen::Matrix3f const linear = current.topLeftCorner<3, 3>();
    Eigen::Vector3f translation = current.topRightCorner<3, 1>();
    Eigen::Vector3f scale = linear.colwise().norm();
    if (linear.determinant() < 0.0f)
        scale.x() = -scale.x();
    Eigen::Quaternionf rotation(Eigen::Matrix3f(linear * scale.cwiseInverse().asDiagonal()));
    rotation.normalize();

    double angle = heading(toDirection) - heading(fromDirection);
    if (angle > std::numbers::pi)
        angle -= 2.0 * std::numbers::pi;
    else if (angle < -std::numbers::pi)
        angle += 2.0 * std::numbers::pi;
    Eigen::Quaternionf const turn(Eigen::AngleAxisf(static_cast<float>(angle), Eigen::Vector3f::UnitZ()));

    translation -= pivot;
    rotation = (turn * rotation).normalized();
    translation = turn * translation;
    translation += target;

    Eigen::Matrix4f recomposed = Eigen::Matrix4f::Identity();
    recomposed.topLeftCorner<3, 3>() = rotation.toRotationMatrix() * scale.asDiagonal();
    recomposed.topRightCorner<3, 1>() = translation;
    setMatrix(recomposed);
}

} // namespace Render
