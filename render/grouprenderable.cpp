#include "render/grouprenderable.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace Render {
namespace {

// A hidden node is not rendered, so nothing else would lower its flag.
void clearRedrawFlags(Renderable& node)
{
    node.setNeedsRedraw(false);
    if (auto* group = dynamic_cast<GroupRenderable*>(&node))
        for (auto const& child : *group)
            clearRedrawFlags(*child);
}

bool planesDiffer(Math::NPlane<float, 3> const& a, Math::NPlane<float, 3> const& b)
{
    // Written as "not equal" so that a NaN component counts as a difference.
    return !(a.normal() == b.normal()) || !(a.d() == b.d());
}

} // namespace

std::shared_ptr<GroupRenderable> GroupRenderable::create(std::string name)
{
    return std::make_shared<GroupRenderable>(Private{}, name);
}

GroupRenderable::GroupRenderable(Private, std::string const& name) : Renderable(name) {}

// The shared-from-this link is not copied: the copy gets its own when it is owned.
GroupRenderable::GroupRenderable(GroupRenderable const& other)
    : Renderable(other)
    , std::enable_shared_from_this<GroupRenderable>()
    , mRendererId(other.mRendererId)
    , mCamera(other.mCamera)
    , mDevice(other.mDevice)
    , mDeviceContext(other.mDeviceContext)
    , mRenderMode(other.mRenderMode)
    , mColorizationMesh(other.mColorizationMesh)
    , mColorizationPlane(other.mColorizationPlane)
    , mDistanceColorMap(other.mDistanceColorMap)
    , mClassificationColorTexture(other.mClassificationColorTexture)
    , mClippingRegion(other.mClippingRegion)
    , mRegionClippingActive(other.mRegionClippingActive)
    , mMinDistance(other.mMinDistance)
    , mMaxDistance(other.mMaxDistance)
    , mMinDistancePassFail(other.mMinDistancePassFail)
    , mMaxDistancePassFail(other.mMaxDistancePassFail)
    , mMinDistanceWarn(other.mMinDistanceWarn)
    , mMaxDistanceWarn(other.mMaxDistanceWarn)
    , mUseSignedDistance(other.mUseSignedDistance)
    , mChildren(other.mChildren)
    , mTomographicColor(other.mTomographicColor)
    , mUseCloudColorsInTomographicRenderModes(other.mUseCloudColorsInTomographicRenderModes)
    , mMeshClippingActive(other.mMeshClippingActive)
    , mClassVisibilityActive(other.mClassVisibilityActive)
    , mIntensityBlendFactor(other.mIntensityBlendFactor)
    , mIntensityColorMap(other.mIntensityColorMap)
    , mMinIntensity(other.mMinIntensity)
    , mMaxIntensity(other.mMaxIntensity)
{
}

GroupRenderable::GroupRenderable(GroupRenderable&& other) noexcept : GroupRenderable(other)
{
    other.mChildren.clear();
}

GroupRenderable& GroupRenderable::operator=(GroupRenderable const& other)
{
    if (this != &other) {
        GroupRenderable copy(other);
        *this = std::move(copy);
    }
    return *this;
}

GroupRenderable& GroupRenderable::operator=(GroupRenderable&& other) noexcept
{
    if (this == &other)
        return *this;
    Renderable::operator=(other);
    mRendererId = other.mRendererId;
    mCamera = std::move(other.mCamera);
    mDevice = std::move(other.mDevice);
    mDeviceContext = std::move(other.mDeviceContext);
    mRenderMode = other.mRenderMode;
    mColorizationMesh = std::move(other.mColorizationMesh);
    mColorizationPlane = other.mColorizationPlane;
    mDistanceColorMap = other.mDistanceColorMap;
    mClassificationColorTexture = std::move(other.mClassificationColorTexture);
    mClippingRegion = std::move(other.mClippingRegion);
    mRegionClippingActive = other.mRegionClippingActive;
    mMinDistance = other.mMinDistance;
    mMaxDistance = other.mMaxDistance;
    mMinDistancePassFail = other.mMinDistancePassFail;
    mMaxDistancePassFail = other.mMaxDistancePassFail;
    mMinDistanceWarn = other.mMinDistanceWarn;
    mMaxDistanceWarn = other.mMaxDistanceWarn;
    mUseSignedDistance = other.mUseSignedDistance;
    mChildren = std::move(other.mChildren);
    mTomographicColor = other.mTomographicColor;
    mUseCloudColorsInTomographicRenderModes = other.mUseCloudColorsInTomographicRenderModes;
    mMeshClippingActive = other.mMeshClippingActive;
    mClassVisibilityActive = other.mClassVisibilityActive;
    mIntensityBlendFactor = other.mIntensityBlendFactor;
    mIntensityColorMap = other.mIntensityColorMap;
    mMinIntensity = other.mMinIntensity;
    mMaxIntensity = other.mMaxIntensity;
    return *this;
}

GroupRenderable::~GroupRenderable() = default;

template <class Operation>
void GroupRenderable::forEachChild(Operation&& operation) const
{
    for (auto const& child : mChildren)
        operation(*child);
}

void GroupRenderable::add(std::shared_ptr<Renderable> child)
{
    if (!child)
        throw std::invalid_argument("Error: cannot add a null node to a group");
    std::shared_ptr<Renderable> self = shared_from_this(); // throws std::bad_weak_ptr when not owned
    for (std::shared_ptr<Renderable> ancestor = self; ancestor; ancestor = ancestor->parent()) {
        if (ancestor == child)
            throw std::invalid_argument("Error: a group cannot contain itself or one of its ancestors");
    }
    mChildren.push_back(child);
    child->setParent(self);
    if (isInitialized()) {
        child->init(mRendererId, mCamera, mDevice, mDeviceContext);
        sendCachedSettings(*child);
    }
    // Only the new child's world matrix changed: the others keep what they loaded for theirs.
    child->invalidateWorldMatrix();
    setNeedsRedraw(true);
}

void GroupRenderable::add(std::string const& name, std::shared_ptr<Renderable> child)
{
    child->setName(name);
    add(std::move(child));
}

void GroupRenderable::sendCachedSettings(Renderable& child) const
{
    child.onUpdateRenderMode(mRenderMode);
    child.onUpdateMeshClippingActive(mMeshClippingActive);
    child.onUpdateRegionClippingActive(mRegionClippingActive);
    child.onUpdateMeshForDistanceColorization(mColorizationMesh);
    child.onUpdateClippingRegion(mClippingRegion);
    child.onUpdateDistanceColorMap(mDistanceColorMap);
    child.onUpdateIntensityColorMap(mIntensityColorMap);
    child.onUpdateUseSignedDistance(mUseSignedDistance);
    child.onUpdateDistanceColorMapRange(mMinDistance, mMaxDistance);
    child.onUpdatePassFailDistanceRange(mMinDistancePassFail, mMaxDistancePassFail);
    child.onUpdateWarnDistanceRange(mMinDistanceWarn, mMaxDistanceWarn);
    child.onUpdateIntensityColorMapRange(mMinIntensity, mMaxIntensity);
    child.onUpdatePlaneForDistanceColorization(mColorizationPlane);
    child.onUpdateTomographicColor(mTomographicColor);
    child.onUpdateUseCloudColorsInTomographicRenderModes(mUseCloudColorsInTomographicRenderModes);
    child.onUpdateClassificationColorTexture(mClassificationColorTexture);
    child.onUpdateClassVisibilityActive(mClassVisibilityActive);
    child.onUpdateIntensityBlendFactor(mIntensityBlendFactor);
}

void GroupRenderable::remove(Children::const_iterator position)
{
    if (isInitialized())
        (*position)->deinit();
    mChildren.erase(position);
    setNeedsRedraw(true);
}

bool GroupRenderable::removeChildrenNamed(std::string const& name)
{
    auto const removed = std::stable_partition(mChildren.begin(), mChildren.end(),
                                               [&](auto const& child) { return child->name() != name; });
    if (removed == mChildren.end())
        return false;
    if (isInitialized())
        std::for_each(removed, mChildren.end(), [](auto const& child) { child->deinit(); });
    mChildren.erase(removed, mChildren.end());
    setNeedsRedraw(true);
    return true;
}

void GroupRenderable::removeByName(std::string const& name)
{
    removeChildrenNamed(name);
    for (auto const& child : mChildren)
        if (auto group = std::dynamic_pointer_cast<GroupRenderable>(child))
            group->removeByName(name);
}

void GroupRenderable::removeAll()
{
    if (isInitialized())
        forEachChild([](Renderable& child) { child.deinit(); });
    mChildren.clear();
    setNeedsRedraw(true);
}

std::shared_ptr<Renderable> GroupRenderable::findByName(std::string const& name) const
{
    for (auto const& child : mChildren) {
        if (child->name() == name)
            return child;
        if (auto group = std::dynamic_pointer_cast<GroupRenderable>(child))
            if (auto found = group->findByName(name))
                return found;
    }
    return {};
}

std::shared_ptr<Renderable> GroupRenderable::front() const
{
    return mChildren.empty() ? nullptr : mChildren.front();
}

std::shared_ptr<Renderable> GroupRenderable::back() const
{
    return mChildren.empty() ? nullptr : mChildren.back();
}

void GroupRenderable::init(std::size_t rendererId, std::shared_ptr<Camera> camera, ATL::CComPtr<ID3D11Device> device,
                           ATL::CComPtr<ID3D11DeviceContext> context)
{
    mRendererId = rendererId;
    mCamera = std::move(camera);
    mDevice = std::move(device);
    mDeviceContext = std::move(context);
    // The children's settings went with their deinit: a group used again passes them on again.
    forEachChild([&](Renderable& child) {
        child.init(mRendererId, mCamera, mDevice, mDeviceContext);
        sendCachedSettings(child);
    });
}

void GroupRenderable::deinit()
{
    forEachChild([](Renderable& child) { child.deinit(); });
    mCamera.reset();
    mDevice.Release();
    mDeviceContext.Release();
}

void GroupRenderable::onUpdateProjectionMatrix(std::shared_ptr<Camera> const& camera)
{
    forEachChild([&](Renderable& child) { child.onUpdateProjectionMatrix(camera); });
}

void GroupRenderable::onUpdateViewMatrix(std::shared_ptr<Camera> const& camera)
{
    forEachChild([&](Renderable& child) { child.onUpdateViewMatrix(camera); });
}

void GroupRenderable::onUpdateZRange(std::shared_ptr<Camera> const& camera)
{
    forEachChild([&](Renderable& child) { child.onUpdateZRange(camera); });
}

void GroupRenderable::onUpdateViewport(std::shared_ptr<Camera> const& camera)
{
    forEachChild([&](Renderable& child) { child.onUpdateViewport(camera); });
}

void GroupRenderable::onUpdateRenderMode(RenderMode mode)
{
    mRenderMode = mode;
    forEachChild([&](Renderable& child) { child.onUpdateRenderMode(mode); });
}

void GroupRenderable::onUpdateMeshClippingActive(bool active)
{
    mMeshClippingActive = active;
    forEachChild([&](Renderable& child) { child.onUpdateMeshClippingActive(active); });
}

void GroupRenderable::onUpdateRegionClippingActive(bool active)
{
    mRegionClippingActive = active;
    forEachChild([&](Renderable& child) { child.onUpdateRegionClippingActive(active); });
}

void GroupRenderable::onUpdateIntensityBlendFactor(float factor)
{
    mIntensityBlendFactor = factor;
    forEachChild([&](Renderable& child) { child.onUpdateIntensityBlendFactor(factor); });
}

void GroupRenderable::onUpdateClassVisibilityActive(bool active)
{
    mClassVisibilityActive = active;
    forEachChild([&](Renderable& child) { child.onUpdateClassVisibilityActive(active); });
}

void GroupRenderable::onUpdateMeshForDistanceColorization(std::shared_ptr<Math::TriangleMesh<float>> const& mesh)
{
    mColorizationMesh = mesh;
    forEachChild([&](Renderable& child) { child.onUpdateMeshForDistanceColorization(mesh); });
}

void GroupRenderable::onUpdatePlaneForDistanceColorization(Math::NPlane<float, 3> const& plane)
{
    if (!planesDiffer(plane, mColorizationPlane))
        return;
    mColorizationPlane = plane;
    forEachChild([&](Renderable& child) { child.onUpdatePlaneForDistanceColorization(plane); });
}

void GroupRenderable::onUpdateDistanceColorMap(ColorMap colorMap)
{
    if (colorMap == mDistanceColorMap)
        return;
    mDistanceColorMap = colorMap;
    forEachChild([&](Renderable& child) { child.onUpdateDistanceColorMap(colorMap); });
}

void GroupRenderable::onUpdateIntensityColorMap(ColorMap colorMap)
{
    if (colorMap == mIntensityColorMap)
        return;
    mIntensityColorMap = colorMap;
    forEachChild([&](Renderable& child) { child.onUpdateIntensityColorMap(colorMap); });
}

void GroupRenderable::onUpdateClassificationColorTexture(std::shared_ptr<ClassificationColorTexture> const& texture)
{
    if (texture == mClassificationColorTexture)
        return;
    mClassificationColorTexture = texture;
    forEachChild([&](Renderable& child) { child.onUpdateClassificationColorTexture(texture); });
}

void GroupRenderable::onUpdateClippingRegion(std::shared_ptr<Math::ClippingRegion<float>> const& region)
{
    mClippingRegion = region;
    forEachChild([&](Renderable& child) { child.onUpdateClippingRegion(region); });
}

void GroupRenderable::onUpdateUseSignedDistance(bool useSignedDistance)
{
    if (useSignedDistance == mUseSignedDistance)
        return;
    mUseSignedDistance = useSignedDistance;
    forEachChild([&](Renderable& child) { child.onUpdateUseSignedDistance(useSignedDistance); });
}

void GroupRenderable::onUpdateDistanceColorMapRange(float min, float max)
{
    if (min == mMinDistance && max == mMaxDistance)
        return;
    mMinDistance = min;
    mMaxDistance = max;
    forEachChild([&](Renderable& child) { child.onUpdateDistanceColorMapRange(min, max); });
}

void GroupRenderable::onUpdateIntensityColorMapRange(std::uint16_t min, std::uint16_t max)
{
    if (min == mMinIntensity && max == mMaxIntensity)
        return;
    mMinIntensity = min;
    mMaxIntensity = max;
    forEachChild([&](Renderable& child) { child.onUpdateIntensityColorMapRange(min, max); });
}

void GroupRenderable::onUpdatePassFailDistanceRange(float min, float max)
{
    if (min == mMinDistancePassFail && max == mMaxDistancePassFail)
        return;
    mMinDistancePassFail = min;
    mMaxDistancePassFail = max;
    forEachChild([&](Renderable& child) { child.onUpdatePassFailDistanceRange(min, max); });
}

void GroupRenderable::onUpdateWarnDistanceRange(float min, float max)
{
    if (min == mMinDistanceWarn && max == mMaxDistanceWarn)
        return;
    mMinDistanceWarn = min;
    mMaxDistanceWarn = max;
    forEachChild([&](Renderable& child) { child.onUpdateWarnDistanceRange(min, max); });
}

void GroupRenderable::onUpdateTomographicColor(Math::Color const& color)
{
    mTomographicColor = color;
    forEachChild([&](Renderable& child) { child.onUpdateTomographicColor(color); });
}

void GroupRenderable::onUpdateUseCloudColorsInTomographicRenderModes(bool useCloudColors)
{
    mUseCloudColorsInTomographicRenderModes = useCloudColors;
    forEachChild([&](Renderable& child) { child.onUpdateUseCloudColorsInTomographicRenderModes(useCloudColors); });
}

void GroupRenderable::render()
{
    Renderable::render();
    forEachChild([](Renderable& child) {
        if (child.visible())
            child.render();
        else
            clearRedrawFlags(child);
    });
}

std::optional<Math::Color> GroupRenderable::backgroundColor() const
{
    for (auto const& child : mChildren)
        if (auto color = child->backgroundColor())
            return color;
    return std::nullopt;
}

bool GroupRenderable::isTransparent() const
{
    return std::any_of(mChildren.begin(), mChildren.end(), [](auto const& child) { return child->isTransparent(); });
}

void GroupRenderable::brightnessAndContrast(float lowerQuantile, float upperQuantile, float& brightness,
                                            float& contrast)
{
    if (mChildren.empty()) {
        brightness = 0.0f;
        contrast = 1.0f;
        return;
    }
    float brightnessSum = 0.0f;
    float contrastSum = 0.0f;
    forEachChild([&](Renderable& child) {
        float childBrightness = 0.0f;
        float childContrast = 0.0f;
        child.brightnessAndContrast(lowerQuantile, upperQuantile, childBrightness, childContrast);
        brightnessSum += childBrightness;
        contrastSum += childContrast;
    });
    auto const count = static_cast<float>(mChildren.size());
    brightness = brightnessSum / count;
    contrast = contrastSum / count;
}

Math::NBoundingBox<float, 3> GroupRenderable::boundingBox() const
{
    Math::NBoundingBox<float, 3> box;
    forEachChild([&](Renderable const& child) { box.extend(child.boundingBoxParent()); });
    return box;
}

void GroupRenderable::invalidateWorldMatrix()
{
    Renderable::invalidateWorldMatrix();
    forEachChild([](Renderable& child) { child.invalidateWorldMatrix(); });
}

bool GroupRenderable::needsRedraw() const
{
    return std::any_of(mChildren.begin(), mChildren.end(), [](auto const& child) { return child->needsRedraw(); }) ||
           Renderable::needsRedraw();
}

void GroupRenderable::setSelected(bool selected)
{
    if (selected != this->selected())
        Renderable::setSelected(selected);
    forEachChild([&](Renderable& child) { child.setSelected(selected); });
}

void GroupRenderable::diagnose() const
{
    forEachChild([](Renderable const& child) { child.diagnose(); });
}

} // namespace Render
